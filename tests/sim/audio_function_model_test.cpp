// The simulated audio function answers class and vendor control requests
// byte-exactly, keeps state, stalls what a device would stall, and applies
// its fault knobs. Also: the behaviour derived for devices loaded from files.
#include "sim/uac/audio_function_model.h"

#include <gtest/gtest.h>
#include <usbdlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/profiles/device_profile.h"
#include "sim/uac/default_audio_config.h"
#include "sim/uac/descriptor_builder.h"
#include "tests/support/verifier_test.h"

namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;

// Entities of the built-in class 2.0 devices (AC interface 0, render 1, capture 2).
constexpr uint8_t kAc = 0;
constexpr uint8_t kClock = 0x10;
constexpr uint8_t kClock441 = 0x11;
constexpr uint8_t kClock48 = 0x12;
constexpr uint8_t kFeature = 0x02;
constexpr uint8_t kInputTerminal = 0x01;
// Class 1.0 device: data endpoint and its synch endpoint.
constexpr uint8_t kDataEp = 0x01;
constexpr uint8_t kSynchEp = 0x81;

constexpr uint16_t Entity(uint8_t id, uint8_t ac = kAc) { return static_cast<uint16_t>(id << 8 | ac); }
constexpr uint16_t Control(uint8_t selector, uint8_t channel = 0) {
  return static_cast<uint16_t>(selector << 8 | channel);
}

Bytes Le(uint32_t v, size_t n) {
  Bytes b;
  for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return b;
}

struct Reply {
  bool ok = false;
  Bytes data;
};

Reply In(UsbFunction& f, uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
  SetupPacket s{type, request, value, index, length};
  Bytes buffer(length, 0xEE);
  uint32_t transferred = 0;
  Reply r;
  r.ok = f.HandleControl(s, buffer.data(), transferred);
  EXPECT_LE(transferred, length);
  if (r.ok) r.data.assign(buffer.begin(), buffer.begin() + transferred);
  return r;
}

bool Out(UsbFunction& f, uint8_t type, uint8_t request, uint16_t value, uint16_t index, Bytes data) {
  SetupPacket s{type, request, value, index, static_cast<uint16_t>(data.size())};
  uint32_t transferred = s.wLength;
  return f.HandleControl(s, data.data(), transferred);
}

// Class 2.0 shorthands.
Reply GetCur(UsbFunction& f, uint8_t id, uint16_t control, uint16_t length) {
  return In(f, uac::kGetEntity, uac::kCur, control, Entity(id), length);
}
Reply GetRange(UsbFunction& f, uint8_t id, uint16_t control, uint16_t length) {
  return In(f, uac::kGetEntity, uac::kRange, control, Entity(id), length);
}
bool SetCur(UsbFunction& f, uint8_t id, uint16_t control, Bytes data) {
  return Out(f, uac::kSetEntity, uac::kCur, control, Entity(id), std::move(data));
}

struct Device {
  DeviceProfile profile;
  std::unique_ptr<AudioFunctionModel> model;
};

Device Load(const std::string& name) {
  Device d;
  EXPECT_TRUE(MakeProfile(name, d.profile)) << name;
  d.model = std::make_unique<AudioFunctionModel>(d.profile.descriptors, d.profile.audio);
  return d;
}

// --- Class 2.0 clock source ---------------------------------------------------------------

TEST(ClockSourceRequests, CurrentRateIsReadAndSetWithExactLengths) {
  Device d = Load("default");
  AudioFunctionModel& m = *d.model;
  EXPECT_TRUE(m.IsUac2());
  EXPECT_EQ(m.AcInterfaceNumber(), kAc);

  Reply r = GetCur(m, kClock, Control(uac::kSamFreqControl), 4);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.data, (Bytes{0x80, 0xBB, 0x00, 0x00}));

  EXPECT_TRUE(SetCur(m, kClock, Control(uac::kSamFreqControl), Le(352800, 4)));
  EXPECT_EQ(GetCur(m, kClock, Control(uac::kSamFreqControl), 4).data, (Bytes{0x20, 0x62, 0x05, 0x00}));
  EXPECT_EQ(m.ClockRate(kClock), 352800u);
  EXPECT_EQ(m.EffectiveRate(kClock), 352800u);

  // A rate outside the ranges, and every malformed variant, stalls without effect.
  EXPECT_FALSE(SetCur(m, kClock, Control(uac::kSamFreqControl), Le(12345, 4)));
  EXPECT_FALSE(SetCur(m, kClock, Control(uac::kSamFreqControl), Le(44100, 3)));
  EXPECT_FALSE(SetCur(m, kClock, Control(uac::kSamFreqControl, 1), Le(44100, 4)));
  EXPECT_FALSE(Out(m, uac::kSetEntity, uac::kRange, Control(uac::kSamFreqControl), Entity(kClock), Le(44100, 4)));
  EXPECT_FALSE(Out(m, uac::kSetEntity, uac::kCur, Control(uac::kSamFreqControl), Entity(kClock, 1), Le(44100, 4)));
  EXPECT_FALSE(GetCur(m, kClock, Control(uac::kSamFreqControl), 2).ok);
  EXPECT_FALSE(GetCur(m, kClock, Control(uac::kSamFreqControl), 5).ok);
  EXPECT_FALSE(GetCur(m, kClock, Control(0x03), 4).ok);
  EXPECT_FALSE(GetCur(m, kInputTerminal, Control(uac::kSamFreqControl), 4).ok);
  EXPECT_FALSE(GetCur(m, 0x7F, Control(uac::kSamFreqControl), 4).ok);
  EXPECT_EQ(m.ClockRate(kClock), 352800u);

  // A stepped range takes only its grid points; a range without a step takes any rate in it.
  m.Modify([](AudioFunctionConfig& c) { c.clockSources[kClock].ranges = {{32000, 96000, 16000}, {100000, 200000, 0}}; });
  EXPECT_TRUE(SetCur(m, kClock, Control(uac::kSamFreqControl), Le(64000, 4)));
  EXPECT_FALSE(SetCur(m, kClock, Control(uac::kSamFreqControl), Le(44100, 4)));
  EXPECT_TRUE(SetCur(m, kClock, Control(uac::kSamFreqControl), Le(176400, 4)));
  EXPECT_FALSE(SetCur(m, kClock, Control(uac::kSamFreqControl), Le(200001, 4)));
  EXPECT_EQ(m.ClockRate(kClock), 176400u);

  // A clock whose frequency is read-only refuses every SET, even of its own rate.
  m.Modify([](AudioFunctionConfig& c) { c.clockSources[kClock].frequency = ControlAccess::Read; });
  EXPECT_FALSE(SetCur(m, kClock, Control(uac::kSamFreqControl), Le(176400, 4)));
  EXPECT_TRUE(GetCur(m, kClock, Control(uac::kSamFreqControl), 4).ok);

  const AudioFunctionModel::Counters counters = m.GetCounters();
  EXPECT_EQ(counters.requests, 19u);
  EXPECT_EQ(counters.stalls, 13u);
}

