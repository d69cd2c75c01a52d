#include "kslib/dev_info.h"

#include <cstring>

#include "kslib/ks_alloc.h"
#include "kslib/ks_audio_pin.h"
#include "kslib/ks_ids.h"

using namespace kslib;

namespace {

constexpr ULONG kDetailBytes = 528;
// cbSize of the detail data: its fixed header (8 bytes on x64).
constexpr DWORD kDetailHeaderSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
constexpr ULONG kInitialEntryCapacity = 8;
// Larger device properties than this are a broken size report.
constexpr DWORD kMaxPropertyBytes = 64u * 1024u;

const WCHAR* const kSupportedHardwareIds[] = {CDevInfo::kSupportedHardwareId};

LPCWSTR BoolText(BOOL value) { return value ? L"TRUE" : L"FALSE"; }

WCHAR FoldAsciiCase(WCHAR c) { return (c >= L'A' && c <= L'Z') ? static_cast<WCHAR>(c - L'A' + L'a') : c; }

// Equal when only the letters A-Z differ in case.
bool EqualIdNoCase(LPCWSTR a, LPCWSTR b) {
  for (;; ++a, ++b) {
    if (FoldAsciiCase(*a) != FoldAsciiCase(*b)) return false;
    if (*a == 0) return true;
  }
}

bool EqualIdExact(LPCWSTR a, LPCWSTR b) {
  for (;; ++a, ++b) {
    if (*a != *b) return false;
    if (*a == 0) return true;
  }
}

void CopyCut(WCHAR* field, ULONG fieldChars, LPCWSTR text) {
  ULONG i = 0;
  for (; i + 1 < fieldChars && text[i] != 0; ++i) field[i] = text[i];
  field[i] = 0;
}

// A device property as text: a zeroed block two characters longer than the
// property, so every string in it ends, even a multi-string without its
// terminators. Null when it cannot be read.
WCHAR* ReadDeviceProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, DWORD* bytes) {
  *bytes = 0;
  DWORD needed = 0;
  if (::SetupDiGetDeviceRegistryPropertyW(set, device, property, nullptr, nullptr, 0, &needed)) return nullptr;
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0 || needed > kMaxPropertyBytes) return nullptr;
  WCHAR* text = reinterpret_cast<WCHAR*>(AllocateBlock(needed + 2 * sizeof(WCHAR)));
  if (text == nullptr) return nullptr;
  DWORD type = 0;
  if (!::SetupDiGetDeviceRegistryPropertyW(set, device, property, &type, reinterpret_cast<BYTE*>(text), needed,
                                           nullptr)) {
    FreeBlock(text);
    return nullptr;
  }
  *bytes = needed;
  return text;
}

bool MatchesSupportedHardwareId(const WCHAR* multiString, size_t chars) {
  const WCHAR* end = multiString + chars;
  for (const WCHAR* s = multiString; s < end && *s != 0;) {
    for (const WCHAR* supported : kSupportedHardwareIds) {
      if (::lstrcmpiW(s, supported) == 0) return true;
    }
    while (s < end && *s != 0) ++s;
    ++s;
  }
  return false;
}

}  // namespace

void AudioRangeAccumulator::Add(const KSDATARANGE_AUDIO& range) {
  seen_ = true;
  if (range.MaximumChannels > summary_.channels) summary_.channels = range.MaximumChannels;
  if (range.MaximumBitsPerSample > summary_.maxBits) summary_.maxBits = range.MaximumBitsPerSample;
  if (range.MaximumSampleFrequency > summary_.maxRate) summary_.maxRate = range.MaximumSampleFrequency;
  if (range.MinimumBitsPerSample < summary_.minBits) summary_.minBits = range.MinimumBitsPerSample;
  if (range.MinimumSampleFrequency < summary_.minRate) summary_.minRate = range.MinimumSampleFrequency;
}

void AudioRangeAccumulator::AddPins(const KsList<CKsPin>& pins) {
  for (CKsPin* pin : pins) {
    // The device list holds audio filters, whose pins are all audio pins.
    for (const KSDATARANGE_AUDIO* range : static_cast<CKsAudPin*>(pin)->AudioRanges()) Add(*range);
  }
}

AudioRangeSummary AudioRangeAccumulator::Result() const {
  if (!seen_) return AudioRangeSummary{0, 0, 0, 0, 0};
  return summary_;
}

