// The control panel's modal dialog (resource 102): owns the Win32 view, the
// toolkit-free dialog logic and the logo, and forwards the dialog's
// messages to the logic.
#pragma once

#include "panel/control_panel_dialog.h"
#include "panel/win32/logo_bitmap.h"
#include "panel/win32/win32_panel_view.h"

class PanelDialogWindow {
 public:
  // The dialog's construction: the logic (watcher, device list), icon 128
  // and the decoded logo; no window exists yet.
  explicit PanelDialogWindow(HINSTANCE instance);
  PanelDialogWindow(const PanelDialogWindow&) = delete;
  PanelDialogWindow& operator=(const PanelDialogWindow&) = delete;

  // Runs the dialog modally; returns once it has closed.
  void Run();

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Paint(HWND window);

  HINSTANCE m_instance;
  Win32PanelView m_view;
  CAsioControlPanelDlg m_dialog;
  LogoBitmap m_logo;
};
