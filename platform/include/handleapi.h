/* Host stand-in for the SDK's <handleapi.h>. */
#ifndef USBAUDIO_PLATFORM_HANDLEAPI_H
#define USBAUDIO_PLATFORM_HANDLEAPI_H

#include <minwinbase.h>

USBAUDIO_BEGIN_C
/* Any handle of the calling process: file, event, mutex, thread, process. */
BOOL WINAPI CloseHandle(HANDLE hObject);
USBAUDIO_END_C

#endif
