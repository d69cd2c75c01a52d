// The simulated device's explicit feedback, as many devices measure it: the
// audio clock counted against the bus's (micro)frames, in the wire format's
// resolution, dithering between adjacent codes with an exact mean, and
// blind to the FIFO (no pull towards its centre, unless the steering model
// is asked for).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "sim/profiles/device_profile.h"
#include "sim/uac/audio_function_model.h"
#include "sim/uac/audio_streaming.h"

namespace sim {
namespace {

constexpr uint8_t kRenderInterface = 1;

struct Device {
  Device(const char* profileName, StreamingOptions options) {
    EXPECT_TRUE(MakeProfile(profileName, profile));
    model = std::make_unique<AudioFunctionModel>(profile.descriptors, profile.audio);
    streaming = std::make_unique<AudioStreaming>(profile.descriptors, *model, options);
    streaming->OnAlternateSelected(kRenderInterface, 1);
  }
  // The wire word of the feedback packet read at `unit`.
  uint32_t Read(uint64_t unit) {
    uint8_t data[4] = {};
    const int32_t n = streaming->OnInPacket(streaming->Render().feedbackEndpoint, unit, data, sizeof data);
    EXPECT_GE(n, 3);
    return data[0] | data[1] << 8 | data[2] << 16 | (n == 4 ? uint32_t{data[3]} << 24 : 0u);
  }
  // Fills the FIFO to the brim (the device starts playing from half full).
  void Overfill(uint64_t unit) {
    const StreamFormat render = streaming->Render();
    std::vector<uint8_t> packet(render.frameBytes * 48);
    while (streaming->FifoFrames() + 48 <= streaming->FifoCapacityFrames())
      streaming->OnOutPacket(render.dataEndpoint, unit, packet.data(), static_cast<uint32_t>(packet.size()));
  }
  DeviceProfile profile;
  std::unique_ptr<AudioFunctionModel> model;
  std::unique_ptr<AudioStreaming> streaming;
};

struct Reading {
  double mean = 0;
  std::set<uint32_t> codes;
};

// `packets` readings, one every `unitsApart` (micro)frames, from unit `from`;
// with `full`, the FIFO is topped up to the brim before each.
Reading ReadMany(Device& d, uint64_t from, uint64_t unitsApart, int packets, bool full = false) {
  Reading r;
  double sum = 0;
  for (int i = 0; i < packets; ++i) {
    const uint64_t unit = from + static_cast<uint64_t>(i) * unitsApart;
    if (full) d.Overfill(unit);
    const uint32_t word = d.Read(unit);
    sum += word;
    r.codes.insert(word);
  }
  r.mean = sum / packets;
  return r;
}

struct MeasuredCase {
  const char* profile;
  double ppm;
  uint64_t unitsApart;  // the feedback endpoint's interval
  double codesPerFrame;  // wire codes per frame per (micro)frame: 2^16 (16.16) or 2^14 (10.14)
  double unitsPerSecond;
};

class MeasuredFeedback : public ::testing::TestWithParam<MeasuredCase> {};

TEST_P(MeasuredFeedback, DithersBetweenAdjacentCodesAroundTheClockRatio) {
  const MeasuredCase& c = GetParam();
  StreamingOptions options;
  options.ppm = c.ppm;
  Device d(c.profile, options);
  const double exact = 48000.0 * (1 + c.ppm * 1e-6) / c.unitsPerSecond * c.codesPerFrame;
  const Reading r = ReadMany(d, 1000, c.unitsApart, 2000);
  EXPECT_NEAR(r.mean, exact, 0.01) << "the mean of the codes is the clock ratio";
  ASSERT_EQ(r.codes.size(), 2u) << "truncation noise between two adjacent codes";
  EXPECT_EQ(*r.codes.begin(), static_cast<uint32_t>(std::floor(exact)));
  EXPECT_EQ(*r.codes.rbegin(), static_cast<uint32_t>(std::floor(exact)) + 1);
}

// A FIFO filled to the brim does not change what the device reports (it
// would, with the old steering model: that one asks for less).
TEST_P(MeasuredFeedback, TheFifoLevelDoesNotSteerTheReport) {
  const MeasuredCase& c = GetParam();
  StreamingOptions options;
  options.ppm = c.ppm;
  Device measured(c.profile, options);
  const double exact = 48000.0 * (1 + c.ppm * 1e-6) / c.unitsPerSecond * c.codesPerFrame;
  EXPECT_NEAR(ReadMany(measured, 1000, c.unitsApart, 400, true).mean, exact, 0.1);

  options.feedbackModel = FeedbackModel::FifoSteering;
  Device steering(c.profile, options);
  EXPECT_LT(ReadMany(steering, 1000, c.unitsApart, 400, true).mean, exact - 2.0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, MeasuredFeedback,
                         ::testing::Values(
                             // High speed 16.16 per microframe, a packet every 8 microframes.
                             MeasuredCase{"default", 300, 8, 65536.0, 8000.0},
                             MeasuredCase{"default", -300, 8, 65536.0, 8000.0},
                             // Full speed class 1.0 synch endpoint: 10.14 per frame.
                             MeasuredCase{"uac1-fs", 300, 1, 16384.0, 1000.0},
                             MeasuredCase{"uac1-fs", -300, 1, 16384.0, 1000.0}),
                         [](const ::testing::TestParamInfo<MeasuredCase>& info) {
                           return std::string(info.param.profile[5] == 'f' ? "uac1_fs" : "default") +
                                  (info.param.ppm > 0 ? "_plus300" : "_minus300");
                         });

}  // namespace
}  // namespace sim
