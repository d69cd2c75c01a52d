// The I/O manager stand-in: stack locations, the completion walk, pending
// propagation, synchronous requests built by IoBuildDeviceIoControlRequest
// and IRP reuse.
#include <algorithm>
#include <thread>

#include "tests/platform/two_driver_stack.h"
#include "tests/support/verifier_test.h"

namespace {

using stack_test::Log;
using stack_test::NewInternalIoctl;
using stack_test::Stack;
using stack_test::TopRoutine;

LARGE_INTEGER Seconds(int s) {
  LARGE_INTEGER t;
  t.QuadPart = -10000000LL * s;
  return t;
}

class IrpTest : public VerifiedTest {};

VOID NTAPI CancelByCompleting(PDEVICE_OBJECT device, PIRP irp) {
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(device, Stack::Of(device)->lower);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST_F(IrpTest, CallDriverMovesDownAndCompletionWalksBackUp) {
  Stack stack;
  Log log;
  stack.log = &log;
  stack.upperSetsRoutine = true;
  ASSERT_EQ(stack.upper->StackSize, 2);

  int urb = 0;
  PIRP irp = NewInternalIoctl(stack.upper, &urb);
  EXPECT_EQ(irp->StackCount, 2);
  EXPECT_EQ(irp->CurrentLocation, 3);
  TopRoutine top;
  top.log = &log;
  top.Arm(irp);
  PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);

  PIO_STACK_LOCATION seenByLower = nullptr;
  stack.lowerDispatch = [&](PDEVICE_OBJECT device, PIRP i) {
    seenByLower = IoGetCurrentIrpStackLocation(i);
    EXPECT_EQ(device, stack.lower);
    EXPECT_EQ(seenByLower->DeviceObject, stack.lower);
    EXPECT_EQ(i->CurrentLocation, 1);
    EXPECT_EQ(seenByLower->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(seenByLower->Parameters.DeviceIoControl.IoControlCode, 0x220003u);
    EXPECT_EQ(seenByLower->Parameters.Others.Argument1, &urb);
    i->IoStatus.Status = STATUS_SUCCESS;
    i->IoStatus.Information = 7;
    IoCompleteRequest(i, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };

  EXPECT_EQ(IoCallDriver(stack.upper, irp), STATUS_SUCCESS);
  EXPECT_EQ(seenByLower, first - 1) << "the lower driver gets the location below the upper one";
  EXPECT_EQ(log.events, (std::vector<std::string>{"upper dispatch", "lower dispatch", "upper routine", "top routine"}));
  EXPECT_EQ(stack.upperRoutineDevice, stack.upper) << "a routine gets the device of the driver that set it";
  EXPECT_EQ(top.device, nullptr) << "the originator has no stack location of its own";
  EXPECT_EQ(top.status, STATUS_SUCCESS);
  EXPECT_EQ(irp->IoStatus.Information, 7u);
  EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1) << "the walk stops at the originator's routine";
  IoFreeIrp(irp);
}

struct InvokeCase {
  const char* name;
  BOOLEAN onSuccess, onError, onCancel;
  NTSTATUS completion;
  bool cancel;
  bool expectCalled;
};

class CompletionFlagsTest : public VerifiedTest, public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(CompletionFlagsTest, RoutineRunsOnlyWhenItsFlagsMatch) {
  const InvokeCase& c = GetParam();
  Stack stack;
  stack.upperSetsRoutine = true;
  stack.onSuccess = c.onSuccess;
  stack.onError = c.onError;
  stack.onCancel = c.onCancel;
  Log log;
  stack.log = &log;
  stack.PendInLower();

  PIRP irp = NewInternalIoctl(stack.upper, nullptr);
  TopRoutine top;
  top.Arm(irp);
  EXPECT_EQ(IoCallDriver(stack.upper, irp), STATUS_PENDING);
  ASSERT_EQ(stack.pended, irp);
  if (c.cancel) irp->Cancel = TRUE;
  irp->IoStatus.Status = c.completion;
  IoCompleteRequest(irp, IO_NO_INCREMENT);

  bool called = std::find(log.events.begin(), log.events.end(), "upper routine") != log.events.end();
  EXPECT_EQ(called, c.expectCalled);
  EXPECT_EQ(top.calls, 1) << "the originator's routine runs either way";
  EXPECT_EQ(top.status, c.completion);
  IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, CompletionFlagsTest,
    ::testing::Values(InvokeCase{"SuccessOnSuccess", TRUE, FALSE, FALSE, STATUS_SUCCESS, false, true},
                      InvokeCase{"SuccessOnlyOnError", TRUE, FALSE, FALSE, STATUS_IO_DEVICE_ERROR, false, false},
                      InvokeCase{"ErrorOnError", FALSE, TRUE, FALSE, STATUS_IO_DEVICE_ERROR, false, true},
                      InvokeCase{"ErrorOnlyOnSuccess", FALSE, TRUE, FALSE, STATUS_SUCCESS, false, false},
                      InvokeCase{"WarningIsNotAnError", FALSE, TRUE, FALSE, STATUS_BUFFER_OVERFLOW, false, true},
                      InvokeCase{"CancelOnCancelledIrp", FALSE, FALSE, TRUE, STATUS_CANCELLED, true, true},
                      InvokeCase{"CancelOnlyWithoutCancel", FALSE, FALSE, TRUE, STATUS_CANCELLED, false, false},
                      InvokeCase{"SuccessOnlyOnCancelled", TRUE, FALSE, FALSE, STATUS_CANCELLED, true, false}),
    [](const ::testing::TestParamInfo<InvokeCase>& info) { return std::string(info.param.name); });

TEST_F(IrpTest, MoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain) {
  Stack stack;
  Log log;
  stack.log = &log;
  stack.upperSetsRoutine = true;
  stack.upperRoutineResult = STATUS_MORE_PROCESSING_REQUIRED;
  PIRP irp = NewInternalIoctl(stack.upper, nullptr);
  TopRoutine top;
  top.log = &log;
  top.Arm(irp);

  EXPECT_EQ(IoCallDriver(stack.upper, irp), STATUS_SUCCESS);
  EXPECT_EQ(top.calls, 0) << "the upper driver kept the IRP";
  EXPECT_EQ(irp->CurrentLocation, 2) << "the IRP is back at the upper driver's location";
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, stack.upper);

  // The upper driver finishes its work and completes the IRP upward.
  irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(top.calls, 1);
  EXPECT_EQ(top.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(log.events.back(), "top routine");
  IoFreeIrp(irp);
}

TEST_F(IrpTest, PendingReturnedFollowsTheCompletedLocation) {
  for (bool pend : {false, true}) {
    SCOPED_TRACE(pend ? "lower driver pends" : "lower driver completes at once");
    Stack stack;
    stack.upperSetsRoutine = false;  // the upper driver skips its location
    if (pend) stack.PendInLower();
    PIRP irp = NewInternalIoctl(stack.upper, nullptr);
    TopRoutine top;
    top.Arm(irp);
    NTSTATUS status = IoCallDriver(stack.upper, irp);
    if (pend) {
      EXPECT_EQ(status, STATUS_PENDING);
      std::thread completer([&] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        stack.pended->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(stack.pended, IO_NO_INCREMENT);
        KeLowerIrql(old);
      });
      LARGE_INTEGER timeout = Seconds(10);
      EXPECT_EQ(KeWaitForSingleObject(&top.done, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
      completer.join();
    }
    EXPECT_EQ(top.calls, 1);
    EXPECT_EQ(top.pendingReturned, pend ? TRUE : FALSE);
    IoFreeIrp(irp);
  }
}

TEST_F(IrpTest, PendingPropagatesThroughARoutineThatMarksIt) {
  Stack stack;
  stack.upperSetsRoutine = true;
  stack.PendInLower();
  PIRP irp = NewInternalIoctl(stack.upper, nullptr);
  TopRoutine top;
  top.Arm(irp);
  EXPECT_EQ(IoCallDriver(stack.upper, irp), STATUS_PENDING);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_TRUE(stack.upperSawPendingReturned);
  EXPECT_TRUE(top.pendingReturned) << "the upper routine marked its location pending";
  IoFreeIrp(irp);
}

TEST_F(IrpTest, BuiltRequestCompletedAtOnceFillsStatusBlockSetsEventAndFreesItself) {
  Stack stack;
  int urb = 0;
  stack.lowerStatus = STATUS_BUFFER_OVERFLOW;
  stack.lowerInformation = 42;
  PIO_STACK_LOCATION seen = nullptr;
  ULONG seenMajor = 0, seenCode = 0;
  PVOID seenArgument = nullptr;
  stack.lowerDispatch = [&](PDEVICE_OBJECT, PIRP i) {
    seen = IoGetCurrentIrpStackLocation(i);
    seenMajor = seen->MajorFunction;
    seenCode = seen->Parameters.DeviceIoControl.IoControlCode;
    seenArgument = seen->Parameters.Others.Argument1;
    i->IoStatus.Status = STATUS_BUFFER_OVERFLOW;
    i->IoStatus.Information = 42;
    IoCompleteRequest(i, IO_NO_INCREMENT);
    return STATUS_BUFFER_OVERFLOW;
  };
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  iosb.Status = 0x12345678;
  iosb.Information = 0;
  PIRP irp = IoBuildDeviceIoControlRequest(0x220003, stack.upper, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(platform::OutstandingIrps(), 1u);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;

  EXPECT_EQ(IoCallDriver(stack.upper, irp), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(seenMajor, static_cast<ULONG>(IRP_MJ_INTERNAL_DEVICE_CONTROL));
  EXPECT_EQ(seenCode, 0x220003u);
  EXPECT_EQ(seenArgument, &urb);
  EXPECT_EQ(iosb.Status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(iosb.Information, 42u);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(platform::OutstandingIrps(), 0u) << "the I/O manager frees built requests";
}

TEST_F(IrpTest, BuiltRequestCompletedLaterAtDispatchLevelWakesTheWaiter) {
  Stack stack;
  stack.PendInLower();
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(0x220003, stack.upper, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  ASSERT_EQ(IoCallDriver(stack.upper, irp), STATUS_PENDING);
  EXPECT_EQ(KeReadStateEvent(&event), 0);

  KIRQL completerIrql = PASSIVE_LEVEL;
  std::thread completer([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    completerIrql = KeGetCurrentIrql();
    stack.pended->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
    stack.pended->IoStatus.Information = 3;
    IoCompleteRequest(stack.pended, IO_NO_INCREMENT);
    KeLowerIrql(old);
  });
  LARGE_INTEGER timeout = Seconds(10);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  completer.join();
  EXPECT_EQ(completerIrql, DISPATCH_LEVEL);
  EXPECT_EQ(iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(iosb.Information, 3u);
  EXPECT_EQ(platform::OutstandingIrps(), 0u);
}

TEST_F(IrpTest, BufferedControlCopiesInputInAndOnlyTheReturnedBytesOut) {
  Stack stack;
  const UCHAR input[4] = {1, 2, 3, 4};
  UCHAR output[8];
  memset(output, 0xEE, sizeof output);
  ULONG inLength = 0, outLength = 0;
  stack.lowerDispatch = [&](PDEVICE_OBJECT, PIRP i) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(i);
    inLength = sp->Parameters.DeviceIoControl.InputBufferLength;
    outLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR* buffer = static_cast<UCHAR*>(i->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(memcmp(buffer, input, 4), 0);
    buffer[0] = 9;
    buffer[1] = 8;
    buffer[2] = 7;
    i->IoStatus.Status = STATUS_SUCCESS;
    i->IoStatus.Information = 3;
    IoCompleteRequest(i, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  ULONG code = CTL_CODE(FILE_DEVICE_KS, 0x10, METHOD_BUFFERED, FILE_ANY_ACCESS);
  PIRP irp = IoBuildDeviceIoControlRequest(code, stack.upper, const_cast<UCHAR*>(input), 4, output, 8, FALSE,
                                           &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(IoCallDriver(stack.upper, irp), STATUS_SUCCESS);
  EXPECT_EQ(inLength, 4u);
  EXPECT_EQ(outLength, 8u);
  const UCHAR expected[8] = {9, 8, 7, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(memcmp(output, expected, 8), 0);
}

TEST_F(IrpTest, ReusedIrpStartsFreshAndCanBeSentAgainWithoutNewAllocations) {
  Stack stack;
  PIRP irp = IoAllocateIrp(stack.upper->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  for (int round = 0; round < 100; ++round) {
    IoReuseIrp(irp, STATUS_SUCCESS);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    EXPECT_FALSE(irp->PendingReturned);
    EXPECT_FALSE(irp->Cancel);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->CompletionRoutine, nullptr);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    TopRoutine top;
    top.Arm(irp);
    stack.lowerStatus = (round % 2) ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
    stack.lowerInformation = static_cast<ULONG_PTR>(round);
    IoCallDriver(stack.upper, irp);
    ASSERT_EQ(top.calls, 1);
    EXPECT_EQ(top.status, stack.lowerStatus);
    EXPECT_EQ(platform::OutstandingIrps(), 1u);
  }
  IoFreeIrp(irp);
}

TEST_F(IrpTest, CancelCallsTheCancelRoutineWhichCompletesTheIrp) {
  Stack stack;
  stack.lowerDispatch = [&](PDEVICE_OBJECT, PIRP i) {
    IoMarkIrpPending(i);
    stack.pended = i;
    IoSetCancelRoutine(i, &CancelByCompleting);
    return STATUS_PENDING;
  };
  PIRP irp = NewInternalIoctl(stack.upper, nullptr);
  TopRoutine top;
  top.Arm(irp);
  ASSERT_EQ(IoCallDriver(stack.upper, irp), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(top.calls, 1);
  EXPECT_EQ(top.status, STATUS_CANCELLED);
  EXPECT_TRUE(irp->Cancel);
  EXPECT_FALSE(IoCancelIrp(irp)) << "no cancel routine left";
  IoFreeIrp(irp);
}

TEST_F(IrpTest, InjectedIrpAllocationFailureHitsTheNthAllocationOnce) {
  platform::FailIrpAllocation(1);
  PIRP first = IoAllocateIrp(2, FALSE);
  PIRP second = IoAllocateIrp(2, FALSE);
  PIRP third = IoAllocateIrp(2, FALSE);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  IoFreeIrp(first);
  IoFreeIrp(third);
}

}  // namespace
