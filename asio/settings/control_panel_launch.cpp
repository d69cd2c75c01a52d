// Starts the control panel program from the path the setup recorded.
#include "asio/settings/settings_store.h"

namespace {

// "at most 256 bytes" of path, plus room for a terminator the value may lack.
constexpr DWORD kPathBytes = 256;

// The recorded path, always terminated; false when the key or value is
// missing, not REG_SZ or longer than the limit.
bool ReadControlPanelPath(WCHAR (&path)[kPathBytes / sizeof(WCHAR) + 1]) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, VM_ASIO_SETUP_KEY, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return false;
  DWORD type = 0;
  DWORD bytes = kPathBytes;
  const LSTATUS status =
      RegQueryValueExW(key, VM_ASIO_CONTROL_PANEL_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(path), &bytes);
  RegCloseKey(key);
  return status == ERROR_SUCCESS && type == REG_SZ;
}

}  // namespace

bool SettingsStore::LaunchControlPanel(bool wait) {
  WCHAR path[kPathBytes / sizeof(WCHAR) + 1] = {};
  if (!ReadControlPanelPath(path)) return false;
  STARTUPINFOW startup = {};
  PROCESS_INFORMATION process = {};
  if (CreateProcessW(path, nullptr, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr,
                     nullptr, &startup, &process)) {
    if (wait) {
      // Polled every 50 ms until it ends; a failed wait ends the polling.
      while (WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) {
      }
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  return true;
}
