// System threads and their objects, kernel timers with DPCs, MDLs over
// non-paged pool, and the verifier's leak reports for them.
#include <wdm.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/support/verifier_test.h"
#include "tests/support/waitable_count.h"

namespace {

class ThreadsTimersMdl : public VerifiedTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(platform::OutstandingThreads(), 0u) << platform::DescribeOutstandingThreads();
    EXPECT_EQ(platform::OutstandingMdls(), 0u) << platform::DescribeOutstandingMdls();
    VerifiedTest::TearDown();
  }
};
class ThreadsTimersMdlRules : public VerifierDeathTest {};

LARGE_INTEGER Relative(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

constexpr LONGLONG kGenerousMs = 10000;

struct ThreadContext {
  KEVENT started;
  KEVENT go;
  std::atomic<int> irql{-1};
  std::atomic<bool> afterTerminate{false};
  PKTHREAD self = nullptr;
};

VOID NTAPI SignalThenTerminate(PVOID context) {
  auto* c = static_cast<ThreadContext*>(context);
  c->irql = KeGetCurrentIrql();
  c->self = KeGetCurrentThread();
  KeSetEvent(&c->started, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&c->go, Executive, KernelMode, FALSE, NULL);
  PsTerminateSystemThread(STATUS_SUCCESS);
  c->afterTerminate = true;  // never reached
}

TEST_F(ThreadsTimersMdl, SystemThreadObjectIsSignalledWhenTheThreadEnds) {
  ThreadContext c;
  KeInitializeEvent(&c.started, NotificationEvent, FALSE);
  KeInitializeEvent(&c.go, NotificationEvent, FALSE);
  HANDLE handle = NULL;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, SignalThenTerminate, &c),
            STATUS_SUCCESS);
  PVOID object = NULL;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, NULL),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);  // closed already
  PKTHREAD thread = static_cast<PKTHREAD>(object);

  LARGE_INTEGER timeout = Relative(kGenerousMs);
  ASSERT_EQ(KeWaitForSingleObject(&c.started, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(c.irql.load(), PASSIVE_LEVEL);
  EXPECT_EQ(c.self, thread);
  EXPECT_NE(KeGetCurrentThread(), thread);
  EXPECT_EQ(KeGetCurrentThread(), KeGetCurrentThread());
  KeSetPriorityThread(thread, LOW_REALTIME_PRIORITY);
  EXPECT_EQ(KeQueryPriorityThread(thread), LOW_REALTIME_PRIORITY);

  LARGE_INTEGER poll = Relative(0);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);  // still running
  KeSetEvent(&c.go, IO_NO_INCREMENT, FALSE);
  ASSERT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  // Ended threads stay signalled for every waiter.
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_FALSE(c.afterTerminate.load());
  EXPECT_EQ(platform::OutstandingThreads(), 1u);  // our reference keeps it
  ObDereferenceObject(object);
  EXPECT_EQ(platform::OutstandingThreads(), 0u);
}

struct StopContext {
  KEVENT stop;
  KSEMAPHORE work;
  WaitableCount served;
  std::atomic<NTSTATUS> lastWait{STATUS_SUCCESS};
};

// The shape of a streaming thread: serve work until told to stop; the stop
// event comes first so it wins when both are signalled.
VOID NTAPI ServeUntilStopped(PVOID context) {
  auto* c = static_cast<StopContext*>(context);
  PVOID objects[2] = {&c->stop, &c->work};
  for (;;) {
    NTSTATUS status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
    c->lastWait = status;
    if (status != STATUS_WAIT_0 + 1) break;
    c->served.Add();
  }
}

