// The simulated audio engine on the real driver: it opens the render pin
// with the format the data intersection returns for its proposal, streams
// in KS stream requests, and takes the same pin RUN → PAUSE → RUN; the
// device then plays the client's frames in order, none twice, through to
// the last one.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/clients/audio_engine_client.h"
#include "sim/clients/simulated_machine.h"
#include "sim/profiles/device_profile.h"

namespace {

// 16-bit stereo frames that are never silent: a played zero frame is a gap.
sim::WavData NeverSilent(uint32_t rate, uint32_t frames) {
  sim::WavData wav;
  wav.format.channels = 2;
  wav.format.bitsPerSample = wav.format.validBits = 16;
  wav.format.sampleRate = rate;
  wav.samples.resize(size_t{frames} * 4);
  for (uint32_t i = 0; i < frames; ++i) {
    const int16_t left = static_cast<int16_t>(i % 30000 + 1), right = static_cast<int16_t>(-left);
    std::memcpy(&wav.samples[size_t{i} * 4], &left, 2);
    std::memcpy(&wav.samples[size_t{i} * 4 + 2], &right, 2);
  }
  return wav;
}

TEST(SimStreamEngineTest, RunPauseRunOnOnePinPlaysTheClientsFramesInOrderNoneTwice) {
  sim::DeviceProfile profile;
  ASSERT_TRUE(sim::MakeProfile("default", profile));
  sim::SimulatedMachine machine(profile.descriptors, profile.audio);
  ASSERT_EQ(machine.Start(), STATUS_SUCCESS);
  const sim::WavData source = NeverSilent(48000, 48000);
  sim::EngineRun run;
  {
    sim::AudioEngineClient engine(machine);
    ASSERT_EQ(engine.Open(), STATUS_SUCCESS);
    sim::EngineOptions options;
    options.pauseAtSeconds = 0.3;
    options.pauseForMs = 200;
    run = engine.Play(source, options);
    engine.Close();
  }
  EXPECT_EQ(run.status, STATUS_SUCCESS) << run.failedStep;
  EXPECT_TRUE(run.intersected);  // the pin took the intersection's answer to the engine's proposal
  EXPECT_EQ(run.pauses, 1u);
  EXPECT_TRUE(run.drained);
  const std::vector<uint8_t> played = machine.Streaming().PlayedAudio();
  machine.Shutdown();
  // The device's frames without the silent ones: the client's frames in
  // order, each once (a resume that re-sent or reordered requests would
  // repeat or reorder them), through to the last one.
  ASSERT_EQ(run.deviceFormat.channels, 2u);
  ASSERT_EQ(run.deviceFormat.subslotBytes, 2u);
  const uint32_t deviceFrame = run.deviceFormat.FrameBytes();
  std::vector<int32_t> indices;
  for (size_t at = 0; at + deviceFrame <= played.size(); at += deviceFrame) {
    int16_t left;
    std::memcpy(&left, &played[at], 2);
    if (left != 0) indices.push_back(left);
  }
  ASSERT_FALSE(indices.empty());
  // The signal counts 1..30000 and wraps once in 48000 frames.
  int wraps = 0;
  for (size_t i = 1; i < indices.size(); ++i) {
    if (indices[i] <= indices[i - 1]) {
      ASSERT_EQ(wraps, 0) << "frame " << indices[i] << " after " << indices[i - 1];
      ASSERT_LT(indices[i], indices[i - 1] - 20000) << "frame " << indices[i] << " after " << indices[i - 1];
      wraps++;
    }
  }
  EXPECT_EQ(wraps, 1);
  EXPECT_EQ(indices.back(), 48000 % 30000);  // the last client frame played
}

}  // namespace
