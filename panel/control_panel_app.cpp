// The control panel program's start: common controls, the trace provider
// shared with the ASIO driver, COM, then either the window of a program
// already running is brought forward or the dialog runs modally.
#include "panel/control_panel_app.h"

#include <winuser.h>

#include "asio/asio_trace.h"
#include "panel/panel_tables.h"

PanelAppOutcome RunControlPanelApp(const PanelAppHooks& hooks) {
  if (hooks.initCommonControls) hooks.initCommonControls();
  AsioTraceRegister();
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
    AsioTraceUnregister();
    return PanelAppOutcome::ComFailed;
  }

  PanelAppOutcome outcome = PanelAppOutcome::RanDialog;
  // One control panel at a time: a second start shows the first one.
  HWND existing = FindWindowW(nullptr, VM_PANEL_TITLE);
  if (existing != nullptr) {
    ShowWindow(existing, SW_SHOWNORMAL);
    SetForegroundWindow(existing);
    outcome = PanelAppOutcome::ActivatedExisting;
  } else if (hooks.runDialog) {
    hooks.runDialog();
  }

  AsioTraceUnregister();
  CoUninitialize();
  return outcome;
}
