// Placeholder; its owner rewrites it.
#include "panel/control_panel_dialog.h"

CAsioControlPanelDlg::CAsioControlPanelDlg(PanelView& view)
    : m_view(view), m_watcher(HKEY_CURRENT_USER), m_devInfo(kDevInfoTraceControlPanel) {}
CAsioControlPanelDlg::~CAsioControlPanelDlg() {}
BOOL CAsioControlPanelDlg::OnInitDialog() { return TRUE; }
void CAsioControlPanelDlg::OnHScroll(int, int) {}
void CAsioControlPanelDlg::OnDeviceChoice() {}
LRESULT CAsioControlPanelDlg::OnRefresh() { return 0; }
BOOL CAsioControlPanelDlg::OnDeviceChange(WPARAM, LPARAM) { return TRUE; }
void CAsioControlPanelDlg::OnDestroy() {}
