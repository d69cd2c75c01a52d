// Compiled twice by check_ddk_layout.py: natively against platform/include
// (prints every probed value) and with mingw-w64 against the real DDK headers
// (turns the printed values into static_asserts). Any difference in a size,
// offset, constant or function signature fails the second compile.
#ifdef _WIN32
#include <ntddk.h>
#include <ntstrsafe.h>
#else
#include <ntddk.h>
#include <ntstrsafe.h>
#endif
#include <ntifs.h>
#include <initguid.h>
#include <usb.h>
#include <usbdi.h>
#include <usb100.h>
#include <usbspec.h>
#include <usbioctl.h>
extern "C" {
#include <usbdlib.h>
}
#include <usbbusif.h>
#include <stddef.h>

#ifdef DDK_PROBE_VERIFY
#define CHECK(expr, value) static_assert((long long)(expr) == (long long)(value##LL), #expr);
#include "ddk_expected.inc"
#else
#include <stdio.h>
#define P(expr) printf("CHECK((%s), %lld)\n", #expr, (long long)(expr));
#define SZ(T) P(sizeof(T)) P(alignof(T))
#define OFF(T, f) P(offsetof(T, f))
int main() {
#include "ddk_probe_items.inc"
  return 0;
}
#endif

// Signatures: each function must convert to a pointer of the documented type
// (checked by compiling, on both sides; the value-printing build skips them).
#ifndef DDK_PROBE_NO_SIGNATURES
#define SIG(ret, name, args) [[maybe_unused]] static ret(NTAPI *const sig_##name) args = name;
SIG(PIRP, IoAllocateIrp, (CCHAR, BOOLEAN))
SIG(VOID, IoFreeIrp, (PIRP))
SIG(VOID, IoInitializeIrp, (PIRP, USHORT, CCHAR))
SIG(VOID, IoReuseIrp, (PIRP, NTSTATUS))
SIG(PIRP, IoBuildDeviceIoControlRequest,
    (ULONG, PDEVICE_OBJECT, PVOID, ULONG, PVOID, ULONG, BOOLEAN, PKEVENT, PIO_STATUS_BLOCK))
SIG(NTSTATUS, IofCallDriver, (PDEVICE_OBJECT, PIRP))
SIG(VOID, IofCompleteRequest, (PIRP, CCHAR))
SIG(BOOLEAN, IoCancelIrp, (PIRP))
SIG(VOID, IoAcquireCancelSpinLock, (PKIRQL))
SIG(VOID, IoReleaseCancelSpinLock, (KIRQL))
SIG(NTSTATUS, IoCreateDevice,
    (PDRIVER_OBJECT, ULONG, PUNICODE_STRING, DEVICE_TYPE, ULONG, BOOLEAN, PDEVICE_OBJECT *))
SIG(VOID, IoDeleteDevice, (PDEVICE_OBJECT))
SIG(PDEVICE_OBJECT, IoAttachDeviceToDeviceStack, (PDEVICE_OBJECT, PDEVICE_OBJECT))
SIG(VOID, IoDetachDevice, (PDEVICE_OBJECT))
SIG(PVOID, ExAllocatePoolWithTag, (POOL_TYPE, SIZE_T, ULONG))
SIG(VOID, ExFreePoolWithTag, (PVOID, ULONG))
SIG(VOID, ExFreePool, (PVOID))
SIG(PEPROCESS, IoGetCurrentProcess, (VOID))
SIG(VOID, KeStackAttachProcess, (PKPROCESS, PKAPC_STATE))
SIG(VOID, KeUnstackDetachProcess, (PKAPC_STATE))
SIG(VOID, MmUnmapLockedPages, (PVOID, PMDL))
SIG(NTSTATUS, ObReferenceObjectByHandle,
    (HANDLE, ACCESS_MASK, POBJECT_TYPE, KPROCESSOR_MODE, PVOID*, POBJECT_HANDLE_INFORMATION))
SIG(VOID, ExInitializeNPagedLookasideList,
    (PNPAGED_LOOKASIDE_LIST, PALLOCATE_FUNCTION, PFREE_FUNCTION, ULONG, SIZE_T, ULONG, USHORT))
