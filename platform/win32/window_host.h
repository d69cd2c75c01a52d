// Host-side control of the window stand-ins (no Windows counterpart): a
// program's top-level window with a title, as a dialog has one, whose
// posted messages the program drains itself; what activation calls it got;
// and the device-change registrations alive. A window belongs to the
// process that made it and goes with it (its device registrations too).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace platform::win32 {

// One message taken from a window's queue. A WM_DEVICECHANGE for a device
// interface carries its DEV_BROADCAST_DEVICEINTERFACE_W record in `record`,
// and lParam points into it (valid while this object lives, not copied).
struct WindowMessage {
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  std::vector<uint8_t> record;
};

// A visible top-level window of the calling process titled `title` (what
// FindWindowW searches). Null outside a client process.
HWND CreateHostWindow(const std::u16string& title);
// Destroys it: later posts fail with ERROR_INVALID_WINDOW_HANDLE, its
// device registrations end and its queue is dropped.
void DestroyHostWindow(HWND window);

// Takes the oldest message of the window's queue, waiting up to
// `timeoutMs`; false when none came or the window is gone.
bool TakeWindowMessage(HWND window, WindowMessage* message, DWORD timeoutMs);
size_t PendingWindowMessages(HWND window);
// Threads now waiting in TakeWindowMessage on the window's empty queue (a
// test knows its UI thread is idle, or that a wake-up is needed).
size_t WindowMessageWaiters(HWND window);

// Activation calls the window got, oldest first (ShowWindow's command, or
// -1 for SetForegroundWindow).
std::vector<int> WindowActivations(HWND window);

// Registrations from RegisterDeviceNotificationW not yet unregistered, in
// every process (leak checks), and the number of top-level windows alive.
size_t LiveDeviceNotifications();
size_t LiveHostWindows();

}  // namespace platform::win32
