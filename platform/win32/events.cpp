// Events: CreateEventW / OpenEventW in the one namespace of named objects,
// SetEvent, ResetEvent. The event objects are the kernel stand-ins' client
// events, so a driver that references a handle (ObReferenceObjectByHandle
// with UserMode) sets the very event a Win32 wait takes.
#include <string>

#include "platform/kernel/client_process.h"
#include "platform/win32/win32_internal.h"

namespace {

using platform::win32::detail::RequireClientProcess;

DWORD EventError(NTSTATUS status) {
  switch (status) {
    case STATUS_ACCESS_DENIED: return ERROR_ACCESS_DENIED;
    case STATUS_OBJECT_NAME_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
    default: return ERROR_INVALID_HANDLE;  // not an event of this process, or a name of another kind
  }
}

std::u16string Name(LPCWSTR name) { return std::u16string(reinterpret_cast<const char16_t*>(name)); }

}  // namespace

USBAUDIO_BEGIN_C

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName) {
  (void)lpEventAttributes;
  platform::ClientProcess* process = RequireClientProcess("CreateEventW");
  if (!lpName || !*lpName) {
    HANDLE h = platform::CreateClientEvent(process, bManualReset != FALSE, bInitialState != FALSE);
    SetLastError(ERROR_SUCCESS);
    return h;
  }
  HANDLE h = nullptr;
  NTSTATUS status = platform::CreateNamedClientEvent(process, Name(lpName), bManualReset != FALSE,
                                                     bInitialState != FALSE, EVENT_ALL_ACCESS, &h);
  if (status == STATUS_OBJECT_NAME_EXISTS) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return h;
  }
  if (!NT_SUCCESS(status)) {
    SetLastError(EventError(status));
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return h;
}

HANDLE WINAPI OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) {
  (void)bInheritHandle;
  platform::ClientProcess* process = RequireClientProcess("OpenEventW");
  if (!lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HANDLE h = nullptr;
  NTSTATUS status = platform::OpenNamedClientEvent(process, Name(lpName), dwDesiredAccess, &h);
  if (!NT_SUCCESS(status)) {
    SetLastError(EventError(status));
    return nullptr;
  }
  return h;
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  NTSTATUS status = platform::SetClientEvent(RequireClientProcess("SetEvent"), hEvent);
  if (NT_SUCCESS(status)) return TRUE;
  SetLastError(EventError(status));
  return FALSE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  NTSTATUS status = platform::ResetClientEvent(RequireClientProcess("ResetEvent"), hEvent);
  if (NT_SUCCESS(status)) return TRUE;
  SetLastError(EventError(status));
  return FALSE;
}

USBAUDIO_END_C
