// <mmsystem.h>: timeGetTime and the timer resolution requests. timeGetTime
// counts milliseconds of uptime (the same clock as GetTickCount, without its
// tick granularity) and wraps as a DWORD. Periods are only recorded: the
// kernel stand-ins' clock tick is a host setting (host_timing.h), not
// something a program changes.
#include <mmsystem.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/win32/system_host.h"

namespace {

// The range Windows' timeGetDevCaps reports.
constexpr UINT kPeriodMin = 1;
constexpr UINT kPeriodMax = 1000000;

std::mutex g_mutex;
std::vector<UINT> g_periods;

}  // namespace

namespace platform::win32 {

std::vector<UINT> ActiveTimerPeriods() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_periods;
}

namespace detail {
uint64_t UptimeMilliseconds();
// Part of ResetSystemStandIns.
void ResetTimerPeriods() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_periods.clear();
}
}  // namespace detail

}  // namespace platform::win32

USBAUDIO_BEGIN_C

DWORD WINAPI timeGetTime(void) { return static_cast<DWORD>(platform::win32::detail::UptimeMilliseconds()); }

MMRESULT WINAPI timeBeginPeriod(UINT uPeriod) {
  if (uPeriod < kPeriodMin || uPeriod > kPeriodMax) return TIMERR_NOCANDO;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_periods.push_back(uPeriod);
  return TIMERR_NOERROR;
}

// Must match an earlier timeBeginPeriod with the same period.
MMRESULT WINAPI timeEndPeriod(UINT uPeriod) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto found = std::find(g_periods.begin(), g_periods.end(), uPeriod);
  if (found == g_periods.end()) return TIMERR_NOCANDO;
  g_periods.erase(found);
  return TIMERR_NOERROR;
}

USBAUDIO_END_C