TEST(ClockSourceRequests, RangeIsCutToTheHostsLength) {
  Device d = Load("default");
  AudioFunctionModel& m = *d.model;

  // The driver's first read: 16 bytes tell it the count, then a partial entry.
  Reply first = GetRange(m, kClock, Control(uac::kSamFreqControl), 16);
  ASSERT_TRUE(first.ok);
  EXPECT_EQ(first.data, (Bytes{0x08, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                               0x80, 0xBB}));

  Reply all = GetRange(m, kClock, Control(uac::kSamFreqControl), 2 + 8 * 12);
  ASSERT_TRUE(all.ok);
  ASSERT_EQ(all.data.size(), 98u);
  const std::vector<FrequencySubRange>& ranges = d.profile.audio.clockSources.at(kClock).ranges;
  for (size_t i = 0; i < ranges.size(); ++i) {
    Bytes expected = Le(ranges[i].min, 4);
    for (uint32_t v : {ranges[i].max, ranges[i].res}) {
      Bytes more = Le(v, 4);
      expected.insert(expected.end(), more.begin(), more.end());
    }
    EXPECT_EQ(Bytes(all.data.begin() + 2 + 12 * i, all.data.begin() + 14 + 12 * i), expected) << i;
  }
  // Asking for more than there is gives what there is.
  EXPECT_EQ(GetRange(m, kClock, Control(uac::kSamFreqControl), 300).data, all.data);
  EXPECT_FALSE(GetRange(m, kClock, Control(uac::kSamFreqControl), 1).ok);
  EXPECT_FALSE(GetRange(m, kClock, Control(uac::kClockValidControl), 16).ok);
}

TEST(ClockSourceRequests, ValidityIsReadOnlyAndSettlesAfterEachRateChange) {
  Device d = Load("default");
  AudioFunctionModel& m = *d.model;
  const uint16_t valid = Control(uac::kClockValidControl);
  EXPECT_EQ(GetCur(m, kClock, valid, 1).data, Bytes{1});
  EXPECT_FALSE(GetCur(m, kClock, valid, 2).ok);
  EXPECT_FALSE(SetCur(m, kClock, valid, {1}));

  // Counted in reads here; settling over time has its own tests.
  m.Modify([](AudioFunctionConfig& c) {
    c.clockSources[kClock].invalidReadsAfterRateChange = 2;
    c.clockSources[kClock].settleMicroseconds = 0;
  });
  EXPECT_EQ(GetCur(m, kClock, valid, 1).data, Bytes{1});  // no change yet
  ASSERT_TRUE(SetCur(m, kClock, Control(uac::kSamFreqControl), Le(96000, 4)));
  EXPECT_EQ(GetCur(m, kClock, valid, 1).data, Bytes{0});
  EXPECT_EQ(GetCur(m, kClock, valid, 1).data, Bytes{0});
  EXPECT_EQ(GetCur(m, kClock, valid, 1).data, Bytes{1});
  EXPECT_EQ(GetCur(m, kClock, valid, 1).data, Bytes{1});
  // A refused SET is no change; an accepted one of the same rate is.
  EXPECT_FALSE(SetCur(m, kClock, Control(uac::kSamFreqControl), Le(1, 4)));
  EXPECT_EQ(GetCur(m, kClock, valid, 1).data, Bytes{1});
  ASSERT_TRUE(SetCur(m, kClock, Control(uac::kSamFreqControl), Le(96000, 4)));
  EXPECT_EQ(GetCur(m, kClock, valid, 1).data, Bytes{0});

  m.SetClockValid(kClock, false);
  EXPECT_EQ(GetCur(m, kClock, valid, 1).data, Bytes{0});
  EXPECT_EQ(GetCur(m, kClock, valid, 1).data, Bytes{0});
  m.SetClockValid(kClock, true);
  EXPECT_EQ(GetCur(m, kClock, valid, 1).data, Bytes{1});

  // A clock without the validity control does not answer it.
  m.Modify([](AudioFunctionConfig& c) { c.clockSources[kClock].validity = ControlAccess::None; });
  EXPECT_FALSE(GetCur(m, kClock, valid, 1).ok);
}

