// Clock tick and injected latency of the stand-ins (see host_timing.h).
#include "platform/kernel/host_timing.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

namespace platform {
namespace {

std::atomic<long long> g_tickNs{kDefaultClockTick.count()};
std::atomic<long long> g_latencyUs{0};
std::atomic<long long> g_minLatencyUs{0};

}  // namespace

void SetClockTick(std::chrono::nanoseconds tick) { g_tickNs = tick.count() > 0 ? tick.count() : 0; }
std::chrono::nanoseconds ClockTick() { return std::chrono::nanoseconds(g_tickNs.load()); }

void SetInjectedLatency(std::chrono::microseconds maxDelay, std::chrono::microseconds minDelay) {
  const long long maxUs = maxDelay.count() > 0 ? static_cast<long long>(maxDelay.count()) : 0;
  g_minLatencyUs = minDelay.count() > 0 ? std::min<long long>(minDelay.count(), maxUs) : 0;
  g_latencyUs = maxUs;
}
std::chrono::microseconds InjectedLatency() { return std::chrono::microseconds(g_latencyUs.load()); }

void ResetHostTiming() {
  SetClockTick(kDefaultClockTick);
  SetInjectedLatency(std::chrono::microseconds(0));
}

namespace detail {

std::chrono::steady_clock::time_point RoundUpToTick(std::chrono::steady_clock::time_point due) {
  const long long tick = g_tickNs.load();
  if (tick <= 0) return due;
  // Ticks fall on a grid of the steady clock, as clock interrupts do.
  const long long at = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
  const long long rounded = (at + tick - 1) / tick * tick;
  return std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(rounded)));
}

void InjectLatency() {
  const long long maxUs = g_latencyUs.load();
  if (maxUs <= 0) return;
  const long long minUs = std::min(g_minLatencyUs.load(), maxUs);
  thread_local std::minstd_rand random(static_cast<unsigned>(std::hash<std::thread::id>()(std::this_thread::get_id())));
  const long long us = minUs + static_cast<long long>(random() % static_cast<unsigned long long>(maxUs - minUs + 1));
  if (us) std::this_thread::sleep_for(std::chrono::microseconds(us));
}

}  // namespace detail
}  // namespace platform
