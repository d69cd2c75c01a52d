#include "sim/profiles/device_profile.h"

#include <utility>

#include "sim/profiles/profile_parts.h"

namespace sim {
namespace {

using profiles::RenderSync;
using profiles::Uac2Layout;

struct Entry {
  const char* name;
  const char* description;
  void (*make)(DeviceProfile&);
};

void MakeDefault(DeviceProfile& p) { profiles::MakeUac2Device(Uac2Layout{}, p); }

void MakeDsd(DeviceProfile& p) {
  Uac2Layout l;
  l.acInterfaceName = u"Velmora USB Audio [DSD]";
  profiles::MakeUac2Device(l, p);
}

void MakePlaybackOnly(DeviceProfile& p) {
  Uac2Layout l;
  l.pid = 0x4D03;
  l.product = u"Velmora USB DAC Mini";
  l.captureFormats.clear();
  profiles::MakeUac2Device(l, p);
}

void MakeImplicit(DeviceProfile& p) {
  Uac2Layout l;
  l.pid = 0x4D04;
  l.product = u"Velmora USB Interface";
  l.renderSync = RenderSync::ImplicitFromCapture;
  // Both directions offer the same formats: one is selected for both.
  l.renderFormats = {{2, 16}, {4, 24}};
  l.captureFormats = {{2, 16}, {4, 24}};
  profiles::MakeUac2Device(l, p);
}

void MakeClockSelector(DeviceProfile& p) {
  Uac2Layout l;
  l.pid = 0x4D05;
  l.product = u"Velmora USB DAC Dual Clock";
  l.clockSelector = true;
  profiles::MakeUac2Device(l, p);
}

void MakeQuirk168600dd(DeviceProfile& p) {
  Uac2Layout l;
  l.vid = 0x1686;
  l.pid = 0x00DD;
  l.product = u"Velmora USB Audio Bridge";
  l.interfaceClass = 0xFF;
  l.renderSync = RenderSync::None;
  l.lengthPrefixedOut = true;
  profiles::MakeUac2Device(l, p);
}

void MakeQuirk20b10002(DeviceProfile& p) {
  Uac2Layout l;
  l.vid = 0x20B1;
  l.pid = 0x0002;
  l.product = u"Velmora USB Audio 2.0";
  l.dfuInterface = true;
  profiles::MakeUac2Device(l, p);
}

void MakeHighSpeedOneMillisecond(DeviceProfile& p) {
  Uac2Layout l;
  l.pid = 0x4D07;
  l.product = u"Velmora USB DAC HS-1ms";
  // One data packet per 1 ms frame each way, feedback once per frame.
  l.dataInterval = 4;
  l.feedbackInterval = 4;
  l.maxRate = 192000;
  profiles::MakeUac2Device(l, p);
}

void MakeFeedbackIntervalOne(DeviceProfile& p) {
  Uac2Layout l;
  l.pid = 0x4D08;
  l.product = u"Velmora USB DAC FB-125us";
  l.feedbackInterval = 1;  // a feedback packet every microframe
  profiles::MakeUac2Device(l, p);
}

const Entry kProfiles[] = {
    {"default",
     "Velmora DAC: high speed, class 2.0, explicit feedback, render and capture",
     MakeDefault},
    {"dsd", "The default device announcing DSD support in its AC interface name", MakeDsd},
    {"uac2-playback-only", "Class 2.0, render only, explicit feedback", MakePlaybackOnly},
    {"uac1-fs", "Full speed, class 1.0, render with a synch endpoint",
     profiles::MakeUac1FullSpeedDevice},
    {"uac2-implicit", "Class 2.0, render paced by the capture stream (implicit feedback)",
     MakeImplicit},
    {"uac2-clock-selector", "Class 2.0, 44.1 and 48 kHz family clocks behind a clock selector",
     MakeClockSelector},
    {"uac2-hs-1ms",
     "Class 2.0, high speed, data and feedback endpoints with bInterval 4 (one packet per 1 ms frame)",
     MakeHighSpeedOneMillisecond},
    {"uac1-hs", "High speed, class 1.0, data bInterval 4, 3-byte synch endpoint sending 10.14 per 1 ms frame",
     profiles::MakeUac1HighSpeedDevice},
    {"uac2-fb-interval1", "Class 2.0, high speed, feedback endpoint with bInterval 1 (every microframe)",
     MakeFeedbackIntervalOne},
    {"quirk-1686-00dd",
     "1686:00DD, vendor-specific class audio interfaces, length-prefixed OUT packets",
     MakeQuirk168600dd},
    {"quirk-20b1-0002", "20B1:0002, class 2.0 with a DFU interface after the audio function",
     MakeQuirk20b10002},
    {"uac1-capture",
     "Full speed, class 1.0, render and capture; capture at discrete rates without a rate control",
     profiles::MakeUac1CaptureDevice},
};

}  // namespace

const std::vector<std::string>& ProfileNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v;
    for (const Entry& e : kProfiles) v.emplace_back(e.name);
    return v;
  }();
  return names;
}

bool MakeProfile(std::string_view name, DeviceProfile& out) {
  for (const Entry& e : kProfiles) {
    if (name == e.name) {
      DeviceProfile p;
      p.name = e.name;
      p.description = e.description;
      e.make(p);
      out = std::move(p);
      return true;
    }
  }
  return false;
}

}  // namespace sim
