// The dialog logic's view over the dialog's Win32 controls.
#include "panel/win32/win32_panel_view.h"

#include <commctrl.h>

#include <vector>

#include "panel/panel_resources.h"

namespace {

// The device list is the one list box; the other row controls are combo
// boxes, whose messages differ.
bool IsListBox(int id) { return id == IDC_DEVICE_LIST; }

HICON LoadPanelIcon(HINSTANCE instance, int widthMetric, int heightMetric) {
  return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_PANEL_ICON), IMAGE_ICON,
                                       GetSystemMetrics(widthMetric), GetSystemMetrics(heightMetric),
                                       LR_DEFAULTCOLOR));
}

}  // namespace

Win32PanelView::Win32PanelView(HINSTANCE instance)
    : m_largeIcon(LoadPanelIcon(instance, SM_CXICON, SM_CYICON)),
      m_smallIcon(LoadPanelIcon(instance, SM_CXSMICON, SM_CYSMICON)) {}

Win32PanelView::~Win32PanelView() {
  if (m_smallIcon != nullptr) DestroyIcon(m_smallIcon);
  if (m_largeIcon != nullptr) DestroyIcon(m_largeIcon);
}

LRESULT Win32PanelView::Send(int id, UINT message, WPARAM wParam, LPARAM lParam) const {
  return SendDlgItemMessageW(m_dialog, id, message, wParam, lParam);
}

void Win32PanelView::SetWindowIcons() {
  SendMessageW(m_dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_largeIcon));
  SendMessageW(m_dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_smallIcon));
}

void Win32PanelView::SetWindowTitle(const WCHAR* title) { SetWindowTextW(m_dialog, title); }

void Win32PanelView::SetControlText(int id, const WCHAR* text) { SetDlgItemTextW(m_dialog, id, text); }

void Win32PanelView::EnableControl(int id, bool enable) {
  EnableWindow(GetDlgItem(m_dialog, id), enable ? TRUE : FALSE);
}

void Win32PanelView::ResetRows(int id) {
  Send(id, IsListBox(id) ? LB_RESETCONTENT : CB_RESETCONTENT, 0, 0);
}

void Win32PanelView::AddRow(int id, const WCHAR* text) {
  Send(id, IsListBox(id) ? LB_ADDSTRING : CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

void Win32PanelView::SelectRow(int id, LONG row) {
  Send(id, IsListBox(id) ? LB_SETCURSEL : CB_SETCURSEL, static_cast<WPARAM>(row), 0);
}

LONG Win32PanelView::SelectedRow(int id) const {
  const LRESULT row = Send(id, IsListBox(id) ? LB_GETCURSEL : CB_GETCURSEL, 0, 0);
  return row < 0 ? -1 : static_cast<LONG>(row);
}

void Win32PanelView::GetRowText(int id, LONG row, WCHAR* text, size_t capacity) const {
  if (text == nullptr || capacity == 0) return;
  text[0] = L'\0';
  const bool list = IsListBox(id);
  const LRESULT length = Send(id, list ? LB_GETTEXTLEN : CB_GETLBTEXTLEN, static_cast<WPARAM>(row), 0);
  if (row < 0 || length < 0) return;
  // The controls copy the whole row; cut it here.
  std::vector<WCHAR> whole(static_cast<size_t>(length) + 1, L'\0');
  if (Send(id, list ? LB_GETTEXT : CB_GETLBTEXT, static_cast<WPARAM>(row),
           reinterpret_cast<LPARAM>(whole.data())) < 0) {
    return;
  }
  size_t i = 0;
  for (; i + 1 < capacity && whole[i] != L'\0'; ++i) text[i] = whole[i];
  text[i] = L'\0';
}

void Win32PanelView::SetSliderRange(int id, int low, int high) {
  Send(id, TBM_SETRANGE, TRUE, MAKELPARAM(low, high));
}

void Win32PanelView::SetSliderPosition(int id, int position) {
  Send(id, TBM_SETPOS, TRUE, static_cast<LPARAM>(position));
}

int Win32PanelView::SliderPosition(int id) const { return static_cast<int>(Send(id, TBM_GETPOS, 0, 0)); }

void Win32PanelView::RedrawControl(int id) { InvalidateRect(GetDlgItem(m_dialog, id), nullptr, TRUE); }

void Win32PanelView::RedrawWindow() {
  ::RedrawWindow(m_dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}
