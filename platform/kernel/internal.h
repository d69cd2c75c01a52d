// Shared internals of the kernel stand-ins (not for driver or test code).
#pragma once

#include <wdm.h>

#include <cstddef>
#include <functional>
#include <string>

#include "platform/kernel/verifier.h"

struct _OBJECT_TYPE {
  const char* name;
};

namespace platform {
struct ClientProcess;
}

namespace platform::detail {

// Bug check naming the given caller (the return address of the kernel
// service the driver called) instead of the immediate one.
[[noreturn]] void BugCheckAt(const void* caller, const char* rule, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// "function+0x1c (file:line)" when the sanitizer runtime can symbolize, else
// the module and offset.
std::string DescribeAddress(const void* pc);

#define USBAUDIO_CALLER() __builtin_return_address(0)

// A routine's entry point as a site DescribeAddress names correctly: it and
// the sanitizer symbolizer each step one byte back from a return address.
inline const void* RoutineSite(const void* entry) { return static_cast<const char*>(entry) + 2; }

// IRQL of the calling thread.
KIRQL CurrentIrql();
// A rise to DISPATCH_LEVEL is charged to `caller` (of kind "raise", "spin
// lock") unless the thread noted a site (dispatch_time.h).
void SetIrql(KIRQL irql, const void* caller = nullptr, const char* kind = nullptr);
// Bug checks with `rule` when the thread's IRQL is above `max`.
void RequireIrqlAtMost(KIRQL max, const void* caller, const char* rule, const char* what);

// Pool: allocation and free with an explicit caller, used by services that
// allocate on the driver's behalf (lookaside lists, USBD helpers).
PVOID AllocatePool(POOL_TYPE type, SIZE_T size, ULONG tag, bool zero, const void* caller);
void FreePool(PVOID p, bool checkTag, ULONG tag, const void* caller);
// True when p is a live pool allocation; tag and size are returned.
bool LookupPool(const void* p, ULONG* tag, SIZE_T* size);

// Fault injection for IRP allocations (consumes one matching allocation).
bool ShouldFailIrpAllocation();
void ResetPoolFaults();
void ResetIrpFaults();

// Devices a bus simulation owns: attachable, not counted as outstanding.
void AdoptDevice(PDEVICE_OBJECT device);
void ReleaseAdoptedDevice(PDEVICE_OBJECT device);
bool IsLiveDevice(PDEVICE_OBJECT device);

// Builds an IRP for the device (setup fills the first stack location),
// sends it, waits for its completion (bug check when it never completes)
// and frees it. Returns IoStatus.Status; *information = IoStatus.Information.
NTSTATUS SendIrpAndWait(PDEVICE_OBJECT device, ULONG_PTR* information,
                        const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup);

// Object type codes of DISPATCHER_HEADER.Type (the kernel's KOBJECTS).
enum : UCHAR {
  EventNotificationObject = 0,
  EventSynchronizationObject = 1,
  MutantObject = 2,
  SemaphoreObject = 5,
  ThreadObject = 6,
  TimerNotificationObject = 8,
  TimerSynchronizationObject = 9,
};

// Sets the object's signal state under the dispatcher lock and wakes the
// waiters when it becomes signalled.
void SetSignalState(PDISPATCHER_HEADER header, LONG state);
LONG SignalStateOf(PDISPATCHER_HEADER header);

// User-mode waits (the Win32 stand-ins), as KeWaitForMultipleObjects with a
// timeout in milliseconds (0xFFFFFFFF: none), plus: a signalled `stop`
// object (may be null; looked at first) ends the wait with STATUS_ALERTED;
// taking a mutant its last owner abandoned returns STATUS_ABANDONED_WAIT_0 +
// its index (wait-all: the lowest such index). `count` may be 0 with a stop
// object (a sleep). The caller checks the count.
NTSTATUS WaitUserObjects(ULONG count, PVOID objects[], bool waitAll, ULONG timeoutMs, PVOID stop);
// Win32 mutexes as user-mode mutants (outside the lock-order graph): free or
// owned by the calling thread; a release by a thread that does not own it
// returns false; a mutant its owner still holds when the owner ends becomes
// free and abandoned (nothing when `owner` no longer holds it).
void InitializeUserMutant(PKMUTANT mutant, bool owned);
bool ReleaseUserMutant(PKMUTANT mutant);
void AbandonUserMutant(PKMUTANT mutant, PKTHREAD owner);

// Host-side accounting of kernel handles to thread objects (threads.cpp).
size_t OutstandingThreadHandles();
// Closes a thread handle; false when the handle is not a thread handle.
bool CloseThreadHandle(HANDLE handle);

// Client processes (client_process.cpp). A handle value for a client
// handle table (small numbers, no kernel-handle bit), unique across processes.
HANDLE NewProcessHandleValue();
// ObReferenceObjectByHandle on the current process's handle table.
// checkAccess: UserMode rules (granted access must cover `desired`).
NTSTATUS ReferenceProcessHandle(HANDLE handle, ACCESS_MASK desired, POBJECT_TYPE type, bool checkAccess,
                                PVOID* object, POBJECT_HANDLE_INFORMATION info);
// ObfReferenceObject / ObfDereferenceObject on an event or process object;
// false when `object` is neither. *count is the new reference count.
bool ReferenceProcessObject(PVOID object, int delta, const void* caller, LONG_PTR* count);
// Closes an event handle of the current process; false when it is none.
bool CloseProcessEventHandle(HANDLE handle);
// The process's name for reports ("System" for null).
std::string ClientProcessName(const ClientProcess* process);
// Kernel references left on client events and processes (VerifyNoLeaks).
std::string DescribeClientObjectReferences(size_t* count);

// I/O manager (io_manager.cpp): closes the process's file handles, the
// newest first. The caller runs in the process.
void CloseProcessFiles(ClientProcess* process);
// The file object behind a handle of any process (host-side test hooks that
// observe a client's pin from outside it); null for an unknown handle.
PFILE_OBJECT FileObjectOfAnyProcessHandle(HANDLE handle);
// IRPs (irp.cpp): the process an IRP was sent from (null: the system).
void SetIrpProcess(PIRP irp, ClientProcess* process);
ClientProcess* IrpProcess(PIRP irp);
// User mappings (mdl.cpp): one line per mapping left in the process.
std::string DescribeUserMappings(const ClientProcess* process, size_t* count);
// A user view of the pool block at `block` that still exists (for pool
// frees); empty when none.
std::string DescribeUserViewsOfBlock(const void* block);
// The memfd arena behind pool blocks of a page or more (pool.cpp): the file
// and offset of the page at `address`; false when it is not the first page
// of a live arena block. *blockPages: the block's whole pages in bytes.
bool ArenaBlockAt(const void* address, int* fd, size_t* offset, size_t* blockPages);

// Windows-style formatting (LLP64 sizes; %s/%S/%ls/%hs/%ws, %wZ, %Z, %I64x).
// Writes at most cch - 1 characters and a terminator; returns false when the
// output was truncated. cch must be at least 1.
bool FormatA(char* dest, size_t cch, const char* format, va_list args);
bool FormatW(WCHAR* dest, size_t cch, const WCHAR* format, va_list args);

// Process-wide switch for DbgPrint output (environment USBAUDIO_TRACE).
bool TraceEnabled();

}  // namespace platform::detail
