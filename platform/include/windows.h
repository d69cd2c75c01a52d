/* Host stand-in for the SDK's <windows.h>: the user-mode Win32 API the
   product's user-mode code uses, split into the SDK's own header names. The
   implementation (library usbaudio_platform_win32) runs on the kernel
   stand-ins: the same object namespace, registry, device database and I/O
   manager, with per-process handle tables. */
#ifndef USBAUDIO_PLATFORM_WINDOWS_H
#define USBAUDIO_PLATFORM_WINDOWS_H

#include <winnt.h>
#include <winerror.h>
#include <winioctl.h>
#include <minwinbase.h>
#include <errhandlingapi.h>
#include <handleapi.h>
#include <synchapi.h>
#include <processthreadsapi.h>
#include <libloaderapi.h>
#include <sysinfoapi.h>
#include <debugapi.h>
#include <fileapi.h>
#include <ioapiset.h>
#include <winbase.h>
#include <winreg.h>
#include <winuser.h>

#endif
