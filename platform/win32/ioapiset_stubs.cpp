// Placeholder bodies until the real implementation lands (replace this file).
#include <windows.h>

USBAUDIO_BEGIN_C

BOOL WINAPI DeviceIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL WINAPI GetOverlappedResult(HANDLE, LPOVERLAPPED, LPDWORD, BOOL) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL WINAPI CancelIo(HANDLE) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

USBAUDIO_END_C