CDevInfo::CDevInfo(ULONG traceMask) : m_trace(traceMask) {
  m_trace.Line(kDevInfoTraceEntryExit, L"CDevInfo::CDevInfo Start.\n");
  m_entries = new (std::nothrow) DeviceListEntry[kInitialEntryCapacity];
  if (m_entries != nullptr) m_entryCapacity = kInitialEntryCapacity;
  m_trace.Line(kDevInfoTraceEntryExit, L"CDevInfo::CDevInfo Return.\n");
}

CDevInfo::~CDevInfo() {
  m_trace.Line(kDevInfoTraceEntryExit, L"CDevInfo::~CDevInfo Start.\n");
  m_selected = nullptr;
  m_filters.DeleteAll();
  delete[] m_entries;
  m_entries = nullptr;
  m_entryCount = m_entryCapacity = 0;
  m_trace.Line(kDevInfoTraceEntryExit, L"CDevInfo::~CDevInfo Return.\n");
}

BOOL CDevInfo::EnumFilters() {
  m_trace.Line(kDevInfoTraceEntryExit, L"CDevInfo::EnumFilters() Start.\n");
  m_filters.DeleteAll();
  m_selected = nullptr;

  BOOL result = FALSE;
  HDEVINFO set = ::SetupDiGetClassDevsW(&kCategoryAudio, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE || set == nullptr) {
    m_trace.Line(kDevInfoTraceError, L".\\cdevinfo(209):error\n");
  } else {
    bool stopped = false;
    for (DWORD index = 0;; ++index) {
      SP_DEVICE_INTERFACE_DATA interfaceData;
      std::memset(&interfaceData, 0, sizeof(interfaceData));
      interfaceData.cbSize = sizeof(interfaceData);
      if (!::SetupDiEnumDeviceInterfaces(set, nullptr, &kCategoryAudio, index, &interfaceData)) break;
      if (!EnumOneInterface(set, &interfaceData)) {
        stopped = true;
        break;
      }
    }
    ::SetupDiDestroyDeviceInfoList(set);
    result = (!stopped && !m_filters.Empty()) ? TRUE : FALSE;
  }
  m_trace.Line(kDevInfoTraceEntryExit, L"CDevInfo::EnumFilters() Return. [%ws]\n", BoolText(result));
  return result;
}

bool CDevInfo::EnumOneInterface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData) {
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(AllocateBlock(kDetailBytes));
  if (detail == nullptr) {
    m_trace.Line(kDevInfoTraceError, L".\\cdevinfo(248):Failed to allocate SP_DEVICE_INTERFACE_DETAIL_DATA structure\n");
    return false;
  }
  detail->cbSize = kDetailHeaderSize;
  SP_DEVINFO_DATA device;
  std::memset(&device, 0, sizeof(device));
  device.cbSize = sizeof(device);
  // The path ends inside the block: the last character stays NUL.
  if (!::SetupDiGetDeviceInterfaceDetailW(set, interfaceData, detail, kDetailBytes - sizeof(WCHAR), nullptr,
                                          &device)) {
    FreeBlock(detail);
    return true;
  }

  DWORD hardwareIdBytes = 0;
  WCHAR* hardwareIds = ReadDeviceProperty(set, &device, SPDRP_HARDWAREID, &hardwareIdBytes);
  if (hardwareIds == nullptr) {
    m_trace.Line(kDevInfoTraceError, L"error");
    FreeBlock(detail);
    return true;
  }
  const bool supported = MatchesSupportedHardwareId(hardwareIds, hardwareIdBytes / sizeof(WCHAR) + 2);
  FreeBlock(hardwareIds);
  if (!supported) {
    FreeBlock(detail);
    return true;
  }

  DWORD descriptionBytes = 0;
  WCHAR* description = ReadDeviceProperty(set, &device, SPDRP_DEVICEDESC, &descriptionBytes);
  if (description == nullptr) {
    m_trace.Line(kDevInfoTraceError, L"error");
    m_trace.Line(kDevInfoTraceError, L".\\cdevinfo(281):error\n");
    FreeBlock(detail);
    return true;
  }

  HRESULT hr = S_OK;
  CKsAudFilter2* filter = New<CKsAudFilter2>(detail->DevicePath, &hr);
  bool keep = false;
  if (filter == nullptr) {
    m_trace.Line(kDevInfoTraceError, L".\\cdevinfo(292):error\n");
  } else {
    filter->SetFriendlyName(description);
    const bool loaded = SUCCEEDED(hr) && SUCCEEDED(filter->OpenDevice()) && SUCCEEDED(filter->LoadPins());
    WCHAR instanceId[CKsAudFilter2::kInstanceIdChars];
    instanceId[0] = 0;
    if (loaded && filter->RenderSinkPins().Empty() && filter->CaptureSinkPins().Empty()) {
      m_trace.Line(kDevInfoTraceError, L".\\cdevinfo(316):error\n");
    } else if (!::SetupDiGetDeviceInstanceIdW(set, &device, instanceId, CKsAudFilter2::kInstanceIdChars, nullptr)) {
      m_trace.Line(kDevInfoTraceError, L".\\cdevinfo(330):error\n");
    } else {
      instanceId[CKsAudFilter2::kInstanceIdChars - 1] = 0;
      filter->SetInstanceId(instanceId);
      if (loaded) {
        if (m_filters.Append(filter)) {
          keep = true;
        } else {
          m_trace.Line(kDevInfoTraceError, L".\\cdevinfo(343):error\n");
        }
      }
    }
    if (!keep) delete filter;
  }
  if (!keep) m_trace.Line(kDevInfoTraceError, L".\\cdevinfo(352):error\n");
  FreeBlock(description);
  FreeBlock(detail);
  return true;
}

