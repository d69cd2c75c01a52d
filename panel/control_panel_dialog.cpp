// The control panel dialog: construction, initialisation, the buffer-size
// slider, the device choice, device-change messages and the end. The
// refresh from the settings and the device list is in
// control_panel_refresh.cpp.
#include "panel/control_panel_dialog.h"

#include <commctrl.h>
#include <dbt.h>
#include <winuser.h>

#include "panel/panel_resources.h"
#include "panel/panel_tables.h"

namespace {

// KSCATEGORY_AUDIO, spelled out so the program needs no GUID library.
constexpr GUID kAudioCategory = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32, "the registration record is 32 bytes");

constexpr size_t kRowTextChars = 260;

}  // namespace

CAsioControlPanelDlg::CAsioControlPanelDlg(PanelView& view)
    : m_view(view), m_watcher(HKEY_CURRENT_USER), m_devInfo(kDevInfoTraceControlPanel) {}

CAsioControlPanelDlg::~CAsioControlPanelDlg() {
  // The watcher threads post to this dialog's window: they end first. The
  // members then go: the device list, the presence event, the watcher.
  OnDestroy();
}

// ---- settings helpers -------------------------------------------------------

DWORD CAsioControlPanelDlg::ReadDword(int id, DWORD fallback) const {
  DWORD value = fallback;
  if (m_settings.Read(id, &value, sizeof value) != kSettingsOk) value = fallback;
  return value;
}

void CAsioControlPanelDlg::ReadSelected(WCHAR (&id)[kSelectedChars + 1]) const {
  for (WCHAR& c : id) c = 0;
  if (m_settings.Read(kAsioSettingSelected, id, kSelectedChars * sizeof(WCHAR)) != kSettingsOk) id[0] = 0;
  id[kSelectedChars] = 0;
}

void CAsioControlPanelDlg::WriteSelected() const {
  WCHAR id[kSelectedChars] = {};
  m_devInfo.getCurrentSelectedInstanceId(id, kSelectedChars);
  id[kSelectedChars - 1] = 0;
  size_t chars = 0;
  if (FAILED(StringCchLengthW(id, kSelectedChars, &chars)) || chars == 0) return;
  m_settings.Write(kAsioSettingSelected, id, static_cast<DWORD>(chars * sizeof(WCHAR)));
}

LONG CAsioControlPanelDlg::CurrentSelectedIndex() const {
  LONG index = -1;
  if (!m_devInfo.getCurrentSelectedIndex(&index)) index = -1;
  return index;
}

void CAsioControlPanelDlg::SetBufferLabel(int position) {
  WCHAR label[64];
  FormatBufferSizeLabel(position, label, 64);
  m_view.SetControlText(IDC_BUFFER_LABEL, label);
}

void CAsioControlPanelDlg::StoreBufferSize(int position) {
  const DWORD size = static_cast<DWORD>(position) * kSliderStep;
  // Skipped when the key cannot be opened for writing; drivers hear of it all the same.
  m_settings.Write(kAsioSettingBufferSize, &size, sizeof size);
  SettingsStore::Notify();
}

// ---- initialisation ---------------------------------------------------------

