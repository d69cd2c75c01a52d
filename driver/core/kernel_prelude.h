// The one include of the Windows kernel platform for all driver code.
// On the Windows build these are mingw-w64's DDK headers; on the host build
// the same names resolve to the platform stand-ins.
#pragma once

#if defined(__MINGW32__)
// mingw-w64's <intrin.h> already defines these; <wdm.h> would define them again.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

#include <ntddk.h>
#include <wdm.h>
#include <ntstrsafe.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <usbbusif.h>

#if defined(__MINGW32__)
#ifndef STATUS_NO_MATCH
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)
#endif
#endif
