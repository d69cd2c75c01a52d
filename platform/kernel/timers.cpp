// Kernel timers. One timer thread keeps the armed timers ordered by
// deadline; at expiry it signals the timer through the dispatcher, re-arms
// a periodic one and queues its DPC (dpc_queue.cpp). Deadlines fall on the
// clock tick (host_timing.h), as timers expire in the clock interrupt.
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/kernel/dpc_queue.h"
#include "platform/kernel/host_timing.h"
#include "platform/kernel/internal.h"

namespace {

using platform::detail::BugCheckAt;
using Clock = std::chrono::steady_clock;

struct TimerQueue {
  std::mutex lock;
  std::condition_variable changed;
  std::set<std::pair<Clock::time_point, PKTIMER>> armed;
  std::map<PKTIMER, Clock::time_point> deadlines;
  bool started = false;
};

TimerQueue& Queue() {
  static TimerQueue* q = new TimerQueue;
  return *q;
}

bool IsTimer(PKTIMER timer) {
  UCHAR type = timer->Header.Type;
  return type == platform::detail::TimerNotificationObject || type == platform::detail::TimerSynchronizationObject;
}

// Called with the queue lock.
bool Disarm(TimerQueue& q, PKTIMER timer) {
  auto it = q.deadlines.find(timer);
  if (it == q.deadlines.end()) return false;
  q.armed.erase({it->second, timer});
  q.deadlines.erase(it);
  return true;
}

void Arm(TimerQueue& q, PKTIMER timer, Clock::time_point deadline) {
  q.armed.insert({deadline, timer});
  q.deadlines[timer] = deadline;
  q.changed.notify_all();
}

void TimerThread() {
  TimerQueue& q = Queue();
  std::unique_lock<std::mutex> lock(q.lock);
  for (;;) {
    if (q.armed.empty()) {
      q.changed.wait(lock);
      continue;
    }
    auto [deadline, timer] = *q.armed.begin();
    if (Clock::now() < deadline) {
      q.changed.wait_until(lock, deadline);
      continue;
    }
    Disarm(q, timer);
    // Read the timer before signalling it: a waiter may reuse its memory as
    // soon as a one-shot timer without a DPC is signalled.
    ULONG period = timer->Period;
    PKDPC dpc = timer->Dpc;
    // The next period counts from the tick this one expired on, so a period
    // shorter than the tick expires once per tick, as on Windows.
    if (period) Arm(q, timer, platform::detail::RoundUpToTick(deadline + std::chrono::milliseconds(period)));
    platform::detail::SetSignalState(&timer->Header, 1);
    if (!dpc) continue;
    // The DPC runs on a DPC thread, as an expired timer's DPC is queued.
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    platform::detail::QueueTimerDpc(dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(now.LowPart)),
                                    reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(now.HighPart))));
  }
}

// An absolute due time already past expires at once; any other on the
// first tick at or after it.
Clock::time_point DeadlineOf(LONGLONG due) {
  if (due >= 0) {  // absolute system time (0: long past)
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    due = now.QuadPart - due;
    if (due >= 0) return Clock::now();
  }
  return platform::detail::RoundUpToTick(Clock::now() + std::chrono::nanoseconds(-due * 100));
}

}  // namespace

extern "C" {

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  TimerQueue& q = Queue();
  std::lock_guard<std::mutex> lock(q.lock);
  if (q.deadlines.count(Timer))
    BugCheckAt(USBAUDIO_CALLER(), "TIMER_REINITIALIZED_WHILE_SET", "KeInitializeTimer on armed timer %p",
               static_cast<void*>(Timer));
  memset(Timer, 0, sizeof *Timer);
  Timer->Header.Type = Type == SynchronizationTimer ? platform::detail::TimerSynchronizationObject
                                                    : platform::detail::TimerNotificationObject;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  InitializeListHead(&Timer->Header.WaitListHead);
  InitializeListHead(&Timer->TimerListEntry);
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IRQL_TIMER_ABOVE_DISPATCH", "KeSetTimerEx");
  if (!IsTimer(Timer))
    BugCheckAt(caller, "DISPATCHER_OBJECT_INVALID", "KeSetTimerEx on %p, which is not an initialized timer",
               static_cast<void*>(Timer));
  if (Period < 0) BugCheckAt(caller, "TIMER_PERIOD_INVALID", "KeSetTimerEx with period %d", Period);
  TimerQueue& q = Queue();
  std::lock_guard<std::mutex> lock(q.lock);
  if (!q.started) {
    std::thread(TimerThread).detach();
    q.started = true;
  }
  bool wasArmed = Disarm(q, Timer);
  platform::detail::SetSignalState(&Timer->Header, 0);
  Timer->Period = static_cast<ULONG>(Period);
  Timer->Dpc = Dpc;
  Timer->DueTime.QuadPart = static_cast<ULONGLONG>(DueTime.QuadPart);
  Arm(q, Timer, DeadlineOf(DueTime.QuadPart));
  return wasArmed;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IRQL_TIMER_ABOVE_DISPATCH", "KeCancelTimer");
  if (!IsTimer(Timer))
    BugCheckAt(caller, "DISPATCHER_OBJECT_INVALID", "KeCancelTimer on %p, which is not an initialized timer",
               static_cast<void*>(Timer));
  TimerQueue& q = Queue();
  std::lock_guard<std::mutex> lock(q.lock);
  return Disarm(q, Timer);
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  return platform::detail::SignalStateOf(&Timer->Header) > 0;
}

}  // extern "C"