BOOL CAsioControlPanelDlg::OnInitDialog() {
  m_view.SetWindowIcons();
  m_view.SetWindowTitle(VM_PANEL_TITLE);
  // Held open, never signalled: tells the drivers a control panel exists.
  if (m_presenceEvent.handle == nullptr)
    m_presenceEvent.handle = CreateEventW(nullptr, TRUE, FALSE, VM_ASIO_KEEP_EVENT);

  m_devInfo.makeActiveDeviceList();
  InitDeviceList();
  InitRateRow();
  InitBitDepthRow();
  InitSlider();

  WCHAR information[kInformationTextChars];
  FormatInformationText(information, kInformationTextChars);
  m_view.SetControlText(IDC_INFORMATION, information);
  // They only show the stored values.
  m_view.EnableControl(IDC_RATE_COMBO, false);
  m_view.EnableControl(IDC_BIT_DEPTH_COMBO, false);

  m_watcher.SetOwner(m_view.Window());
  m_watcherStarted = true;
  m_watcher.Start();  // without it the dialog still works, refreshing on device changes only

  DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kAudioCategory;
  m_deviceNotification = RegisterDeviceNotificationW(m_view.Window(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  return TRUE;
}

void CAsioControlPanelDlg::InitDeviceList() {
  if (m_devInfo.EntryCount() > 0) {
    WCHAR selected[kSelectedChars + 1];
    ReadSelected(selected);
    if (m_devInfo.setCurrentSelectedByListedInstanceId(selected)) {
      m_activeIndex = m_highlightedIndex = CurrentSelectedIndex();
    } else if (ReadDword(kAsioSettingStreaming, 0) == 0) {
      // While a host streams, a stored device that has vanished stays stored.
      m_activeIndex = 0;
      m_devInfo.setCurrentSelectedByIndex(0);
      WriteSelected();
      m_highlightedIndex = 0;
    }
  }
  for (ULONG i = 0; i < m_devInfo.EntryCount(); ++i) {
    const DeviceListEntry* entry = m_devInfo.getDeviceEntry(static_cast<LONG>(i));
    if (entry != nullptr) m_view.AddRow(IDC_DEVICE_LIST, entry->deviceName);
  }
  if (m_highlightedIndex >= 0) {
    m_view.SelectRow(IDC_DEVICE_LIST, m_highlightedIndex);
    WCHAR text[kRowTextChars];
    m_view.GetRowText(IDC_DEVICE_LIST, m_highlightedIndex, text, kRowTextChars);
    m_view.SetControlText(IDC_SETTING_GROUP, text);
    m_view.RedrawControl(IDC_DEVICE_LIST);
  }
}

void CAsioControlPanelDlg::InitRateRow() {
  for (LONG row = 0; row < kPanelRateRowCount; ++row) m_view.AddRow(IDC_RATE_COMBO, kPanelRateRows[row].text);
  const LONG row = FindRateRow(ReadDword(kAsioSettingSamplingRate, 0));
  if (row < 0) {
    m_rateIndex = 0;
    const DWORD fallback = kPanelRateRows[0].rate;
    m_settings.Write(kAsioSettingSamplingRate, &fallback, sizeof fallback);
  } else {
    m_rateIndex = row;
  }
  m_view.SelectRow(IDC_RATE_COMBO, m_rateIndex);
  // What is shown is what the first refresh compares with: set it here, or
  // that refresh would signal the drivers about a change nobody made.
  m_displayedRate = kPanelRateRows[m_rateIndex].rate;
}

void CAsioControlPanelDlg::InitBitDepthRow() {
  for (LONG row = 0; row < kPanelBitDepthRowCount; ++row)
    m_view.AddRow(IDC_BIT_DEPTH_COMBO, kPanelBitDepthRows[row].text);
  DWORD bitDepth = 0;
  BYTE format = 0;
  const bool read = m_settings.Read(kAsioSettingBitDepth, &bitDepth, sizeof bitDepth) == kSettingsOk &&
                    m_settings.Read(kAsioSettingFormat, &format, sizeof format) == kSettingsOk;
  const LONG row = read ? FindBitDepthRow(bitDepth, format) : -1;
  if (row < 0) {
    m_bitDepthIndex = 0;
    const DWORD fallbackDepth = kPanelBitDepthRows[0].bitDepth;
    const BYTE fallbackFormat = kPanelBitDepthRows[0].format;
    m_settings.Write(kAsioSettingBitDepth, &fallbackDepth, sizeof fallbackDepth);
    m_settings.Write(kAsioSettingFormat, &fallbackFormat, sizeof fallbackFormat);
  } else {
    m_bitDepthIndex = row;
  }
  m_view.SelectRow(IDC_BIT_DEPTH_COMBO, m_bitDepthIndex);
  m_displayedBitDepth = kPanelBitDepthRows[m_bitDepthIndex].bitDepth;
  m_displayedFormat = kPanelBitDepthRows[m_bitDepthIndex].format;
}

void CAsioControlPanelDlg::InitSlider() {
  m_view.SetSliderRange(IDC_BUFFER_SLIDER, kSliderLow, kSliderHigh);
  // An unreadable size counts as 0 and is clamped.
  const int position = SliderPositionForBufferSize(ReadDword(kAsioSettingBufferSize, 0));
  m_view.SetSliderPosition(IDC_BUFFER_SLIDER, position);
  SetBufferLabel(position);
}

// ---- messages ---------------------------------------------------------------

void CAsioControlPanelDlg::OnHScroll(int code, int position) {
  // A reported position outside the slider's range is not a size it offers.
  if (position < kSliderLow) position = kSliderLow;
  if (position > kSliderHigh) position = kSliderHigh;
  switch (code) {
    case TB_THUMBTRACK:  // still dragging: nothing is stored
      SetBufferLabel(position);
      break;
    case TB_THUMBPOSITION:
      SetBufferLabel(position);
      StoreBufferSize(position);
      break;
    case TB_LINEUP:
    case TB_LINEDOWN:
    case TB_PAGEUP:
    case TB_PAGEDOWN:
    case TB_TOP:
    case TB_BOTTOM: {
      const int current = m_view.SliderPosition(IDC_BUFFER_SLIDER);
      SetBufferLabel(current);
      StoreBufferSize(current);
      break;
    }
    default:  // TB_ENDTRACK and above
      break;
  }
}

void CAsioControlPanelDlg::OnDeviceChoice() {
  const LONG row = m_view.SelectedRow(IDC_DEVICE_LIST);
  if (row < 0) return;
  m_highlightedIndex = row;
  WCHAR text[kRowTextChars];
  m_view.GetRowText(IDC_DEVICE_LIST, row, text, kRowTextChars);
  m_view.SetControlText(IDC_SETTING_GROUP, text);

  // While a host streams, another row is only highlighted.
  if (ReadDword(kAsioSettingStreaming, 0) == 0 && row != CurrentSelectedIndex()) {
    const DeviceListEntry* entry = m_devInfo.getDeviceEntry(row);
    if (entry != nullptr) {
      m_devInfo.setCurrentSelectedByDeviceInstanceId(entry->instanceId);
      m_activeIndex = CurrentSelectedIndex();
      WriteSelected();
    }
  }
  m_view.RedrawWindow();
}

BOOL CAsioControlPanelDlg::OnDeviceChange(WPARAM event, LPARAM) {
  if (event == DBT_DEVICEARRIVAL || event == DBT_DEVICEREMOVECOMPLETE)
    PostMessageW(m_view.Window(), WM_APP, 0, 0);
  return TRUE;
}

void CAsioControlPanelDlg::OnDestroy() {
  if (m_destroyed) return;
  m_destroyed = true;
  if (m_watcherStarted) m_watcher.Stop();
  m_watcherStarted = false;
  if (m_deviceNotification != nullptr) UnregisterDeviceNotification(m_deviceNotification);
  m_deviceNotification = nullptr;
}
