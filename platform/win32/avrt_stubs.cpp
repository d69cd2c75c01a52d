// Placeholder bodies until the real implementation lands (replace this file).
#include <avrt.h>

USBAUDIO_BEGIN_C

HANDLE WINAPI AvSetMmThreadCharacteristicsW(LPCWSTR, LPDWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

BOOL WINAPI AvRevertMmThreadCharacteristics(HANDLE) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL WINAPI AvSetMmThreadPriority(HANDLE, AVRT_PRIORITY) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

USBAUDIO_END_C
