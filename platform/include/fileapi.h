/* Host stand-in for the SDK's <fileapi.h>: CreateFileW on device-interface
   paths (an IRP_MJ_CREATE to the interface's device). */
#ifndef USBAUDIO_PLATFORM_FILEAPI_H
#define USBAUDIO_PLATFORM_FILEAPI_H

#include <minwinbase.h>

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_OVERLAPPED 0x40000000

USBAUDIO_BEGIN_C
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
USBAUDIO_END_C

#endif
