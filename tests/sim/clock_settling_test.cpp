// The simulated clock source relocks after a rate change: its validity reads
// (and its clock runs) as not valid for a settle time; and a device may
// refuse a rate change while a stream it clocks is running.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/profiles/device_profile.h"
#include "sim/uac/audio_function_model.h"

namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// The default device: AC interface 0, render interface 1, capture interface 2, one clock.
constexpr uint8_t kClock = 0x10;
constexpr uint8_t kRender = 1;
constexpr uint8_t kCapture = 2;

bool SetRate(AudioFunctionModel& m, uint32_t rate) {
  SetupPacket s{uac::kSetEntity, uac::kCur, uac::kSamFreqControl << 8, kClock << 8, 4};
  Bytes data{static_cast<uint8_t>(rate), static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate >> 16), 0};
  uint32_t transferred = 4;
  return m.HandleControl(s, data.data(), transferred);
}

// The validity control as the host reads it: 1, 0, or -1 when it stalls.
int ReadValid(AudioFunctionModel& m) {
  SetupPacket s{uac::kGetEntity, uac::kCur, uac::kClockValidControl << 8, kClock << 8, 1};
  uint8_t value = 0xEE;
  uint32_t transferred = 0;
  if (!m.HandleControl(s, &value, transferred) || transferred != 1) return -1;
  return value;
}

// A model whose settling runs on a clock the test moves by hand.
struct Model {
  explicit Model(void (*edit)(ClockSourceConfig&) = nullptr) {
    EXPECT_TRUE(MakeProfile("default", profile));
    if (edit) edit(profile.audio.clockSources.at(kClock));
    model = std::make_unique<AudioFunctionModel>(profile.descriptors, profile.audio);
    model->SetTimeSource([this] { return now; });
  }
  DeviceProfile profile;
  AudioFunctionModel::Clock::time_point now = AudioFunctionModel::Clock::now();
  std::unique_ptr<AudioFunctionModel> model;
};

TEST(ClockSettling, ValidityReadsFalseForTheSettleTimeAfterEveryAcceptedRateSet) {
  Model d;
  AudioFunctionModel& m = *d.model;
  EXPECT_EQ(ReadValid(m), 1);
  ASSERT_TRUE(SetRate(m, 96000));
  // 20 ms by default; the streaming side sees the same (its clock stops).
  EXPECT_EQ(ReadValid(m), 0);
  EXPECT_EQ(m.ClockValid(kClock), false);
  d.now += 19900us;
  EXPECT_EQ(ReadValid(m), 0);
  d.now += 100us;
  EXPECT_EQ(ReadValid(m), 1);
  EXPECT_EQ(m.ClockValid(kClock), true);
  // A refused rate changes nothing; the same rate set again relocks.
  EXPECT_FALSE(SetRate(m, 12345));
  EXPECT_EQ(ReadValid(m), 1);
  ASSERT_TRUE(SetRate(m, 96000));
  EXPECT_EQ(ReadValid(m), 0);
  // A clock made invalid stays so once settled.
  m.SetClockValid(kClock, false);
  d.now += 1s;
  EXPECT_EQ(ReadValid(m), 0);
  EXPECT_EQ(m.ClockValid(kClock), false);
}

TEST(ClockSettling, TheSettleTimeIsConfigurableAndAClockWithoutValidityLocksAtOnce) {
  Model slow([](ClockSourceConfig& c) { c.settleMicroseconds = 90000; });
  ASSERT_TRUE(SetRate(*slow.model, 44100));
  slow.now += 89ms;
  EXPECT_EQ(ReadValid(*slow.model), 0);
  slow.now += 1ms;
  EXPECT_EQ(ReadValid(*slow.model), 1);

  Model instant([](ClockSourceConfig& c) { c.settleMicroseconds = 0; });
  ASSERT_TRUE(SetRate(*instant.model, 44100));
  EXPECT_EQ(ReadValid(*instant.model), 1);

  // The host cannot wait for a clock it cannot ask: it runs at once.
  Model unasked([](ClockSourceConfig& c) { c.validity = ControlAccess::None; });
  ASSERT_TRUE(SetRate(*unasked.model, 44100));
  EXPECT_EQ(ReadValid(*unasked.model), -1);
  EXPECT_EQ(unasked.model->ClockValid(kClock), true);
}

TEST(ClockSettling, ARefusingDeviceStallsRateChangesWhileAStreamItClocksRuns) {
  Model d([](ClockSourceConfig& c) { c.refuseRateChangeWhileStreaming = true; });
  AudioFunctionModel& m = *d.model;
  m.OnAlternateSelected(kRender, 1);
  EXPECT_FALSE(SetRate(m, 96000));
  EXPECT_FALSE(SetRate(m, 48000)) << "even the rate it runs at";
  EXPECT_EQ(m.ClockRate(kClock), 48000u);
  EXPECT_EQ(ReadValid(m), 1) << "a refused change does not relock";
  m.OnAlternateSelected(kRender, 0);
  EXPECT_TRUE(SetRate(m, 96000));
  // Capture runs on the same clock.
  m.OnAlternateSelected(kCapture, 1);
  EXPECT_FALSE(SetRate(m, 44100));
  m.OnAlternateSelected(kCapture, 0);
  EXPECT_TRUE(SetRate(m, 44100));
  EXPECT_EQ(m.ClockRate(kClock), 44100u);

  // Without the knob a running stream does not stop a rate change.
  Model lenient;
  lenient.model->OnAlternateSelected(kRender, 1);
  EXPECT_TRUE(SetRate(*lenient.model, 96000));
}

}  // namespace
}  // namespace sim
