// vm_usbaudio_cpl.exe: the program start (trace provider, COM, single
// instance) is RunControlPanelApp's; this supplies the common controls and
// the modal dialog. The program takes no arguments.
#include "kslib/user_prelude.h"

#include <commctrl.h>

#include "panel/control_panel_app.h"
#include "panel/win32/panel_dialog_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  PanelAppHooks hooks;
  hooks.initCommonControls = [] {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = 0xFF;  // every class of the original common controls
    InitCommonControlsEx(&controls);
  };
  hooks.runDialog = [instance] {
    PanelDialogWindow dialog(instance);
    dialog.Run();
  };
  return RunControlPanelApp(hooks) == PanelAppOutcome::ComFailed ? 1 : 0;
}
