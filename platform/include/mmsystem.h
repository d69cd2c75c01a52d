/* Host stand-in for the SDK's <mmsystem.h>: the multimedia timer functions. */
#ifndef USBAUDIO_PLATFORM_MMSYSTEM_H
#define USBAUDIO_PLATFORM_MMSYSTEM_H

#include <windows.h>
#include <mmreg.h>

typedef UINT MMRESULT;
#define MMSYSERR_NOERROR 0
#define TIMERR_NOERROR 0
#define TIMERR_NOCANDO 97

USBAUDIO_BEGIN_C
DWORD WINAPI timeGetTime(void);
MMRESULT WINAPI timeBeginPeriod(UINT uPeriod);
MMRESULT WINAPI timeEndPeriod(UINT uPeriod);
USBAUDIO_END_C

#endif
