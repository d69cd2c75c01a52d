// What the simulated device does with the frames it plays: the bounded
// capture tests read, the tap a long run streams them through, and which
// FIFO under-/overruns it blames on the bus running late. Driven directly
// (packets and time by hand), so nothing here depends on the machine's load.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/profiles/device_profile.h"
#include "sim/uac/audio_function_model.h"
#include "sim/uac/audio_streaming.h"
#include "sim/uac/played_audio_tap.h"

namespace {

// The default device (high speed, 48 kHz, 2 × 4-byte subslots: 8-byte
// frames, 6 frames a microframe) with its render alternate selected. Its
// FIFO holds 192 frames and starts playing at 96.
class PlayedAudioTest : public ::testing::Test {
 protected:
  void SetUp() override { Make({}); }

  void Make(sim::StreamingOptions options) {
    ASSERT_TRUE(sim::MakeProfile("default", profile_));
    streaming_.reset();
    model_ = std::make_unique<sim::AudioFunctionModel>(profile_.descriptors, profile_.audio);
    streaming_ = std::make_unique<sim::AudioStreaming>(profile_.descriptors, *model_, options);
    for (const sim::StreamingEndpointInfo& ep : model_->Layout().endpoints) {
      if ((ep.attributes & 3) == 1 && (ep.address & 0x80) == 0 && ep.channels == 2 && ep.subslotBytes == 4) {
        streaming_->OnAlternateSelected(ep.interfaceNumber, ep.alternate);
        endpoint_ = ep.address;
        break;
      }
    }
    ASSERT_NE(endpoint_, 0);
    ASSERT_EQ(streaming_->Render().frameBytes, 8u);
    ASSERT_EQ(streaming_->Rate(), 48000u);
  }

  // `frames` numbered frames (each byte = frame number) in one packet at `unit`.
  void Send(uint64_t unit, uint32_t frames) {
    std::vector<uint8_t> packet(frames * 8);
    for (uint32_t f = 0; f < frames; ++f, ++next_)
      for (uint32_t b = 0; b < 8; ++b) packet[f * 8 + b] = static_cast<uint8_t>(next_);
    streaming_->OnOutPacket(endpoint_, unit, packet.data(), static_cast<uint32_t>(packet.size()));
  }

  sim::DeviceProfile profile_;
  std::unique_ptr<sim::AudioFunctionModel> model_;
  std::unique_ptr<sim::AudioStreaming> streaming_;
  uint8_t endpoint_ = 0;
  uint32_t next_ = 0;
};

TEST_F(PlayedAudioTest, TheTapGetsEveryPlayedFrameAndTheCaptureStopsAtItsLimit) {
  sim::StreamingOptions options;
  options.recordLimitBytes = 100 * 8;  // tests keep at most this much
  Make(options);
  sim::PlayedAudioTap tap(64, 1 << 20);
  streaming_->SetPlaybackTap(&tap);
  // 12 frames a microframe in, 6 played: the FIFO never runs dry.
  for (uint64_t unit = 1; unit <= 30; ++unit) {
    Send(unit, 6);
    streaming_->AdvanceTo(unit + 1);
  }
  const uint64_t played = streaming_->Counters().framesPlayed;
  ASSERT_GT(played, 60u);
  std::vector<uint8_t> all, piece;
  while (tap.Pop(&piece, 40, std::chrono::milliseconds(0)) && !piece.empty()) all.insert(all.end(), piece.begin(), piece.end());
  ASSERT_EQ(all.size(), played * 8);
  for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], static_cast<uint8_t>(i / 8)) << i;
  EXPECT_EQ(tap.LostBytes(), 0u);
  // The test capture holds whole packets of played frames up to its limit.
  const std::vector<uint8_t> kept = streaming_->PlayedAudio();
  EXPECT_LE(kept.size(), 100u * 8);
  EXPECT_GE(kept.size(), 90u * 8);
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), all.begin()));
}

// A consumer that keeps up holds the tap to a few packets however long the
// run; one that stalls makes it widen only up to its limit, then frames are
// dropped and counted, never held without bound.
TEST(PlayedAudioTapTest, HoldsOnlyWhatTheConsumerHasNotTaken) {
  sim::PlayedAudioTap tap(1024, 64 * 1024);
  std::vector<uint8_t> packet(48 * 8, 0x5A), out;
  uint64_t taken = 0;
  for (int i = 0; i < 100000; ++i) {  // 100 s of 48 kHz stereo 32-bit in 1 ms packets
    tap.Push(packet.begin(), packet.size());
    if (i % 2 == 1) {
      ASSERT_TRUE(tap.Pop(&out, 1 << 20, std::chrono::milliseconds(0)));
      taken += out.size();
    }
  }
  EXPECT_EQ(taken, tap.PushedBytes());
  EXPECT_LE(tap.PeakBytes(), 2 * packet.size());
  EXPECT_LE(tap.CapacityBytes(), size_t{1024});
  EXPECT_EQ(tap.LostBytes(), 0u);
  for (int i = 0; i < 1000; ++i) tap.Push(packet.begin(), packet.size());  // nobody takes them
  EXPECT_LE(tap.CapacityBytes(), size_t{64 * 1024});
  EXPECT_EQ(tap.LostBytes(), 1000 * packet.size() - tap.PeakBytes());
  tap.Close();
  ASSERT_TRUE(tap.Pop(&out, 1 << 20, std::chrono::milliseconds(0)));
  EXPECT_EQ(out.size(), tap.PeakBytes());
  EXPECT_FALSE(tap.Pop(&out, 1 << 20, std::chrono::milliseconds(0)));
}