SIG(VOID, ExDeleteNPagedLookasideList, (PNPAGED_LOOKASIDE_LIST))
SIG(PVOID, ExAllocateFromNPagedLookasideList, (PNPAGED_LOOKASIDE_LIST))
SIG(VOID, ExFreeToNPagedLookasideList, (PNPAGED_LOOKASIDE_LIST, PVOID))
SIG(VOID, KeInitializeEvent, (PRKEVENT, EVENT_TYPE, BOOLEAN))
SIG(LONG, KeSetEvent, (PRKEVENT, KPRIORITY, BOOLEAN))
SIG(LONG, KeResetEvent, (PRKEVENT))
SIG(VOID, KeClearEvent, (PRKEVENT))
SIG(LONG, KeReadStateEvent, (PRKEVENT))
SIG(VOID, KeInitializeSemaphore, (PRKSEMAPHORE, LONG, LONG))
SIG(LONG, KeReleaseSemaphore, (PRKSEMAPHORE, KPRIORITY, LONG, BOOLEAN))
SIG(LONG, KeReadStateSemaphore, (PRKSEMAPHORE))
SIG(NTSTATUS, KeWaitForSingleObject, (PVOID, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER))
SIG(NTSTATUS, KeWaitForMultipleObjects,
    (ULONG, PVOID *, WAIT_TYPE, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER, PKWAIT_BLOCK))
SIG(NTSTATUS, KeDelayExecutionThread, (KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER))
SIG(VOID, KeStallExecutionProcessor, (ULONG))
SIG(KIRQL, KeGetCurrentIrql, (VOID))
SIG(KIRQL, KfRaiseIrql, (KIRQL))
SIG(VOID, KeLowerIrql, (KIRQL))
SIG(KIRQL, KeRaiseIrqlToDpcLevel, (VOID))
SIG(KIRQL, KeAcquireSpinLockRaiseToDpc, (PKSPIN_LOCK))
SIG(VOID, KeReleaseSpinLock, (PKSPIN_LOCK, KIRQL))
SIG(VOID, KeAcquireSpinLockAtDpcLevel, (PKSPIN_LOCK))
SIG(VOID, KeReleaseSpinLockFromDpcLevel, (PKSPIN_LOCK))
SIG(VOID, KeInitializeSpinLock, (PKSPIN_LOCK))
SIG(VOID, KeAcquireInStackQueuedSpinLock, (PKSPIN_LOCK, PKLOCK_QUEUE_HANDLE))
SIG(VOID, KeReleaseInStackQueuedSpinLock, (PKLOCK_QUEUE_HANDLE))
SIG(VOID, KeAcquireInStackQueuedSpinLockAtDpcLevel, (PKSPIN_LOCK, PKLOCK_QUEUE_HANDLE))
SIG(VOID, KeReleaseInStackQueuedSpinLockFromDpcLevel, (PKLOCK_QUEUE_HANDLE))
SIG(VOID, KeBugCheckEx, (ULONG, ULONG_PTR, ULONG_PTR, ULONG_PTR, ULONG_PTR))
SIG(LARGE_INTEGER, KeQueryPerformanceCounter, (PLARGE_INTEGER))
SIG(SIZE_T, RtlCompareMemory, (const VOID *, const VOID *, SIZE_T))
SIG(VOID, RtlInitUnicodeString, (PUNICODE_STRING, PCWSTR))
SIG(PUSB_INTERFACE_DESCRIPTOR, USBD_ParseConfigurationDescriptorEx,
    (PUSB_CONFIGURATION_DESCRIPTOR, PVOID, LONG, LONG, LONG, LONG, LONG))
