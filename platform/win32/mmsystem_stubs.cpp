// Placeholder bodies until the real implementation lands (replace this file).
#include <mmsystem.h>

USBAUDIO_BEGIN_C

DWORD WINAPI timeGetTime(void) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

MMRESULT WINAPI timeBeginPeriod(UINT) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

MMRESULT WINAPI timeEndPeriod(UINT) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

USBAUDIO_END_C
