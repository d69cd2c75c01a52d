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
#if defined(__MINGW32__)
// mingw-w64's usbdlib.h declares the usbd exports without C linkage.
extern "C" {
#include <usbdlib.h>
}
#else
#include <usbdlib.h>
#endif
#include <usbioctl.h>
#include <usbbusif.h>
// Attaching to a client process (KeStackAttachProcess), to remove a user
// mapping in the process it was made in.
#include <ntifs.h>

#if defined(__MINGW32__)
// Gaps of mingw-w64's headers that <portcls.h> runs into.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif
typedef WCHAR TCHAR;
typedef struct {
    ULONG FifoSize;
    ULONG ChipsetDelay;
    ULONG CodecDelay;
} KSRTAUDIO_HWLATENCY, *PKSRTAUDIO_HWLATENCY;
typedef struct {
    PVOID Register;
    ULONG Width;
    ULONGLONG Numerator;
    ULONGLONG Denominator;
    ULONG Accuracy;
} KSRTAUDIO_HWREGISTER, *PKSRTAUDIO_HWREGISTER;
#endif

#include <portcls.h>
#include <ks.h>
#include <ksmedia.h>

#if defined(__MINGW32__)
#ifndef STATUS_NO_MATCH
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)
#endif
#endif