// --- Faults ------------------------------------------------------------------------------

TEST(AudioFunctionFaults, RangeAnswersThatLieAboutTheirCount) {
  Device d = Load("default");
  AudioFunctionModel& m = *d.model;
  m.Modify([](AudioFunctionConfig& c) { c.clockSources[kClock].rangeExtraClaimed = 3; });
  Reply first = GetRange(m, kClock, Control(uac::kSamFreqControl), 16);
  ASSERT_EQ(first.data.size(), 16u);
  EXPECT_EQ(first.data[0], 11);
  EXPECT_EQ(first.data[1], 0);
  // The exact-length read for eleven gets the eight that exist.
  EXPECT_EQ(GetRange(m, kClock, Control(uac::kSamFreqControl), 2 + 11 * 12).data.size(), 98u);

  m.Modify([](AudioFunctionConfig& c) {
    c.clockSources[kClock].ranges.clear();
    c.clockSources[kClock].rangeExtraClaimed = 0;
  });
  EXPECT_EQ(GetRange(m, kClock, Control(uac::kSamFreqControl), 16).data, (Bytes{0, 0}));
  EXPECT_FALSE(SetCur(m, kClock, Control(uac::kSamFreqControl), Le(48000, 4)));
}

TEST(AudioFunctionFaults, ShortAnswerCutsOnlyTheNamedControl) {
  DeviceProfile p;
  ASSERT_TRUE(MakeProfile("default", p));
  p.audio.faults.shortAnswers.push_back({kClock, uac::kSamFreqControl, uac::kCur, 2, false});
  p.audio.faults.shortAnswers.push_back({kFeature, uac::kVolumeControl, uac::kRange, 5, false});
  AudioFunctionModel m(p.descriptors, p.audio);
  EXPECT_EQ(GetCur(m, kClock, Control(uac::kSamFreqControl), 4).data, (Bytes{0x80, 0xBB}));
  EXPECT_EQ(GetRange(m, kClock, Control(uac::kSamFreqControl), 16).data.size(), 16u);
  EXPECT_EQ(GetCur(m, kClock, Control(uac::kClockValidControl), 1).data, Bytes{1});
  EXPECT_EQ(GetRange(m, kFeature, Control(uac::kVolumeControl, 1), 8).data.size(), 5u);
  EXPECT_EQ(GetCur(m, kFeature, Control(uac::kVolumeControl, 1), 2).data.size(), 2u);

  Device fs = Load("uac1-fs");
  fs.model->Modify([](AudioFunctionConfig& c) {
    c.faults.shortAnswers.push_back({kDataEp, 0, uac::kGetCur1, 1, true});
  });
  EXPECT_EQ(In(*fs.model, uac::kGetEndpoint, uac::kGetCur1, 0x0100, kDataEp, 3).data, Bytes{0x80});
}

TEST(AudioFunctionFaults, FailedRequestsAndStalledEntities) {
  DeviceProfile p;
  ASSERT_TRUE(MakeProfile("default", p));
  p.audio.faults.failNextRequests = 1;  // from the configuration, too
  AudioFunctionModel m(p.descriptors, p.audio);
  EXPECT_FALSE(GetCur(m, kClock, Control(uac::kSamFreqControl), 4).ok);
  EXPECT_TRUE(GetCur(m, kClock, Control(uac::kSamFreqControl), 4).ok);

  m.FailNextRequests(3);
  EXPECT_FALSE(Out(m, uac::kVendorSetInterface, 0, 1, 1, {}));
  EXPECT_FALSE(SetCur(m, kClock, Control(uac::kSamFreqControl), Le(96000, 4)));
  EXPECT_FALSE(GetCur(m, kFeature, Control(uac::kMuteControl), 1).ok);
  EXPECT_EQ(m.DeviceMode(), 0);
  EXPECT_EQ(m.ClockRate(kClock), 48000u);
  EXPECT_TRUE(Out(m, uac::kVendorSetInterface, 0, 1, 1, {}));
  EXPECT_TRUE(SetCur(m, kClock, Control(uac::kSamFreqControl), Le(96000, 4)));

  m.StallEntity(kClock);
  EXPECT_FALSE(GetCur(m, kClock, Control(uac::kSamFreqControl), 4).ok);
  EXPECT_FALSE(GetRange(m, kClock, Control(uac::kSamFreqControl), 16).ok);
  EXPECT_FALSE(GetCur(m, kClock, Control(uac::kClockValidControl), 1).ok);
  EXPECT_TRUE(GetCur(m, kFeature, Control(uac::kMuteControl), 1).ok);
  m.StallEntity(kClock, false);
  EXPECT_TRUE(GetCur(m, kClock, Control(uac::kSamFreqControl), 4).ok);
}

// --- Class 2.0 clock selector ------------------------------------------------------------

