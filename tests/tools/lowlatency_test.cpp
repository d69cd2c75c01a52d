// usbaudio-sim lowlatency: its arguments, the checks that judge a run (the
// output halves the device must play, the input halves the client must
// get), and real runs of the low-latency client through the driver's
// shared buffers on the simulated machine.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/clients/lowlatency_signal.h"
#include "sim/uac/audio_streaming.h"
#include "tests/support/verifier_test.h"
#include "tools/sim/lowlatency_command.h"
#include "tools/sim/sim_command.h"

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(LowLatencyArguments, BadArgumentsExitWithTwoAndDefaultsFollowTheMode) {
  const std::vector<std::pair<std::vector<std::string>, const char*>> cases = {
      {{"lowlatency", "--buffer", "0"}, "--buffer needs a whole number"},
      {{"lowlatency", "--buffer", "12.5"}, "--buffer needs a whole number"},
      {{"lowlatency", "--rate"}, "--rate needs a value"},
      {{"lowlatency", "--inputs", "0", "--outputs", "0"}, "nothing to stream"},
      {{"lowlatency", "--dsd", "--buffer", "250"}, "multiple of 4"},
      {{"lowlatency", "--dsd", "--inputs", "2"}, "outputs only"},
      {{"lowlatency", "--inject", "meteor@1"}, "unknown fault 'meteor'"},
      {{"lowlatency", "--format", "2/16/48000"}, "unknown option --format"},
      {{"lowlatency", "--profile", "nonesuch"}, "unknown profile 'nonesuch'"},
  };
  for (const auto& [args, message] : cases) {
    const tools::SimCommandResult r = tools::RunSim(args);
    EXPECT_EQ(r.exitCode, 2) << args.back();
    EXPECT_TRUE(Has(r.err, message)) << r.err;
  }
  tools::LowLatencyRunOptions o;
  std::string error;
  ASSERT_TRUE(tools::ParseLowLatencyOptions({"lowlatency", "--dsd"}, &o, &error)) << error;
  EXPECT_EQ(o.buffer, 2048u);
  EXPECT_EQ(o.rate, 2822400u);
  o = {};
  ASSERT_TRUE(tools::ParseLowLatencyOptions({"lowlatency", "--buffer", "64", "--rate", "192000", "--inputs", "2"}, &o,
                                            &error));
  EXPECT_EQ(o.buffer, 64u);
  EXPECT_EQ(o.rate, 192000u);
  EXPECT_EQ(o.inputs, 2);
  EXPECT_EQ(o.outputs, -1);  // every output of the render pin
}

// The default device's render side: 2 channels in 4-byte containers,
// fed by entries in the host's order (entry 0 on channel 1).
sim::LowLatencyPlayLayout Layout(uint32_t subslotBytes, bool dsd, uint32_t halfFrames) {
  sim::LowLatencyPlayLayout l;
  l.channels = 2;
  l.subslotBytes = subslotBytes;
  l.dsd = dsd;
  l.halfFrames = halfFrames;
  l.entries = 2;
  l.entryOfChannel = {1, 0};
  return l;
}

std::vector<uint8_t> Played(const sim::LowLatencyPlayLayout& l, const std::vector<int64_t>& clientFrames) {
  std::vector<uint8_t> out(clientFrames.size() * l.FrameBytes());
  for (size_t i = 0; i < clientFrames.size(); ++i) {
    if (clientFrames[i] >= 0) {
      sim::LowLatencyExpectedFrame(l, static_cast<uint64_t>(clientFrames[i]), out.data() + i * l.FrameBytes());
    } else {
      std::fill_n(out.data() + i * l.FrameBytes(), l.FrameBytes(), l.dsd ? 0xAA : 0x00);
    }
  }
  return out;
}

// Silence, then client frames from..to-1 (-1 entries are silence).
void Append(std::vector<int64_t>* frames, int64_t from, int64_t to) {
  for (int64_t f = from; f < to; ++f) frames->push_back(f);
}

