// The DPC queue: DPCs run at DISPATCH_LEVEL on the DPC threads (one per
// simulated processor), a queued DPC is not queued twice, removal and the
// flush, expired timers' DPCs, and DPCs held back by injected latency.
#include <wdm.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "platform/kernel/host_timing.h"
#include "tests/support/verifier_test.h"
#include "tests/support/waitable_count.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

// What a DPC saw when it ran.
struct DpcRecord {
  WaitableCount runs;
  std::atomic<int> irql{-1};
  std::atomic<bool> onCallerThread{false};
  std::thread::id caller = std::this_thread::get_id();
  std::mutex mutex;
  std::thread::id ranOn;
};

VOID NTAPI RecordDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* r = static_cast<DpcRecord*>(context);
  r->irql = KeGetCurrentIrql();
  {
    std::lock_guard<std::mutex> lock(r->mutex);
    r->ranOn = std::this_thread::get_id();
  }
  if (std::this_thread::get_id() == r->caller) r->onCallerThread = true;
  r->runs.Add();
}

// Holds every DPC thread in a DPC of its own until released, so what is
// queued meanwhile stays queued.
class DpcThreadsHeld {
 public:
  static constexpr int kProcessors = 2;

  DpcThreadsHeld() {
    for (int i = 0; i < kProcessors; ++i) {
      KeInitializeDpc(&dpcs_[i], Hold, this);
      KeInsertQueueDpc(&dpcs_[i], NULL, NULL);
    }
  }
  ~DpcThreadsHeld() { Release(); }

  // True once every DPC thread is inside a holding DPC.
  bool WaitUntilHeld() { return entered_.WaitFor(kProcessors); }

  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

  std::set<std::thread::id> Threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }

 private:
  static VOID NTAPI Hold(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<DpcThreadsHeld*>(context);
    std::unique_lock<std::mutex> lock(self->mutex_);
    self->threads_.insert(std::this_thread::get_id());
    self->entered_.Add();
    // Never forever: a test that fails before releasing must not hang.
    self->changed_.wait_for(lock, std::chrono::seconds(20), [self] { return self->released_; });
  }

  KDPC dpcs_[kProcessors];
  WaitableCount entered_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool released_ = false;
  std::set<std::thread::id> threads_;
};

class DpcQueue : public VerifiedTest {
 protected:
  void TearDown() override {
    KeFlushQueuedDpcs();
    platform::ResetHostTiming();
    VerifiedTest::TearDown();
  }
};

class DpcQueueRules : public VerifierDeathTest {};

TEST_F(DpcQueue, DpcRunsAtDispatchLevelOnADpcThread) {
  KDPC dpc;
  DpcRecord record;
  KeInitializeDpc(&dpc, RecordDpc, &record);
  // Queued from DISPATCH_LEVEL, as an interrupt-time caller would.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, NULL, NULL));
  KeLowerIrql(old);
  ASSERT_TRUE(record.runs.WaitFor(1));
  EXPECT_EQ(record.irql.load(), DISPATCH_LEVEL);
  EXPECT_FALSE(record.onCallerThread.load());
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(DpcQueue, QueuedDpcIsNotQueuedTwiceAndCanBeRemoved) {
  KDPC dpc;
  DpcRecord record;
  KeInitializeDpc(&dpc, RecordDpc, &record);
  DpcThreadsHeld held;
  ASSERT_TRUE(held.WaitUntilHeld());

  EXPECT_TRUE(KeInsertQueueDpc(&dpc, NULL, NULL));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, NULL, NULL)) << "a queued DPC was queued again";
  EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&dpc)) << "a removed DPC was still queued";
  held.Release();
  KeFlushQueuedDpcs();
  EXPECT_EQ(record.runs.Get(), 0) << "a removed DPC ran";

  // Queued twice while held: it runs once, on a DPC thread.
  DpcThreadsHeld again;
  ASSERT_TRUE(again.WaitUntilHeld());
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, NULL, NULL));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, NULL, NULL));
  again.Release();
  KeFlushQueuedDpcs();
  EXPECT_EQ(record.runs.Get(), 1);
  std::lock_guard<std::mutex> lock(record.mutex);
  EXPECT_EQ(again.Threads().count(record.ranOn), 1u) << "the DPC ran on a thread that is not a DPC thread";
}

TEST_F(DpcQueue, FlushWaitsForQueuedAndRunningDpcs) {
  KDPC dpc;
  DpcRecord record;
  KeInitializeDpc(&dpc, RecordDpc, &record);
  DpcThreadsHeld held;
  ASSERT_TRUE(held.WaitUntilHeld());
  ASSERT_TRUE(KeInsertQueueDpc(&dpc, NULL, NULL));

  WaitableCount flushed;
  std::atomic<int> runsAtFlush{-1};
  std::thread flusher([&] {
    KeFlushQueuedDpcs();
    runsAtFlush = record.runs.Get();
    flushed.Add();
  });
  // The holding DPCs still run, so the flush cannot have returned.
  EXPECT_FALSE(flushed.WaitFor(1, milliseconds(100))) << "the flush returned while DPCs were running";
  held.Release();
  EXPECT_TRUE(flushed.WaitFor(1));
  flusher.join();
  EXPECT_EQ(runsAtFlush.load(), 1) << "the flush returned before the queued DPC ran";
}