SIG(PUSB_COMMON_DESCRIPTOR, USBD_ParseDescriptors, (PVOID, ULONG, PVOID, LONG))
SIG(PURB, USBD_CreateConfigurationRequestEx, (PUSB_CONFIGURATION_DESCRIPTOR, PUSBD_INTERFACE_LIST_ENTRY))
SIG(NTSTATUS, RtlStringCchCopyA, (NTSTRSAFE_PSTR, size_t, NTSTRSAFE_PCSTR))
SIG(NTSTATUS, RtlStringCchCopyW, (NTSTRSAFE_PWSTR, size_t, NTSTRSAFE_PCWSTR))
SIG(NTSTATUS, RtlStringCbCopyA, (NTSTRSAFE_PSTR, size_t, NTSTRSAFE_PCSTR))
SIG(NTSTATUS, RtlStringCbCopyW, (NTSTRSAFE_PWSTR, size_t, NTSTRSAFE_PCWSTR))
SIG(NTSTATUS, RtlStringCchLengthA, (NTSTRSAFE_PCSTR, size_t, size_t *))
SIG(NTSTATUS, RtlStringCchLengthW, (NTSTRSAFE_PCWSTR, size_t, size_t *))
SIG(NTSTATUS, RtlStringCchCatA, (NTSTRSAFE_PSTR, size_t, NTSTRSAFE_PCSTR))
SIG(NTSTATUS, RtlStringCchCatW, (NTSTRSAFE_PWSTR, size_t, NTSTRSAFE_PCWSTR))
SIG(ULONG, KeQueryTimeIncrement, (VOID))
SIG(KIRQL, KeRaiseIrqlToSynchLevel, (VOID))
SIG(BOOLEAN, KeTryToAcquireSpinLockAtDpcLevel, (PKSPIN_LOCK))
SIG(VOID, KeBugCheck, (ULONG))
SIG(VOID, RtlInitAnsiString, (PANSI_STRING, PCSZ))
SIG(BOOLEAN, RtlEqualUnicodeString, (PCUNICODE_STRING, PCUNICODE_STRING, BOOLEAN))
SIG(VOID, RtlAssert, (PVOID, PVOID, ULONG, PSTR))
SIG(VOID, DbgBreakPoint, (VOID))
SIG(ULONG, vDbgPrintEx, (ULONG, ULONG, PCSTR, va_list))
SIG(PUSB_INTERFACE_DESCRIPTOR, USBD_ParseConfigurationDescriptor, (PUSB_CONFIGURATION_DESCRIPTOR, UCHAR, UCHAR))
SIG(VOID, USBD_GetUSBDIVersion, (PUSBD_VERSION_INFORMATION))
SIG(NTSTATUS, RtlStringCchCopyNA, (NTSTRSAFE_PSTR, size_t, NTSTRSAFE_PCSTR, size_t))
SIG(NTSTATUS, RtlStringCchCopyNW, (NTSTRSAFE_PWSTR, size_t, NTSTRSAFE_PCWSTR, size_t))
SIG(NTSTATUS, RtlStringCbCatA, (NTSTRSAFE_PSTR, size_t, NTSTRSAFE_PCSTR))
SIG(NTSTATUS, RtlStringCbCatW, (NTSTRSAFE_PWSTR, size_t, NTSTRSAFE_PCWSTR))
SIG(NTSTATUS, RtlStringCbLengthA, (NTSTRSAFE_PCSTR, size_t, size_t *))
SIG(NTSTATUS, RtlStringCbLengthW, (NTSTRSAFE_PCWSTR, size_t, size_t *))
SIG(NTSTATUS, RtlStringCchVPrintfA, (NTSTRSAFE_PSTR, size_t, NTSTRSAFE_PCSTR, va_list))
SIG(NTSTATUS, RtlStringCchVPrintfW, (NTSTRSAFE_PWSTR, size_t, NTSTRSAFE_PCWSTR, va_list))
SIG(NTSTATUS, RtlStringCbVPrintfA, (NTSTRSAFE_PSTR, size_t, NTSTRSAFE_PCSTR, va_list))
SIG(NTSTATUS, RtlStringCbVPrintfW, (NTSTRSAFE_PWSTR, size_t, NTSTRSAFE_PCWSTR, va_list))
[[maybe_unused]] static LONG (*const sig_InterlockedIncrement)(LONG volatile *) = InterlockedIncrement;
[[maybe_unused]] static LONG (*const sig_InterlockedCompareExchange)(LONG volatile *, LONG, LONG) = InterlockedCompareExchange;
[[maybe_unused]] static PVOID (*const sig_InterlockedExchangePointer)(PVOID volatile *, PVOID) = InterlockedExchangePointer;
[[maybe_unused]] static LONG64 (*const sig_InterlockedExchangeAdd64)(LONG64 volatile *, LONG64) = InterlockedExchangeAdd64;
[[maybe_unused]] static PIO_STACK_LOCATION (*const sig_IoGetNextIrpStackLocation)(PIRP) = IoGetNextIrpStackLocation;
[[maybe_unused]] static VOID (*const sig_IoMarkIrpPending)(PIRP) = IoMarkIrpPending;
[[maybe_unused]] static VOID (*const sig_IoSetCompletionRoutine)(PIRP, PIO_COMPLETION_ROUTINE, PVOID, BOOLEAN, BOOLEAN,
                                                                 BOOLEAN) = IoSetCompletionRoutine;
#define SIGV(name, args) [[maybe_unused]] static NTSTATUS(__cdecl *const sig_##name) args = name;
SIGV(RtlStringCchPrintfA, (NTSTRSAFE_PSTR, size_t, NTSTRSAFE_PCSTR, ...))
SIGV(RtlStringCchPrintfW, (NTSTRSAFE_PWSTR, size_t, NTSTRSAFE_PCWSTR, ...))
SIGV(RtlStringCbPrintfA, (NTSTRSAFE_PSTR, size_t, NTSTRSAFE_PCSTR, ...))
SIGV(RtlStringCbPrintfW, (NTSTRSAFE_PWSTR, size_t, NTSTRSAFE_PCWSTR, ...))
[[maybe_unused]] static ULONG(__cdecl *const sig_DbgPrint)(PCSTR, ...) = DbgPrint;
[[maybe_unused]] static ULONG(__cdecl *const sig_DbgPrintEx)(ULONG, ULONG, PCSTR, ...) = DbgPrintEx;
#endif  // DDK_PROBE_NO_SIGNATURES
