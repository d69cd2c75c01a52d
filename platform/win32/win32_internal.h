// Shared internals of the Win32 stand-ins (not for product or test code).
#pragma once

#include <windows.h>
#include <ks.h>

namespace platform {
struct ClientProcess;
}

namespace platform::win32::detail {

// The calling thread's simulated process. User-mode code runs in a client
// process; a Win32 call from the system process (a thread no ProcessScope
// put into a client) is a verifier stop naming `function`.
ClientProcess* RequireClientProcess(const char* function);

// The Win32 error for an NTSTATUS, as RtlNtStatusToDosError maps it
// (ERROR_MR_MID_NOT_FOUND, 317, for a status the table does not know).
DWORD ErrorFromStatus(NTSTATUS status);

// "ksuser.dll"'s KsCreatePin: creates a pin below an open filter handle of
// the calling process; returns a Win32 error code (0 on success).
DWORD WINAPI KsUserCreatePin(HANDLE FilterHandle, PKSPIN_CONNECT Connect, ACCESS_MASK DesiredAccess,
                             PHANDLE ConnectionHandle);

}  // namespace platform::win32::detail