TEST(ClockSelectorRequests, PinIsOneBasedAndBoundedByTheInputs) {
  Device d = Load("uac2-clock-selector");
  AudioFunctionModel& m = *d.model;
  const uint16_t sel = Control(uac::kClockSelectorControl);
  EXPECT_EQ(GetCur(m, kClock, sel, 1).data, Bytes{2});
  EXPECT_EQ(m.EffectiveRate(kClock), 48000u);

  EXPECT_TRUE(SetCur(m, kClock, sel, {1}));
  EXPECT_EQ(GetCur(m, kClock, sel, 1).data, Bytes{1});
  EXPECT_EQ(m.SelectorPin(kClock), 1);
  EXPECT_EQ(m.EffectiveRate(kClock), 44100u);
  // Each family clock takes only its own rates.
  EXPECT_FALSE(SetCur(m, kClock441, Control(uac::kSamFreqControl), Le(48000, 4)));
  EXPECT_TRUE(SetCur(m, kClock441, Control(uac::kSamFreqControl), Le(176400, 4)));
  EXPECT_TRUE(SetCur(m, kClock48, Control(uac::kSamFreqControl), Le(384000, 4)));
  EXPECT_EQ(m.EffectiveRate(kClock), 176400u);

  EXPECT_FALSE(SetCur(m, kClock, sel, {0}));
  EXPECT_FALSE(SetCur(m, kClock, sel, {3}));
  EXPECT_FALSE(SetCur(m, kClock, sel, {2, 0}));
  EXPECT_FALSE(GetCur(m, kClock, sel, 2).ok);
  EXPECT_FALSE(GetCur(m, kClock, Control(uac::kClockSelectorControl, 1), 1).ok);
  EXPECT_FALSE(GetCur(m, kClock, Control(0x02), 1).ok);
  EXPECT_FALSE(GetRange(m, kClock, sel, 16).ok);
  EXPECT_EQ(m.SelectorPin(kClock), 1);

  // Fault: the selector reports a pin it does not have.
  m.Modify([](AudioFunctionConfig& c) { c.clockSelectors[kClock].reportedPin = 3; });
  EXPECT_EQ(GetCur(m, kClock, sel, 1).data, Bytes{3});
  EXPECT_EQ(m.SelectorPin(kClock), 1);

  m.Modify([](AudioFunctionConfig& c) {
    c.clockSelectors[kClock].reportedPin.reset();
    c.clockSelectors[kClock].selector = ControlAccess::Read;
  });
  EXPECT_FALSE(SetCur(m, kClock, sel, {2}));
  EXPECT_EQ(GetCur(m, kClock, sel, 1).data, Bytes{1});
}

// --- Feature unit --------------------------------------------------------------------------

TEST(FeatureUnitRequests, Uac2MuteAndVolumePerChannelWithAccess) {
  Device d = Load("default");
  AudioFunctionModel& m = *d.model;
  const uint16_t mute0 = Control(uac::kMuteControl, 0);
  EXPECT_EQ(GetCur(m, kFeature, mute0, 1).data, Bytes{0});
  EXPECT_TRUE(SetCur(m, kFeature, mute0, {1}));
  EXPECT_EQ(GetCur(m, kFeature, mute0, 1).data, Bytes{1});
  EXPECT_EQ(m.Mute(kFeature, 0), true);
  EXPECT_FALSE(SetCur(m, kFeature, Control(uac::kMuteControl, 1), {1}));  // channels have no mute
  EXPECT_FALSE(GetCur(m, kFeature, Control(uac::kMuteControl, 1), 1).ok);
  EXPECT_FALSE(GetCur(m, kFeature, mute0, 2).ok);
  EXPECT_FALSE(GetRange(m, kFeature, mute0, 8).ok);

  const uint16_t vol1 = Control(uac::kVolumeControl, 1);
  EXPECT_EQ(GetCur(m, kFeature, vol1, 2).data, (Bytes{0x00, 0x00}));
  EXPECT_TRUE(SetCur(m, kFeature, vol1, {0x18, 0xFC}));  // -1000
  EXPECT_EQ(GetCur(m, kFeature, vol1, 2).data, (Bytes{0x18, 0xFC}));
  EXPECT_EQ(m.Volume(kFeature, 1), -1000);
  EXPECT_EQ(m.Volume(kFeature, 2), 0);
  // Out-of-range SETs are clamped, not refused.
  EXPECT_TRUE(SetCur(m, kFeature, vol1, {0x00, 0x80}));  // -32768
  EXPECT_EQ(m.Volume(kFeature, 1), -32640);
  EXPECT_TRUE(SetCur(m, kFeature, vol1, {0x00, 0x02}));  // +2 dB
  EXPECT_EQ(m.Volume(kFeature, 1), 0);
  EXPECT_FALSE(SetCur(m, kFeature, vol1, {0x00}));
  EXPECT_FALSE(GetCur(m, kFeature, Control(uac::kVolumeControl, 3), 2).ok);

  EXPECT_EQ(GetRange(m, kFeature, vol1, 8).data, (Bytes{0x01, 0x00, 0x80, 0x80, 0x00, 0x00, 0x80, 0x00}));
  EXPECT_EQ(GetRange(m, kFeature, vol1, 4).data, (Bytes{0x01, 0x00, 0x80, 0x80}));
  EXPECT_FALSE(Out(m, uac::kSetEntity, uac::kRange, vol1, Entity(kFeature), Bytes(8, 0)));
  // Class 1.0 codes mean nothing to a class 2.0 function.
  EXPECT_FALSE(In(m, uac::kGetEntity, uac::kGetCur1, vol1, Entity(kFeature), 2).ok);
  EXPECT_FALSE(In(m, uac::kGetEntity, uac::kGetMin1, vol1, Entity(kFeature), 2).ok);
  EXPECT_FALSE(GetCur(m, kFeature, Control(0x03, 0), 1).ok);  // bass: not modelled

  m.Modify([](AudioFunctionConfig& c) { c.featureUnits[kFeature].channels[2].volumeAccess = ControlAccess::Read; });
  const uint16_t vol2 = Control(uac::kVolumeControl, 2);
  EXPECT_FALSE(SetCur(m, kFeature, vol2, {0x00, 0xFF}));
  EXPECT_TRUE(GetCur(m, kFeature, vol2, 2).ok);
  EXPECT_TRUE(GetRange(m, kFeature, vol2, 8).ok);
  EXPECT_EQ(m.Volume(kFeature, 2), 0);
}