TEST_F(ThreadsTimersMdl, WaitAnyPicksTheLowestSignalledObject) {
  StopContext c;
  KeInitializeEvent(&c.stop, NotificationEvent, FALSE);
  KeInitializeSemaphore(&c.work, 0, 100);

  // Both signalled before the wait: index 0 wins and the semaphore keeps
  // its count.
  KeSetEvent(&c.stop, IO_NO_INCREMENT, FALSE);
  KeReleaseSemaphore(&c.work, IO_NO_INCREMENT, 2, FALSE);
  PVOID objects[2] = {&c.stop, &c.work};
  LARGE_INTEGER poll = Relative(0);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &poll, NULL), STATUS_WAIT_0);
  EXPECT_EQ(KeReadStateSemaphore(&c.work), 2);
  KeClearEvent(&c.stop);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &poll, NULL),
            STATUS_WAIT_0 + 1);
  EXPECT_EQ(KeReadStateSemaphore(&c.work), 1);
  EXPECT_EQ(KeWaitForSingleObject(&c.work, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);

  HANDLE handle;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, ServeUntilStopped, &c),
            STATUS_SUCCESS);
  PVOID thread;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, NULL),
            STATUS_SUCCESS);
  ZwClose(handle);
  KeReleaseSemaphore(&c.work, IO_NO_INCREMENT, 3, FALSE);
  ASSERT_TRUE(c.served.WaitFor(3));
  KeSetEvent(&c.stop, IO_NO_INCREMENT, FALSE);
  LARGE_INTEGER timeout = Relative(kGenerousMs);
  ASSERT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(c.lastWait.load(), STATUS_WAIT_0);
  EXPECT_EQ(c.served.Get(), 3);
  ObDereferenceObject(thread);
}

TEST_F(ThreadsTimersMdl, HandlesAndReferencesAreChecked) {
  PVOID object = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x1234)), THREAD_ALL_ACCESS,
                                      *PsThreadType, KernelMode, &object, NULL),
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(object, nullptr);
}

struct TimerContext {
  WaitableCount fired;
  std::atomic<int> irql{-1};
  KTIMER* timer = nullptr;
  std::atomic<bool> signalledInDpc{false};
};

VOID NTAPI CountDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* c = static_cast<TimerContext*>(context);
  c->irql = KeGetCurrentIrql();
  c->signalledInDpc = KeReadStateTimer(c->timer);
  c->fired.Add();
}

TEST_F(ThreadsTimersMdl, PeriodicTimerRunsItsDpcUntilCancelled) {
  KTIMER timer;
  KDPC dpc;
  TimerContext c;
  c.timer = &timer;
  KeInitializeTimerEx(&timer, NotificationTimer);
  KeInitializeDpc(&dpc, CountDpc, &c);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  EXPECT_FALSE(KeSetTimerEx(&timer, Relative(1), 2, &dpc));
  ASSERT_TRUE(c.fired.WaitFor(5)) << "fired " << c.fired.Get();
  EXPECT_EQ(c.irql.load(), DISPATCH_LEVEL);
  EXPECT_TRUE(c.signalledInDpc.load());
  LARGE_INTEGER poll = Relative(0);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);

  EXPECT_TRUE(KeCancelTimer(&timer));  // was armed (periodic)
  EXPECT_FALSE(KeCancelTimer(&timer));
  KeFlushQueuedDpcs();
  int after = c.fired.Get();
  // A one-shot timer set after the cancel fires once; the cancelled periodic
  // one must not have fired in between.
  KTIMER marker;
  KeInitializeTimer(&marker);
  KeSetTimer(&marker, Relative(30), NULL);
  LARGE_INTEGER timeout = Relative(kGenerousMs);
  ASSERT_EQ(KeWaitForSingleObject(&marker, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(c.fired.Get(), after);
}

TEST_F(ThreadsTimersMdl, TimersAreWaitableObjects) {
  KTIMER sync, notification;
  KeInitializeTimerEx(&sync, SynchronizationTimer);
  KeInitializeTimerEx(&notification, NotificationTimer);
  LARGE_INTEGER poll = Relative(0), timeout = Relative(kGenerousMs);
  KeSetTimer(&sync, Relative(5), NULL);
  KeSetTimer(&notification, Relative(5), NULL);
  PVOID both[2] = {&sync, &notification};
  ASSERT_EQ(KeWaitForMultipleObjects(2, both, WaitAll, Executive, KernelMode, FALSE, &timeout, NULL), STATUS_SUCCESS);
  // A satisfied wait resets a synchronization timer, not a notification one.
  EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  // Setting again makes it non-signalled until it expires.
  EXPECT_FALSE(KeSetTimer(&notification, Relative(kGenerousMs), NULL));
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  EXPECT_TRUE(KeCancelTimer(&notification));
  // An absolute due time in the past expires at once.
  LARGE_INTEGER past;
  KeQuerySystemTime(&past);
  past.QuadPart -= 10000000;
  KeSetTimer(&notification, past, NULL);
  ASSERT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);

  LARGE_INTEGER frequency;
  LARGE_INTEGER before = KeQueryPerformanceCounter(&frequency);
  EXPECT_GT(frequency.QuadPart, 0);
  LARGE_INTEGER delay = Relative(2);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
  EXPECT_GE(KeQueryPerformanceCounter(NULL).QuadPart - before.QuadPart, frequency.QuadPart * 2 / 1000);
}

