/* Host stand-in for the DDK's <ntddk.h>: everything of <wdm.h>. */
#ifndef USBAUDIO_PLATFORM_NTDDK_H
#define USBAUDIO_PLATFORM_NTDDK_H

#define _NTDDK_

#include <wdm.h>

#endif
