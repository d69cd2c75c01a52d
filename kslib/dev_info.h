// The device list of the user-mode deliverables: the kernel driver's audio
// filters of the supported device (found through SetupAPI, opened, pins
// loaded), one summary entry per filter for a user interface, and the
// current selection.
#pragma once

#include "kslib/dev_info_trace.h"
#include "kslib/ks_enum_filters.h"

// Summary of the audio ranges on one side of a filter; all 0 without ranges.
struct AudioRangeSummary {
  ULONG channels;  // the largest maximum channel count
  ULONG minBits;
  ULONG maxBits;
  ULONG minRate;
  ULONG maxRate;
};

struct DeviceListEntry {
  static constexpr ULONG kTextChars = 128;
  WCHAR deviceName[kTextChars];  // friendly name, cut to 127 characters
  WCHAR instanceId[kTextChars];  // device instance id, cut to 127 characters
  LONG selected;                 // 1 for the current selection
  AudioRangeSummary renderRange;
  AudioRangeSummary captureRange;
};

// Collects AudioRangeSummary over a number of ranges (unsigned comparisons).
class AudioRangeAccumulator {
 public:
  void Add(const KSDATARANGE_AUDIO& range);
  // Every range of every pin in the list (audio pins only).
  void AddPins(const KsList<CKsPin>& pins);
  AudioRangeSummary Result() const;  // five zeros when no range was added

 private:
  bool seen_ = false;
  AudioRangeSummary summary_ = {0, 0xFFFFFFFFu, 0, 0xFFFFFFFFu, 0};
};

class CDevInfo : public CKsEnumFilters {
 public:
  // The supported device's first audio interface.
  static constexpr const WCHAR* kSupportedHardwareId = L"USB\\VID_1FA7&PID_4D02&MI_00";

  // traceMask: which diagnostic groups are written (kDevInfoTraceAsioDriver
  // in the ASIO driver, kDevInfoTraceControlPanel in the control panel).
  explicit CDevInfo(ULONG traceMask = kDevInfoTraceAsioDriver);
  ~CDevInfo() override;

  BOOL EnumFilters();
  BOOL makeActiveDeviceList();

  CKsAudFilter2* getCurrentSelected();
  BOOL setCurrentSelectedByDeviceInstanceId(LPCWSTR instanceId);
  const DeviceListEntry* getDeviceEntry(LONG index) const;
  BOOL getCurrentSelectedIndex(LONG* index) const;
  void getCurrentSelectedInstanceId(LPWSTR buffer, ULONG capacity) const;
  BOOL setCurrentSelectedByIndex(LONG index);
  BOOL setCurrentSelectedByListedInstanceId(LPCWSTR instanceId);

  ULONG EntryCount() const { return m_entryCount; }
  // Empties the entry list and appends one entry per filter of the filter
  // list (the second half of makeActiveDeviceList), with the list dump.
  void BuildEntryList();

 private:
  // Steps 3.1 to 3.10 of the enumeration for one interface; false when an
  // allocation failure stops the enumeration.
  bool EnumOneInterface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData);
  bool AppendEntry(const DeviceListEntry& entry);

  DevInfoTrace m_trace;
  CKsAudFilter2* m_selected = nullptr;
  DeviceListEntry* m_entries = nullptr;  // growable array
  ULONG m_entryCount = 0;
  ULONG m_entryCapacity = 0;
};
