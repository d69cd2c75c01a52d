// Every verifier rule stops the program with a bug check naming it.
#include <functional>
#include <thread>
#include <utility>

#include "tests/platform/two_driver_stack.h"
#include "tests/support/verifier_test.h"

namespace {

using platform::PoolTag;
using stack_test::NewInternalIoctl;
using stack_test::Stack;

constexpr ULONG kTag = PoolTag("TsVf");

class VerifierRules : public VerifierDeathTest {};

NTSTATUS DoubleCompletion(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

void CompleteTwice() {
  Stack stack;
  stack.lowerDispatch = &DoubleCompletion;
  stack_test::TopRoutine top;
  PIRP irp = NewInternalIoctl(stack.upper, nullptr);
  top.Arm(irp);
  IoCallDriver(stack.upper, irp);
}

TEST_F(VerifierRules, PoolFreeRules) {
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
        ExFreePoolWithTag(p, PoolTag("Othr"));
      },
      "BUGCHECK POOL_FREE_WRONG_TAG: .*tag 'TsVf' freed with tag 'Othr'");
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
        ExFreePoolWithTag(p, kTag);
        ExFreePoolWithTag(p, kTag);
      },
      "BUGCHECK POOL_DOUBLE_FREE");
  EXPECT_DEATH(
      {
        static char notPool[16];
        ExFreePool(notPool);
      },
      "BUGCHECK POOL_FREE_UNKNOWN");
  EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0), "BUGCHECK POOL_TAG_ZERO");
}

TEST_F(VerifierRules, PoolIrqlRules) {
  EXPECT_DEATH(
      {
        KIRQL old = KeRaiseIrqlToDpcLevel();
        ExAllocatePoolWithTag(PagedPool, 8, kTag);
        KeLowerIrql(old);
      },
      "BUGCHECK IRQL_PAGED_POOL_AT_DISPATCH");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(HIGH_LEVEL, &old);
        ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
      },
      "BUGCHECK IRQL_POOL_ABOVE_DISPATCH");
}

TEST_F(VerifierRules, IrqlRules) {
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeRaiseIrql(APC_LEVEL, &old);
      },
      "BUGCHECK IRQL_RAISE_TO_LOWER");
  EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "BUGCHECK IRQL_LOWER_TO_HIGHER");
}

TEST_F(VerifierRules, WaitingWithATimeoutAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_DEATH(
      {
        KeRaiseIrqlToDpcLevel();
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000;
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
      },
      "BUGCHECK IRQL_WAIT_AT_DISPATCH");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock = 0;
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      "BUGCHECK IRQL_WAIT_AT_DISPATCH");
  // Polling is allowed at DISPATCH_LEVEL.
  KIRQL old = KeRaiseIrqlToDpcLevel();
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  KeLowerIrql(old);
}

TEST_F(VerifierRules, SpinLockRules) {
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock = 0;
        KIRQL a;
        KeAcquireSpinLock(&lock, &a);
        KeAcquireSpinLock(&lock, &a);
      },
      "BUGCHECK SPIN_LOCK_ALREADY_OWNED");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock = 0;
        KLOCK_QUEUE_HANDLE h1;
        KLOCK_QUEUE_HANDLE h2;
        KeAcquireInStackQueuedSpinLock(&lock, &h1);
        KeAcquireInStackQueuedSpinLock(&lock, &h2);
      },
      "BUGCHECK SPIN_LOCK_ALREADY_OWNED");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock = 0;
        KIRQL old = KeRaiseIrqlToDpcLevel();
        KeReleaseSpinLock(&lock, old);
      },
      "BUGCHECK SPIN_LOCK_NOT_OWNED");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock = 0;
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        std::thread([&] {
          KIRQL mine = KeRaiseIrqlToDpcLevel();
          KeReleaseSpinLock(&lock, mine);
        }).join();
      },
      "BUGCHECK SPIN_LOCK_NOT_OWNED");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock = 0;
        KIRQL old;
        KeRaiseIrql(HIGH_LEVEL, &old);
        KeAcquireSpinLock(&lock, &old);
      },
      "BUGCHECK IRQL_SPIN_LOCK_ABOVE_DISPATCH");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock = 0;
        KeAcquireSpinLockAtDpcLevel(&lock);
      },
      "BUGCHECK IRQL_SPIN_LOCK_DPC_BELOW_DISPATCH");
}

