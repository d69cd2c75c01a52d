// Placeholder bodies until the real implementation lands (replace this file).
#include <windows.h>

USBAUDIO_BEGIN_C

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

HANDLE WINAPI OpenEventW(DWORD, BOOL, LPCWSTR) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

BOOL WINAPI SetEvent(HANDLE) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL WINAPI ResetEvent(HANDLE) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

HANDLE WINAPI OpenMutexW(DWORD, BOOL, LPCWSTR) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

BOOL WINAPI ReleaseMutex(HANDLE) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

DWORD WINAPI WaitForSingleObject(HANDLE, DWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

DWORD WINAPI WaitForMultipleObjects(DWORD, const HANDLE *, BOOL, DWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

void WINAPI Sleep(DWORD) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); }

USBAUDIO_END_C