// An underrun right after the bus ran late is the bus's; one long after it
// (or with the bus never late) is the driver's.
TEST_F(PlayedAudioTest, XrunsNearBusLatenessAreCountedApart) {
  sim::PlayedAudioTap tap;
  streaming_->SetPlaybackTap(&tap);
  // Quiet bus: 96 frames primed, then nothing comes; the FIFO runs dry.
  Send(1, 96);
  streaming_->AdvanceTo(40);
  sim::StreamingCounters c = streaming_->Counters();
  EXPECT_EQ(c.underruns, 1u);
  EXPECT_EQ(c.underrunsBusLate, 0u);
  EXPECT_EQ(c.firstXrunFrame, 96u);
  // The tap hears what the device put out: the frames, then its silence.
  EXPECT_GT(c.framesOutput, c.framesPlayed);
  std::vector<uint8_t> out;
  ASSERT_TRUE(tap.Pop(&out, 1 << 20, std::chrono::milliseconds(0)));
  ASSERT_EQ(out.size(), c.framesOutput * 8);
  EXPECT_EQ(out[95 * 8], 95);
  EXPECT_EQ(std::count(out.begin() + 96 * 8, out.end(), 0), static_cast<long>(out.size() - 96 * 8));
  streaming_->SetPlaybackTap(nullptr);

  // The bus reports it ran late up to microframe 60; the FIFO primes again
  // and runs dry within the next few milliseconds: the bus's doing.
  streaming_->OnBusLate(60);
  Send(41, 96);
  streaming_->AdvanceTo(80);
  c = streaming_->Counters();
  EXPECT_EQ(c.underruns, 2u);
  EXPECT_EQ(c.underrunsBusLate, 1u);

  // Long after the lateness (well over 10 ms): the driver's again.
  Send(400, 96);
  streaming_->AdvanceTo(440);
  c = streaming_->Counters();
  EXPECT_EQ(c.underruns, 3u);
  EXPECT_EQ(c.underrunsBusLate, 1u);

  // Overruns: a packet that does not fit the FIFO, right after the bus was late.
  streaming_->OnBusLate(500);
  Send(501, 150);
  Send(502, 150);
  c = streaming_->Counters();
  EXPECT_EQ(c.overruns, 1u);
  EXPECT_EQ(c.overrunsBusLate, 1u);
}

// The device streams in the transport mode the host last set on the render
// interface (vendor request 0x41/0, wValue mode, wIndex interface): frames
// are counted by the mode they arrived in, and a run judges them against
// what it sent: DSD frames in PCM mode, or PCM frames in DSD mode, are
// transport-mode violations.
TEST_F(PlayedAudioTest, FramesAreCountedByTheTransportModeTheyArriveIn) {
  const uint8_t renderInterface = streaming_->Render().interfaceNumber;
  auto setMode = [&](uint16_t mode) {
    sim::SetupPacket s{0x41, sim::uac::kVendorMode, mode, renderInterface, 0};
    uint32_t transferred = 0;
    ASSERT_TRUE(model_->HandleControl(s, nullptr, transferred));
  };
  const sim::StreamingCounters start = streaming_->Counters();
  Send(1, 6);  // never set: PCM
  sim::StreamingCounters c = streaming_->Counters();
  EXPECT_EQ(c.framesReceivedDsdMode, 0u);
  EXPECT_EQ(sim::TransportModeViolations(start, c, false), 0u);
  EXPECT_EQ(sim::TransportModeViolations(start, c, true), 6u);  // DSD data would have gone out as PCM

  setMode(1);
  const sim::StreamingCounters dsdStart = streaming_->Counters();
  Send(2, 6);
  Send(3, 5);
  c = streaming_->Counters();
  EXPECT_EQ(c.framesReceivedDsdMode, 11u);
  EXPECT_EQ(sim::TransportModeViolations(dsdStart, c, true), 0u);
  EXPECT_EQ(sim::TransportModeViolations(dsdStart, c, false), 11u);  // PCM data in DSD mode
  EXPECT_EQ(sim::TransportModeViolations(start, c, true), 6u);

  // Another interface's mode does not count for the render interface.
  setMode(0);
  sim::SetupPacket other{0x41, sim::uac::kVendorMode, 1, static_cast<uint16_t>(renderInterface == 1 ? 2 : 1), 0};
  uint32_t transferred = 0;
  model_->HandleControl(other, nullptr, transferred);
  const sim::StreamingCounters pcmAgain = streaming_->Counters();
  Send(4, 6);
  c = streaming_->Counters();
  EXPECT_EQ(sim::TransportModeViolations(pcmAgain, c, false), 0u);
  EXPECT_EQ(sim::TransportModeViolations(pcmAgain, c, true), 6u);
}

}  // namespace