TEST(FeatureUnitRequests, Uac1UsesTheSeparateGetCodes) {
  Device d = Load("uac1-fs");
  AudioFunctionModel& m = *d.model;
  EXPECT_FALSE(m.IsUac2());
  const uint16_t vol0 = Control(uac::kVolumeControl, 0);
  const uint16_t index = Entity(kFeature);
  auto get = [&](uint8_t request, uint16_t control, uint16_t length) {
    return In(m, uac::kGetEntity, request, control, index, length);
  };
  EXPECT_EQ(get(uac::kGetCur1, vol0, 2).data, (Bytes{0x00, 0x00}));
  EXPECT_EQ(get(uac::kGetMin1, vol0, 2).data, (Bytes{0x80, 0x80}));
  EXPECT_EQ(get(uac::kGetMax1, vol0, 2).data, (Bytes{0x00, 0x00}));
  EXPECT_EQ(get(uac::kGetRes1, vol0, 2).data, (Bytes{0x80, 0x00}));
  EXPECT_TRUE(Out(m, uac::kSetEntity, uac::kCur, vol0, index, {0x00, 0xFF}));  // -1 dB
  EXPECT_EQ(get(uac::kGetCur1, vol0, 2).data, (Bytes{0x00, 0xFF}));

  const uint16_t mute0 = Control(uac::kMuteControl, 0);
  EXPECT_TRUE(Out(m, uac::kSetEntity, uac::kCur, mute0, index, {1}));
  EXPECT_EQ(get(uac::kGetCur1, mute0, 1).data, Bytes{1});
  EXPECT_FALSE(get(uac::kGetMin1, mute0, 1).ok);

  EXPECT_FALSE(get(uac::kCur, vol0, 2).ok);    // the class 2.0 GET code
  EXPECT_FALSE(get(uac::kRange, vol0, 8).ok);  // no RANGE in class 1.0
  EXPECT_FALSE(get(uac::kGetMin1, vol0, 4).ok);
  EXPECT_FALSE(get(uac::kGetCur1, Control(uac::kVolumeControl, 1), 2).ok);  // only the master has volume
  EXPECT_FALSE(Out(m, uac::kSetEntity, uac::kGetMin1 & 0x7F, vol0, index, {0, 0}));  // SET_MIN
  // A class 1.0 function has no clock entities.
  EXPECT_FALSE(GetCur(m, kClock, Control(uac::kSamFreqControl), 4).ok);
}

// --- Class 1.0 endpoint, vendor, everything else -------------------------------------------

TEST(EndpointRequests, Uac1SamplingFrequencyOnTheDataEndpoint) {
  Device d = Load("uac1-fs");
  AudioFunctionModel& m = *d.model;
  EXPECT_EQ(In(m, uac::kGetEndpoint, uac::kGetCur1, 0x0100, kDataEp, 3).data, (Bytes{0x80, 0xBB, 0x00}));
  EXPECT_TRUE(Out(m, uac::kSetEndpoint, uac::kCur, 0x0100, kDataEp, {0x00, 0x77, 0x01}));  // 96000
  EXPECT_EQ(In(m, uac::kGetEndpoint, uac::kGetCur1, 0x0100, kDataEp, 3).data, (Bytes{0x00, 0x77, 0x01}));
  EXPECT_EQ(m.EndpointRate(kDataEp), 96000u);

  EXPECT_FALSE(Out(m, uac::kSetEndpoint, uac::kCur, 0x0100, kDataEp, Le(88200, 3)));  // not offered
  EXPECT_FALSE(Out(m, uac::kSetEndpoint, uac::kCur, 0x0100, kDataEp, Le(44100, 4)));
  EXPECT_FALSE(Out(m, uac::kSetEndpoint, uac::kCur, 0x0200, kDataEp, Le(44100, 3)));
  EXPECT_FALSE(Out(m, uac::kSetEndpoint, uac::kCur, 0x0100, kSynchEp, Le(44100, 3)));
  EXPECT_FALSE(In(m, uac::kGetEndpoint, uac::kGetMin1, 0x0100, kDataEp, 3).ok);
  EXPECT_FALSE(In(m, uac::kGetEndpoint, uac::kGetCur1, 0x0100, 0x02, 3).ok);  // no such endpoint
  EXPECT_EQ(m.EndpointRate(kDataEp), 96000u);

  m.Modify([](AudioFunctionConfig& c) { c.endpointRates[kDataEp].settable = false; });
  EXPECT_FALSE(Out(m, uac::kSetEndpoint, uac::kCur, 0x0100, kDataEp, Le(44100, 3)));
  EXPECT_TRUE(In(m, uac::kGetEndpoint, uac::kGetCur1, 0x0100, kDataEp, 3).ok);

  Device uac2 = Load("default");
  EXPECT_FALSE(In(*uac2.model, uac::kGetEndpoint, uac::kGetCur1, 0x0100, 0x01, 3).ok);
}

