// The low-latency client of the simulated machine streaming through the
// driver's shared buffers, outputs only and with inputs: a run here also
// goes through ThreadSanitizer, which sees the client thread, the property
// requests, the streaming context and the teardown at once. (The tool's
// tests judge the played audio; this one judges the handshake and the
// teardown.)
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/kernel/client_process.h"
#include "sim/clients/lowlatency_client.h"
#include "sim/clients/simulated_machine.h"
#include "sim/profiles/device_profile.h"
#include "tests/driver/streaming_fixture.h"
#include "tests/support/verifier_test.h"

namespace {

class LowLatencyClientStreamingTest : public VerifiedTest, public ::testing::WithParamInterface<bool> {};

// Waits (polling the client's counters, not sleeping for a result) until
// `switches` buffer switches have come or `seconds` passed.
bool WaitForSwitches(const sim::LowLatencyClient& client, uint64_t switches, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (client.Counters().bufferSwitches >= switches) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

TEST_P(LowLatencyClientStreamingTest, SwitchesComeOncePerHalfAndTheTeardownLeavesNothing) {
  const bool inputs = GetParam();
  sim::DeviceProfile profile;
  ASSERT_TRUE(sim::MakeProfile("default", profile));
  sim::StreamingOptions streaming;
  streaming.recordPlayback = false;
  sim::SimulatedMachine machine(profile.descriptors, profile.audio, streaming);
  ASSERT_EQ(machine.Start(), STATUS_SUCCESS);
  {
    sim::LowLatencyClient client(machine);
    sim::LowLatencyOptions options;
    options.bufferFrames = 512;
    options.rate = 48000;
    if (inputs) options.inputChannels = {0, 1};
    ASSERT_EQ(client.Start(options), STATUS_SUCCESS) << client.FailedStep();
    // Half a second of halves after the first, generously timed.
    const uint64_t wanted = 48000 / 2 / 512;
    EXPECT_TRUE(WaitForSwitches(client, wanted, 20)) << client.Counters().bufferSwitches << " switches";
    client.Stop();
    const sim::LowLatencyCounters c = client.Counters();
    EXPECT_FALSE(client.ThreadRunning());
    EXPECT_EQ(c.streamError, 0u);
    EXPECT_EQ(c.outputReadyFailures, 0u);
    if (inputs) {
      EXPECT_GE(c.inputHalves, wanted);
    }
    // A client thread descheduled past a switch (as under ThreadSanitizer)
    // legitimately sees two toggles at once, or a late event without one.
    if (drivertest::kRealTimeChecks) {
      EXPECT_EQ(c.missedSwitches, 0u);
      EXPECT_EQ(c.sameHalfTwice, 0u);
      EXPECT_EQ(c.switchesWithoutToggle, 0u);
      if (inputs) {
        EXPECT_TRUE(client.InputContinuous()) << client.InputMismatchText();
      }
    }
  }
  machine.Shutdown();  // the driver unloads; the verifier checks what it left
}

INSTANTIATE_TEST_SUITE_P(Directions, LowLatencyClientStreamingTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("OutputsAndInputs") : std::string("OutputsOnly");
                         });

}  // namespace
