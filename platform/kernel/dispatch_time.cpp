// Measurement of time at DISPATCH_LEVEL (see dispatch_time.h).
#include "platform/kernel/dispatch_time.h"

namespace platform {

DispatchTimes MeasuredDispatchTimes() { return {}; }
std::vector<DispatchSiteTimes> MeasuredDispatchTimesBySite() { return {}; }
void ResetDispatchTimes() {}

namespace detail {

void NoteDispatchSite(const void* site, const char* kind) {
  (void)site;
  (void)kind;
}

void DispatchLevelChanged(unsigned char from, unsigned char to, const void* caller) {
  (void)from;
  (void)to;
  (void)caller;
}

}  // namespace detail
}  // namespace platform
