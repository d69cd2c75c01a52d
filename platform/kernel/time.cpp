// Kernel time services over the host clocks.
#include <chrono>

#include "platform/kernel/host_timing.h"
#include "platform/kernel/internal.h"

namespace {
// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kUnixEpochIn100ns = 116444736000000000LL;

LONGLONG Since(std::chrono::nanoseconds d) { return d.count() / 100; }
}  // namespace

extern "C" {

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = kUnixEpochIn100ns + Since(std::chrono::system_clock::now().time_since_epoch());
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID) {
  return static_cast<ULONGLONG>(Since(std::chrono::steady_clock::now().time_since_epoch()));
}

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10000000;
  LARGE_INTEGER counter;
  counter.QuadPart = static_cast<LONGLONG>(KeQueryInterruptTime());
  return counter;
}

// The clock tick the stand-ins run at (100 ns units; never 0, which a
// caller would divide by).
ULONG NTAPI KeQueryTimeIncrement(VOID) {
  const long long units = platform::ClockTick().count() / 100;
  return units > 0 ? static_cast<ULONG>(units) : 1;
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
  while (std::chrono::steady_clock::now() < until) __builtin_ia32_pause();
}

}  // extern "C"
