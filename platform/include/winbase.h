/* Host stand-in for the SDK's <winbase.h>: string helpers and local memory.
   The string functions are the stand-ins' own (UTF-16; the host C library
   never sees WCHAR text). */
#ifndef USBAUDIO_PLATFORM_WINBASE_H
#define USBAUDIO_PLATFORM_WINBASE_H

#include <minwinbase.h>

typedef HANDLE HLOCAL;

USBAUDIO_BEGIN_C
int WINAPI lstrlenW(LPCWSTR lpString);
int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2);
/* Case-insensitive comparison as the user's locale folds (here: Unicode
   simple case folding of the Basic Multilingual Plane's letters). */
int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);
LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength);
HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
HLOCAL WINAPI LocalFree(HLOCAL hMem);
USBAUDIO_END_C

#endif
