/* Host stand-in for the SDK's <avrt.h>: multimedia class scheduler calls
   (resolved at run time from "avrt.dll" by the product). */
#ifndef USBAUDIO_PLATFORM_AVRT_H
#define USBAUDIO_PLATFORM_AVRT_H

#include <windows.h>

typedef enum _AVRT_PRIORITY {
  AVRT_PRIORITY_VERYLOW = -2,
  AVRT_PRIORITY_LOW,
  AVRT_PRIORITY_NORMAL,
  AVRT_PRIORITY_HIGH,
  AVRT_PRIORITY_CRITICAL
} AVRT_PRIORITY, *PAVRT_PRIORITY;

USBAUDIO_BEGIN_C
HANDLE WINAPI AvSetMmThreadCharacteristicsW(LPCWSTR TaskName, LPDWORD TaskIndex);
BOOL WINAPI AvRevertMmThreadCharacteristics(HANDLE AvrtHandle);
BOOL WINAPI AvSetMmThreadPriority(HANDLE AvrtHandle, AVRT_PRIORITY Priority);
USBAUDIO_END_C

#endif
