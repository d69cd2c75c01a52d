/* Process/thread and object manager part of <wdm.h>: system threads, thread
   object references and kernel handles. Included by <wdm.h> only. */
#ifndef USBAUDIO_PLATFORM_NTOS_PS_H
#define USBAUDIO_PLATFORM_NTOS_PS_H

USBAUDIO_BEGIN_C

#ifndef SYNCHRONIZE
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_ALL 0x001F0000L
#endif
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)

typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef VOID(NTAPI KSTART_ROUTINE)(PVOID StartContext);
typedef KSTART_ROUTINE *PKSTART_ROUTINE;

struct _OBJECT_TYPE;
typedef struct _OBJECT_TYPE *POBJECT_TYPE;

typedef struct _OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

extern POBJECT_TYPE *PsThreadType;
extern POBJECT_TYPE *PsProcessType;
extern POBJECT_TYPE *ExEventObjectType;

/* The process the calling thread runs in (the System process for system
   threads and for host threads outside a simulated client process). */
#define PsGetCurrentProcess IoGetCurrentProcess

/* The routine runs at PASSIVE_LEVEL on its own thread. It ends by returning
   or by PsTerminateSystemThread, which unwinds the thread's frames without
   running C++ destructors (kernel code has none). */
NTKERNELAPI NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                                POBJECT_ATTRIBUTES ObjectAttributes,
                                                HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                                PKSTART_ROUTINE StartRoutine, PVOID StartContext);
NTKERNELAPI NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
NTKERNELAPI PETHREAD NTAPI PsGetCurrentThread(VOID);

/* KernelMode: thread handles (ObjectType *PsThreadType or NULL), then the
   current process's handles. UserMode: only the current process's handles
   (a kernel handle is STATUS_INVALID_HANDLE); the object type must match
   (STATUS_OBJECT_TYPE_MISMATCH) and the handle must grant DesiredAccess
   (STATUS_ACCESS_DENIED). Thread, event and process objects can be
   referenced and dereferenced. */
NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                     POBJECT_TYPE ObjectType,
                                                     KPROCESSOR_MODE AccessMode, PVOID *Object,
                                                     POBJECT_HANDLE_INFORMATION HandleInformation);
NTKERNELAPI LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
#define ObReferenceObject ObfReferenceObject
#define ObDereferenceObject ObfDereferenceObject

/* Closes a thread handle, or a file or event handle of the current process. */
NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);

USBAUDIO_END_C

#endif
