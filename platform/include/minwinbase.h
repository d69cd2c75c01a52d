/* Host stand-in for the SDK's <minwinbase.h>: OVERLAPPED, security
   attributes and the thread start routine type. */
#ifndef USBAUDIO_PLATFORM_MINWINBASE_H
#define USBAUDIO_PLATFORM_MINWINBASE_H

#include <winnt.h>

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;      /* the request's final NTSTATUS */
  ULONG_PTR InternalHigh;  /* bytes transferred */
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    } DUMMYSTRUCTNAME;
    PVOID Pointer;
  } DUMMYUNIONNAME;
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef DWORD(WINAPI *PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

#define STILL_ACTIVE STATUS_PENDING
#define WAIT_OBJECT_0 ((DWORD)STATUS_WAIT_0)
#define WAIT_ABANDONED ((DWORD)0x00000080L)
#define WAIT_ABANDONED_0 ((DWORD)0x00000080L)
#define WAIT_IO_COMPLETION ((DWORD)0x000000C0L)
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
#define INFINITE 0xFFFFFFFF
#ifndef MAXIMUM_WAIT_OBJECTS
#define MAXIMUM_WAIT_OBJECTS 64
#endif
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#endif