TEST_F(DpcQueue, TwoDpcsRunAtTheSameTime) {
  // Each DPC waits (spinning, as at DISPATCH_LEVEL) for the other to start:
  // on a single DPC thread neither would see the other.
  struct Pair {
    std::atomic<int> started{0};
    std::atomic<int> sawOther{0};
    WaitableCount done;
  } pair;
  auto meet = [](PKDPC, PVOID context, PVOID, PVOID) {
    auto* p = static_cast<Pair*>(context);
    p->started++;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (p->started.load() < 2 && Clock::now() < deadline) std::this_thread::yield();
    if (p->started.load() >= 2) p->sawOther++;
    p->done.Add();
  };
  KDPC a, b;
  KeInitializeDpc(&a, meet, &pair);
  KeInitializeDpc(&b, meet, &pair);
  KeInsertQueueDpc(&a, NULL, NULL);
  KeInsertQueueDpc(&b, NULL, NULL);
  ASSERT_TRUE(pair.done.WaitFor(2, std::chrono::seconds(30)));
  EXPECT_EQ(pair.sawOther.load(), 2);
}

TEST_F(DpcQueue, TimerDpcsAreQueuedOnTheDpcThreads) {
  // A periodic timer expires several times while the DPC threads are held:
  // its DPC is queued once and runs once, on a DPC thread, after they are
  // released. A synchronization timer counts the expiries.
  platform::SetClockTick(platform::kFineClockTick);
  KTIMER timer;
  KDPC dpc;
  DpcRecord record;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  KeInitializeDpc(&dpc, RecordDpc, &record);
  DpcThreadsHeld held;
  ASSERT_TRUE(held.WaitUntilHeld());
  KeSetTimerEx(&timer, RelativeMs(1), 1, &dpc);
  for (int i = 0; i < 3; ++i) {
    LARGE_INTEGER timeout = RelativeMs(10000);
    ASSERT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  }
  // The first expiry queued the DPC; it is still waiting for a processor.
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, NULL, NULL)) << "the timer's DPC was not queued";
  KeCancelTimer(&timer);
  EXPECT_EQ(record.runs.Get(), 0) << "a timer DPC ran while every DPC thread was busy";
  held.Release();
  KeFlushQueuedDpcs();
  EXPECT_EQ(record.runs.Get(), 1) << "the timer's DPC was queued again while queued";
  EXPECT_EQ(record.irql.load(), DISPATCH_LEVEL);
  std::lock_guard<std::mutex> lock(record.mutex);
  EXPECT_EQ(held.Threads().count(record.ranOn), 1u);
}

TEST_F(DpcQueue, InjectedLatencyDelaysDpcsWhichStayQueued) {
  constexpr milliseconds kLatency{150};
  platform::SetInjectedLatency(kLatency, kLatency);
  KDPC dpc;
  DpcRecord record;
  KeInitializeDpc(&dpc, RecordDpc, &record);
  const Clock::time_point start = Clock::now();
  ASSERT_TRUE(KeInsertQueueDpc(&dpc, NULL, NULL));
  // Taken by a DPC thread at once, it waits out its latency there: queuing
  // it again meanwhile is refused.
  int refused = 0;
  while (Clock::now() < start + kLatency * 2 / 3) {
    if (KeInsertQueueDpc(&dpc, NULL, NULL)) {
      ADD_FAILURE() << "queued again " << std::chrono::duration<double, std::milli>(Clock::now() - start).count()
                    << " ms after the first insert, within its latency";
      break;
    }
    ++refused;
    std::this_thread::yield();
  }
  EXPECT_GT(refused, 0);
  ASSERT_TRUE(record.runs.WaitFor(1));
  KeFlushQueuedDpcs();
  EXPECT_EQ(record.runs.Get(), 1);
  EXPECT_EQ(record.irql.load(), DISPATCH_LEVEL);

  // Removed while waiting out its latency, it does not run.
  const Clock::time_point again = Clock::now();
  ASSERT_TRUE(KeInsertQueueDpc(&dpc, NULL, NULL));
  while (Clock::now() < again + kLatency / 2) std::this_thread::yield();
  EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
  KeFlushQueuedDpcs();
  EXPECT_EQ(record.runs.Get(), 1) << "a DPC removed during its latency ran";
  // And it can be queued again, and runs.
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, NULL, NULL));
  EXPECT_TRUE(record.runs.WaitFor(2));
}

TEST_F(DpcQueueRules, QueuingAnUninitialisedDpcStops) {
  EXPECT_DEATH(
      {
        KDPC dpc;
        memset(&dpc, 0, sizeof dpc);
        KeInsertQueueDpc(&dpc, NULL, NULL);
      },
      "BUGCHECK DPC_INVALID");
  EXPECT_DEATH(
      {
        KDPC dpc;
        memset(&dpc, 0, sizeof dpc);
        KeRemoveQueueDpc(&dpc);
      },
      "BUGCHECK DPC_INVALID");
}

}  // namespace
