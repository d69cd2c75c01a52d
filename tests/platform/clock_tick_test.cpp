// Timeouts, timers and delays expire on the clock tick, as on Windows: a
// 1 ms wait lasts until the next clock interrupt. Only lower bounds are
// exact here (a loaded machine makes any wait longer); the few upper bounds
// are many times what an idle machine needs and still far below what the
// wrong tick would take.
#include <wdm.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel/host_timing.h"
#include "tests/support/verifier_test.h"
#include "tests/support/waitable_count.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

// The first boundary of a `tick` grid on the steady clock at or after `t`,
// where clock interrupts fall.
Clock::time_point NextBoundary(Clock::time_point t, nanoseconds tick) {
  const long long ns = std::chrono::duration_cast<nanoseconds>(t.time_since_epoch()).count();
  const long long boundary = (ns + tick.count() - 1) / tick.count() * tick.count();
  return Clock::time_point(std::chrono::duration_cast<Clock::duration>(nanoseconds(boundary)));
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

class ClockTick : public VerifiedTest {
 protected:
  void TearDown() override {
    platform::ResetHostTiming();
    VerifiedTest::TearDown();
  }

  // A 1 ms delay: it returns just after a tick, so a wait started next is
  // far from the following one.
  static void AlignToTick() {
    LARGE_INTEGER delay = RelativeMs(1);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  }
};

TEST_F(ClockTick, TimedWaitsAndDelaysLastUntilTheNextTick) {
  ASSERT_EQ(platform::ClockTick(), platform::kDefaultClockTick);
  EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  for (int i = 0; i < 3; ++i) {
    AlignToTick();
    const Clock::time_point start = Clock::now();
    LARGE_INTEGER timeout = RelativeMs(1);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    const Clock::time_point end = Clock::now();
    EXPECT_GE(end, NextBoundary(start + milliseconds(1), platform::kDefaultClockTick))
        << "a 1 ms wait returned after " << Ms(end - start) << " ms, before the clock tick";

    AlignToTick();
    const Clock::time_point delayStart = Clock::now();
    LARGE_INTEGER delay = RelativeMs(1);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
    const Clock::time_point delayEnd = Clock::now();
    EXPECT_GE(delayEnd, NextBoundary(delayStart + milliseconds(1), platform::kDefaultClockTick))
        << "a 1 ms delay returned after " << Ms(delayEnd - delayStart) << " ms, before the clock tick";
  }
  // Waiting for several objects follows the same clock.
  KEVENT other;
  KeInitializeEvent(&other, SynchronizationEvent, FALSE);
  PVOID both[2] = {&event, &other};
  AlignToTick();
  const Clock::time_point start = Clock::now();
  LARGE_INTEGER timeout = RelativeMs(1);
  EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAny, Executive, KernelMode, FALSE, &timeout, NULL), STATUS_TIMEOUT);
  EXPECT_GE(Clock::now(), NextBoundary(start + milliseconds(1), platform::kDefaultClockTick));
}

TEST_F(ClockTick, PollsAndSignalsDoNotWaitForTheTick) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  // 50 polls and 50 zero delays: quantised, they would take 1.5 s at least.
  const Clock::time_point start = Clock::now();
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &zero), STATUS_SUCCESS);
  }
  EXPECT_LT(Clock::now() - start, milliseconds(500)) << "zero timeouts waited for the clock tick";

  // Ping-pong between two threads through events, every wait with a long
  // timeout: 40 wakes. Woken on ticks, they would take 39 ticks (600 ms).
  KEVENT ping, pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  constexpr int kRounds = 20;
  std::thread partner([&] {
    for (int i = 0; i < kRounds; ++i) {
      LARGE_INTEGER timeout = RelativeMs(10000);
      if (KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) return;
      KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
    }
  });
  const Clock::time_point pingStart = Clock::now();
  int answered = 0;
  for (int i = 0; i < kRounds; ++i) {
    KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER timeout = RelativeMs(10000);
    if (KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) break;
    ++answered;
  }
  const Clock::duration took = Clock::now() - pingStart;
  partner.join();
  EXPECT_EQ(answered, kRounds);
  EXPECT_LT(took, milliseconds(300)) << "signalled waits took " << Ms(took) << " ms: they waited for the clock tick";
}

