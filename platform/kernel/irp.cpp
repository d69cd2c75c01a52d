// IRPs: allocation, reuse, the driver call and the completion walk, with the
// verifier's ownership tracking. Each live IRP is either owned (by whoever
// allocated it, or by the driver whose completion routine stopped the walk)
// or in a driver (between IofCallDriver and the end of its completion).
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/kernel/internal.h"

namespace {

using platform::detail::BugCheckAt;
using platform::detail::CurrentIrql;
using platform::detail::RequireIrqlAtMost;

constexpr ULONG kBufferTag = platform::PoolTag("IoSB");

// One IofCallDriver in progress: what the completion walk saw when it passed
// the stack location the dispatch routine was called with. Recorded under the
// table lock so the dispatch's return is checked without touching an IRP that
// may be freed by then.
struct CallFrame {
  PIO_STACK_LOCATION location = nullptr;
  CallFrame* next = nullptr;
  bool completed = false;      // the walk passed `location`
  bool orphaned = false;       // the IRP was freed or reused while the dispatch ran
  bool pendingMarked = false;  // SL_PENDING_RETURNED on `location` when completed
  NTSTATUS status = 0;         // IoStatus.Status when completed
};

struct IrpRecord {
  bool threaded = false;  // built by IoBuildDeviceIoControlRequest: finished by the I/O manager
  bool inDriver = false;
  const void* caller = nullptr;
  ULONG method = METHOD_NEITHER;
  PVOID outputBuffer = nullptr;
  ULONG outputLength = 0;
  CallFrame* frames = nullptr;  // dispatch routines running on this IRP
  platform::ClientProcess* process = nullptr;  // the I/O manager's caller (null: system)
  // Dispatch routines that returned before the walk reached their location:
  // checked when it does (a completion routine may mark the location pending
  // as the walk passes; the bus may still be working on the IRP).
  struct PendingReturn {
    PIO_STACK_LOCATION location;
    const void* dispatch;
    UCHAR major;
    NTSTATUS status;
  } pendingReturns[8];
  int pendingReturnCount = 0;
};

struct IrpTable {
  std::mutex lock;
  std::unordered_map<PIRP, IrpRecord> irps;
  std::vector<long> faults;
};

IrpTable& Table() {
  static IrpTable* table = new IrpTable;
  return *table;
}

// Runs f on the IRP's record under the table lock; bug checks when the IRP
// is not a live one.
template <typename F>
auto WithRecord(PIRP irp, const void* caller, const char* what, F f) {
  IrpTable& t = Table();
  std::lock_guard<std::mutex> lock(t.lock);
  auto it = t.irps.find(irp);
  if (it == t.irps.end() || irp->Type != IO_TYPE_IRP)
    BugCheckAt(caller, "IRP_UNKNOWN", "%s of %p, which is not a live IRP (freed already?)", what,
               static_cast<void*>(irp));
  return f(it->second);
}

PIRP NewIrp(CCHAR stackSize, const void* caller, const IrpRecord& record) {
  if (stackSize < 1) BugCheckAt(caller, "IRP_STACK_SIZE_INVALID", "IRP with %d stack locations", stackSize);
  if (platform::detail::ShouldFailIrpAllocation()) return NULL;
  USHORT size = IoSizeOfIrp(stackSize);
  PIRP irp = static_cast<PIRP>(malloc(size));
  if (!irp) return NULL;
  IoInitializeIrp(irp, size, stackSize);
  IrpTable& t = Table();
  std::lock_guard<std::mutex> lock(t.lock);
  IrpRecord& r = t.irps[irp];
  r = record;
  r.caller = caller;
  return irp;
}

void Unlink(IrpRecord& r, CallFrame* frame) {
  for (CallFrame** p = &r.frames; *p; p = &(*p)->next) {
    if (*p == frame) {
      *p = frame->next;
      return;
    }
  }
}

// The IRP is gone or starts over: dispatch routines still running on it learn
// nothing more about it. Called with the table lock held.
void OrphanFrames(IrpRecord& r) {
  for (CallFrame* f = r.frames; f; f = f->next) f->orphaned = true;
  r.frames = nullptr;
  r.pendingReturnCount = 0;
}

// The walk has reached `sp`: every dispatch routine called with it is done
// with the IRP. Called with the table lock held.
void CompleteFrames(IrpRecord& r, PIRP irp, PIO_STACK_LOCATION sp) {
  for (int i = 0; i < r.pendingReturnCount;) {
    const IrpRecord::PendingReturn& p = r.pendingReturns[i];
    if (p.location != sp) {
      ++i;
      continue;
    }
    const bool marked = (sp->Control & SL_PENDING_RETURNED) != 0;
    if (p.status == STATUS_PENDING && !marked)
      BugCheckAt(p.dispatch, "IRP_PENDING_NOT_MARKED",
                 "dispatch routine for major 0x%x returned STATUS_PENDING but IRP %p completed without its "
                 "location marked pending (IoMarkIrpPending)",
                 p.major, static_cast<void*>(irp));
    if (p.status != STATUS_PENDING && marked)
      BugCheckAt(p.dispatch, "IRP_PENDING_NOT_RETURNED",
                 "dispatch routine for major 0x%x marked IRP %p pending but returned 0x%08x", p.major,
                 static_cast<void*>(irp), static_cast<unsigned>(p.status));
    r.pendingReturns[i] = r.pendingReturns[--r.pendingReturnCount];
  }
  for (CallFrame** p = &r.frames; *p;) {
    CallFrame* f = *p;
    if (f->location != sp) {
      p = &f->next;
      continue;
    }
    f->completed = true;
    f->pendingMarked = (sp->Control & SL_PENDING_RETURNED) != 0;
    f->status = irp->IoStatus.Status;
    *p = f->next;
  }
}

// The pending and status rules for a dispatch routine's return, checked now
// when the walk has passed the routine's location and otherwise when it does
// (the IRP is not read here: it may be freed, or still being worked on).
void CheckDispatchReturn(PIRP irp, CallFrame* frame, NTSTATUS status, const void* dispatch, UCHAR major) {
  bool marked;
  {
    IrpTable& t = Table();
    std::lock_guard<std::mutex> lock(t.lock);
    if (frame->orphaned) return;
    if (frame->completed) {
      marked = frame->pendingMarked;
    } else {
      auto it = t.irps.find(irp);
      if (it == t.irps.end()) return;
      IrpRecord& r = it->second;
      Unlink(r, frame);
      if (r.pendingReturnCount < static_cast<int>(sizeof r.pendingReturns / sizeof r.pendingReturns[0]))
        r.pendingReturns[r.pendingReturnCount++] = IrpRecord::PendingReturn{frame->location, dispatch, major, status};
      return;
    }
  }
  if (status == STATUS_PENDING && !marked)
    BugCheckAt(dispatch, "IRP_PENDING_NOT_MARKED",
               "dispatch routine for major 0x%x returned STATUS_PENDING without IoMarkIrpPending on IRP %p", major,
               static_cast<void*>(irp));
  if (status != STATUS_PENDING && marked)
    BugCheckAt(dispatch, "IRP_PENDING_NOT_RETURNED",
               "dispatch routine for major 0x%x marked IRP %p pending but returned 0x%08x", major,
               static_cast<void*>(irp), static_cast<unsigned>(status));
  if (status != STATUS_PENDING && frame->completed && status != frame->status)
    BugCheckAt(dispatch, "IRP_STATUS_MISMATCH",
               "dispatch routine for major 0x%x completed IRP %p with status 0x%08x but returned 0x%08x", major,
               static_cast<void*>(irp), static_cast<unsigned>(frame->status), static_cast<unsigned>(status));
}

void DeleteIrp(PIRP irp) {
  memset(irp, 0xDD, irp->Size);
  free(irp);
}

void ClearLocation(PIO_STACK_LOCATION sp) {
  sp->Control = 0;
  sp->CompletionRoutine = NULL;
  sp->Context = NULL;
}

// The end of the walk for an IRP built by IoBuildDeviceIoControlRequest:
// buffered output copied back, status block written, IRP freed, event set.
void FinishThreadedIrp(PIRP irp, const IrpRecord& record) {
  if (record.method == METHOD_BUFFERED && irp->AssociatedIrp.SystemBuffer) {
    if (!NT_ERROR(irp->IoStatus.Status) && record.outputBuffer) {
      ULONG_PTR n = irp->IoStatus.Information;
      if (n > record.outputLength) n = record.outputLength;
      memcpy(record.outputBuffer, irp->AssociatedIrp.SystemBuffer, n);
    }
    ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kBufferTag);
  }
  IO_STATUS_BLOCK status = irp->IoStatus;
  PIO_STATUS_BLOCK iosb = irp->UserIosb;
  PKEVENT event = irp->UserEvent;
  DeleteIrp(irp);
  if (iosb) *iosb = status;
  if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

namespace platform {

namespace detail {

bool ShouldFailIrpAllocation() {
  IrpTable& t = Table();
  std::lock_guard<std::mutex> lock(t.lock);
  bool fail = false;
  for (auto it = t.faults.begin(); it != t.faults.end();) {
    if (*it == 0) {
      fail = true;
      it = t.faults.erase(it);
    } else {
      --*it;
      ++it;
    }
  }
  return fail;
}

void ResetIrpFaults() {
  IrpTable& t = Table();
  std::lock_guard<std::mutex> lock(t.lock);
  t.faults.clear();
}

}  // namespace detail

size_t OutstandingIrps() {
  IrpTable& t = Table();
  std::lock_guard<std::mutex> lock(t.lock);
  return t.irps.size();
}

std::string DescribeOutstandingIrps() {
  IrpTable& t = Table();
  std::vector<std::pair<PIRP, IrpRecord>> irps;
  {
    std::lock_guard<std::mutex> lock(t.lock);
    irps.assign(t.irps.begin(), t.irps.end());
  }
  std::string out;
  for (const auto& i : irps) {
    char line[160];
    snprintf(line, sizeof line, "  IRP %p (%s, %s) from ", static_cast<void*>(i.first),
             i.second.threaded ? "IoBuildDeviceIoControlRequest" : "IoAllocateIrp",
             i.second.inDriver ? "in a driver" : "owned");
    out += line + detail::DescribeAddress(i.second.caller) + "\n";
  }
  return out;
}

namespace detail {

void SetIrpProcess(PIRP irp, ClientProcess* process) {
  WithRecord(irp, USBAUDIO_CALLER(), "SetIrpProcess", [&](IrpRecord& r) {
    r.process = process;
    return 0;
  });
}

ClientProcess* IrpProcess(PIRP irp) {
  return WithRecord(irp, USBAUDIO_CALLER(), "IoIs32bitProcess", [&](IrpRecord& r) { return r.process; });
}

}  // namespace detail

void FailIrpAllocation(long nth) {
  IrpTable& t = Table();
  std::lock_guard<std::mutex> lock(t.lock);
  t.faults.push_back(nth < 0 ? 0 : nth);
}

}  // namespace platform

extern "C" {

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  memset(Irp, 0, PacketSize);
  Irp->Type = IO_TYPE_IRP;
  Irp->Size = PacketSize;
  Irp->StackCount = StackSize;
  Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  InitializeListHead(&Irp->ThreadListEntry);
  Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  RequireIrqlAtMost(DISPATCH_LEVEL, USBAUDIO_CALLER(), "IRQL_IRP_ABOVE_DISPATCH", "IoAllocateIrp");
  return NewIrp(StackSize, USBAUDIO_CALLER(), IrpRecord{});
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  const void* caller = USBAUDIO_CALLER();
  RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IRQL_IRP_ABOVE_DISPATCH", "IoFreeIrp");
  WithRecord(Irp, caller, "IoFreeIrp", [&](IrpRecord& r) {
    if (r.inDriver) BugCheckAt(caller, "IRP_FREE_IN_DRIVER", "IRP %p freed while a driver still has it", Irp);
    if (Irp->CancelRoutine)
      BugCheckAt(caller, "IRP_FREE_WITH_CANCEL_ROUTINE", "IRP %p freed with a cancel routine set", Irp);
    OrphanFrames(r);
    Table().irps.erase(Irp);
    return 0;
  });
  DeleteIrp(Irp);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  const void* caller = USBAUDIO_CALLER();
  WithRecord(Irp, caller, "IoReuseIrp", [&](IrpRecord& r) {
    if (r.inDriver) BugCheckAt(caller, "IRP_REUSE_IN_DRIVER", "IRP %p reused while a driver still has it", Irp);
    if (r.threaded)
      BugCheckAt(caller, "IRP_REUSE_NOT_ALLOCATED", "IRP %p from IoBuildDeviceIoControlRequest reused", Irp);
    if (Irp->CancelRoutine)
      BugCheckAt(caller, "IRP_REUSE_WITH_CANCEL_ROUTINE", "IRP %p reused with a cancel routine set", Irp);
    OrphanFrames(r);
    return 0;
  });
  UCHAR allocationFlags = Irp->AllocationFlags;
  IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
  Irp->AllocationFlags = allocationFlags;
  Irp->IoStatus.Status = Iostatus;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  const void* caller = USBAUDIO_CALLER();
  RequireIrqlAtMost(PASSIVE_LEVEL, caller, "IRQL_BUILD_IRP_ABOVE_PASSIVE", "IoBuildDeviceIoControlRequest");
  if (!DeviceObject) BugCheckAt(caller, "IRP_TARGET_NULL", "IoBuildDeviceIoControlRequest without a device");
  IrpRecord record;
  record.threaded = true;
  record.method = METHOD_FROM_CTL_CODE(IoControlCode);
  record.outputBuffer = OutputBuffer;
  record.outputLength = OutputBufferLength;
  if (record.method == METHOD_IN_DIRECT || record.method == METHOD_OUT_DIRECT)
    BugCheckAt(caller, "NOT_IMPLEMENTED_BY_STAND_IN", "direct I/O control codes need MDLs");
  PVOID systemBuffer = NULL;
  if (record.method == METHOD_BUFFERED && (InputBufferLength || OutputBufferLength)) {
    ULONG size = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
    systemBuffer = platform::detail::AllocatePool(NonPagedPoolNx, size, kBufferTag, false, caller);
    if (!systemBuffer) return NULL;
    if (InputBuffer && InputBufferLength) memcpy(systemBuffer, InputBuffer, InputBufferLength);
  }
  PIRP irp = NewIrp(DeviceObject->StackSize, caller, record);
  if (!irp) {
    if (systemBuffer) ExFreePoolWithTag(systemBuffer, kBufferTag);
    return NULL;
  }
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->RequestorMode = KernelMode;
  if (record.method == METHOD_BUFFERED) {
    irp->AssociatedIrp.SystemBuffer = systemBuffer;
    irp->UserBuffer = OutputBuffer;
    if (systemBuffer) irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (OutputBufferLength ? IRP_INPUT_OPERATION : 0);
  } else {
    irp->UserBuffer = OutputBuffer;
  }
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  if (record.method == METHOD_NEITHER) sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
  return irp;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const void* caller = USBAUDIO_CALLER();
  RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IRQL_CALL_DRIVER_ABOVE_DISPATCH", "IofCallDriver");
  if (!DeviceObject || DeviceObject->Type != IO_TYPE_DEVICE)
    BugCheckAt(caller, "IRP_TARGET_NULL", "IofCallDriver to %p, which is not a device object",
               static_cast<void*>(DeviceObject));
  CallFrame frame;
  PIO_STACK_LOCATION sp = nullptr;
  WithRecord(Irp, caller, "IofCallDriver", [&](IrpRecord& r) {
    if (Irp->CurrentLocation <= 1)
      BugCheckAt(caller, "NO_MORE_IRP_STACK_LOCATIONS", "IRP %p (%d locations) has no location left for device %p",
                 Irp, Irp->StackCount, static_cast<void*>(DeviceObject));
    r.inDriver = true;
    Irp->CurrentLocation--;
    sp = --Irp->Tail.Overlay.CurrentStackLocation;
    frame.location = sp;
    frame.next = r.frames;
    r.frames = &frame;
    return 0;
  });
  sp->DeviceObject = DeviceObject;
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  const UCHAR major = sp->MajorFunction;
  if (major > IRP_MJ_MAXIMUM_FUNCTION || !driver || !driver->MajorFunction[major])
    BugCheckAt(caller, "DRIVER_NO_DISPATCH", "device %p has no dispatch routine for major function 0x%x",
               static_cast<void*>(DeviceObject), major);
  PDRIVER_DISPATCH dispatch = driver->MajorFunction[major];
  KIRQL irql = CurrentIrql();
  NTSTATUS status = dispatch(DeviceObject, Irp);
  if (CurrentIrql() != irql)
    BugCheckAt(caller, "IRQL_NOT_RESTORED", "dispatch routine for major 0x%x returned at IRQL %u, called at %u",
               major, CurrentIrql(), irql);
  CheckDispatchReturn(Irp, &frame, status, platform::detail::RoutineSite(reinterpret_cast<const void*>(dispatch)),
                      major);
  return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  const void* caller = USBAUDIO_CALLER();
  RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IRQL_COMPLETE_ABOVE_DISPATCH", "IofCompleteRequest");
  WithRecord(Irp, caller, "IofCompleteRequest", [&](IrpRecord& r) {
    if (Irp->IoStatus.Status == STATUS_PENDING)
      BugCheckAt(caller, "IRP_COMPLETE_PENDING", "IRP %p completed with STATUS_PENDING", Irp);
    if (Irp->CurrentLocation > Irp->StackCount)
      BugCheckAt(caller, "MULTIPLE_IRP_COMPLETE_REQUESTS", "IRP %p completed again (no driver holds it)", Irp);
    if (Irp->CancelRoutine)
      BugCheckAt(caller, "IRP_COMPLETE_WITH_CANCEL_ROUTINE", "IRP %p completed with a cancel routine set", Irp);
    r.inDriver = true;
    return 0;
  });

  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  for (;;) {
    WithRecord(Irp, caller, "completion", [&](IrpRecord& r) {
      CompleteFrames(r, Irp, sp);
      return 0;
    });
    Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = (NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                  (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                  (Irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL));
    bool top = Irp->CurrentLocation == Irp->StackCount + 1;
    if (invoke) {
      PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
      PVOID context = sp->Context;
      if (!routine) BugCheckAt(caller, "COMPLETION_ROUTINE_NULL", "IRP %p location asks for a null routine", Irp);
      ClearLocation(sp);
      PDEVICE_OBJECT device = top ? NULL : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      // The routine's driver owns the IRP while the routine runs: it may free,
      // reuse or resend it, provided it then returns MORE_PROCESSING_REQUIRED.
      WithRecord(Irp, caller, "completion", [](IrpRecord& r) { return r.inDriver = false; });
      KIRQL irql = CurrentIrql();
      NTSTATUS result = routine(device, Irp, context);
      if (CurrentIrql() != irql)
        BugCheckAt(reinterpret_cast<const void*>(routine), "IRQL_NOT_RESTORED",
                   "completion routine returned at IRQL %u, called at %u", CurrentIrql(), irql);
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
      WithRecord(Irp, reinterpret_cast<const void*>(routine), "completion routine returning to the walk",
                 [](IrpRecord& r) { return r.inDriver = true; });
    } else {
      if (Irp->PendingReturned && !top) IoMarkIrpPending(Irp);
      ClearLocation(sp);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    sp++;
    if (top) break;
  }

  IrpRecord record;
  {
    IrpTable& t = Table();
    std::lock_guard<std::mutex> lock(t.lock);
    auto it = t.irps.find(Irp);
    record = it->second;
    if (record.threaded) {
      OrphanFrames(it->second);
      t.irps.erase(it);
    }
  }
  if (!record.threaded)
    BugCheckAt(caller, "IRP_COMPLETED_TO_TOP",
               "IRP %p from IoAllocateIrp completed without a completion routine returning "
               "STATUS_MORE_PROCESSING_REQUIRED; nobody can free it",
               Irp);
  FinishThreadedIrp(Irp, record);
}

VOID NTAPI PlatformIrpStackOverflow(PIRP Irp, PCSTR Service) {
  BugCheckAt(USBAUDIO_CALLER(), "NO_MORE_IRP_STACK_LOCATIONS", "%s on IRP %p at location %d of %d: no location below",
             Service, static_cast<void*>(Irp), Irp->CurrentLocation, Irp->StackCount);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  const void* caller = USBAUDIO_CALLER();
  RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IRQL_COMPLETE_ABOVE_DISPATCH", "IoCancelIrp");
  WithRecord(Irp, caller, "IoCancelIrp", [](IrpRecord&) { return 0; });
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, NULL);
  if (routine) {
    Irp->CancelIrql = irql;
    // The routine releases the cancel spin lock.
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
  }
  IoReleaseCancelSpinLock(irql);
  return FALSE;
}

}  // extern "C"

namespace {
KSPIN_LOCK g_cancelLock = 0;
}

extern "C" {

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&g_cancelLock, Irql); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancelLock, Irql); }

}  // extern "C"