TEST_F(ThreadsTimersMdl, MdlDescribesNonPagedPoolBuffer) {
  constexpr ULONG kTag = platform::PoolTag("TMdl");
  constexpr ULONG kBytes = 3 * PAGE_SIZE + 100;
  auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, kBytes + 64, kTag));
  ASSERT_NE(buffer, nullptr);
  UCHAR* start = buffer + 17;  // not page aligned
  for (ULONG i = 0; i < kBytes; ++i) start[i] = static_cast<UCHAR>(i * 7);

  PMDL mdl = IoAllocateMdl(start, kBytes, FALSE, FALSE, NULL);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(platform::OutstandingMdls(), 1u);
  EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
  EXPECT_EQ(MmGetMdlByteCount(mdl), kBytes);
  EXPECT_EQ(MmGetMdlByteOffset(mdl), BYTE_OFFSET(start));
  EXPECT_EQ(mdl->StartVa, PAGE_ALIGN(start));
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(start, kBytes);
  EXPECT_EQ(static_cast<size_t>(mdl->Size), sizeof(MDL) + pages * sizeof(PFN_NUMBER));
  MmBuildMdlForNonPagedPool(mdl);
  EXPECT_TRUE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
  auto* system = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  ASSERT_EQ(system, start);
  for (ULONG i = 0; i < kBytes; ++i) ASSERT_EQ(system[i], static_cast<UCHAR>(i * 7)) << "byte " << i;
  PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
  for (ULONG i = 1; i < pages; ++i) EXPECT_EQ(pfns[i], pfns[0] + i);
  IoFreeMdl(mdl);
  EXPECT_EQ(platform::OutstandingMdls(), 0u);
  ExFreePoolWithTag(buffer, kTag);
}

TEST_F(ThreadsTimersMdl, MdlsAttachToAnIrp) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  ASSERT_NE(irp, nullptr);
  UCHAR data[64];
  PMDL first = IoAllocateMdl(data, 32, FALSE, FALSE, irp);
  PMDL second = IoAllocateMdl(data + 32, 32, TRUE, FALSE, irp);
  EXPECT_EQ(irp->MdlAddress, first);
  EXPECT_EQ(first->Next, second);
  irp->MdlAddress = NULL;
  IoFreeMdl(second);
  IoFreeMdl(first);
  IoFreeIrp(irp);
}

VOID NTAPI ReturnAtOnce(PVOID) {}

TEST_F(ThreadsTimersMdlRules, LeaksAndMisuseAreReported) {
  EXPECT_DEATH(
      {
        HANDLE handle;
        PVOID thread;
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, ReturnAtOnce, NULL);
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, NULL);
        ZwClose(handle);
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
        platform::VerifyNoLeaks("unload");  // the reference was never dropped
      },
      "BUGCHECK THREAD_OBJECT_LEAK");
  EXPECT_DEATH(
      {
        HANDLE handle;
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, ReturnAtOnce, NULL);
        platform::VerifyNoLeaks("unload");  // handle never closed
      },
      "BUGCHECK (THREAD_OBJECT_LEAK|HANDLE_LEAK)");
  EXPECT_DEATH(
      {
        static UCHAR data[16];
        IoAllocateMdl(data, sizeof data, FALSE, FALSE, NULL);
        platform::VerifyNoLeaks("unload");
      },
      "BUGCHECK MDL_LEAK");
  EXPECT_DEATH(
      {
        static UCHAR data[16];
        PMDL mdl = IoAllocateMdl(data, sizeof data, FALSE, FALSE, NULL);
        IoFreeMdl(mdl);
        IoFreeMdl(mdl);
      },
      "BUGCHECK MDL_INVALID");
  EXPECT_DEATH(PsTerminateSystemThread(STATUS_SUCCESS), "BUGCHECK PS_TERMINATE_NOT_SYSTEM_THREAD");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        HANDLE handle;
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, ReturnAtOnce, NULL);
      },
      "BUGCHECK IRQL_THREAD_NOT_PASSIVE");
}

}  // namespace
