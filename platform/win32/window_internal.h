// Shared internals of the window stand-ins (windows.cpp) and the
// device-change registrations (device_notifications.cpp). Lock order: the
// registrations' lock may be held while calling into the windows, never the
// other way round.
#pragma once

#include <windows.h>

#include "platform/win32/window_host.h"

namespace platform {
struct ClientProcess;
}

namespace platform::win32::detail {

// windows.cpp
bool IsLiveWindow(HWND window);
// Appends to the window's queue (a message with a record gets its lParam
// pointed at it when taken); false when the window is gone or its queue is
// full.
bool QueueWindowMessage(HWND window, WindowMessage message);
// Makes sure the end of a client process ends its windows and registrations.
void HookWindowsToProcessEnd();

// device_notifications.cpp
// The window's registrations stop delivering and no longer count as live.
void EndWindowNotifications(HWND window);
// The process's registrations are gone (its handles with them).
void EndProcessNotifications(ClientProcess* process);

}  // namespace platform::win32::detail
