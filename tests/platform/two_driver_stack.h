// A two-level device stack for I/O tests: a "lower" device whose dispatch
// routine does what the test scripts (complete now, or pend and let the test
// complete later), and an "upper" device attached on top that passes IRPs
// down, optionally with its own completion routine.
#pragma once

#include <wdm.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace stack_test {

struct Log {
  std::vector<std::string> events;
  void Add(const std::string& e) { events.push_back(e); }
};

struct Stack {
  DRIVER_OBJECT lowerDriver{};
  DRIVER_OBJECT upperDriver{};
  PDEVICE_OBJECT lower = nullptr;
  PDEVICE_OBJECT upper = nullptr;

  // Lower dispatch: returns its status. Default: complete with `lowerStatus`.
  std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> lowerDispatch;
  NTSTATUS lowerStatus = STATUS_SUCCESS;
  ULONG_PTR lowerInformation = 0;
  PIRP pended = nullptr;  // set when the lower device pends

  // Upper completion routine: flags, result and what it saw.
  bool upperSetsRoutine = false;
  BOOLEAN onSuccess = TRUE, onError = TRUE, onCancel = TRUE;
  NTSTATUS upperRoutineResult = STATUS_SUCCESS;
  Log* log = nullptr;
  PDEVICE_OBJECT upperRoutineDevice = nullptr;
  BOOLEAN upperSawPendingReturned = FALSE;

  Stack() {
    lowerDriver.Type = IO_TYPE_DRIVER;
    upperDriver.Type = IO_TYPE_DRIVER;
    for (auto& f : lowerDriver.MajorFunction) f = &LowerDispatch;
    for (auto& f : upperDriver.MajorFunction) f = &UpperDispatch;
    IoCreateDevice(&lowerDriver, sizeof(Stack*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
    IoCreateDevice(&upperDriver, sizeof(Stack*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
    *static_cast<Stack**>(lower->DeviceExtension) = this;
    *static_cast<Stack**>(upper->DeviceExtension) = this;
    IoAttachDeviceToDeviceStack(upper, lower);
  }

  ~Stack() {
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    IoDeleteDevice(lower);
  }

  static Stack* Of(PDEVICE_OBJECT device) { return *static_cast<Stack**>(device->DeviceExtension); }

  // Pend in the lower driver; the test completes `pended` later.
  void PendInLower() {
    lowerDispatch = [this](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      pended = irp;
      return STATUS_PENDING;
    };
  }

  static NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT device, PIRP irp) {
    Stack* s = Of(device);
    if (s->log) s->log->Add("lower dispatch");
    if (s->lowerDispatch) return s->lowerDispatch(device, irp);
    irp->IoStatus.Status = s->lowerStatus;
    irp->IoStatus.Information = s->lowerInformation;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return s->lowerStatus;
  }

  static NTSTATUS NTAPI UpperRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    Stack* s = static_cast<Stack*>(context);
    if (s->log) s->log->Add("upper routine");
    s->upperRoutineDevice = device;
    s->upperSawPendingReturned = irp->PendingReturned;
    if (irp->PendingReturned && s->upperRoutineResult != STATUS_MORE_PROCESSING_REQUIRED) IoMarkIrpPending(irp);
    return s->upperRoutineResult;
  }

  static NTSTATUS NTAPI UpperDispatch(PDEVICE_OBJECT device, PIRP irp) {
    Stack* s = Of(device);
    if (s->log) s->log->Add("upper dispatch");
    if (s->upperSetsRoutine) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, &UpperRoutine, s, s->onSuccess, s->onError, s->onCancel);
    } else {
      IoSkipCurrentIrpStackLocation(irp);
    }
    return IoCallDriver(s->lower, irp);
  }
};

// Completion routine of the IRP's originator: records and keeps the IRP.
struct TopRoutine {
  Log* log = nullptr;
  std::atomic<int> calls{0};
  PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
  BOOLEAN pendingReturned = FALSE;
  NTSTATUS status = 0;
  KEVENT done;

  TopRoutine() { KeInitializeEvent(&done, NotificationEvent, FALSE); }

  static NTSTATUS NTAPI Routine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    TopRoutine* t = static_cast<TopRoutine*>(context);
    if (t->log) t->log->Add("top routine");
    t->device = device;
    t->pendingReturned = irp->PendingReturned;
    t->status = irp->IoStatus.Status;
    t->calls++;
    KeSetEvent(&t->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  void Arm(PIRP irp) { IoSetCompletionRoutine(irp, &Routine, this, TRUE, TRUE, TRUE); }
};

// Prepares an IoAllocateIrp IRP for the upper device.
inline PIRP NewInternalIoctl(PDEVICE_OBJECT target, PVOID argument1) {
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.IoControlCode = 0x220003;
  sp->Parameters.Others.Argument1 = argument1;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  return irp;
}

}  // namespace stack_test