TEST_F(VerifierRules, EventRules) {
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KIRQL old;
        KeRaiseIrql(HIGH_LEVEL, &old);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
      },
      "BUGCHECK IRQL_SET_EVENT");
  EXPECT_DEATH(
      {
        // An event in fresh pool that nobody initialized.
        PKEVENT event = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KEVENT), kTag));
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
      },
      "BUGCHECK DISPATCHER_OBJECT_INVALID");
}

TEST_F(VerifierRules, IrpAllocationAndCallAboveDispatch) {
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(HIGH_LEVEL, &old);
        IoAllocateIrp(2, FALSE);
      },
      "BUGCHECK IRQL_IRP_ABOVE_DISPATCH");
  EXPECT_DEATH(
      {
        Stack stack;
        PIRP irp = NewInternalIoctl(stack.upper, nullptr);
        KIRQL old;
        KeRaiseIrql(HIGH_LEVEL, &old);
        IoCallDriver(stack.upper, irp);
      },
      "BUGCHECK IRQL_CALL_DRIVER_ABOVE_DISPATCH");
}

TEST_F(VerifierRules, IrpStackAndCompletionRules) {
  EXPECT_DEATH(
      {
        Stack stack;
        stack.upperSetsRoutine = true;  // the upper driver needs a location below its own
        PIRP irp = NewInternalIoctl(stack.lower, nullptr);  // one location, sent to a two-deep stack
        IoCallDriver(stack.upper, irp);
      },
      "BUGCHECK NO_MORE_IRP_STACK_LOCATIONS");
  EXPECT_DEATH(CompleteTwice(), "BUGCHECK MULTIPLE_IRP_COMPLETE_REQUESTS");
  EXPECT_DEATH(
      {
        Stack stack;
        stack.lowerStatus = STATUS_PENDING;
        stack_test::TopRoutine top;
        PIRP irp = NewInternalIoctl(stack.upper, nullptr);
        top.Arm(irp);
        IoCallDriver(stack.upper, irp);
      },
      "BUGCHECK IRP_COMPLETE_PENDING");
  EXPECT_DEATH(
      {
        Stack stack;
        PIRP irp = NewInternalIoctl(stack.upper, nullptr);  // no completion routine of its own
        IoCallDriver(stack.upper, irp);
      },
      "BUGCHECK IRP_COMPLETED_TO_TOP");
  EXPECT_DEATH(
      {
        Stack stack;
        stack.PendInLower();
        PIRP irp = NewInternalIoctl(stack.upper, nullptr);
        IoCallDriver(stack.upper, irp);
        IoFreeIrp(irp);
      },
      "BUGCHECK IRP_FREE_IN_DRIVER");
}

// Sends an IRP with the owner's routine through the two-driver stack whose
// lower dispatch routine is `lower`; completes it later when it was left pending.
void SendThroughStack(std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> lower, bool upperSetsRoutine) {
  Stack stack;
  stack.lowerDispatch = std::move(lower);
  stack.upperSetsRoutine = upperSetsRoutine;
  stack_test::TopRoutine top;
  PIRP irp = NewInternalIoctl(stack.upper, nullptr);
  top.Arm(irp);
  IoCallDriver(stack.upper, irp);
  if (stack.pended) {
    stack.pended->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(stack.pended, IO_NO_INCREMENT);
  }
  IoFreeIrp(irp);
}

