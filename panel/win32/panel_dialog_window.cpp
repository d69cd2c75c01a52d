// The dialog procedure: Win32 messages to the dialog logic, plus the
// painting only a real window has (minimised icon, logo, device list rows).
#include "panel/win32/panel_dialog_window.h"

#include <commctrl.h>

#include "panel/logo_image.h"
#include "panel/panel_resources.h"
#include "panel/win32/device_list_drawing.h"

PanelDialogWindow::PanelDialogWindow(HINSTANCE instance)
    : m_instance(instance), m_view(instance), m_dialog(m_view), m_logo(instance) {}

void PanelDialogWindow::Run() {
  DialogBoxParamW(m_instance, MAKEINTRESOURCEW(IDD_CONTROL_PANEL), nullptr, DialogProc,
                  reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK PanelDialogWindow::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<PanelDialogWindow*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    self->m_view.Attach(window);
    return self->m_dialog.OnInitDialog();
  }
  // The list box asks for its row height while it is created, before
  // WM_INITDIALOG.
  if (message == WM_MEASUREITEM) {
    auto* item = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
    if (item->CtlType != ODT_LISTBOX || item->CtlID != IDC_DEVICE_LIST) return FALSE;
    MeasureDeviceListRow(window, *item);
    return TRUE;
  }
  auto* self = reinterpret_cast<PanelDialogWindow*>(GetWindowLongPtrW(window, DWLP_USER));
  return self != nullptr ? self->Handle(window, message, wParam, lParam) : FALSE;
}

INT_PTR PanelDialogWindow::Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_HSCROLL:
      if (reinterpret_cast<HWND>(lParam) == GetDlgItem(window, IDC_BUFFER_SLIDER)) {
        m_dialog.OnHScroll(LOWORD(wParam), HIWORD(wParam));
      }
      return FALSE;  // the default handling follows
    case WM_COMMAND:
      if (LOWORD(wParam) == IDC_DEVICE_LIST && HIWORD(wParam) == LBN_SELCHANGE) {
        m_dialog.OnDeviceChoice();
        return TRUE;
      }
      if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(window, IDCANCEL);
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      EndDialog(window, IDCANCEL);
      return TRUE;
    case WM_APP:
      SetWindowLongPtrW(window, DWLP_MSGRESULT, m_dialog.OnRefresh());
      return TRUE;
    case WM_DEVICECHANGE:
      SetWindowLongPtrW(window, DWLP_MSGRESULT, m_dialog.OnDeviceChange(wParam, lParam));
      return TRUE;
    case WM_PAINT:
      Paint(window);
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(m_view.LargeIcon());
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (item->CtlType == ODT_LISTBOX && item->CtlID == IDC_DEVICE_LIST) {
        DrawDeviceListRow(*item, m_dialog.ActiveIndexPointer());
        return TRUE;
      }
      // The logo's placeholder draws nothing itself: WM_PAINT blends the
      // logo over its place.
      return item->CtlID == IDC_LOGO ? TRUE : FALSE;
    }
    case WM_DESTROY:
      m_dialog.OnDestroy();
      return FALSE;
    default:
      return FALSE;
  }
}

void PanelDialogWindow::Paint(HWND window) {
  PAINTSTRUCT paint{};
  HDC dc = BeginPaint(window, &paint);
  if (IsIconic(window)) {
    SendMessageW(window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client{};
    GetClientRect(window, &client);
    const PanelPoint at = CentredIconOrigin(client.right - client.left, client.bottom - client.top,
                                            GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
    DrawIcon(dc, static_cast<int>(at.x), static_cast<int>(at.y), m_view.LargeIcon());
  } else {
    // The dialog's default painting is the background BeginPaint erased;
    // the logo goes at the placeholder's top-left in client coordinates.
    // Its area is filled with the dialog's background brush first: an
    // update region invalidated without erasing would otherwise blend the
    // logo's soft edges over their last painting and darken them.
    RECT place{};
    GetWindowRect(GetDlgItem(window, IDC_LOGO), &place);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&place), 2);
    const RECT logoArea{place.left, place.top, place.left + m_logo.Width(), place.top + m_logo.Height()};
    auto* background = reinterpret_cast<HBRUSH>(
        SendMessageW(window, WM_CTLCOLORDLG, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(window)));
    if (background != nullptr) FillRect(dc, &logoArea, background);
    m_logo.Draw(dc, place.left, place.top);
  }
  EndPaint(window, &paint);
}