TEST(VendorModeRequest, RecordsTheModePerStreamingInterface) {
  Device d = Load("default");
  AudioFunctionModel& m = *d.model;
  EXPECT_EQ(m.InterfaceMode(1), std::nullopt);
  EXPECT_TRUE(Out(m, uac::kVendorSetInterface, uac::kVendorMode, 1, 1, {}));
  EXPECT_TRUE(Out(m, uac::kVendorSetInterface, uac::kVendorMode, 1, 2, {}));
  EXPECT_EQ(m.DeviceMode(), 1);
  EXPECT_TRUE(Out(m, uac::kVendorSetInterface, uac::kVendorMode, 0, 1, {}));
  EXPECT_EQ(m.InterfaceMode(1), 0);
  EXPECT_EQ(m.InterfaceMode(2), 1);
  EXPECT_EQ(m.DeviceMode(), 0);

  EXPECT_FALSE(Out(m, uac::kVendorSetInterface, uac::kVendorMode, 1, kAc, {}));  // not streaming
  EXPECT_FALSE(Out(m, uac::kVendorSetInterface, uac::kVendorMode, 1, 3, {}));
  EXPECT_FALSE(Out(m, uac::kVendorSetInterface, uac::kVendorMode, 1, 0x0101, {}));
  EXPECT_FALSE(Out(m, uac::kVendorSetInterface, 0x01, 1, 1, {}));
  EXPECT_FALSE(Out(m, uac::kVendorSetInterface, uac::kVendorMode, 1, 1, {0}));
  EXPECT_FALSE(In(m, 0xC1, uac::kVendorMode, 1, 1, 1).ok);
  EXPECT_EQ(m.InterfaceMode(1), 0);

  m.Modify([](AudioFunctionConfig& c) { c.vendorModeAccepted = false; });
  EXPECT_FALSE(Out(m, uac::kVendorSetInterface, uac::kVendorMode, 1, 1, {}));
  EXPECT_EQ(m.DeviceMode(), 0);
}

TEST(AudioFunctionModel, VendorClassInterfacesAreAnAudioFunctionToo) {
  Device d = Load("quirk-1686-00dd");
  AudioFunctionModel& m = *d.model;
  EXPECT_TRUE(m.Layout().hasAudioControl);
  EXPECT_EQ(GetCur(m, kClock, Control(uac::kSamFreqControl), 4).data, (Bytes{0x80, 0xBB, 0x00, 0x00}));
  EXPECT_TRUE(Out(m, uac::kVendorSetInterface, uac::kVendorMode, 1, 1, {}));
}

TEST(AudioFunctionModel, RequestsItDoesNotKnowStall) {
  Device d = Load("default");
  AudioFunctionModel& m = *d.model;
  const struct {
    uint8_t type, request;
    uint16_t value, index, length;
  } cases[] = {
      {0x80, 0x06, 0x0100, 0, 18},                          // standard GET_DESCRIPTOR
      {0xA0, uac::kCur, Control(1), Entity(kClock), 4},     // class, device recipient
      {0xA3, uac::kCur, Control(1), Entity(kClock), 4},     // class, other recipient
      {0xC1, uac::kCur, Control(1), Entity(kClock), 4},     // vendor IN to an entity
      {0xA1, 0x03, Control(1), Entity(kClock), 4},          // MEM
      {0xA1, uac::kCur, Control(1), Entity(kClock, 1), 4},  // to the streaming interface
      {0xA1, uac::kCur, Control(1), Entity(0x03), 4},       // output terminal
      {0x40, 0x00, 1, 1, 0},                                // vendor, device recipient
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(In(m, c.type, c.request, c.value, c.index, c.length).ok)
        << std::hex << int(c.type) << " " << int(c.request);
  }
  EXPECT_EQ(m.GetCounters().stalls, std::size(cases));
}

TEST(AudioFunctionModel, ConcurrentRequestsSeeWholeValues) {
  Device d = Load("default");
  AudioFunctionModel& m = *d.model;
  const std::vector<uint32_t> rates{44100, 96000, 192000, 384000};
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (size_t t = 0; t < rates.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        if (!SetCur(m, kClock, Control(uac::kSamFreqControl), Le(rates[t], 4))) ++bad;
        Reply r = GetCur(m, kClock, Control(uac::kSamFreqControl), 4);
        const uint32_t got = r.data.size() == 4 ? (r.data[0] | r.data[1] << 8 | r.data[2] << 16) : 0;
        if (std::find(rates.begin(), rates.end(), got) == rates.end()) ++bad;
        if (!SetCur(m, kFeature, Control(uac::kVolumeControl, 1 + t % 2), Le(static_cast<uint16_t>(-256 * (int(t) + 1)), 2)))
          ++bad;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);

  // The stall budget is shared: exactly that many requests fail, whoever sends them.
  m.FailNextRequests(250);
  std::atomic<int> stalls{0};
  threads.clear();
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i)
        if (!GetCur(m, kClock, Control(uac::kSamFreqControl), 4).ok) ++stalls;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(stalls.load(), 250);
  EXPECT_EQ(m.GetCounters().requests, 4u * 300 * 3 + 400);
}

// --- Behaviour for devices loaded from files -----------------------------------------------

