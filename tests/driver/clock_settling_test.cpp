// The driver against a clock that relocks after every rate change (validity
// reads false for a while) and a device that refuses rate changes while a
// stream it clocks runs: starts wait for the clock within their 100 ms, a
// clock that does not settle in time still refuses the start, and no rate is
// set under a running stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/driver/streaming_fixture.h"

namespace drivertest {
namespace {

constexpr PcmFormat kCd{2, 16, 44100};  // not the device's 48 kHz at plug-in: a rate change
constexpr PcmFormat k48{2, 16, 48000};

class ClockSettlingStreamingTest : public StreamingTest {
 protected:
  void SetClocks(uint32_t settleMicroseconds, bool refuseWhileStreaming) {
    model_->Modify([&](sim::AudioFunctionConfig& c) {
      for (auto& clock : c.clockSources) {
        clock.second.settleMicroseconds = settleMicroseconds;
        clock.second.refuseRateChangeWhileStreaming = refuseWhileStreaming;
      }
    });
  }

  // Plays `seconds` of a counting signal from a pin at RUN and checks the
  // device played it exactly, without an overrun.
  void PlaysExactly(HANDLE pin, const PcmFormat& format, double seconds) {
    const std::vector<uint8_t> client = CountingSignal(format, static_cast<size_t>(format.rate * seconds));
    streaming_->ClearPlayedAudio();
    ASSERT_EQ(platform::PortPinWrite(pin, client.data(), client.size()), STATUS_SUCCESS);
    const std::vector<uint8_t> tail(format.FrameBytes() * format.rate / 5, 0);
    ASSERT_EQ(platform::PortPinWrite(pin, tail.data(), tail.size()), STATUS_SUCCESS);
    ASSERT_TRUE(WaitForPlayed(client.size())) << "the device played " << PlayedBytes() << " of " << client.size();
    const std::vector<uint8_t> played = streaming_->PlayedAudio();
    EXPECT_TRUE(std::equal(client.begin(), client.end(), played.begin())) << "audio lost or damaged";
    EXPECT_EQ(streaming_->Counters().overruns, 0u) << "packets sent before the device's clock ran";
  }
};

// 80 ms of relocking, inside the driver's 100 ms wait, on the Windows tick:
// the start succeeds, and nothing is sent to a device whose clock stands
// still (its FIFO would overflow in 4 ms).
TEST_F(ClockSettlingStreamingTest, AStartAfterARateChangeWaitsForTheClock) {
  ASSERT_NO_FATAL_FAILURE(StartOn("default"));
  SetClocks(80000, false);
  HANDLE pin = nullptr;
  ASSERT_EQ(OpenPin(false, kCd, &pin), STATUS_SUCCESS);
  ASSERT_EQ(Run(pin), STATUS_SUCCESS);
  ASSERT_NO_FATAL_FAILURE(PlaysExactly(pin, kCd, 0.5));
  Close(pin);
}

// A clock still relocking when the wait is over refuses the start as an
// invalid clock does, and the pipes close again.
TEST_F(ClockSettlingStreamingTest, AClockThatDoesNotSettleInTimeRefusesTheStart) {
  ASSERT_NO_FATAL_FAILURE(StartOn("default"));
  SetClocks(400000, false);
  HANDLE pin = nullptr;
  ASSERT_EQ(OpenPin(false, kCd, &pin), STATUS_SUCCESS);
  EXPECT_EQ(Run(pin), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(device_->CurrentAlternate(streaming_->Render().interfaceNumber), 0) << "the failed start closes the pipes";
  Close(pin);
}

// A device that refuses rate changes under a running stream: render starts,
// stops and starts again at another rate, and render starts while capture
// runs on the same clock at the same rate; the capture stream is not
// disturbed (a rate set, even to the same value, would relock its clock).
TEST_F(ClockSettlingStreamingTest, NoRateIsSetUnderARunningStream) {
  ASSERT_NO_FATAL_FAILURE(StartOn("default"));
  SetClocks(20000, true);
  HANDLE render = nullptr;
  ASSERT_EQ(OpenPin(false, kCd, &render), STATUS_SUCCESS);
  ASSERT_EQ(Run(render), STATUS_SUCCESS);
  ASSERT_NO_FATAL_FAILURE(PlaysExactly(render, kCd, 0.2));
  Close(render);

  HANDLE capture = nullptr;
  ASSERT_EQ(OpenPin(true, k48, &capture), STATUS_SUCCESS);
  ASSERT_EQ(Run(capture), STATUS_SUCCESS);
  const std::vector<uint8_t> before = Record(capture, k48.FrameBytes() * 4800);
  ASSERT_EQ(OpenPin(false, k48, &render), STATUS_SUCCESS);
  ASSERT_EQ(Run(render), STATUS_SUCCESS);
  ASSERT_NO_FATAL_FAILURE(PlaysExactly(render, k48, 0.2));
  std::vector<uint8_t> recorded = before;
  const std::vector<uint8_t> after = Record(capture, k48.FrameBytes() * 4800);
  recorded.insert(recorded.end(), after.begin(), after.end());
  EXPECT_EQ(FirstBreakInRamp(recorded, 16), recorded.size() / 2) << "the capture stream was interrupted";
  Close(render);
  Close(capture);
}

}  // namespace
}  // namespace drivertest
