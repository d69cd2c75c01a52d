// Placeholder bodies until the real implementation lands (replace this file).
#include <windows.h>

USBAUDIO_BEGIN_C

int WINAPI lstrlenW(LPCWSTR) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

int WINAPI lstrcmpW(LPCWSTR, LPCWSTR) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

int WINAPI lstrcmpiW(LPCWSTR, LPCWSTR) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

LPWSTR WINAPI lstrcpynW(LPWSTR, LPCWSTR, int) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

HLOCAL WINAPI LocalAlloc(UINT, SIZE_T) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

HLOCAL WINAPI LocalFree(HLOCAL) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

USBAUDIO_END_C
