// Measurement of time at DISPATCH_LEVEL (see dispatch_time.h). A stretch is
// timed with the thread's CPU clock and recorded under one mutex into
// per-site figures and a log-linear histogram (16 steps per power of two,
// about 6 % wide), so nothing is allocated per stretch once a site is known.
// Sites are symbolized only when reported.
#include "platform/kernel/dispatch_time.h"

#include <time.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "platform/kernel/internal.h"

namespace platform {
namespace {

constexpr int kSteps = 16;                 // histogram steps per power of two
constexpr int kBuckets = (64 - 3) * kSteps;  // covers every uint64_t

int BucketOf(uint64_t ns) {
  if (ns < kSteps) return static_cast<int>(ns);
  int msb = 63 - __builtin_clzll(ns);
  int shift = msb - 4;
  return (msb - 3) * kSteps + static_cast<int>((ns >> shift) & (kSteps - 1));
}

// The largest value that falls in the bucket.
uint64_t BucketTop(int bucket) {
  if (bucket < kSteps) return static_cast<uint64_t>(bucket);
  int shift = bucket / kSteps - 1;
  uint64_t low = static_cast<uint64_t>(kSteps + bucket % kSteps) << shift;
  return low + ((uint64_t{1} << shift) - 1);
}

struct SiteRecord {
  const char* kind = "";
  uint64_t count = 0;
  uint64_t maxNs = 0;
  uint64_t totalNs = 0;
};

struct Measurements {
  std::mutex lock;
  std::unordered_map<const void*, SiteRecord> sites;
  uint64_t histogram[kBuckets] = {};
  uint64_t count = 0;
  uint64_t maxNs = 0;
  const void* maxSite = nullptr;
  const char* maxKind = "";
};

Measurements& TheMeasurements() {
  static Measurements* m = new Measurements;  // never destroyed: threads may run during exit
  return *m;
}

struct ThreadStretch {
  const void* noted = nullptr;
  const char* notedKind = nullptr;
  bool open = false;
  const void* site = nullptr;
  const char* kind = nullptr;
  uint64_t startNs = 0;
};

thread_local ThreadStretch t_stretch;

uint64_t ThreadCpuNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void Record(const void* site, const char* kind, uint64_t ns) {
  Measurements& m = TheMeasurements();
  std::lock_guard<std::mutex> guard(m.lock);
  SiteRecord& r = m.sites[site];
  r.kind = kind;
  r.count++;
  r.totalNs += ns;
  if (ns > r.maxNs) r.maxNs = ns;
  m.histogram[BucketOf(ns)]++;
  m.count++;
  if (ns >= m.maxNs) {
    m.maxNs = ns;
    m.maxSite = site;
    m.maxKind = kind;
  }
}

}  // namespace

DispatchTimes MeasuredDispatchTimes() {
  Measurements& m = TheMeasurements();
  DispatchTimes times;
  const void* site;
  {
    std::lock_guard<std::mutex> guard(m.lock);
    times.count = m.count;
    times.maxNs = m.maxNs;
    times.maxKind = m.maxKind;
    site = m.maxSite;
    // The smallest bucket top with at least 99.9 % of the stretches at or below it.
    uint64_t needed = m.count - m.count / 1000, seen = 0;
    for (int b = 0; b < kBuckets && m.count; ++b) {
      seen += m.histogram[b];
      if (seen >= needed) {
        times.p999Ns = std::min(BucketTop(b), m.maxNs);
        break;
      }
    }
  }
  if (times.count) times.maxSite = detail::DescribeAddress(site);
  return times;
}

std::vector<DispatchSiteTimes> MeasuredDispatchTimesBySite() {
  Measurements& m = TheMeasurements();
  std::vector<std::pair<const void*, SiteRecord>> sites;
  {
    std::lock_guard<std::mutex> guard(m.lock);
    sites.assign(m.sites.begin(), m.sites.end());
  }
  std::sort(sites.begin(), sites.end(), [](const auto& a, const auto& b) { return a.second.maxNs > b.second.maxNs; });
  std::vector<DispatchSiteTimes> out;
  out.reserve(sites.size());
  for (const auto& s : sites) {
    DispatchSiteTimes t;
    t.site = detail::DescribeAddress(s.first);
    t.kind = s.second.kind;
    t.count = s.second.count;
    t.maxNs = s.second.maxNs;
    t.totalNs = s.second.totalNs;
    out.push_back(std::move(t));
  }
  return out;
}

void ResetDispatchTimes() {
  Measurements& m = TheMeasurements();
  std::lock_guard<std::mutex> guard(m.lock);
  m.sites.clear();
  std::fill(std::begin(m.histogram), std::end(m.histogram), 0);
  m.count = 0;
  m.maxNs = 0;
  m.maxSite = nullptr;
  m.maxKind = "";
}

namespace detail {

void NoteDispatchSite(const void* site, const char* kind) {
  ThreadStretch& t = t_stretch;
  if (t.open) return;  // already at DISPATCH_LEVEL: the stretch keeps its site
  t.noted = RoutineSite(site);
  t.notedKind = kind;
}

void DispatchLevelChanged(unsigned char from, unsigned char to, const void* caller) {
  DispatchLevelChanged(from, to, caller, nullptr);
}

void DispatchLevelChanged(unsigned char from, unsigned char to, const void* caller, const char* kind) {
  ThreadStretch& t = t_stretch;
  if (to >= DISPATCH_LEVEL && from < DISPATCH_LEVEL) {
    if (t.noted) {
      t.site = t.noted;
      t.kind = t.notedKind ? t.notedKind : "raise";
    } else {
      t.site = caller;
      t.kind = kind ? kind : "raise";
    }
    t.noted = nullptr;
    t.notedKind = nullptr;
    t.open = true;
    t.startNs = ThreadCpuNs();
  } else if (to < DISPATCH_LEVEL && from >= DISPATCH_LEVEL && t.open) {
    uint64_t ns = ThreadCpuNs() - t.startNs;
    t.open = false;
    Record(t.site, t.kind, ns);
  }
}

}  // namespace detail
}  // namespace platform
