/* Host stand-in for the DDK's <ntifs.h>: everything of <ntddk.h> plus
   attaching a thread to another process's address space. */
#ifndef USBAUDIO_PLATFORM_NTIFS_H
#define USBAUDIO_PLATFORM_NTIFS_H

#define _NTIFS_

#include <ntddk.h>

USBAUDIO_BEGIN_C

/* x64 layout (0x30 bytes). The host keeps the process to return to in it. */
typedef struct _KAPC_STATE {
  LIST_ENTRY ApcListHead[MaximumMode];
  PKPROCESS Process;
  BOOLEAN KernelApcInProgress;
  BOOLEAN KernelApcPending;
  BOOLEAN UserApcPending;
} KAPC_STATE, *PKAPC_STATE, *PRKAPC_STATE;

#define KAPC_STATE_ACTUAL_LENGTH (FIELD_OFFSET(KAPC_STATE, UserApcPending) + sizeof(BOOLEAN))

/* The calling thread runs in Process's address space until the matching
   KeUnstackDetachProcess (attachments nest, innermost first). */
NTKERNELAPI VOID NTAPI KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState);
NTKERNELAPI VOID NTAPI KeUnstackDetachProcess(PRKAPC_STATE ApcState);

USBAUDIO_END_C

#endif
