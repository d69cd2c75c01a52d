// The class 1.0 capture rate probe: an endpoint with several discrete rates
// and no sampling-frequency control is asked which rate it runs at, which
// means selecting its alternate setting for a moment. The probe must leave
// the interface as it found it: the alternate the driver recorded active on
// the device and the pipes bound to the interface information that exists.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/driver/driver_fixture.h"

namespace drivertest {
namespace {

constexpr UCHAR kCaptureEndpoint = 0x82;

class RateProbeTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    ASSERT_EQ(ParseProfile("uac1-capture"), STATUS_SUCCESS);
    ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
    capture_ = audio_->GetCaptureInterface();
    ASSERT_NE(capture_, nullptr);
  }

  NTSTATUS SelectCapture(ULONG rate) {
    ULONG channels = 0, container = 0, maxBytes = 0;
    return audio_->SelectStreamingFormat(TRUE, 2, 16, rate, 1, &channels, &container, &maxBytes);
  }

  // The recorded alternate is the device's, and the data pipe is the one
  // the current interface information holds.
  void ExpectBound(const char* after) {
    SCOPED_TRACE(after);
    EXPECT_EQ(device_->CurrentAlternate(capture_->InterfaceNumber), static_cast<int>(capture_->CurrentAlternate));
    PUSBD_PIPE_INFORMATION pipe = audio_->FindPipe(kCaptureEndpoint);
    EXPECT_EQ(capture_->DataPipe, pipe) << "data pipe left pointing at freed interface information";
    if (capture_->CurrentAlternate != 0 && pipe != nullptr && capture_->DataPipe == pipe) {
      EXPECT_EQ(capture_->DataPipe->EndpointAddress, kCaptureEndpoint);
    }
  }

  StreamingInterface* capture_ = nullptr;
};

TEST_F(RateProbeTest, OnlyTheRateTheEndpointRunsAtIsAccepted) {
  EXPECT_EQ(SelectCapture(48000), STATUS_SUCCESS);
  EXPECT_EQ(capture_->CurrentAlternate, 1u);
  EXPECT_EQ(audio_->TestStreamingFormat(TRUE, 2, 16, 48000), STATUS_SUCCESS);
  EXPECT_EQ(audio_->TestStreamingFormat(TRUE, 2, 16, 44100), STATUS_NOT_SUPPORTED);  // listed, not running
  EXPECT_EQ(audio_->TestStreamingFormat(TRUE, 2, 16, 32000), STATUS_NOT_SUPPORTED);  // not listed
}

TEST_F(RateProbeTest, AProbeKeepsTheActiveAlternateAndItsPipes) {
  ASSERT_EQ(SelectCapture(48000), STATUS_SUCCESS);
  ASSERT_NO_FATAL_FAILURE(ExpectBound("selection"));
  ASSERT_NE(capture_->DataPipe, nullptr);

  EXPECT_EQ(audio_->TestStreamingFormat(TRUE, 2, 16, 44100), STATUS_NOT_SUPPORTED);
  ExpectBound("a format test that probed");
  EXPECT_EQ(audio_->TestStreamingFormat(TRUE, 2, 16, 48000), STATUS_SUCCESS);
  ExpectBound("a format test that probed and fitted");
  // A refused selection leaves the previous alternate recorded and bound.
  EXPECT_EQ(SelectCapture(44100), STATUS_NOT_SUPPORTED);
  ExpectBound("a refused selection");
  EXPECT_EQ(capture_->CurrentAlternate, 1u);

  // From alternate 0 (pipes closed) a probe goes back to alternate 0.
  ULONG channels = 0, container = 0, maxBytes = 0;
  ASSERT_EQ(audio_->SelectStreamingFormat(TRUE, 0, 0, 0, 1, &channels, &container, &maxBytes), STATUS_SUCCESS);
  EXPECT_EQ(audio_->TestStreamingFormat(TRUE, 2, 16, 48000), STATUS_SUCCESS);
  ExpectBound("a probe from alternate 0");
  EXPECT_EQ(capture_->DataPipe, nullptr);
}

TEST_F(RateProbeTest, FormatTestsAndSelectionsDoNotInterleave) {
  // A probe selects alternates of the same interface that a selection is
  // choosing and binding: unserialised, one sees the other's alternate 0.
  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0};
  std::thread tester([&] {
    while (!stop.load()) {
      if (audio_->TestStreamingFormat(TRUE, 2, 16, 44100) != STATUS_NOT_SUPPORTED) ++unexpected;
    }
  });
  int failed = 0;
  for (int i = 0; i < 200; ++i) {
    if (SelectCapture(48000) != STATUS_SUCCESS) ++failed;
  }
  stop = true;
  tester.join();
  EXPECT_EQ(failed, 0) << "selections failed while formats were tested";
  EXPECT_EQ(unexpected.load(), 0);
  ExpectBound("the last selection");
}

}  // namespace
}  // namespace drivertest
