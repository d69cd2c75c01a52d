// Render faults on the simulated bus: iso errors or a failing data pipe, lost
// or garbage feedback, an invalid clock, an unplugged device, and stops at
// any moment. Streaming must recover where it can and always end cleanly.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "tests/driver/streaming_fixture.h"
#include "tests/support/waitable_count.h"

namespace drivertest {
namespace {

constexpr PcmFormat kCd{2, 16, 44100};
constexpr PcmFormat kStudio{2, 16, 48000};

class RenderFaultTest : public StreamingTest {
 protected:
  // Starts a render pin with `seconds` of client audio written ahead and
  // counts the pipe resets the driver sends.
  void StartRender(const char* profile, const PcmFormat& format, double seconds,
                   const sim::StreamingOptions& options = {}, bool indexed = false) {
    ASSERT_NO_FATAL_FAILURE(StartOn(profile, options));
    device_->SetUrbHook([this](PURB urb, NTSTATUS*) {
      if (urb->UrbHeader.Function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) resets_++;
      if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_INTERFACE &&
          urb->UrbSelectInterface.Interface.InterfaceNumber == streaming_->Render().interfaceNumber &&
          urb->UrbSelectInterface.Interface.AlternateSetting == 0) {
        closes_.Add();
      }
      return false;
    });
    format_ = format;
    ASSERT_EQ(OpenPin(false, format, &pin_), STATUS_SUCCESS);
    const size_t frames = static_cast<size_t>(format.rate * seconds);
    client_ = indexed ? IndexedSignal(frames) : CountingSignal(format, frames);
    ASSERT_EQ(platform::PortPinWrite(pin_, client_.data(), client_.size()), STATUS_SUCCESS);
    // Trailing silence fills the last transfers, so all of the signal is played.
    const std::vector<uint8_t> tail(Bytes(0.2), 0);
    ASSERT_EQ(platform::PortPinWrite(pin_, tail.data(), tail.size()), STATUS_SUCCESS);
    ASSERT_EQ(Run(pin_), STATUS_SUCCESS);
  }

  // Device bytes for client seconds (equal formats in these tests).
  size_t Bytes(double seconds) const { return static_cast<size_t>(format_.rate * seconds) * format_.FrameBytes(); }

  uint8_t RenderEndpoint() { return streaming_->Render().dataEndpoint; }
  uint8_t FeedbackEndpoint() { return streaming_->Render().feedbackEndpoint; }

