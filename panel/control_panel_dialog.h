// The control panel dialog's behaviour, free of any window toolkit: it
// works on a PanelView and is driven by the dialog's messages (the Win32
// dialog procedure forwards them; host tests call them from a program's UI
// thread). It reads and writes the shared settings, lists the devices with
// its own CDevInfo, and tells running ASIO drivers about changes they must
// follow.
#pragma once

#include "kslib/user_prelude.h"

#include "asio/settings/settings_store.h"
#include "kslib/dev_info.h"
#include "panel/panel_view.h"
#include "panel/reg_key_watcher.h"

class CAsioControlPanelDlg {
 public:
  // Builds the watcher (HKEY_CURRENT_USER, the settings key) and the device
  // list; nothing runs until OnInitDialog.
  explicit CAsioControlPanelDlg(PanelView& view);
  // Runs OnDestroy if the window did not, then frees the device list,
  // closes the presence event and ends the watcher, in that order.
  ~CAsioControlPanelDlg();
  CAsioControlPanelDlg(const CAsioControlPanelDlg&) = delete;
  CAsioControlPanelDlg& operator=(const CAsioControlPanelDlg&) = delete;

  // WM_INITDIALOG: the initialisation; TRUE (default focus).
  BOOL OnInitDialog();
  // WM_HSCROLL from the slider: notification code and reported position.
  void OnHScroll(int code, int position);
  // WM_COMMAND with LBN_SELCHANGE from the device list.
  void OnDeviceChoice();
  // WM_APP: re-reads the device list and the settings; 0.
  LRESULT OnRefresh();
  // WM_DEVICECHANGE: arrival or complete removal posts WM_APP to the
  // dialog; always TRUE.
  BOOL OnDeviceChange(WPARAM event, LPARAM data);
  // WM_DESTROY: stops the watcher threads and ends the device-change
  // registration (idempotent).
  void OnDestroy();

  // State the painting and the tests read.
  LONG HighlightedIndex() const { return m_highlightedIndex; }
  LONG ActiveIndex() const { return m_activeIndex; }
  // The list control draws the row at this index heavy.
  const LONG* ActiveIndexPointer() const { return &m_activeIndex; }
  LONG RateIndex() const { return m_rateIndex; }
  LONG BitDepthIndex() const { return m_bitDepthIndex; }
  DWORD DisplayedRate() const { return m_displayedRate; }
  DWORD DisplayedBitDepth() const { return m_displayedBitDepth; }
  BYTE DisplayedFormat() const { return m_displayedFormat; }
  HANDLE PresenceEvent() const { return m_presenceEvent.handle; }
  HDEVNOTIFY DeviceNotification() const { return m_deviceNotification; }
  CRegistryNotify& Watcher() { return m_watcher; }
  CDevInfo& Devices() { return m_devInfo; }

 private:
  // Size of the "selected" setting in characters (256 bytes); buffers get
  // one more, always zero, so a stored id is terminated whatever was read.
  static constexpr DWORD kSelectedChars = 128;

  // A DWORD setting, or `fallback` when it cannot be read.
  DWORD ReadDword(int id, DWORD fallback) const;
  // The stored "selected" id, terminated; empty when it cannot be read.
  void ReadSelected(WCHAR (&id)[kSelectedChars + 1]) const;
  // Stores the current selection's instance id as its characters x 2
  // bytes; nothing when no device is selected.
  void WriteSelected() const;
  // The index of the current selection; -1 when none.
  LONG CurrentSelectedIndex() const;
  void SetBufferLabel(int position);
  // Stores position x 32 as the buffer size and tells running drivers.
  void StoreBufferSize(int position);
  // Init steps 5, 6 (the device list and its highlight) and 7, 8 (the
  // two combo boxes), 9 (the slider).
  void InitDeviceList();
  void InitRateRow();
  void InitBitDepthRow();
  void InitSlider();

  PanelView& m_view;
  CRegistryNotify m_watcher;
  SettingsStore m_settings{SettingsBuild::ControlPanel};
  // Closed by its own destructor: members go in reverse order, so the
  // device list is freed first, then this event, the watcher last.
  struct OwnedHandle {
    HANDLE handle = nullptr;
    OwnedHandle() = default;
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() {
      if (handle != nullptr) CloseHandle(handle);
    }
  };
  OwnedHandle m_presenceEvent;
  CDevInfo m_devInfo;
  HDEVNOTIFY m_deviceNotification = nullptr;
  LONG m_highlightedIndex = -1;
  LONG m_activeIndex = -1;
  LONG m_rateIndex = -1;
  LONG m_bitDepthIndex = -1;
  DWORD m_displayedRate = 0;
  DWORD m_displayedBitDepth = 0;
  BYTE m_displayedFormat = 0;
  bool m_watcherStarted = false;
  bool m_destroyed = false;
};