TEST_F(VerifierRules, DispatchReturnRules) {
  // Pending without IoMarkIrpPending, completed later or at once: the lower
  // dispatch routine is named.
  EXPECT_DEATH(SendThroughStack(
                   [](PDEVICE_OBJECT device, PIRP irp) {
                     Stack::Of(device)->pended = irp;
                     return STATUS_PENDING;
                   },
                   false),
               "BUGCHECK IRP_PENDING_NOT_MARKED: .*\n.*caller: .*Stack::LowerDispatch");
  EXPECT_DEATH(SendThroughStack(
                   [](PDEVICE_OBJECT, PIRP irp) {
                     irp->IoStatus.Status = STATUS_SUCCESS;
                     IoCompleteRequest(irp, IO_NO_INCREMENT);
                     return STATUS_PENDING;
                   },
                   true),
               "BUGCHECK IRP_PENDING_NOT_MARKED");
  // Completed with one status, returned another.
  EXPECT_DEATH(SendThroughStack(
                   [](PDEVICE_OBJECT, PIRP irp) {
                     irp->IoStatus.Status = STATUS_SUCCESS;
                     IoCompleteRequest(irp, IO_NO_INCREMENT);
                     return STATUS_UNSUCCESSFUL;
                   },
                   false),
               "BUGCHECK IRP_STATUS_MISMATCH: .*status 0x00000000 but returned 0xc0000001");
  // Marked pending, then a status other than STATUS_PENDING returned.
  EXPECT_DEATH(SendThroughStack(
                   [](PDEVICE_OBJECT, PIRP irp) {
                     IoMarkIrpPending(irp);
                     irp->IoStatus.Status = STATUS_SUCCESS;
                     IoCompleteRequest(irp, IO_NO_INCREMENT);
                     return STATUS_SUCCESS;
                   },
                   true),
               "BUGCHECK IRP_PENDING_NOT_RETURNED");
  // Legal: marked, completed on the spot and STATUS_PENDING returned; pended
  // and completed later, the upper routine propagating PendingReturned.
  SendThroughStack(
      [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
      },
      false);
  SendThroughStack(
      [](PDEVICE_OBJECT device, PIRP irp) {
        IoMarkIrpPending(irp);
        Stack::Of(device)->pended = irp;
        return STATUS_PENDING;
      },
      true);
}

TEST_F(VerifierRules, LeaksAreReportedPerTag) {
  EXPECT_DEATH(
      {
        ExAllocatePoolWithTag(NonPagedPoolNx, 24, PoolTag("TsLk"));
        platform::VerifyNoLeaks("device removal");
      },
      "BUGCHECK POOL_LEAK: device removal: 1 pool allocations outstanding\n  TsLk: 1 allocations, 24 bytes");
  EXPECT_DEATH(
      {
        IoAllocateIrp(1, FALSE);
        platform::VerifyNoLeaks("driver unload");
      },
      "BUGCHECK IRP_LEAK: driver unload: 1 IRPs outstanding");
  EXPECT_DEATH(
      {
        NPAGED_LOOKASIDE_LIST list;
        ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 40, PoolTag("TsLl"), 0);
        ExAllocateFromNPagedLookasideList(&list);  // still handed out at delete
        ExDeleteNPagedLookasideList(&list);
        platform::VerifyNoLeaks("teardown");
      },
      "BUGCHECK POOL_LEAK: .*TsLl: 1 allocations, 40 bytes");
}

TEST_F(VerifierRules, LookasideRules) {
  EXPECT_DEATH(
      {
        NPAGED_LOOKASIDE_LIST list;
        ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 40, PoolTag("TsLl"), 0);
        ExFreeToNPagedLookasideList(&list, ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTag));
      },
      "BUGCHECK LOOKASIDE_FOREIGN_ENTRY");
  EXPECT_DEATH(
      {
        NPAGED_LOOKASIDE_LIST list;
        memset(&list, 0, sizeof list);
        ExAllocateFromNPagedLookasideList(&list);
      },
      "BUGCHECK LOOKASIDE_NOT_INITIALIZED");
}

TEST_F(VerifierRules, AssertionsAndExplicitBugChecks) {
  EXPECT_DEATH(ASSERT(1 + 1 == 3), "BUGCHECK ASSERTION_FAILED: 1 \\+ 1 == 3 at .*verifier_death_test.cpp");
  EXPECT_DEATH(KeBugCheckEx(0xC4, 1, 2, 3, 4), "BUGCHECK KE_BUGCHECK: code 0x000000C4");
  EXPECT_DEATH(platform::BugCheck("CUSTOM_RULE", "value %d", 7), "BUGCHECK CUSTOM_RULE: value 7");
}

}  // namespace
