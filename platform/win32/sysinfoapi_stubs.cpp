// Placeholder bodies until the real implementation lands (replace this file).
#include <windows.h>

USBAUDIO_BEGIN_C

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL WINAPI GetLogicalProcessorInformation(PSYSTEM_LOGICAL_PROCESSOR_INFORMATION, PDWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

DWORD WINAPI GetTickCount(void) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

ULONGLONG WINAPI GetTickCount64(void) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

USBAUDIO_END_C