BOOL CDevInfo::makeActiveDeviceList() {
  m_entryCount = 0;
  EnumFilters();
  BuildEntryList();
  return TRUE;
}

void CDevInfo::BuildEntryList() {
  m_entryCount = 0;
  for (CKsAudFilter2* filter : m_filters) {
    DeviceListEntry entry;
    std::memset(&entry, 0, sizeof(entry));
    CopyCut(entry.deviceName, DeviceListEntry::kTextChars, filter->FriendlyName());
    CopyCut(entry.instanceId, DeviceListEntry::kTextChars, filter->InstanceId());
    entry.selected = 0;
    AudioRangeAccumulator render;
    render.AddPins(filter->RenderSinkPins());
    entry.renderRange = render.Result();
    AudioRangeAccumulator capture;
    capture.AddPins(filter->CaptureSinkPins());
    entry.captureRange = capture.Result();
    if (!AppendEntry(entry)) continue;

    const ULONG dump = kDevInfoTraceListDump;
    m_trace.Line(dump, L"<makeActiveDeviceList dump>\n");
    m_trace.Line(dump, L"devName: %ws\n", entry.deviceName);
    m_trace.Line(dump, L"hwid: %ws\n", entry.instanceId);
    m_trace.Line(dump, L"renderRange: %ld ch / %ld - %ld bit / %ld - %ld Hz\n", static_cast<LONG>(entry.renderRange.channels),
                 static_cast<LONG>(entry.renderRange.minBits), static_cast<LONG>(entry.renderRange.maxBits),
                 static_cast<LONG>(entry.renderRange.minRate), static_cast<LONG>(entry.renderRange.maxRate));
    m_trace.Line(dump, L"captureRange: %ld ch / %ld - %ld bit / %ld - %ld Hz\n",
                 static_cast<LONG>(entry.captureRange.channels), static_cast<LONG>(entry.captureRange.minBits),
                 static_cast<LONG>(entry.captureRange.maxBits), static_cast<LONG>(entry.captureRange.minRate),
                 static_cast<LONG>(entry.captureRange.maxRate));
    m_trace.Line(dump, L"CurrentSelect: %ws\n", BoolText(entry.selected));
    m_trace.Line(dump, L"</makeActiveDeviceList dump>\n");
  }
}

bool CDevInfo::AppendEntry(const DeviceListEntry& entry) {
  if (m_entryCount == m_entryCapacity) {
    const ULONG capacity = m_entryCapacity == 0 ? kInitialEntryCapacity : m_entryCapacity * 2;
    DeviceListEntry* grown = AllocationRefused() ? nullptr : new (std::nothrow) DeviceListEntry[capacity];
    if (grown == nullptr) return false;
    if (m_entryCount != 0) std::memcpy(grown, m_entries, m_entryCount * sizeof(DeviceListEntry));
    delete[] m_entries;
    m_entries = grown;
    m_entryCapacity = capacity;
  }
  m_entries[m_entryCount++] = entry;
  return true;
}

