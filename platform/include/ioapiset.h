/* Host stand-in for the SDK's <ioapiset.h>: device I/O control, overlapped
   results and cancellation. */
#ifndef USBAUDIO_PLATFORM_IOAPISET_H
#define USBAUDIO_PLATFORM_IOAPISET_H

#include <minwinbase.h>

USBAUDIO_BEGIN_C
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped);
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait);
BOOL WINAPI CancelIo(HANDLE hFile);
USBAUDIO_END_C

#endif
