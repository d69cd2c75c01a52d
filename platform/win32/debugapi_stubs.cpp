// Placeholder bodies until the real implementation lands (replace this file).
#include <windows.h>

USBAUDIO_BEGIN_C

void WINAPI OutputDebugStringW(LPCWSTR) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); }

void WINAPI OutputDebugStringA(LPCSTR) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); }

USBAUDIO_END_C