TEST(LowLatencyChecks, ExpectedDeviceFramesFollowTheConversionRules) {
  // Int32LSB narrowed keeps the most significant bytes; entry order maps channels.
  const uint32_t s0 = sim::LowLatencyPcmSample(5, 0, 2);
  const uint32_t s1 = sim::LowLatencyPcmSample(5, 1, 2);
  EXPECT_NE(s0, s1);
  EXPECT_NE(s0 >> 8, 0u);
  uint8_t frame[8];
  sim::LowLatencyExpectedFrame(Layout(4, false, 4), 5, frame);
  EXPECT_EQ(frame[0] | frame[1] << 8 | frame[2] << 16 | uint32_t(frame[3]) << 24, s1);  // channel 0 = entry 1
  EXPECT_EQ(frame[4] | frame[5] << 8 | frame[6] << 16 | uint32_t(frame[7]) << 24, s0);
  sim::LowLatencyExpectedFrame(Layout(3, false, 4), 5, frame);
  EXPECT_EQ(frame[0], static_cast<uint8_t>(s1 >> 8));
  EXPECT_EQ(frame[2], static_cast<uint8_t>(s1 >> 24));
  sim::LowLatencyExpectedFrame(Layout(2, false, 4), 5, frame);
  EXPECT_EQ(frame[0], static_cast<uint8_t>(s1 >> 16));
  EXPECT_EQ(frame[1], static_cast<uint8_t>(s1 >> 24));
  // DSD: a device frame carries the channel's next four bytes unchanged.
  sim::LowLatencyExpectedFrame(Layout(4, true, 4), 3, frame);
  for (uint32_t b = 0; b < 4; ++b) {
    EXPECT_EQ(frame[b], sim::LowLatencyDsdByte(12 + b, 1));
    EXPECT_EQ(frame[4 + b], sim::LowLatencyDsdByte(12 + b, 0));
  }
}

TEST(LowLatencyChecks, PlayCheckFindsRepeatedDroppedAndSilentHalves) {
  for (const bool dsd : {false, true}) {
    const sim::LowLatencyPlayLayout l = Layout(4, dsd, 8);
    std::vector<int64_t> good = {-1, -1, -1};
    Append(&good, 0, 40);
    sim::LowLatencyPlayCheck ok(l);
    const std::vector<uint8_t> bytes = Played(l, good);
    ok.Take(bytes.data(), 10);  // in pieces, as the tap hands them out
    ok.Take(bytes.data() + 10 * l.FrameBytes(), good.size() - 10);
    EXPECT_FALSE(ok.Mismatch());
    EXPECT_EQ(ok.StartupFrames(), 3u);
    EXPECT_EQ(ok.FramesMatched(), 40u);
    EXPECT_EQ(ok.HalfStarts(), (std::vector<uint64_t>{3, 11, 19, 27, 35}));

    struct Case {
      std::vector<int64_t> frames;
      const char* kind;
    };
    std::vector<Case> cases(4);
    Append(&cases[0].frames, 0, 16);  // the kernel plays half 1 again
    Append(&cases[0].frames, 8, 24);
    cases[0].kind = "half_repeated";
    Append(&cases[1].frames, 0, 16);  // a half never played
    Append(&cases[1].frames, 24, 32);
    cases[1].kind = "half_dropped";
    Append(&cases[2].frames, 0, 16);  // the device ran dry
    cases[2].frames.insert(cases[2].frames.end(), 8, -1);
    cases[2].kind = "silence";
    Append(&cases[3].frames, 0, 16);  // the right half, shifted by a frame
    Append(&cases[3].frames, 17, 24);
    cases[3].kind = "wrong_samples";
    for (const Case& c : cases) {
      sim::LowLatencyPlayCheck check(l);
      const std::vector<uint8_t> played = Played(l, c.frames);
      check.Take(played.data(), c.frames.size());
      EXPECT_TRUE(check.Mismatch()) << c.kind;
      EXPECT_EQ(check.FirstMismatch(), 16u) << c.kind;
      EXPECT_EQ(check.MismatchKind(), c.kind) << (dsd ? "DSD" : "PCM");
    }
  }
}

