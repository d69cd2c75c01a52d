/* Host stand-in for the SDK's <libloaderapi.h>: the modules the system loads
   at run time ("ksuser.dll", "avrt.dll", "kernel32", and modules a test
   registers, with their DllMain-style entry points), each of which a test
   can make missing. */
#ifndef USBAUDIO_PLATFORM_LIBLOADERAPI_H
#define USBAUDIO_PLATFORM_LIBLOADERAPI_H

#include <minwinbase.h>

typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef INT_PTR(WINAPI *FARPROC)(void);

USBAUDIO_BEGIN_C
HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule);
USBAUDIO_END_C

#endif
