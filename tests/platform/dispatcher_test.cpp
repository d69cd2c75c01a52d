// Events, semaphores and waits across real threads, with Windows timeout
// semantics.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/verifier_test.h"

namespace {

using Clock = std::chrono::steady_clock;

LARGE_INTEGER Relative(std::chrono::milliseconds ms) {
  LARGE_INTEGER t;
  t.QuadPart = -10000LL * ms.count();
  return t;
}

constexpr std::chrono::seconds kGenerous{10};

class DispatcherTest : public VerifiedTest {};

TEST_F(DispatcherTest, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      LARGE_INTEGER timeout = Relative(kGenerous);
      if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) woken++;
    });
  }
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0) << "previous state";
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken, 3);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(DispatcherTest, SynchronizationEventReleasesOneWaiterPerSetAndResetsItself) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  std::atomic<int> woken{0};
  KEVENT firstDone;
  KeInitializeEvent(&firstDone, NotificationEvent, FALSE);
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      LARGE_INTEGER timeout = Relative(kGenerous);
      EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
      woken++;
      KeSetEvent(&firstDone, IO_NO_INCREMENT, FALSE);
    });
  }
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  LARGE_INTEGER timeout = Relative(kGenerous);
  ASSERT_EQ(KeWaitForSingleObject(&firstDone, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  // The second waiter must still be blocked: give it a real chance to run.
  LARGE_INTEGER settle = Relative(std::chrono::milliseconds(100));
  KeDelayExecutionThread(KernelMode, FALSE, &settle);
  EXPECT_EQ(woken, 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0) << "the satisfied wait reset the event";
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken, 2);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(DispatcherTest, SignalledSynchronizationEventSatisfiesExactlyOneWait) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, TimeoutsFollowWindowsUnits) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);

  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  auto start = Clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << "a zero timeout polls";

  LARGE_INTEGER relative = Relative(std::chrono::milliseconds(50));
  start = Clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &relative), STATUS_TIMEOUT);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));

  LARGE_INTEGER absolute;
  KeQuerySystemTime(&absolute);
  absolute.QuadPart += 50 * 10000;  // 50 ms from now, in 100 ns units
  start = Clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(45));

  LARGE_INTEGER past;
  KeQuerySystemTime(&past);
  past.QuadPart -= 10000000;
  start = Clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));

  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
}

TEST_F(DispatcherTest, WaitAnyReturnsTheLowestSignalledIndexAndConsumesOnlyThatObject) {
  KEVENT events[3];
  for (auto& e : events) KeInitializeEvent(&e, SynchronizationEvent, FALSE);
  PVOID objects[3] = {&events[0], &events[1], &events[2]};
  KeSetEvent(&events[2], IO_NO_INCREMENT, FALSE);
  KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE);
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr),
            STATUS_WAIT_1);
  EXPECT_EQ(KeReadStateEvent(&events[1]), 0);
  EXPECT_EQ(KeReadStateEvent(&events[2]), 1);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr),
            STATUS_WAIT_2);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr),
            STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, WaitAllNeedsEveryObjectAtOnce) {
  KEVENT a, b;
  KeInitializeEvent(&a, SynchronizationEvent, TRUE);
  KeInitializeEvent(&b, NotificationEvent, FALSE);
  PVOID objects[2] = {&a, &b};
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr),
            STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&a), 1) << "a failed wait-all consumes nothing";
  std::thread setter([&] { KeSetEvent(&b, IO_NO_INCREMENT, FALSE); });
  LARGE_INTEGER timeout = Relative(kGenerous);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr),
            STATUS_SUCCESS);
  setter.join();
  EXPECT_EQ(KeReadStateEvent(&a), 0);
  EXPECT_EQ(KeReadStateEvent(&b), 1);
}

TEST_F(DispatcherTest, SemaphoreCountsReleasesAcrossThreads) {
  KSEMAPHORE semaphore;
  constexpr int kItems = 1000;
  KeInitializeSemaphore(&semaphore, 0, kItems);
  std::atomic<int> consumed{0};
  std::thread consumer([&] {
    for (int i = 0; i < kItems; ++i) {
      LARGE_INTEGER timeout = Relative(kGenerous);
      if (KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) return;
      consumed++;
    }
  });
  for (int i = 0; i < kItems; i += 4) KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 4, FALSE);
  consumer.join();
  EXPECT_EQ(consumed, kItems);
  EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
}

TEST_F(DispatcherTest, EventSetAtDispatchLevelOnAnotherThreadWakesAPassiveWaiter) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::thread setter([&] {
    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeLowerIrql(old);
  });
  LARGE_INTEGER timeout = Relative(kGenerous);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  setter.join();
}

TEST_F(DispatcherTest, ClocksAdvanceInHundredNanosecondUnits) {
  LARGE_INTEGER before, after;
  KeQuerySystemTime(&before);
  ULONGLONG interruptBefore = KeQueryInterruptTime();
  LARGE_INTEGER delay = Relative(std::chrono::milliseconds(20));
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
  KeQuerySystemTime(&after);
  ULONGLONG interruptAfter = KeQueryInterruptTime();
  EXPECT_GE(interruptAfter - interruptBefore, 200000u);
  EXPECT_LT(interruptAfter - interruptBefore, 10ull * 10000000u);
  EXPECT_GE(after.QuadPart - before.QuadPart, 150000);
  // 2020-01-01 in 100 ns units since 1601: the system time is a Windows one.
  EXPECT_GT(before.QuadPart, 132223104000000000LL);
  LARGE_INTEGER frequency;
  KeQueryPerformanceCounter(&frequency);
  EXPECT_EQ(frequency.QuadPart, 10000000);
}

}  // namespace
