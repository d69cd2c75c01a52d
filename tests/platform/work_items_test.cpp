// System work items run on several worker threads at once, and with
// injected latency they still run, counting as pending until they have.
#include <wdm.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/kernel/host_timing.h"
#include "platform/kernel/work_items.h"
#include "tests/support/verifier_test.h"
#include "tests/support/waitable_count.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class WorkItems : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    driver_.Type = IO_TYPE_DRIVER;
    ASSERT_EQ(IoCreateDevice(&driver_, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_), STATUS_SUCCESS);
  }
  void TearDown() override {
    EXPECT_TRUE(platform::WaitForWorkItems());
    if (device_) IoDeleteDevice(device_);
    platform::ResetHostTiming();
    VerifiedTest::TearDown();
  }

  DRIVER_OBJECT driver_{};
  PDEVICE_OBJECT device_ = nullptr;
};

struct Meeting {
  KEVENT firstStarted;
  std::atomic<NTSTATUS> firstWait{STATUS_PENDING};
  WaitableCount done;
};

TEST_F(WorkItems, TwoItemsRunAtTheSameTime) {
  // The first item waits for the second to start: on one worker thread it
  // would wait out its whole timeout.
  Meeting m;
  KeInitializeEvent(&m.firstStarted, NotificationEvent, FALSE);
  PIO_WORKITEM first = IoAllocateWorkItem(device_);
  PIO_WORKITEM second = IoAllocateWorkItem(device_);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  IoQueueWorkItem(
      first,
      [](PDEVICE_OBJECT, PVOID context) {
        auto* meeting = static_cast<Meeting*>(context);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000LL * 10000;  // 10 s
        meeting->firstWait = KeWaitForSingleObject(&meeting->firstStarted, Executive, KernelMode, FALSE, &timeout);
        meeting->done.Add();
      },
      DelayedWorkQueue, &m);
  IoQueueWorkItem(
      second,
      [](PDEVICE_OBJECT, PVOID context) {
        auto* meeting = static_cast<Meeting*>(context);
        KeSetEvent(&meeting->firstStarted, IO_NO_INCREMENT, FALSE);
        meeting->done.Add();
      },
      DelayedWorkQueue, &m);
  ASSERT_TRUE(m.done.WaitFor(2, std::chrono::seconds(30)));
  EXPECT_EQ(m.firstWait.load(), STATUS_SUCCESS) << "the second item did not run while the first did";
  ASSERT_TRUE(platform::WaitForWorkItems());
  IoFreeWorkItem(first);
  IoFreeWorkItem(second);
}

struct Delayed {
  WaitableCount runs;
  std::atomic<int> irql{-1};
  Clock::time_point ranAt;
};

TEST_F(WorkItems, InjectedLatencyDelaysAnItemWhichStaysPending) {
  constexpr milliseconds kLatency{150};
  platform::SetInjectedLatency(kLatency, kLatency);
  PIO_WORKITEM item = IoAllocateWorkItem(device_);
  ASSERT_NE(item, nullptr);
  Delayed d;
  const Clock::time_point start = Clock::now();
  IoQueueWorkItem(
      item,
      [](PDEVICE_OBJECT, PVOID context) {
        auto* delayed = static_cast<Delayed*>(context);
        delayed->ranAt = Clock::now();
        delayed->irql = KeGetCurrentIrql();
        delayed->runs.Add();
      },
      DelayedWorkQueue, &d);
  // Pending throughout its latency: WaitForWorkItems and the leak checks
  // rely on that.
  while (Clock::now() < start + kLatency * 2 / 3) {
    if (platform::PendingWorkItems() == 0) {
      ADD_FAILURE() << "a work item waiting out its latency did not count as pending";
      break;
    }
    std::this_thread::yield();
  }
  ASSERT_TRUE(d.runs.WaitFor(1));
  ASSERT_TRUE(platform::WaitForWorkItems());
  EXPECT_GE(d.ranAt, start + kLatency);
  EXPECT_EQ(d.irql.load(), PASSIVE_LEVEL);
  IoFreeWorkItem(item);
}

}  // namespace