  HANDLE pin_ = nullptr;
  PcmFormat format_{};
  std::vector<uint8_t> client_;
  std::atomic<int> resets_{0};
  WaitableCount closes_;  // alternate 0 selected on the render interface: its pipes closed
};

// An isochronous endpoint cannot stall; the host controller reports packet
// errors, late packets and a transfer with nothing through, and the last
// makes the driver restart the pipe.
TEST_F(RenderFaultTest, IsoErrorsResetThePipeAndStreamingResumes) {
  for (const char* profile : {"default", "uac2-playback-only"}) {
    SCOPED_TRACE(profile);
    ASSERT_NO_FATAL_FAILURE(StartRender(profile, kCd, 3.0, {}, true));
    ASSERT_TRUE(WaitForPlayed(Bytes(0.3)));
    const int resetsBefore = resets_.load();
    device_->FailNextPackets(RenderEndpoint(), 3, USBD_STATUS_XACT_ERROR);
    device_->FailNextPackets(RenderEndpoint(), 2, USBD_STATUS_ISO_NOT_ACCESSED_LATE);
    device_->FailNextTransfers(RenderEndpoint(), 1);
    // The restart follows from the failed transfer; the device plays on.
    const size_t atErrors = PlayedBytes();
    ASSERT_TRUE(WaitForPlayed(atErrors + Bytes(0.5))) << "streaming did not resume after the iso errors";
    EXPECT_GT(resets_.load(), resetsBefore);
    EXPECT_GE(device_->DataTransferCounters().packetErrors, 5u);
    Close(pin_);
    // What was in flight at the errors is lost; nothing is played twice or
    // out of order.
    const std::vector<uint32_t> indices = PlayedIndices(streaming_->PlayedAudio());
    for (size_t i = 1; i < indices.size(); ++i) {
      ASSERT_LT(indices[i - 1], indices[i]) << "frame " << indices[i] << " after " << indices[i - 1];
    }
  }
}

TEST_F(RenderFaultTest, FailedTransfersRestartThePipe) {
  ASSERT_NO_FATAL_FAILURE(StartRender("uac2-playback-only", kCd, 3.0));
  ASSERT_TRUE(WaitForPlayed(Bytes(0.3)));
  const int resets = resets_.load();
  device_->FailNextTransfers(RenderEndpoint(), 2);
  const size_t at = PlayedBytes();
  ASSERT_TRUE(WaitForPlayed(at + Bytes(0.5)));
  EXPECT_GT(resets_.load(), resets);
  Close(pin_);
}

TEST_F(RenderFaultTest, ThreeLostFeedbackReadsRestartTheFeedbackPipe) {
  ASSERT_NO_FATAL_FAILURE(StartRender("default", kStudio, 3.0));
  ASSERT_TRUE(WaitForPlayed(Bytes(0.3)));
  const int resets = resets_.load();
  // Two failures in a row only count; a third restarts both pipes.
  device_->FailNextTransfers(FeedbackEndpoint(), 2);
  ASSERT_TRUE(WaitForPlayed(PlayedBytes() + Bytes(0.2)));
  EXPECT_EQ(resets_.load(), resets);
  device_->FailNextTransfers(FeedbackEndpoint(), 3);
  ASSERT_TRUE(WaitForPlayed(PlayedBytes() + Bytes(0.5)));
  EXPECT_GE(resets_.load(), resets + 2) << "both the data and the feedback pipe are reset";
  Close(pin_);
}

TEST_F(RenderFaultTest, GarbageFeedbackFallsBackToNominalWithoutLosingAudio) {
  ASSERT_NO_FATAL_FAILURE(StartRender("default", kStudio, 1.5));
  ASSERT_TRUE(WaitForPlayed(Bytes(0.2)));
  streaming_->SetFeedbackFault(sim::FeedbackFault::Garbage);
  ASSERT_TRUE(WaitForPlayed(client_.size()));
  const sim::StreamingCounters counters = streaming_->Counters();
  Close(pin_);
  const std::vector<uint8_t> played = streaming_->PlayedAudio();
  EXPECT_TRUE(std::equal(client_.begin(), client_.end(), played.begin())) << "audio lost or damaged";
  EXPECT_EQ(counters.overruns, 0u);
  EXPECT_EQ(resets_.load(), 0) << "bad values are not failed reads";
}

TEST_F(RenderFaultTest, InvalidClockRefusesTheStart) {
  ASSERT_NO_FATAL_FAILURE(StartOn("default"));
  for (const auto& clock : model_->Config().clockSources) model_->SetClockValid(clock.first, false);
  HANDLE pin = nullptr;
  ASSERT_EQ(OpenPin(false, kStudio, &pin), STATUS_SUCCESS);
  EXPECT_EQ(Run(pin), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(device_->CurrentAlternate(streaming_->Render().interfaceNumber), 0) << "the failed start closes the pipes";
  for (const auto& clock : model_->Config().clockSources) model_->SetClockValid(clock.first, true);
  EXPECT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  Close(pin);
}

// The bus has no bandwidth for the alternate: the start fails with the
// stack's status, the interface stays closed, nothing leaks (the fixture's
// checks at unload), and the next start plays.
TEST_F(RenderFaultTest, NoBandwidthForTheAlternateFailsTheStartCleanly) {
  ASSERT_NO_FATAL_FAILURE(StartOn("default"));
  HANDLE pin = nullptr;
  ASSERT_EQ(OpenPin(false, kStudio, &pin), STATUS_SUCCESS);
  const std::vector<uint8_t> client = CountingSignal(kStudio, kStudio.rate / 2);
  ASSERT_EQ(platform::PortPinWrite(pin, client.data(), client.size()), STATUS_SUCCESS);
  device_->FailNextSelection();
  EXPECT_FALSE(NT_SUCCESS(Run(pin)));
  EXPECT_EQ(device_->CurrentAlternate(streaming_->Render().interfaceNumber), 0);
  EXPECT_EQ(device_->PendingDataTransfers(), 0u);
  EXPECT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  const uint64_t before = streaming_->Counters().framesReceived;
  const auto deadline = std::chrono::steady_clock::now() + kStreamTimeout;
  while (streaming_->Counters().framesReceived == before && std::chrono::steady_clock::now() < deadline) {
    device_->Clock().WaitForFramePassed(device_->Clock().NowFrames() + 2, kStreamTimeout);
  }
  EXPECT_GT(streaming_->Counters().framesReceived, before) << "the start after the refused one sends nothing";
  Close(pin);
}

TEST_F(RenderFaultTest, UnpluggedDeviceEndsStreamingWithoutHangOrLeak) {
  for (const char* profile : {"default", "uac2-playback-only", "uac2-implicit"}) {
    SCOPED_TRACE(profile);
    ASSERT_NO_FATAL_FAILURE(StartRender(profile, kStudio, 3.0));
    ASSERT_TRUE(WaitForPlayed(Bytes(0.2)));
    device_->Unplug();
    // The client notices nothing but silence; stopping must still complete.
    Close(pin_);
    // Removal and unload check for leaked threads, IRPs and pool.
    Unplug();
    EXPECT_EQ(platform::OutstandingThreads(), 0u) << platform::DescribeOutstandingThreads();
  }
}

TEST_F(RenderFaultTest, PauseEndsStreamingAndRunResumesInOrder) {
  ASSERT_NO_FATAL_FAILURE(StartRender("default", kStudio, 3.0, {}, true));
  ASSERT_TRUE(WaitForPlayed(Bytes(0.3)));
  const int closesBefore = closes_.Get();
  ASSERT_EQ(SetPinState(pin_, KSSTATE_PAUSE), STATUS_SUCCESS);
  const size_t atPause = PlayedBytes();
  // The queued audio plays out, then the thread ends and closes the pipes.
  ASSERT_TRUE(closes_.WaitFor(closesBefore + 1, kStreamTimeout)) << "a paused stream kept streaming";
  // At most the cyclic buffer (11520 frames here) and the transfers in flight.
  EXPECT_LE(PlayedBytes(), atPause + Bytes(11520.0 / kStudio.rate + 0.05));
  ASSERT_EQ(SetPinState(pin_, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_TRUE(WaitForPlayed(PlayedBytes() + Bytes(0.3))) << "no audio after RUN";
  Close(pin_);
  const std::vector<uint32_t> indices = PlayedIndices(streaming_->PlayedAudio());
  for (size_t i = 1; i < indices.size(); ++i) {
    ASSERT_LT(indices[i - 1], indices[i]) << "frame " << indices[i] << " after " << indices[i - 1];
  }
}

TEST_F(RenderFaultTest, StoppingAtAnyMomentCompletes) {
  std::mt19937 random(7);
  for (const char* profile : {"default", "uac2-implicit", "uac2-playback-only"}) {
    SCOPED_TRACE(profile);
    ASSERT_NO_FATAL_FAILURE(StartOn(profile));
    device_->SetCompletionDelay(std::chrono::milliseconds(3));
    const std::vector<uint8_t> client = CountingSignal(kStudio, kStudio.rate);
    for (int round = 0; round < 6; ++round) {
      HANDLE pin = nullptr;
      ASSERT_EQ(OpenPin(false, kStudio, &pin), STATUS_SUCCESS);
      ASSERT_EQ(platform::PortPinWrite(pin, client.data(), client.size()), STATUS_SUCCESS);
      ASSERT_EQ(Run(pin), STATUS_SUCCESS);
      // Anywhere from before the first transfer to well into streaming.
      const size_t target = std::uniform_int_distribution<size_t>(0, client.size() / 4)(random);
      ASSERT_TRUE(WaitForPlayed(target));
      if (round % 2 == 0) {
        // Pause and run again with transfers in flight.
        ASSERT_EQ(SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
      }
      Close(pin);
    }
  }
}

}  // namespace
}  // namespace drivertest
