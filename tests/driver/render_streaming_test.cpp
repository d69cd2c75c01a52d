// Render through the whole Windows audio path on the simulated bus: KS pin,
// the port's cyclic buffer, the driver's pump and threads, isochronous
// transfers sized by explicit feedback, implicit feedback or the nominal
// schedule, and a device that plays at its own clock. The device must play
// exactly the client's samples, without running dry or overflowing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/driver/streaming_fixture.h"

namespace drivertest {
namespace {

struct RenderCase {
  const char* profile;
  PcmFormat client;
  uint32_t deviceSubslot;  // bytes per sample on the wire
  double ppm;
  double seconds;
};

std::string CaseName(const RenderCase& c) {
  std::string name = std::string(c.profile) + "_" + std::to_string(c.client.bits) + "bit_" +
                     std::to_string(c.client.rate) + "Hz";
  if (c.ppm != 0) name += (c.ppm > 0 ? "_plus" : "_minus") + std::to_string(static_cast<int>(std::abs(c.ppm))) + "ppm";
  for (char& ch : name)
    if (ch == '-') ch = '_';
  return name;
}

// What the device must play for client samples: each sample widened to the
// subslot with zero low bytes (or equal when the sizes match).
std::vector<uint8_t> OnTheWire(const std::vector<uint8_t>& client, const PcmFormat& format, uint32_t subslot) {
  const uint32_t s = format.bits / 8u;
  if (s == subslot) return client;
  std::vector<uint8_t> out;
  out.reserve(client.size() / s * subslot);
  for (size_t i = 0; i + s <= client.size(); i += s) {
    out.insert(out.end(), subslot - s, 0);
    out.insert(out.end(), client.begin() + i, client.begin() + i + s);
  }
  return out;
}

size_t FirstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return i;
  return n;
}

class RenderStreamingTest : public StreamingTest, public ::testing::WithParamInterface<RenderCase> {};

TEST_P(RenderStreamingTest, TheDevicePlaysExactlyTheClientsSamples) {
  const RenderCase& c = GetParam();
  sim::StreamingOptions options;
  options.ppm = c.ppm;
  ASSERT_NO_FATAL_FAILURE(StartOn(c.profile, options));
  const size_t frames = static_cast<size_t>(c.client.rate * c.seconds);
  const std::vector<uint8_t> client = CountingSignal(c.client, frames);
  const std::vector<uint8_t> expected = OnTheWire(client, c.client, c.deviceSubslot);

  HANDLE pin = nullptr;
  ASSERT_EQ(OpenPin(false, c.client, &pin), STATUS_SUCCESS);
  // The client has all its audio ready (it keeps up), plus trailing silence
  // so the last transfers fill up and the device plays everything.
  ASSERT_EQ(platform::PortPinWrite(pin, client.data(), client.size()), STATUS_SUCCESS);
  const std::vector<uint8_t> tail(c.client.FrameBytes() * c.client.rate / 5, 0);
  ASSERT_EQ(platform::PortPinWrite(pin, tail.data(), tail.size()), STATUS_SUCCESS);
  ASSERT_EQ(Run(pin), STATUS_SUCCESS);

  // Steady state: after start-up nothing is allocated per transfer.
  ASSERT_TRUE(WaitForPlayed(expected.size() / 2)) << "the device played "
                                                   << PlayedBytes() << " bytes";
  const sim::StreamingCounters warm = streaming_->Counters();
  const uint64_t poolWarm = platform::TotalPoolAllocations(POOLTAG_USB);
  const uint64_t adapterPoolWarm = platform::TotalPoolAllocations(POOLTAG_ADAPTER);
  ASSERT_TRUE(WaitForPlayed(expected.size())) << "the device played " << PlayedBytes() << " of "
                                              << expected.size() << " bytes";
  const sim::StreamingCounters done = streaming_->Counters();
  // With implicit feedback the capture side runs too: a receive that starts
  // late on a loaded machine fails and its chain is started anew with a
  // fresh buffer, which is a recovery, not a per-transfer cost.
  if (kRealTimeChecks && !streaming_->Capture().active) {
    EXPECT_EQ(platform::TotalPoolAllocations(POOLTAG_USB), poolWarm) << "USBA allocations while streaming";
  }
  EXPECT_EQ(platform::TotalPoolAllocations(POOLTAG_ADAPTER), adapterPoolWarm);
  Close(pin);

  const std::vector<uint8_t> played = streaming_->PlayedAudio();
  ASSERT_GE(played.size(), expected.size());
  const size_t at = FirstDifference(played, expected, expected.size());
  EXPECT_EQ(at, expected.size()) << "first differing frame " << at / (c.deviceSubslot * c.client.channels);
  if (kRealTimeChecks) {
    EXPECT_EQ(done.underruns, warm.underruns) << "the device FIFO ran dry";
  }
  EXPECT_EQ(done.overruns, 0u) << "the device FIFO overflowed";
  EXPECT_EQ(done.malformedPackets, 0u);
  EXPECT_EQ(device_->CurrentAlternate(streaming_->Render().interfaceNumber), 0);
}

const RenderCase kRenderCases[] = {
    // High speed, explicit 16.16 feedback.
    {"default", {2, 16, 48000}, 2, 0, 0.5},
    {"default", {2, 16, 44100}, 2, 0, 0.5},
    {"default", {2, 24, 96000}, 4, 0, 0.5},
    {"default", {2, 32, 192000}, 4, 0, 0.5},
    {"default", {2, 16, 48000}, 2, 500, 2.0},
    {"default", {2, 16, 48000}, 2, -500, 2.0},
    // Full speed, class 1.0, 10.14 feedback.
    {"uac1-fs", {2, 16, 44100}, 2, 0, 0.5},
    {"uac1-fs", {2, 24, 96000}, 3, 0, 0.5},
    {"uac1-fs", {2, 16, 48000}, 2, 500, 2.0},
    {"uac1-fs", {2, 16, 48000}, 2, -500, 2.0},
    // Implicit feedback: capture packets pace render.
    {"uac2-implicit", {2, 16, 48000}, 2, 0, 0.5},
    {"uac2-implicit", {2, 16, 48000}, 2, 500, 2.0},
    {"uac2-implicit", {2, 16, 48000}, 2, -500, 2.0},
    // No feedback: the nominal packet schedule, with and without length words.
    {"uac2-playback-only", {2, 16, 44100}, 2, 0, 0.5},
    {"quirk-1686-00dd", {2, 16, 44100}, 2, 0, 0.5},
};

INSTANTIATE_TEST_SUITE_P(Profiles, RenderStreamingTest, ::testing::ValuesIn(kRenderCases),
                         [](const ::testing::TestParamInfo<RenderCase>& info) { return CaseName(info.param); });

}  // namespace
}  // namespace drivertest
