// Placeholder bodies until the real implementation lands (replace this file).
#include <windows.h>

USBAUDIO_BEGIN_C

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

DWORD WINAPI ResumeThread(HANDLE) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

BOOL WINAPI GetExitCodeThread(HANDLE, LPDWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL WINAPI TerminateThread(HANDLE, DWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

void WINAPI ExitThread(DWORD) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); }

HANDLE WINAPI GetCurrentThread(void) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

DWORD WINAPI GetCurrentThreadId(void) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

HANDLE WINAPI GetCurrentProcess(void) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

DWORD WINAPI GetCurrentProcessId(void) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

BOOL WINAPI SetThreadPriority(HANDLE, int) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

int WINAPI GetThreadPriority(HANDLE) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

BOOL WINAPI CreateProcessW(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE, LPDWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

USBAUDIO_END_C
