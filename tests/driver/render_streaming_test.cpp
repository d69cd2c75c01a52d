// Render through the whole Windows audio path on the simulated bus: KS pin,
// the port's cyclic buffer, the driver's pump and threads, isochronous
// transfers sized by explicit feedback, implicit feedback or the nominal
// schedule, and a device that plays at its own clock. The device must play
// exactly the client's samples, without running dry or overflowing.
#include <gtest/gtest.h>

#include <algorithm>
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
  bool fineTick = false;  // the raised 1 ms timer resolution instead of 15.625 ms
};

std::string CaseName(const RenderCase& c) {
  std::string name = std::string(c.profile) + "_" + std::to_string(c.client.bits) + "bit_" +
                     std::to_string(c.client.rate) + "Hz";
  if (c.ppm != 0) name += (c.ppm > 0 ? "_plus" : "_minus") + std::to_string(static_cast<int>(std::abs(c.ppm))) + "ppm";
  if (c.fineTick) name += "_tick1ms";
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
  if (c.fineTick) UseTiming(FineTick());
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

  // The device FIFO's level at tenths of the signal. With the device clock
  // off nominal, only packets sized by feedback keep it level: the nominal
  // schedule moves it by the ppm offset (2000 ppm: 2 ms per second, against
  // 2 ms of headroom either way).
  std::vector<size_t> levels;
  sim::StreamingCounters warm;
  uint64_t poolWarm = 0, adapterPoolWarm = 0, transfersWarm = 0;
  for (size_t tenth = 1; tenth <= 9; ++tenth) {
    ASSERT_TRUE(WaitForPlayed(expected.size() * tenth / 10))
        << "the device played " << PlayedBytes() << " of " << expected.size() << " bytes";
    levels.push_back(streaming_->FifoFrames());
    if (tenth == 5) {
      // Steady state: from here on nothing is allocated per transfer.
      warm = streaming_->Counters();
      poolWarm = platform::TotalPoolAllocations(POOLTAG_USB);
      transfersWarm = device_->DataTransferCounters().submitted;
      adapterPoolWarm = platform::TotalPoolAllocations(POOLTAG_ADAPTER);
    }
  }
  ASSERT_TRUE(WaitForPlayed(expected.size())) << "the device played " << PlayedBytes() << " of "
                                              << expected.size() << " bytes";
  const sim::StreamingCounters done = streaming_->Counters();
  std::string trend;
  for (size_t level : levels) trend += " " + std::to_string(level);
  // Xruns while the bus itself ran late (the process was descheduled) are
  // the machine's, not the driver's; a level sampled near one means nothing.
  const bool busLate = done.underrunsBusLate != 0 || done.overrunsBusLate != 0;
  if (kRealTimeChecks && c.ppm != 0 && !busLate) {
    // One packet of jitter (a packet lands at once, then drains) plus 0.5 ms.
    const sim::StreamFormat format = streaming_->Render();
    const size_t packetFrames = c.client.rate * format.unitsPerPacket / (descriptors_.highSpeed ? 8000 : 1000) + 1;
    const size_t band = packetFrames + c.client.rate / 2000;
    // From 3/10 on: start-up (first feedback, slots filling) is over by then.
    const size_t reference = levels[2];
    size_t deviation = 0;
    for (size_t i = 2; i < levels.size(); ++i) {
      deviation = std::max(deviation, levels[i] > reference ? levels[i] - reference : reference - levels[i]);
    }
    EXPECT_LE(deviation, band) << "FIFO level at tenths of the signal:" << trend
                               << " (frames): the driver does not follow the device clock";
  }
  // With implicit feedback the capture side runs too: a receive that starts
  // late on a loaded machine fails and its chain is started anew with a
  // fresh buffer, which is a recovery, not a per-transfer cost. Transfer
  // contexts and URBs come from lookaside lists, which go to pool when the
  // number in flight reaches a new peak (completions delayed on two
  // threads): a handful, against one per transfer for a per-transfer cost.
  if (kRealTimeChecks && !streaming_->Capture().active) {
    const uint64_t allocations = platform::TotalPoolAllocations(POOLTAG_USB) - poolWarm;
    const uint64_t transfers = device_->DataTransferCounters().submitted - transfersWarm;
    EXPECT_GE(transfers, 40u);
    EXPECT_LE(allocations * 8, transfers) << allocations << " USBA allocations in " << transfers
                                          << " transfers while streaming";
  }
  EXPECT_EQ(platform::TotalPoolAllocations(POOLTAG_ADAPTER), adapterPoolWarm);
  Close(pin);

  const std::vector<uint8_t> played = streaming_->PlayedAudio();
  ASSERT_GE(played.size(), expected.size());
  const size_t at = FirstDifference(played, expected, expected.size());
  EXPECT_EQ(at, expected.size()) << "first differing frame " << at / (c.deviceSubslot * c.client.channels);
  if (kRealTimeChecks) {
    EXPECT_EQ(done.underruns - done.underrunsBusLate, warm.underruns - warm.underrunsBusLate)
        << "the device FIFO ran dry; its level at tenths of the signal:" << trend;
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
    {"default", {2, 16, 48000}, 2, 2000, 2.0},
    {"default", {2, 16, 48000}, 2, -2000, 2.0},
    // Full speed, class 1.0, 10.14 feedback.
    {"uac1-fs", {2, 16, 44100}, 2, 0, 0.5},
    {"uac1-fs", {2, 24, 96000}, 3, 0, 0.5},
    {"uac1-fs", {2, 16, 48000}, 2, 2000, 2.0},
    {"uac1-fs", {2, 16, 48000}, 2, -2000, 2.0},
    // Implicit feedback: capture packets pace render.
    {"uac2-implicit", {2, 16, 48000}, 2, 0, 0.5},
    {"uac2-implicit", {2, 16, 48000}, 2, 2000, 2.0},
    {"uac2-implicit", {2, 16, 48000}, 2, -2000, 2.0},
    // High speed, one packet per 1 ms frame (bInterval 4) with 16.16 feedback per microframe.
    {"uac2-hs-1ms", {2, 16, 48000}, 2, 0, 0.5},
    {"uac2-hs-1ms", {2, 24, 96000}, 4, 0, 0.5},
    {"uac2-hs-1ms", {2, 16, 48000}, 2, 2000, 2.0},
    // Class 1.0 at high speed: one packet per frame, 10.14 feedback per 1 ms frame.
    {"uac1-hs", {2, 16, 48000}, 2, 0, 0.5},
    {"uac1-hs", {2, 16, 48000}, 2, -2000, 2.0},
    // A feedback packet every microframe: a read of 16 ms would not fit one URB.
    {"uac2-fb-interval1", {2, 16, 48000}, 2, 0, 0.5},
    // No feedback: the nominal packet schedule, with and without length words.
    {"uac2-playback-only", {2, 16, 44100}, 2, 0, 0.5},
    {"quirk-1686-00dd", {2, 16, 44100}, 2, 0, 0.5},
};

INSTANTIATE_TEST_SUITE_P(Profiles, RenderStreamingTest, ::testing::ValuesIn(kRenderCases),
                         [](const ::testing::TestParamInfo<RenderCase>& info) { return CaseName(info.param); });

// Every case above runs at Windows' default 15.625 ms clock tick; these run
// again at the 1 ms an application gets by raising the timer resolution:
// bit-exact at one rate per kind of pacing (explicit feedback at high and
// full speed, implicit feedback, the nominal schedule), off-nominal clocks
// for both kinds of feedback.
const RenderCase kFineTickCases[] = {
    {"default", {2, 16, 48000}, 2, 0, 0.5, true},
    {"default", {2, 16, 48000}, 2, 2000, 2.0, true},
    {"uac1-fs", {2, 16, 48000}, 2, -2000, 2.0, true},
    {"uac2-implicit", {2, 16, 48000}, 2, 2000, 2.0, true},
    {"uac2-playback-only", {2, 16, 44100}, 2, 0, 0.5, true},
};

INSTANTIATE_TEST_SUITE_P(FineTick, RenderStreamingTest, ::testing::ValuesIn(kFineTickCases),
                         [](const ::testing::TestParamInfo<RenderCase>& info) { return CaseName(info.param); });

}  // namespace
}  // namespace drivertest
