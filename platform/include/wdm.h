/* Host stand-in for the DDK's <wdm.h>: the kernel services the driver uses,
   with the DDK's names, signatures, layouts (x64) and values. Implemented by
   platform/kernel (library usbaudio_platform_kernel). */
#ifndef USBAUDIO_PLATFORM_WDM_H
#define USBAUDIO_PLATFORM_WDM_H

#define _WDMDDK_

#include <ntdef.h>
#include <ntstatus.h>
#include <guiddef.h>
#include <dpfilter.h>

#include <ntos/rtl.h>
#include <ntos/interlocked.h>
#include <ntos/ke.h>
#include <ntos/ex.h>
#include <ntos/io.h>
#include <ntos/mm.h>
#include <ntos/ps.h>

#endif
