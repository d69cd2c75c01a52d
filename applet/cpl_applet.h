// The Control Panel applet's one export: answers the Control Panel's
// messages for the single entry and starts the control panel program named
// by HKLM "...\Velmora ASIO Device Setup" "ControlPanel" on a double-click.
#pragma once

#include "kslib/user_prelude.h"

#include <cpl.h>

extern "C" LONG APIENTRY CPlApplet(HWND hwndCpl, UINT message, LPARAM lParam1, LPARAM lParam2);