TEST(DefaultAudioConfig, FollowsTheDescriptorsOfTheBuiltInDevices) {
  DeviceProfile p;
  ASSERT_TRUE(MakeProfile("default", p));
  AudioFunctionConfig c = DefaultAudioConfig(p.descriptors);
  ASSERT_EQ(c.clockSources.size(), 1u);
  const ClockSourceConfig& clock = c.clockSources.at(kClock);
  ASSERT_EQ(clock.ranges.size(), DefaultClockRates().size());
  for (size_t i = 0; i < clock.ranges.size(); ++i) {
    EXPECT_EQ(clock.ranges[i].min, DefaultClockRates()[i]);
    EXPECT_EQ(clock.ranges[i].max, DefaultClockRates()[i]);
    EXPECT_EQ(clock.ranges[i].res, 0u);
  }
  EXPECT_EQ(clock.currentRate, 48000u);
  EXPECT_EQ(clock.frequency, ControlAccess::ReadWrite);  // bmControls 0x07
  EXPECT_EQ(clock.validity, ControlAccess::Read);
  ASSERT_EQ(c.featureUnits.at(kFeature).channels.size(), 3u);
  const FeatureChannelConfig& master = c.featureUnits.at(kFeature).channels[0];
  const FeatureChannelConfig& left = c.featureUnits.at(kFeature).channels[1];
  EXPECT_EQ(master.muteAccess, ControlAccess::ReadWrite);
  EXPECT_EQ(master.volumeAccess, ControlAccess::ReadWrite);
  EXPECT_EQ(left.muteAccess, ControlAccess::None);
  EXPECT_EQ(left.volumeAccess, ControlAccess::ReadWrite);
  EXPECT_EQ(left.volumeMin, -32512);
  EXPECT_EQ(left.volumeMax, 0);
  EXPECT_EQ(left.volumeRes, 256);
  EXPECT_TRUE(c.endpointRates.empty());

  // The derived behaviour carries the driver's usual start-up sequence.
  AudioFunctionModel m(p.descriptors, c);
  auto now = AudioFunctionModel::Clock::now();
  m.SetTimeSource([&now] { return now; });
  EXPECT_EQ(GetRange(m, kClock, Control(uac::kSamFreqControl), 16).data[0], 8);
  EXPECT_TRUE(SetCur(m, kClock, Control(uac::kSamFreqControl), Le(192000, 4)));
  now += std::chrono::milliseconds(20);  // the clock has relocked
  EXPECT_EQ(GetCur(m, kClock, Control(uac::kClockValidControl), 1).data, Bytes{1});

  ASSERT_TRUE(MakeProfile("uac2-clock-selector", p));
  c = DefaultAudioConfig(p.descriptors);
  EXPECT_EQ(c.clockSources.size(), 2u);
  EXPECT_EQ(c.clockSelectors.at(kClock).currentPin, 1);
  EXPECT_EQ(c.clockSelectors.at(kClock).selector, ControlAccess::ReadWrite);

  ASSERT_TRUE(MakeProfile("uac1-fs", p));
  c = DefaultAudioConfig(p.descriptors);
  EXPECT_TRUE(c.clockSources.empty());
  const std::vector<FeatureChannelConfig>& ch = c.featureUnits.at(kFeature).channels;
  ASSERT_EQ(ch.size(), 3u);
  EXPECT_EQ(ch[0].muteAccess, ControlAccess::ReadWrite);
  EXPECT_EQ(ch[0].volumeAccess, ControlAccess::ReadWrite);
  EXPECT_EQ(ch[1].volumeAccess, ControlAccess::None);
  ASSERT_EQ(c.endpointRates.size(), 1u);  // the synch endpoint has no sampling frequency
  EXPECT_EQ(c.endpointRates.at(kDataEp).rates, (std::vector<uint32_t>{44100, 48000, 96000}));
  EXPECT_TRUE(c.endpointRates.at(kDataEp).settable);
  EXPECT_EQ(c.endpointRates.at(kDataEp).currentRate, 48000u);
}

TEST(DefaultAudioConfig, ReadsControlBitsAndFormatRates) {
  ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x00)
      .AcHeader1({1})
      .InputTerminal1(1, 0x0101, 0, 2, 3)
      .FeatureUnit1(2, 1, 1, {0x02, 0x01})  // master volume, channel 1 mute
      .OutputTerminal1(3, 0x0301, 0, 2)
      .Interface(1, 0, 0, 0x01, 0x02, 0x00)
      .Interface(1, 1, 1, 0x01, 0x02, 0x00)
      .AsGeneral1(1, 1, 1)
      .FormatTypeI1Continuous(2, 2, 16, 32000, 96000)
      .Endpoint9(0x02, 0x09, 200, 1, 0, 0)
      .CsEndpoint1(0x00);
  DescriptorSet set;
  set.configuration = b.Build();
  AudioFunctionConfig c = DefaultAudioConfig(set);
  const std::vector<FeatureChannelConfig>& ch = c.featureUnits.at(2).channels;
  ASSERT_EQ(ch.size(), 2u);
  EXPECT_EQ(ch[0].muteAccess, ControlAccess::None);
  EXPECT_EQ(ch[0].volumeAccess, ControlAccess::ReadWrite);
  EXPECT_EQ(ch[1].muteAccess, ControlAccess::ReadWrite);
  EXPECT_EQ(ch[1].volumeAccess, ControlAccess::None);
  const EndpointRateConfig& ep = c.endpointRates.at(0x02);
  EXPECT_EQ(ep.rates, (std::vector<uint32_t>{32000, 44100, 48000, 88200, 96000}));
  EXPECT_FALSE(ep.settable);

  // Fixed clock: frequency read-only, no validity control; selector without a control.
  ConfigurationBuilder b2;
  b2.Interface(0, 0, 0, 0x01, 0x01, 0x20).AcHeader2(0x08).ClockSource(0x20, 0x01, 0x01).ClockSelector(0x21, {0x20}, 0x00);
  set.configuration = b2.Build();
  c = DefaultAudioConfig(set);
  EXPECT_EQ(c.clockSources.at(0x20).frequency, ControlAccess::Read);
  EXPECT_EQ(c.clockSources.at(0x20).validity, ControlAccess::None);
  EXPECT_EQ(c.clockSelectors.at(0x21).selector, ControlAccess::Read);
}

