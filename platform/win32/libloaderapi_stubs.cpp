// Placeholder bodies until the real implementation lands (replace this file).
#include <windows.h>

USBAUDIO_BEGIN_C

HMODULE WINAPI LoadLibraryW(LPCWSTR) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE, LPCSTR) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

BOOL WINAPI FreeLibrary(HMODULE) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

DWORD WINAPI GetModuleFileNameW(HMODULE, LPWSTR, DWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

USBAUDIO_END_C
