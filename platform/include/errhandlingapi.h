/* Host stand-in for the SDK's <errhandlingapi.h>: the thread's last error. */
#ifndef USBAUDIO_PLATFORM_ERRHANDLINGAPI_H
#define USBAUDIO_PLATFORM_ERRHANDLINGAPI_H

#include <minwinbase.h>

USBAUDIO_BEGIN_C
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);
USBAUDIO_END_C

#endif