struct FiringLog {
  std::mutex mutex;
  std::vector<Clock::time_point> times;
  WaitableCount count;
};

VOID NTAPI LogFiring(PKDPC, PVOID context, PVOID, PVOID) {
  auto* log = static_cast<FiringLog*>(context);
  {
    std::lock_guard<std::mutex> lock(log->mutex);
    log->times.push_back(Clock::now());
  }
  log->count.Add();
}

// A periodic timer with `periodMs` started 1 ms from now at `tick`: each of
// its first five expiries is at or after the tick it is due on.
void ExpectPeriodsOnTicks(nanoseconds tick, LONG periodMs, nanoseconds spacing) {
  platform::SetClockTick(tick);
  KTIMER timer;
  KDPC dpc;
  FiringLog log;
  KeInitializeTimerEx(&timer, NotificationTimer);
  KeInitializeDpc(&dpc, LogFiring, &log);
  const Clock::time_point start = Clock::now();
  KeSetTimerEx(&timer, RelativeMs(1), periodMs, &dpc);
  ASSERT_TRUE(log.count.WaitFor(5)) << "fired " << log.count.Get();
  KeCancelTimer(&timer);
  KeFlushQueuedDpcs();
  const Clock::time_point first = NextBoundary(start + milliseconds(1), tick);
  std::lock_guard<std::mutex> lock(log.mutex);
  for (size_t k = 0; k < 5; ++k) {
    EXPECT_GE(log.times[k], first + static_cast<long long>(k) * spacing)
        << "expiry " << k << " came " << Ms(log.times[k] - start) << " ms after the start";
  }
}

TEST_F(ClockTick, PeriodicTimersExpireOnTicks) {
  // At the default tick a 2 ms period expires once per tick.
  ExpectPeriodsOnTicks(platform::kDefaultClockTick, 2, platform::kDefaultClockTick);
  // At the raised resolution the period holds.
  ExpectPeriodsOnTicks(platform::kFineClockTick, 2, milliseconds(2));
}

TEST_F(ClockTick, OneShotTimersExpireOnTheTick) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  for (int i = 0; i < 3; ++i) {
    AlignToTick();
    const Clock::time_point start = Clock::now();
    KeSetTimer(&timer, RelativeMs(1), NULL);
    LARGE_INTEGER timeout = RelativeMs(10000);
    ASSERT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_GE(Clock::now(), NextBoundary(start + milliseconds(1), platform::kDefaultClockTick));
  }
}

TEST_F(ClockTick, RaisedResolutionGivesMillisecondWaits) {
  platform::SetClockTick(platform::kFineClockTick);
  EXPECT_EQ(KeQueryTimeIncrement(), 10000u);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 30; ++i) {
    const Clock::time_point before = Clock::now();
    LARGE_INTEGER timeout = RelativeMs(1);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(Clock::now(), NextBoundary(before + milliseconds(1), platform::kFineClockTick));
    const Clock::time_point delayBefore = Clock::now();
    LARGE_INTEGER delay = RelativeMs(1);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_GE(Clock::now(), NextBoundary(delayBefore + milliseconds(1), platform::kFineClockTick));
  }
  // 60 waits of about 1 ms each; at the default tick they take 900 ms or more.
  const Clock::duration took = Clock::now() - start;
  EXPECT_LT(took, milliseconds(600)) << "60 waits of 1 ms took " << Ms(took) << " ms at a 1 ms tick";
}

TEST_F(ClockTick, ResetRestoresTheDefaultTickAndNoLatency) {
  platform::SetClockTick(platform::kFineClockTick);
  platform::SetInjectedLatency(std::chrono::microseconds(200));
  EXPECT_EQ(platform::ClockTick(), platform::kFineClockTick);
  EXPECT_EQ(platform::InjectedLatency(), std::chrono::microseconds(200));
  platform::ResetHostTiming();
  EXPECT_EQ(platform::ClockTick(), platform::kDefaultClockTick);
  EXPECT_EQ(platform::InjectedLatency(), std::chrono::microseconds(0));
  EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
}

}  // namespace
