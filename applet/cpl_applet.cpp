// Placeholder; its owner rewrites it.
#include "applet/cpl_applet.h"

extern "C" LONG APIENTRY CPlApplet(HWND, UINT, LPARAM, LPARAM) { return 0; }
