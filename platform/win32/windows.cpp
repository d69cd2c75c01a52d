// Placeholder of the window stand-ins; its owner rewrites it.
#include <windows.h>
#include <dbt.h>

#include "platform/win32/window_host.h"

namespace platform::win32 {
HWND CreateHostWindow(const std::u16string&) { return nullptr; }
void DestroyHostWindow(HWND) {}
bool TakeWindowMessage(HWND, WindowMessage*, DWORD) { return false; }
size_t PendingWindowMessages(HWND) { return 0; }
std::vector<int> WindowActivations(HWND) { return {}; }
size_t LiveDeviceNotifications() { return 0; }
size_t LiveHostWindows() { return 0; }
}  // namespace platform::win32

extern "C" {
BOOL WINAPI PostMessageW(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
HWND WINAPI FindWindowW(LPCWSTR, LPCWSTR) { return nullptr; }
BOOL WINAPI IsWindow(HWND) { return FALSE; }
BOOL WINAPI ShowWindow(HWND, int) { return FALSE; }
BOOL WINAPI SetForegroundWindow(HWND) { return FALSE; }
HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE, LPVOID, DWORD) { return nullptr; }
BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY) { return FALSE; }
}