TEST(LowLatencyChecks, InputCheckWantsTheCaptureRampWithoutAGap) {
  // The device's capture side: 2 channels, 24 bits in 4-byte containers;
  // the client asks for channel 1 only.
  sim::LowLatencyCaptureLayout l;
  l.channels = 2;
  l.subslotBytes = 4;
  l.bits = 24;
  l.entryChannels = {1};
  l.halfFrames = 16;
  auto half = [&](uint64_t firstFrame) {
    std::vector<int32_t> h(16);
    for (uint32_t f = 0; f < 16; ++f)
      h[f] = static_cast<int32_t>(sim::AudioStreaming::CaptureSample(firstFrame + f, 1, 2, 4, 24));
    return h;
  };
  sim::LowLatencyInputCheck ok(l);
  for (uint64_t start : {100, 116, 132}) {
    const std::vector<int32_t> h = half(start);
    ok.Take({h.data()});
  }
  EXPECT_TRUE(ok.Continuous());
  EXPECT_EQ(ok.Halves(), 3u);

  sim::LowLatencyInputCheck gap(l);
  for (uint64_t start : {100, 116, 148}) {  // a half lost between the second and third switch
    const std::vector<int32_t> h = half(start);
    gap.Take({h.data()});
  }
  EXPECT_FALSE(gap.Continuous());
  EXPECT_EQ(gap.FirstMismatchHalf(), 2u);

  // A 3-byte container widened into Int32LSB: the sample in the top three bytes.
  l.subslotBytes = 3;
  sim::LowLatencyInputCheck narrow(l);
  std::vector<int32_t> h(16);
  for (uint32_t f = 0; f < 16; ++f)
    h[f] = static_cast<int32_t>(sim::AudioStreaming::CaptureSample(40 + f, 1, 2, 3, 24) << 8);
  narrow.Take({h.data()});
  EXPECT_TRUE(narrow.Continuous());
}

// Real runs through the driver. The name puts them among the tools' real-time
// tests (run alone, so the machine's load does not starve them).
class SimStreamLowLatencyTest : public VerifiedTest {
 protected:
  tools::LowLatencyReport Run(tools::LowLatencyRunOptions o) {
    o.quiet = true;
    return tools::RunLowLatencyReport(o, nullptr);
  }
  static std::string Describe(const tools::LowLatencyReport& r) { return tools::LowLatencyReportText(r); }
  // Every under- or overrun of the device's FIFO came right after the bus
  // itself ran late (its thread descheduled on a loaded machine): what the
  // device played then cannot be held against the driver or the client.
  // An xrun of the driver's own still fails the run.
  static bool BusRanLate(const tools::LowLatencyReport& r) {
    return r.busLateXruns != 0 && r.deviceUnderruns == 0 && r.deviceOverruns == 0;
  }
};

TEST_F(SimStreamLowLatencyTest, OutputsOnlyPlayEveryHalfInOrder) {
  tools::LowLatencyRunOptions o;
  o.seconds = 2;
  const tools::LowLatencyReport r = Run(o);
  EXPECT_EQ(r.outputs, 2u);
  EXPECT_EQ(r.streamError, 0u);
  EXPECT_EQ(r.transportModeViolations, 0u);
  if (BusRanLate(r)) GTEST_SKIP() << "the machine was too busy to judge the run:\n" << Describe(r);
  EXPECT_EQ(r.exitCode, 0) << Describe(r);
  EXPECT_TRUE(r.bitExact) << Describe(r);
  EXPECT_GT(r.framesChecked, 48000u) << Describe(r);
  EXPECT_EQ(r.missedSwitches, 0u) << Describe(r);
  EXPECT_EQ(r.sameHalfTwice, 0u) << Describe(r);
  EXPECT_TRUE(r.latencyMeasured);
  // About 20 ms queued plus the transfers in flight, not the whole 240 ms
  // cyclic buffer filled ahead of the device.
  EXPECT_LT(r.latencyMedian, static_cast<int64_t>(r.rate / 10)) << Describe(r);
}

TEST_F(SimStreamLowLatencyTest, WithInputsTheCapturePacesTheSwitchesAndTheInputIsContinuous) {
  tools::LowLatencyRunOptions o;
  o.seconds = 2;
  o.inputs = 2;
  // Halves of 2048 frames: with inputs, smaller halves still underrun now
  // and then on a loaded machine (capture schedule restarts eat the render
  // lead), which this test is not about.
  o.buffer = 2048;
  const tools::LowLatencyReport r = Run(o);
  EXPECT_TRUE(r.inputChecked);
  if (BusRanLate(r)) GTEST_SKIP() << "the machine was too busy to judge the run:\n" << Describe(r);
  EXPECT_EQ(r.exitCode, 0) << Describe(r);
  EXPECT_TRUE(r.inputBitExact) << Describe(r);
  EXPECT_TRUE(r.bitExact) << Describe(r);
  EXPECT_EQ(r.missedSwitches, 0u) << Describe(r);
  // One switch per captured half: no more than the capture clock allows.
  EXPECT_LE(r.bufferSwitches, r.expectedSwitches + 2) << Describe(r);
  EXPECT_GE(r.bufferSwitches + r.expectedSwitches / 20, r.expectedSwitches) << Describe(r);
}

