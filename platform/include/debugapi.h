/* Host stand-in for the SDK's <debugapi.h>: debugger output goes to a sink
   tests and tools can capture (platform/win32/debug_output.h). */
#ifndef USBAUDIO_PLATFORM_DEBUGAPI_H
#define USBAUDIO_PLATFORM_DEBUGAPI_H

#include <minwinbase.h>

USBAUDIO_BEGIN_C
void WINAPI OutputDebugStringW(LPCWSTR lpOutputString);
void WINAPI OutputDebugStringA(LPCSTR lpOutputString);
USBAUDIO_END_C

#endif
