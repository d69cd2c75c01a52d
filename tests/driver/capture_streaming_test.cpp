// Capture through the "Wave" filter's capture pin: receive transfers at
// scheduled frames, conversion into the client's cyclic buffer, the port's
// reads. The device sends a ramp, so any lost, repeated or reordered frame
// breaks the sequence the client receives. With implicit feedback, capture
// and render run together and render stays bit-exact.
#include <gtest/gtest.h>

#include <mutex>

#include "tests/driver/streaming_fixture.h"

namespace drivertest {
namespace {

class CaptureStreamingTest : public StreamingTest {
 protected:
  struct Case {
    const char* profile;
    PcmFormat format;
  };

  // Half a second of the device's ramp reaches the client without a gap.
  void ExpectTheRampWithoutGaps(const Case& c) {
    SCOPED_TRACE(std::string(c.profile) + " " + std::to_string(c.format.bits) + " bit " +
                 std::to_string(c.format.rate));
    ASSERT_NO_FATAL_FAILURE(StartOn(c.profile));
    HANDLE pin = nullptr;
    ASSERT_EQ(OpenPin(true, c.format, &pin), STATUS_SUCCESS);
    ASSERT_EQ(Run(pin), STATUS_SUCCESS);
    const size_t wanted = c.format.rate / 2 * c.format.FrameBytes();
    const std::vector<uint8_t> recorded = Record(pin, wanted);
    Close(pin);
    ASSERT_GE(recorded.size(), wanted);
    EXPECT_EQ(recorded.size() % c.format.FrameBytes(), 0u);
    EXPECT_EQ(FirstBreakInRamp(recorded, c.format.bits), recorded.size() / (c.format.bits / 8));
    EXPECT_EQ(device_->CurrentAlternate(streaming_->Capture().interfaceNumber), 0);
  }
};

TEST_F(CaptureStreamingTest, TheClientReceivesTheDevicesSignalWithoutGaps) {
  const Case cases[] = {
      {"default", {2, 16, 48000}},   // equal formats
      {"default", {2, 24, 96000}},   // 24 valid bits in 32-bit subslots, narrowed
      {"uac2-hs-1ms", {2, 16, 48000}},        // one packet per 1 ms frame
      {"uac2-fb-interval1", {2, 16, 48000}},  // render feedback every microframe
  };
  for (const Case& c : cases) ASSERT_NO_FATAL_FAILURE(ExpectTheRampWithoutGaps(c));
}

// The same at the raised 1 ms timer resolution (the suite above runs at the
// default 15.625 ms clock tick).
class FineTickCaptureStreamingTest : public CaptureStreamingTest {};

TEST_F(FineTickCaptureStreamingTest, TheClientReceivesTheDevicesSignalWithoutGaps) {
  UseTiming(FineTick());
  const Case cases[] = {
      {"default", {2, 24, 96000}},
      {"uac2-hs-1ms", {2, 16, 48000}},
  };
  for (const Case& c : cases) ASSERT_NO_FATAL_FAILURE(ExpectTheRampWithoutGaps(c));
}

TEST_F(CaptureStreamingTest, ReceivesFollowFrameByFrameAndRestartSevenFramesAheadWhenLate) {
  // The hook reads the bus frame as the driver sends each receive, which
  // holds only while requests run inline.
  HostTiming inline_ = timing_;
  inline_.completion = sim::CompletionMode::Synchronous;
  UseTiming(inline_);
  ASSERT_NO_FATAL_FAILURE(StartOn("default"));
  struct Receive {
    ULONG startFrame;
    uint32_t submittedAt;
  };
  std::mutex mutex;
  std::vector<Receive> receives;
  // The hook names this test's locals: it goes before they do, also when an
  // assertion ends the test early.
  struct HookGuard {
    sim::SimUsbDevice* device;
    ~HookGuard() { device->SetUrbHook(nullptr); }
  } guard{device_.get()};
  device_->SetUrbHook([&](PURB urb, NTSTATUS*) {
    if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER &&
        (urb->UrbIsochronousTransfer.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) == 0) {
      std::lock_guard<std::mutex> lock(mutex);
      receives.push_back({urb->UrbIsochronousTransfer.StartFrame, device_->CurrentFrame()});
    }
    return false;
  });
  const PcmFormat format{2, 16, 48000};
  HANDLE pin = nullptr;
  ASSERT_EQ(OpenPin(true, format, &pin), STATUS_SUCCESS);
  ASSERT_EQ(Run(pin), STATUS_SUCCESS);
  ASSERT_GT(Record(pin, format.rate / 10 * format.FrameBytes()).size(), 0u);
  // Start-up over (a stall there, e.g. the first completions on a loaded
  // machine, may restart the schedule once): from here on it runs steady.
  size_t steady;
  {
    std::lock_guard<std::mutex> lock(mutex);
    steady = receives.size();
  }
  ASSERT_GT(Record(pin, format.rate / 10 * format.FrameBytes()).size(), 0u);
  size_t onTime;
  {
    std::lock_guard<std::mutex> lock(mutex);
    onTime = receives.size();
    ASSERT_GT(onTime, steady + 20);
    // Seven frames ahead at the start (the frame may tick between the
    // driver's reading and this one), then one frame (param3) after another.
    const uint32_t lead = receives[0].startFrame - receives[0].submittedAt;
    EXPECT_LE(lead, 7u);
    if (kRealTimeChecks) {
      EXPECT_GE(lead, 6u);
    }
    if (kRealTimeChecks) {
      for (size_t i = steady + 1; i < onTime; ++i)
        ASSERT_EQ(receives[i].startFrame, receives[i - 1].startFrame + 1) << i;
    }
  }
  // Completions 20 frames late: the schedule has fallen behind and starts
  // again seven frames after the current one.
  device_->SetCompletionDelay(std::chrono::milliseconds(20));
  Record(pin, format.rate / 10 * format.FrameBytes());
  device_->SetCompletionDelay(std::chrono::milliseconds(0));
  Close(pin);
  std::lock_guard<std::mutex> lock(mutex);
  bool restarted = false;
  for (size_t i = onTime; i < receives.size() && !restarted; ++i) {
    const uint32_t lead = receives[i].startFrame - receives[i].submittedAt;
    restarted = receives[i].startFrame != receives[i - 1].startFrame + 1 && lead >= 6 && lead <= 7;
  }
  EXPECT_TRUE(restarted) << "no receive restarted seven frames ahead";
}

TEST_F(CaptureStreamingTest, CapturePinsComingAndGoingDoNotDisturbRender) {
  ASSERT_NO_FATAL_FAILURE(StartOn("default"));
  const PcmFormat format{2, 16, 48000};
  HANDLE render = nullptr;
  ASSERT_EQ(OpenPin(false, format, &render), STATUS_SUCCESS);
  const std::vector<uint8_t> client = CountingSignal(format, format.rate * 3 / 2);
  ASSERT_EQ(platform::PortPinWrite(render, client.data(), client.size()), STATUS_SUCCESS);
  const std::vector<uint8_t> tail(format.rate / 5 * format.FrameBytes(), 0);
  ASSERT_EQ(platform::PortPinWrite(render, tail.data(), tail.size()), STATUS_SUCCESS);
  ASSERT_EQ(Run(render), STATUS_SUCCESS);
  // Each capture start and stop selects the capture interface's alternate
  // while render transfers are being sized and sent.
  for (int round = 0; round < 5 && PlayedBytes() < client.size() / 2; ++round) {
    HANDLE capture = nullptr;
    ASSERT_EQ(OpenPin(true, format, &capture), STATUS_SUCCESS);
    ASSERT_EQ(Run(capture), STATUS_SUCCESS);
    EXPECT_GT(Record(capture, format.rate / 50 * format.FrameBytes()).size(), 0u);
    Close(capture);
  }
  ASSERT_TRUE(WaitForPlayed(client.size()));
  Close(render);
  const std::vector<uint8_t> played = streaming_->PlayedAudio();
  EXPECT_TRUE(std::equal(client.begin(), client.end(), played.begin())) << "render lost or damaged audio";
}

TEST_F(CaptureStreamingTest, ImplicitFeedbackRunsCaptureAndRenderTogether) {
  ASSERT_NO_FATAL_FAILURE(StartOn("uac2-implicit", [] {
    sim::StreamingOptions o;
    o.ppm = 300;
    return o;
  }()));
  const PcmFormat format{2, 16, 48000};
  HANDLE render = nullptr;
  HANDLE capture = nullptr;
  ASSERT_EQ(OpenPin(false, format, &render), STATUS_SUCCESS);
  ASSERT_EQ(OpenPin(true, format, &capture), STATUS_SUCCESS);
  const std::vector<uint8_t> client = CountingSignal(format, format.rate);
  ASSERT_EQ(platform::PortPinWrite(render, client.data(), client.size()), STATUS_SUCCESS);
  const std::vector<uint8_t> tail(format.rate / 5 * format.FrameBytes(), 0);
  ASSERT_EQ(platform::PortPinWrite(render, tail.data(), tail.size()), STATUS_SUCCESS);
  ASSERT_EQ(Run(capture), STATUS_SUCCESS);
  ASSERT_EQ(Run(render), STATUS_SUCCESS);

  const std::vector<uint8_t> recorded = Record(capture, client.size() / 2);
  ASSERT_TRUE(WaitForPlayed(client.size()));
  const sim::StreamingCounters counters = streaming_->Counters();
  // Closing render first leaves capture running on the linked start.
  Close(render);
  const std::vector<uint8_t> more = Record(capture, recorded.size() + format.rate / 10 * format.FrameBytes());
  Close(capture);

  const std::vector<uint8_t> played = streaming_->PlayedAudio();
  ASSERT_GE(played.size(), client.size());
  EXPECT_TRUE(std::equal(client.begin(), client.end(), played.begin()));
  EXPECT_EQ(counters.overruns, 0u);
  EXPECT_EQ(FirstBreakInRamp(recorded, 16), recorded.size() / 2);
  EXPECT_GT(more.size(), 0u) << "capture stopped with render";
  EXPECT_EQ(device_->CurrentAlternate(streaming_->Render().interfaceNumber), 0);
}

}  // namespace
}  // namespace drivertest