TEST_F(SimStreamLowLatencyTest, DsdReachesTheDeviceUnchangedInDsdMode) {
  tools::LowLatencyRunOptions o;
  o.profile = "dsd";
  o.dsd = true;
  o.buffer = 2048;
  o.rate = 2822400;
  o.seconds = 2;
  const tools::LowLatencyReport r = Run(o);
  EXPECT_EQ(r.pinRate, 88200u);
  EXPECT_EQ(r.transportModeViolations, 0u) << Describe(r);
  // The vendor mode request went to every streaming interface.
  ASSERT_FALSE(r.deviceModes.empty());
  for (const auto& [interface, mode] : r.deviceModes) EXPECT_EQ(mode, 1) << "interface " << interface;
  if (BusRanLate(r)) GTEST_SKIP() << "the machine was too busy to judge the run:\n" << Describe(r);
  EXPECT_EQ(r.exitCode, 0) << Describe(r);
  EXPECT_TRUE(r.bitExact) << Describe(r);
}

// The device's transport-mode check through a real run: a client that
// streams PCM with the device switched to DSD (or DSD without the switch)
// is caught, however exact the bytes.
TEST_F(SimStreamLowLatencyTest, DataInTheWrongTransportModeIsFlagged) {
  tools::LowLatencyRunOptions pcm;
  pcm.profile = "dsd";
  pcm.seconds = 1;
  pcm.deviceModeOverride = 1;
  tools::LowLatencyReport r = Run(pcm);
  EXPECT_GT(r.transportModeViolations, 0u) << Describe(r);
  EXPECT_NE(r.exitCode, 0);

  tools::LowLatencyRunOptions dsd;
  dsd.profile = "dsd";
  dsd.dsd = true;
  dsd.buffer = 2048;
  dsd.rate = 2822400;
  dsd.seconds = 1;
  dsd.deviceModeOverride = 0;
  r = Run(dsd);
  EXPECT_GT(r.transportModeViolations, 0u) << Describe(r);
  EXPECT_NE(r.exitCode, 0);
}

TEST_F(SimStreamLowLatencyTest, AClientThatSkipsOutputReadyIsNotBitExact) {
  tools::LowLatencyRunOptions o;
  o.seconds = 1.5;
  o.skipOutputReadyAt = 50;
  const tools::LowLatencyReport r = Run(o);
  EXPECT_FALSE(r.bitExact) << Describe(r);
  EXPECT_NE(r.exitCode, 0);
  // Half 50 was never given: the kernel must not play it, nor ask again.
  EXPECT_LE(r.framesChecked, 50u * 256u) << Describe(r);
  EXPECT_LE(r.bufferSwitches, 51u) << Describe(r);
  if (BusRanLate(r)) GTEST_SKIP() << "the machine was too busy to judge the run:\n" << Describe(r);
  EXPECT_EQ(r.framesChecked, 50u * 256u) << Describe(r);  // everything before it played in order
}

TEST_F(SimStreamLowLatencyTest, UnplugEndsWithTheDeviceGoneStatusAndTheThreadEnds) {
  tools::LowLatencyRunOptions o;
  o.seconds = 5;
  sim::FaultInjection unplug;
  std::string error;
  ASSERT_TRUE(sim::ParseFaultInjection("unplug@1", &unplug, &error)) << error;
  o.injections.push_back(unplug);
  const tools::LowLatencyReport r = Run(o);
  EXPECT_TRUE(r.unplugged);
  EXPECT_TRUE(r.streamError == 0xC000009Du || r.streamError == 0xC000000Eu || r.streamError == 0xC0000056u)
      << Describe(r);
  EXPECT_TRUE(r.clientThreadEnded) << Describe(r);
  EXPECT_EQ(r.exitCode, 0) << Describe(r);
  EXPECT_LT(r.runSeconds, 1 + 3.5) << Describe(r);  // it ended on the status, not on the run's length
}

}  // namespace
