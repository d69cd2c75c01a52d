// A device clock 300 ppm off nominal, whose feedback is its measured clock
// ratio with quantisation noise and no pull towards its FIFO centre: only a
// driver that follows the feedback exactly, fractions of a frame included,
// keeps the device FIFO where it started. Nominal packets (a driver ignoring
// feedback) move it by 300 ppm of the time played; a driver dropping the
// fraction of each reading or each packet moves it too.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/driver/streaming_fixture.h"

namespace drivertest {
namespace {

constexpr PcmFormat kFormat{2, 16, 48000};
constexpr double kSeconds = 6.0;
constexpr int kWindows = 12;

struct FollowCase {
  const char* profile;
  double ppm;
  bool withholdFeedback;  // the device sends empty feedback: the driver falls back to nominal
};

std::string CaseName(const ::testing::TestParamInfo<FollowCase>& info) {
  std::string name = std::string(info.param.profile) + (info.param.ppm > 0 ? "_plus300ppm" : "_minus300ppm");
  if (info.param.withholdFeedback) name += "_without_feedback";
  for (char& ch : name)
    if (ch == '-') ch = '_';
  return name;
}

class FeedbackFollowingStreamingTest : public StreamingTest, public ::testing::WithParamInterface<FollowCase> {};

// The lowest FIFO level of each half-second window (the level just before
// packets land, so packet timing does not blur it) must stay within 0.25 ms
// of where it was after start-up.
TEST_P(FeedbackFollowingStreamingTest, TheDeviceFifoStaysWhereItStarted) {
  const FollowCase& c = GetParam();
  sim::StreamingOptions options;
  options.ppm = c.ppm;
  if (c.withholdFeedback) options.feedbackFault = sim::FeedbackFault::ZeroLength;
  ASSERT_NO_FATAL_FAILURE(StartOn(c.profile, options));
  const size_t frames = static_cast<size_t>(kFormat.rate * kSeconds);
  const std::vector<uint8_t> client = CountingSignal(kFormat, frames);
  HANDLE pin = nullptr;
  ASSERT_EQ(OpenPin(false, kFormat, &pin), STATUS_SUCCESS);
  ASSERT_EQ(platform::PortPinWrite(pin, client.data(), client.size()), STATUS_SUCCESS);
  const std::vector<uint8_t> tail(kFormat.FrameBytes() * kFormat.rate / 5, 0);
  ASSERT_EQ(platform::PortPinWrite(pin, tail.data(), tail.size()), STATUS_SUCCESS);
  ASSERT_EQ(Run(pin), STATUS_SUCCESS);

  std::vector<size_t> lows;
  for (int w = 1; w <= kWindows; ++w) {
    ASSERT_TRUE(WaitForPlayed(client.size() * (w - 1) / kWindows + client.size() / (4 * kWindows)));
    streaming_->ResetFifoLevelRange();  // a quarter into the window: the last one's packets have landed
    ASSERT_TRUE(WaitForPlayed(client.size() * w / kWindows))
        << "the device played " << PlayedBytes() << " of " << client.size() << " bytes";
    lows.push_back(streaming_->FifoLevelRange().first);
  }
  const sim::StreamingCounters done = streaming_->Counters();
  Close(pin);

  std::string trend;
  for (size_t low : lows) trend += " " + std::to_string(low);
  const bool busLate = done.underrunsBusLate != 0 || done.overrunsBusLate != 0;
  if (!kRealTimeChecks || busLate) GTEST_SKIP() << "the machine was too slow to judge the FIFO:" << trend;
  // From the second window on: the first feedback readings are in by then.
  const size_t reference = lows[1];
  size_t drift = 0;
  for (size_t i = 1; i < lows.size(); ++i)
    drift = std::max(drift, lows[i] > reference ? lows[i] - reference : reference - lows[i]);
  const size_t band = kFormat.rate / 4000;
  if (c.withholdFeedback) {
    // The check must be able to fail: nominal packets drift 300 ppm of 5 s.
    EXPECT_GT(drift, band) << "lowest FIFO level per window (frames):" << trend;
  } else {
    EXPECT_LE(drift, band) << "lowest FIFO level per window (frames):" << trend
                           << ": the driver does not follow the device's feedback exactly";
    EXPECT_EQ(done.underruns, 0u);
    EXPECT_EQ(done.overruns, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Devices, FeedbackFollowingStreamingTest,
                         ::testing::Values(FollowCase{"default", 300, false}, FollowCase{"default", -300, false},
                                           FollowCase{"uac1-fs", 300, false}, FollowCase{"uac1-fs", -300, false},
                                           FollowCase{"default", 300, true}),
                         CaseName);

}  // namespace
}  // namespace drivertest