CKsAudFilter2* CDevInfo::getCurrentSelected() {
  m_trace.Line(kDevInfoTraceEntryExit, L"CDevInfo::getCurrentSelected() Start.\n");
  m_trace.Line(kDevInfoTraceEntryExit, L"CDevInfo::getCurrentSelected() Return.\n");
  return m_selected;
}

BOOL CDevInfo::setCurrentSelectedByDeviceInstanceId(LPCWSTR instanceId) {
  m_trace.Line(kDevInfoTraceEntryExit, L"CDevInfo::setCurrentSelectedByDeviceInstanceId(%p) Start.\n",
               static_cast<const void*>(instanceId));
  if (instanceId == nullptr) {
    m_trace.Line(kDevInfoTraceError, L"CDevInfo::setCurrentSelectedByDeviceInstanceId() / bad parameter\n");
    m_trace.Line(kDevInfoTraceEntryExit, L"CDevInfo::setCurrentSelectedByDeviceInstanceId() Return. [FALSE]\n");
    return FALSE;
  }
  m_trace.Line(kDevInfoTraceEntryExit, L"CDevInfo::setCurrentSelectedByDeviceInstanceId() / instance ids = %ws\n",
               instanceId);
  BOOL result = FALSE;
  m_selected = nullptr;
  if (m_filters.Empty()) {
    m_trace.Line(kDevInfoTraceError, L".\\cdevinfo(424):error\n");
  } else {
    for (CKsAudFilter2* filter : m_filters) {
      if (EqualIdNoCase(filter->InstanceId(), instanceId)) {
        m_selected = filter;
        break;
      }
    }
    result = m_selected != nullptr ? TRUE : FALSE;
    for (ULONG i = 0; i < m_entryCount; ++i) {
      m_entries[i].selected = (result && EqualIdNoCase(m_entries[i].instanceId, instanceId)) ? 1 : 0;
    }
  }
  m_trace.Line(kDevInfoTraceEntryExit, L"CDevInfo::setCurrentSelectedByDeviceInstanceId() Return. [%ws]\n",
               BoolText(result));
  return result;
}

const DeviceListEntry* CDevInfo::getDeviceEntry(LONG index) const {
  if (index < 0 || static_cast<ULONG>(index) >= m_entryCount) return nullptr;
  return &m_entries[index];
}

BOOL CDevInfo::getCurrentSelectedIndex(LONG* index) const {
  for (ULONG i = 0; i < m_entryCount; ++i) {
    if (m_entries[i].selected != 0) {
      if (index != nullptr) *index = static_cast<LONG>(i);
      return TRUE;
    }
  }
  return FALSE;
}

void CDevInfo::getCurrentSelectedInstanceId(LPWSTR buffer, ULONG capacity) const {
  if (buffer == nullptr || capacity == 0) return;
  LONG index = 0;
  if (!getCurrentSelectedIndex(&index)) return;
  CopyCut(buffer, capacity, m_entries[index].instanceId);
}

BOOL CDevInfo::setCurrentSelectedByIndex(LONG index) {
  const DeviceListEntry* entry = getDeviceEntry(index);
  if (entry == nullptr) return FALSE;
  // The entry's id is copied: the selection rewrites the entries.
  WCHAR id[DeviceListEntry::kTextChars];
  CopyCut(id, DeviceListEntry::kTextChars, entry->instanceId);
  return setCurrentSelectedByDeviceInstanceId(id);
}

BOOL CDevInfo::setCurrentSelectedByListedInstanceId(LPCWSTR instanceId) {
  if (instanceId == nullptr) return FALSE;
  for (ULONG i = 0; i < m_entryCount; ++i) {
    if (EqualIdExact(m_entries[i].instanceId, instanceId)) {
      WCHAR id[DeviceListEntry::kTextChars];
      CopyCut(id, DeviceListEntry::kTextChars, m_entries[i].instanceId);
      return setCurrentSelectedByDeviceInstanceId(id);
    }
  }
  return FALSE;
}
