// The control panel program's start, free of any window toolkit: trace
// registration, COM, the single-instance rule, then the modal dialog.
#pragma once

#include "kslib/user_prelude.h"

#include <functional>

struct PanelAppHooks {
  // Initialises the common controls (all classes); may be empty.
  std::function<void()> initCommonControls;
  // Runs the dialog modally and returns when it has closed.
  std::function<void()> runDialog;
};

// What the start did.
enum class PanelAppOutcome {
  RanDialog,          // the dialog ran and closed
  ActivatedExisting,  // another instance's window was brought forward
  ComFailed,          // CoInitializeEx failed: nothing else was done
};

// The whole program: never enters a message loop of its own.
PanelAppOutcome RunControlPanelApp(const PanelAppHooks& hooks);
