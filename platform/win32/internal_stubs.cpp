// Placeholder bodies until the real implementation lands (replace this file).
#include "platform/win32/win32_internal.h"

namespace platform::win32::detail {

ClientProcess* RequireClientProcess(const char*) { return nullptr; }

DWORD ErrorFromStatus(NTSTATUS status) { return status == STATUS_SUCCESS ? ERROR_SUCCESS : ERROR_GEN_FAILURE; }

DWORD WINAPI KsUserCreatePin(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE) { return ERROR_CALL_NOT_IMPLEMENTED; }

}  // namespace platform::win32::detail