// Feeds every truncation and many random corruptions of the built-in devices'
// descriptors to the derivation and to a model that then answers requests;
// the sanitizers catch any read outside the bytes.
TEST(DefaultAudioConfig, SurvivesMalformedDescriptors) {
  auto exercise = [](const DescriptorSet& set) {
    const AudioFunctionConfig c = DefaultAudioConfig(set);
    AudioFunctionModel m(set, c);
    for (const auto& entry : m.Layout().entities) {
      for (uint8_t selector = 1; selector <= 2; ++selector) {
        for (uint8_t channel = 0; channel < 3; ++channel) {
          GetCur(m, entry.first, Control(selector, channel), 4);
          GetRange(m, entry.first, Control(selector, channel), 64);
          SetCur(m, entry.first, Control(selector, channel), {1});
        }
      }
    }
    for (const StreamingEndpointInfo& ep : m.Layout().endpoints)
      Out(m, uac::kSetEndpoint, uac::kCur, 0x0100, ep.address, Le(48000, 3));
  };

  std::mt19937 random(20240607);
  for (const std::string& name : ProfileNames()) {
    DeviceProfile p;
    ASSERT_TRUE(MakeProfile(name, p));
    const Bytes original = p.descriptors.configuration;
    for (size_t size = 0; size <= original.size(); ++size) {
      p.descriptors.configuration.assign(original.begin(), original.begin() + size);
      exercise(p.descriptors);
    }
    for (int round = 0; round < 300; ++round) {
      p.descriptors.configuration = original;
      for (int flips = 0; flips < 4; ++flips)
        p.descriptors.configuration[random() % original.size()] = static_cast<uint8_t>(random());
      exercise(p.descriptors);
    }
  }

  // bLength 0 ends the walk: the clock after it does not exist.
  ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x20).AcHeader2(0x08).Raw({0x00, 0x24}).ClockSource(0x10, 0x03, 0x07);
  DescriptorSet set;
  set.configuration = b.Build();
  const AudioFunctionConfig c = DefaultAudioConfig(set);
  EXPECT_TRUE(c.clockSources.empty());
  AudioFunctionModel m(set, c);
  EXPECT_TRUE(m.Layout().hasAudioControl);
  EXPECT_FALSE(GetCur(m, kClock, Control(uac::kSamFreqControl), 4).ok);
}

// --- Through the simulated device ------------------------------------------------------------

// One class or vendor request as the driver sends it: a URB in an IRP to the PDO.
NTSTATUS SubmitControl(SimUsbDevice& device, URB& urb, USHORT function, bool in, UCHAR request, USHORT value,
                       USHORT index, void* buffer, ULONG length) {
  RtlZeroMemory(&urb, sizeof(urb));
  const ULONG flags = in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_TRANSFER_DIRECTION_OUT;
  UsbBuildVendorRequest(&urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0, request,
                        value, index, buffer, nullptr, length, nullptr);
  KEVENT done;
  IO_STATUS_BLOCK ioStatus{};
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, device.Pdo(), nullptr, 0, nullptr, 0,
                                           TRUE, &done, &ioStatus);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
  NTSTATUS status = IoCallDriver(device.Pdo(), irp);
  if (status == STATUS_PENDING) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10LL * 1000 * 1000 * 10;  // 10 s, relative
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    status = ioStatus.Status;
  }
  return status;
}

class AudioFunctionModelOnBus : public VerifiedTest {};

TEST_F(AudioFunctionModelOnBus, ControlTransfersReachTheModelAndStallsFailTheUrb) {
  DeviceProfile p;
  ASSERT_TRUE(MakeProfile("default", p));
  AudioFunctionModel model(p.descriptors, p.audio);
  SimUsbDevice device(p.descriptors, &model);
  for (CompletionMode mode : {CompletionMode::Synchronous, CompletionMode::Asynchronous}) {
    device.SetCompletionMode(mode);
    device.ClearControlLog();
    URB urb;

    UCHAR range[16] = {};
    ASSERT_EQ(SubmitControl(device, urb, URB_FUNCTION_CLASS_INTERFACE, true, uac::kRange,
                            Control(uac::kSamFreqControl), Entity(kClock), range, sizeof(range)),
              STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 16u);
    EXPECT_EQ(range[0], 8);
    EXPECT_EQ(range[2] | range[3] << 8, 44100);

    UCHAR rate[4] = {0x44, 0xAC, 0x00, 0x00};
    ASSERT_EQ(SubmitControl(device, urb, URB_FUNCTION_CLASS_INTERFACE, false, uac::kCur,
                            Control(uac::kSamFreqControl), Entity(kClock), rate, sizeof(rate)),
              STATUS_SUCCESS);
    EXPECT_EQ(model.ClockRate(kClock), 44100u);

    UCHAR bad[4] = {0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(SubmitControl(device, urb, URB_FUNCTION_CLASS_INTERFACE, false, uac::kCur,
                            Control(uac::kSamFreqControl), Entity(kClock), bad, sizeof(bad)),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(model.ClockRate(kClock), 44100u);

    ASSERT_EQ(SubmitControl(device, urb, URB_FUNCTION_VENDOR_INTERFACE, false, uac::kVendorMode, 1, 1, nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(model.InterfaceMode(1), 1);
    model.Modify([](AudioFunctionConfig& c) { c.deviceMode = 0; });

    const std::vector<ControlLogEntry> log = device.ControlLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].setup.bmRequestType, uac::kGetEntity);
    EXPECT_EQ(log[1].setup.bmRequestType, uac::kSetEntity);
    EXPECT_TRUE(log[2].stalled);
    EXPECT_EQ(log[3].setup.bmRequestType, uac::kVendorSetInterface);
    EXPECT_FALSE(log[3].stalled);
  }
}

}  // namespace
}  // namespace sim
