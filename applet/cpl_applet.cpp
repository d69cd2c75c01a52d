// The Control Panel applet: one entry whose double-click starts the control
// panel program the setup recorded under HKLM (64-bit view, whatever the
// applet's own bitness).
#include "applet/cpl_applet.h"

#include "applet/applet_resources.h"
#include "asio/settings/settings_table.h"

namespace {

// The value's room: 127 characters and the terminator.
constexpr DWORD kPathBytes = 256;
constexpr DWORD kPathChars = kPathBytes / sizeof(WCHAR);

// The recorded path, terminated inside the buffer; false when the key or the
// value is missing, not REG_SZ, longer than the buffer, or fills it without a
// terminator (a path of 128 characters is beyond the limit, and starting it
// would read past the buffer).
bool ReadControlPanelPath(WCHAR (&path)[kPathChars]) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, VM_ASIO_SETUP_KEY, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return false;
  DWORD type = REG_NONE;
  DWORD bytes = kPathBytes;
  const LSTATUS status =
      RegQueryValueExW(key, VM_ASIO_CONTROL_PANEL_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(path), &bytes);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return false;
  // The buffer was zeroed, so a shorter value stored without its terminator
  // still ends inside it; only a full one can lack it.
  for (DWORD i = 0; i < kPathChars; ++i)
    if (path[i] == 0) return true;
  return false;
}

void StartControlPanel() {
  WCHAR path[kPathChars] = {};
  if (!ReadControlPanelPath(path)) return;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (CreateProcessW(path, nullptr, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr,
                     nullptr, &startup, &process)) {
    // The applet does not follow the program: its handles would only leak.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
}

}  // namespace

extern "C" LONG APIENTRY CPlApplet(HWND hwndCpl, UINT message, LPARAM lParam1, LPARAM lParam2) {
  (void)hwndCpl;
  (void)lParam1;
  switch (message) {
    case CPL_INIT:
      return 1;
    case CPL_GETCOUNT:
      return 1;
    case CPL_INQUIRE: {
      CPLINFO* info = reinterpret_cast<CPLINFO*>(lParam2);
      if (!info) return 1;  // nothing to fill: not processed
      info->idIcon = IDI_APPLET_ICON;
      info->idName = IDS_APPLET_NAME;
      info->idInfo = IDS_APPLET_INFO;
      info->lData = 0;
      return 0;
    }
    case CPL_DBLCLK:
      StartControlPanel();
      return 0;
    default:
      return 0;
  }
}
