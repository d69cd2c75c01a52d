// The control panel's refresh (WM_APP): the registry watcher and device
// arrival or removal ask for it. It rebuilds the device list, follows the
// stored device (or stores one when the stored one is gone), and shows the
// stored buffer size and sampling rate, telling running drivers when they
// must follow.
#include "panel/control_panel_dialog.h"

#include "panel/panel_resources.h"
#include "panel/panel_tables.h"

LRESULT CAsioControlPanelDlg::OnRefresh() {
  const DWORD streaming = ReadDword(kAsioSettingStreaming, 0);

  m_devInfo.makeActiveDeviceList();
  m_view.ResetRows(IDC_DEVICE_LIST);
  for (ULONG i = 0; i < m_devInfo.EntryCount(); ++i) {
    const DeviceListEntry* entry = m_devInfo.getDeviceEntry(static_cast<LONG>(i));
    if (entry != nullptr) m_view.AddRow(IDC_DEVICE_LIST, entry->deviceName);
  }

  if (m_devInfo.EntryCount() > 0) {
    WCHAR selected[kSelectedChars + 1];
    ReadSelected(selected);
    const bool found = m_devInfo.setCurrentSelectedByListedInstanceId(selected) != FALSE;
    if (streaming != 0) {
      if (found) {
        const LONG index = CurrentSelectedIndex();
        if (index != m_activeIndex) {
          m_activeIndex = index;
          m_highlightedIndex = 0;
        }
        // While a host streams, the size only applies to the device it streams through.
        m_view.EnableControl(IDC_BUFFER_SLIDER, m_activeIndex == m_highlightedIndex);
      } else {
        // The host's device is gone: the first one takes its place, and the driver follows.
        m_highlightedIndex = m_activeIndex = 0;
        m_devInfo.setCurrentSelectedByIndex(0);
        WriteSelected();
        SettingsStore::Notify();
      }
    } else {
      m_view.EnableControl(IDC_BUFFER_SLIDER, true);
      if (found) {
        m_activeIndex = m_highlightedIndex = CurrentSelectedIndex();
      } else {
        m_highlightedIndex = m_activeIndex = 0;
        m_devInfo.setCurrentSelectedByIndex(0);
        WriteSelected();
      }
    }
    m_view.SelectRow(IDC_DEVICE_LIST, m_highlightedIndex);
    OnDeviceChoice();
  } else {
    m_highlightedIndex = m_activeIndex = 0;
    // Stored once: writing the same empty id again would wake the registry
    // watcher, whose refresh would write it again, without end.
    WCHAR stored[kSelectedChars + 1] = {};
    const bool storedEmpty =
        m_settings.Read(kAsioSettingSelected, stored, kSelectedChars * sizeof(WCHAR)) == kSettingsOk && stored[0] == 0;
    const WCHAR empty[1] = {0};
    if (!storedEmpty) m_settings.Write(kAsioSettingSelected, empty, sizeof empty);
    if (streaming != 0) {
      m_view.EnableControl(IDC_BUFFER_SLIDER, true);
      SettingsStore::Notify();
    }
  }

  // A missing key is created with its defaults; an unreadable size counts as 0.
  const int position = SliderPositionForBufferSize(ReadDword(kAsioSettingBufferSize, 0));
  if (position != m_view.SliderPosition(IDC_BUFFER_SLIDER)) {
    m_view.SetSliderPosition(IDC_BUFFER_SLIDER, position);
    SetBufferLabel(position);
  }

  const DWORD rate = ReadDword(kAsioSettingSamplingRate, 0);
  if (rate != m_displayedRate) {
    const LONG row = rate != 0 ? FindRateRow(rate) : -1;
    if (row >= 0) {
      m_displayedRate = rate;
      m_rateIndex = row;
      m_view.SelectRow(IDC_RATE_COMBO, row);
      SetBufferLabel(m_view.SliderPosition(IDC_BUFFER_SLIDER));
    } else {
      m_rateIndex = 0;
      m_view.SelectRow(IDC_RATE_COMBO, 0);
      m_displayedRate = kPanelRateRows[0].rate;
      SetBufferLabel(m_view.SliderPosition(IDC_BUFFER_SLIDER));
      m_settings.Write(kAsioSettingSamplingRate, &m_displayedRate, sizeof m_displayedRate);
    }
    SettingsStore::Notify();
  }
  return 0;
}
