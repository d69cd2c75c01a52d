// Placeholder; its owner rewrites it.
#include "panel/control_panel_app.h"

PanelAppOutcome RunControlPanelApp(const PanelAppHooks& hooks) {
  if (hooks.runDialog) hooks.runDialog();
  return PanelAppOutcome::RanDialog;
}
