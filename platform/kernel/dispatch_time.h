// Host-only: how long code runs at DISPATCH_LEVEL in one go, per call site,
// in thread CPU time (so the host scheduler preempting a thread does not
// count). A stretch begins when a thread rises from below DISPATCH_LEVEL to
// it or above and ends when it drops below again; it is charged to the site
// noted for the rise (a DPC or completion routine) or else to the caller
// that raised (a spin-lock acquire, KeRaiseIrql).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct DispatchSiteTimes {
  std::string site;  // "function+0x1c (file:line)" when it can be symbolized
  std::string kind;  // "DPC", "timer DPC", "completion", "spin lock", "raise"
  uint64_t count = 0;
  uint64_t maxNs = 0;
  uint64_t totalNs = 0;
};

struct DispatchTimes {
  uint64_t count = 0;   // stretches measured
  uint64_t maxNs = 0;   // the longest one
  uint64_t p999Ns = 0;  // 99.9th percentile
  std::string maxSite;  // where the longest one ran
  std::string maxKind;
};

// Everything measured since the last reset; bySite sorted by maxNs, longest first.
DispatchTimes MeasuredDispatchTimes();
std::vector<DispatchSiteTimes> MeasuredDispatchTimesBySite();
void ResetDispatchTimes();

namespace detail {

// Names what the calling thread's next rise to DISPATCH_LEVEL runs (a DPC
// routine, a completion routine); call it just before raising.
void NoteDispatchSite(const void* site, const char* kind);

// Called by SetIrql on every change: opens and closes stretches.
void DispatchLevelChanged(unsigned char from, unsigned char to, const void* caller);
// The same, naming the kind of raise ("spin lock"; "raise" when null).
void DispatchLevelChanged(unsigned char from, unsigned char to, const void* caller, const char* kind);

}  // namespace detail
}  // namespace platform
