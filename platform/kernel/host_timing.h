// Host-only knobs that make the stand-ins' timing as coarse and as uneven as
// a Windows machine's: the clock tick on which waits, timers and delays
// expire, and an injected random latency before work items, DPCs and USB
// completions run. Tests and tools set them; driver code never sees them.
#pragma once

#include <chrono>

namespace platform {

// Windows' default clock interrupt period, and the one an application gets
// by raising the timer resolution (timeBeginPeriod(1)).
constexpr std::chrono::nanoseconds kDefaultClockTick{15625000};
constexpr std::chrono::nanoseconds kFineClockTick{1000000};

// Waits with a timeout, timers and KeDelayExecutionThread expire on the
// first tick at or after their due time. Zero expires them exactly (only for
// tests of the stand-ins themselves).
void SetClockTick(std::chrono::nanoseconds tick);
std::chrono::nanoseconds ClockTick();

// Before a work item, a queued DPC or a USB completion runs, it waits a
// random time in [minDelay, maxDelay] (maxDelay zero: no injected latency).
// A minimum lets a test know the work is still waiting for a while.
void SetInjectedLatency(std::chrono::microseconds maxDelay,
                        std::chrono::microseconds minDelay = std::chrono::microseconds(0));
std::chrono::microseconds InjectedLatency();

// Restores the defaults above (15.625 ms tick, no injected latency).
void ResetHostTiming();

namespace detail {

// The first tick boundary at or after `due` (steady clock).
std::chrono::steady_clock::time_point RoundUpToTick(std::chrono::steady_clock::time_point due);

// Sleeps the injected latency (a fresh random draw); returns at once when
// none is configured. Called by the threads that run deferred work.
void InjectLatency();

}  // namespace detail
}  // namespace platform
