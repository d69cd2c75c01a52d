// Lifetime and ordering faults of the stream control on the running driver:
// client buffers freed under queued regions, a format change that does not
// wait for a stopping thread, a render start that restarts the running
// capture schedule, an implicit-feedback pin closed and reopened while the
// other plays, and a render completion that runs inside its own submission.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>

#include "platform/kernel/registry.h"
#include "tests/driver/streaming_fixture.h"

namespace drivertest {
namespace {

const std::u16string kTuningKey = u"\\Registry\\Machine\\SOFTWARE\\KEL\\Sample Device Performance";
constexpr PcmFormat kFormat{2, 16, 48000};

class StreamLifetimeStreamingTest : public StreamingTest {
 protected:
  void TearDown() override {
    StreamingTest::TearDown();
    platform::RegistryDeleteKey(kTuningKey);
  }

  NTSTATUS SetPinFormat(HANDLE pin, const PcmFormat& format) {
    std::vector<UCHAR> connect = ks_requests::PcmPinConnect(0, format.channels, format.bits, format.rate);
    // The data format follows the KSPIN_CONNECT.
    const size_t offset = sizeof(KSPIN_CONNECT);
    const KSPROPERTY property =
        ks_requests::Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_SET);
    ULONG n = 0;
    return platform::KsProperty(pin, &property, sizeof property, connect.data() + offset,
                                static_cast<ULONG>(connect.size() - offset), &n);
  }

  static size_t Ms(size_t milliseconds) { return kFormat.rate / 1000 * milliseconds * kFormat.FrameBytes(); }
};

// ---- Format changes and the cyclic buffer ------------------------------------------

TEST_F(StreamLifetimeStreamingTest, AFormatChangeDropsTheRegionsQueuedInTheOldBuffer) {
  ASSERT_NO_FATAL_FAILURE(StartOn("default"));
  HANDLE pin = nullptr;
  ASSERT_EQ(OpenPin(false, kFormat, &pin), STATUS_SUCCESS);
  ASSERT_EQ(SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  const std::vector<uint8_t> early = CountingSignal(kFormat, kFormat.rate / 10);
  ASSERT_EQ(platform::PortPinWrite(pin, early.data(), early.size()), STATUS_SUCCESS);
  // Reaching PAUSE copies the client's audio into the cyclic buffer and
  // queues its regions for the render pump.
  ASSERT_EQ(SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  platform::PortPinInfo info;
  ASSERT_EQ(platform::PortPinInfoOf(pin, &info), STATUS_SUCCESS);
  ASSERT_GT(info.bytesToBuffer, 0u);
  // A new format gets a new buffer; the regions queued in the old one must
  // not be played from freed memory.
  const PcmFormat other{2, 16, 44100};
  ASSERT_EQ(SetPinFormat(pin, other), STATUS_SUCCESS);
  const std::vector<uint8_t> later(other.rate * other.FrameBytes() / 2, 0x11);
  ASSERT_EQ(platform::PortPinWrite(pin, later.data(), later.size()), STATUS_SUCCESS);
  ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_TRUE(WaitForPlayed(other.rate / 10 * other.FrameBytes())) << "nothing played after the format change";
  Close(pin);
  // The device played the new client audio, or silence, nothing else.
  const std::vector<uint8_t> played = streaming_->PlayedAudio();
  const size_t foreign = static_cast<size_t>(
      std::count_if(played.begin(), played.end(), [](uint8_t b) { return b != 0x11 && b != 0; }));
  EXPECT_EQ(foreign, 0u) << "audio of the old buffer reached the device";
}

TEST_F(StreamLifetimeStreamingTest, AFormatSetWaitsForTheThreadStillStopping) {
  ASSERT_NO_FATAL_FAILURE(StartOn("default"));
  HANDLE pin = nullptr;
  ASSERT_EQ(OpenPin(false, kFormat, &pin), STATUS_SUCCESS);
  const std::vector<uint8_t> client = CountingSignal(kFormat, kFormat.rate);
  ASSERT_EQ(platform::PortPinWrite(pin, client.data(), client.size()), STATUS_SUCCESS);
  ASSERT_EQ(Run(pin), STATUS_SUCCESS);
  ASSERT_TRUE(WaitForPlayed(Ms(50)));
  // With its transfers held the render thread cannot end after PAUSE, and
  // its pump still holds regions of the buffer.
  const uint8_t endpoint = streaming_->Render().dataEndpoint;
  device_->HoldTransfers(endpoint, true);
  ASSERT_EQ(SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  auto formatSet = std::async(std::launch::async, [&] { return SetPinFormat(pin, kFormat); });
  // Before the fix the same-format set returned at once and the stream freed
  // its buffer under the pump; now it waits for the thread.
  const bool returnedEarly = formatSet.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
  device_->HoldTransfers(endpoint, false);
  EXPECT_FALSE(returnedEarly) << "the format set returned while the render thread still ran";
  EXPECT_EQ(formatSet.get(), STATUS_SUCCESS);
  // The stream runs again on the same format.
  const size_t before = PlayedBytes();
  const std::vector<uint8_t> more = CountingSignal(kFormat, kFormat.rate / 2);
  ASSERT_EQ(platform::PortPinWrite(pin, more.data(), more.size()), STATUS_SUCCESS);
  ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_TRUE(WaitForPlayed(before + Ms(100)));
  Close(pin);
}

// ---- Full duplex: the capture schedule --------------------------------------------

TEST_F(StreamLifetimeStreamingTest, StartingRenderLeavesTheRunningCaptureScheduleAlone) {
  // Twenty receives of one frame in flight run about twenty frames ahead: a
  // schedule started again seven frames ahead lands on frames they hold.
  platform::RegistrySetDword(kTuningKey, u"param4", 20);
  ASSERT_NO_FATAL_FAILURE(StartOn("default"));
  struct Receive {
    ULONG start;
    ULONG packets;
  };
  std::mutex mutex;
  std::vector<Receive> receives;
  device_->SetUrbHook([&](PURB urb, NTSTATUS*) {
    const auto& iso = urb->UrbIsochronousTransfer;
    if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER && (iso.TransferFlags & USBD_TRANSFER_DIRECTION_IN) &&
        (iso.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) == 0) {
      std::lock_guard<std::mutex> lock(mutex);
      receives.push_back({iso.StartFrame, iso.NumberOfPackets});
    }
    return false;
  });
  HANDLE capture = nullptr;
  ASSERT_EQ(OpenPin(true, kFormat, &capture), STATUS_SUCCESS);
  ASSERT_EQ(Run(capture), STATUS_SUCCESS);
  std::vector<uint8_t> recorded = Record(capture, Ms(100));
  // Render starts while receives are in flight.
  HANDLE render = nullptr;
  ASSERT_EQ(OpenPin(false, kFormat, &render), STATUS_SUCCESS);
  const std::vector<uint8_t> client = CountingSignal(kFormat, kFormat.rate / 2);
  ASSERT_EQ(platform::PortPinWrite(render, client.data(), client.size()), STATUS_SUCCESS);
  ASSERT_EQ(Run(render), STATUS_SUCCESS);
  const std::vector<uint8_t> more = Record(capture, Ms(200));
  recorded.insert(recorded.end(), more.begin(), more.end());
  EXPECT_TRUE(WaitForPlayed(Ms(100)));
  Close(render);
  Close(capture);

  std::lock_guard<std::mutex> lock(mutex);
  // High speed: eight packets per 1 ms frame, the unit of the start frame.
  std::map<ULONG, int> covered;
  for (const Receive& r : receives) {
    for (ULONG f = 0; f < (r.packets + 7) / 8; ++f) covered[r.start + f]++;
  }
  size_t twice = 0;
  for (const auto& [frame, count] : covered) twice += count > 1 ? 1 : 0;
  EXPECT_EQ(twice, 0u) << "frames received by two transfers";
  EXPECT_EQ(FirstBreakInRamp(recorded, 16), recorded.size() / 2) << "the recording repeats or skips frames";
}

// ---- Implicit feedback: a pin closing and reopening --------------------------------

TEST_F(StreamLifetimeStreamingTest, AnImplicitPinClosedWhileTheOtherPlaysRejoins) {
  for (const bool closeRender : {false, true}) {
    SCOPED_TRACE(closeRender ? "render closed and reopened" : "capture closed and reopened");
    ASSERT_NO_FATAL_FAILURE(StartOn("uac2-implicit"));
    HANDLE render = nullptr;
    HANDLE capture = nullptr;
    ASSERT_EQ(OpenPin(false, kFormat, &render), STATUS_SUCCESS);
    ASSERT_EQ(OpenPin(true, kFormat, &capture), STATUS_SUCCESS);
    const std::vector<uint8_t> client = CountingSignal(kFormat, kFormat.rate);
    ASSERT_EQ(platform::PortPinWrite(render, client.data(), client.size()), STATUS_SUCCESS);
    ASSERT_EQ(Run(capture), STATUS_SUCCESS);
    ASSERT_EQ(Run(render), STATUS_SUCCESS);
    ASSERT_GT(Record(capture, Ms(50)).size(), 0u);
    ASSERT_TRUE(WaitForPlayed(Ms(50)));

    if (closeRender) {
      Close(render);
      // Capture goes on recording while render is closed.
      const std::vector<uint8_t> alone = Record(capture, Ms(100));
      EXPECT_GE(alone.size(), Ms(100)) << "capture stopped with render";
      EXPECT_EQ(FirstBreakInRamp(alone, 16), alone.size() / 2);
      ASSERT_EQ(OpenPin(false, kFormat, &render), STATUS_SUCCESS) << "the closed render pin cannot be reopened";
      const size_t before = PlayedBytes();
      const std::vector<uint8_t> again = CountingSignal(kFormat, kFormat.rate / 2);
      ASSERT_EQ(platform::PortPinWrite(render, again.data(), again.size()), STATUS_SUCCESS);
      ASSERT_EQ(Run(render), STATUS_SUCCESS);
      EXPECT_TRUE(WaitForPlayed(before + Ms(100))) << "the reopened render pin does not play";
    } else {
      Close(capture);
      // Render goes on playing, still paced by the capture endpoint.
      const size_t before = PlayedBytes();
      EXPECT_TRUE(WaitForPlayed(before + Ms(100))) << "render stopped with capture";
      ASSERT_EQ(OpenPin(true, kFormat, &capture), STATUS_SUCCESS) << "the closed capture pin cannot be reopened";
      ASSERT_EQ(Run(capture), STATUS_SUCCESS);
      const std::vector<uint8_t> recorded = Record(capture, Ms(100));
      EXPECT_GE(recorded.size(), Ms(100)) << "the reopened capture pin records nothing";
      EXPECT_EQ(FirstBreakInRamp(recorded, 16), recorded.size() / 2);
      const size_t rejoined = PlayedBytes();
      EXPECT_TRUE(WaitForPlayed(rejoined + Ms(100))) << "render stopped when capture rejoined";
    }
    Close(render);
    Close(capture);
    EXPECT_EQ(device_->CurrentAlternate(streaming_->Render().interfaceNumber), 0);
    EXPECT_EQ(device_->CurrentAlternate(streaming_->Capture().interfaceNumber), 0);
  }
}

// ---- A render completion inside its own submission ------------------------------------

// The render pump submits under its lock; a transfer the bus fails at once
// completes inside that submission. When no work item can be had then, the
// completion must hand the request back without taking the pump's lock
// again (on Windows a hang, here the verifier's recursion bug check). Run
// in a child process with an alarm, so neither ends the suite.
TEST_F(StreamLifetimeStreamingTest, AnInlineRenderCompletionWithoutAWorkItemDoesNotDeadlock) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto scenario = [this] {
    alarm(60);
    // One render transfer in flight: the work item that fails is this one's.
    platform::RegistrySetDword(kTuningKey, u"param2", 1);
    StartOn("default");
    if (HasFatalFailure()) _exit(2);
    device_->SetCompletionMode(sim::CompletionMode::Synchronous);
    std::mutex mutex;
    std::condition_variable changed;
    int state = 0;  // 1 armed, 2 fired
    device_->SetUrbHook([&](PURB urb, NTSTATUS* irpStatus) {
      if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER ||
          (urb->UrbIsochronousTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) {
        return false;
      }
      std::lock_guard<std::mutex> lock(mutex);
      if (state != 1) return false;
      state = 2;
      changed.notify_all();
      platform::FailPoolAllocation(platform::PoolTag("IoWk"), 0);
      urb->UrbHeader.Status = USBD_STATUS_ISOCH_REQUEST_FAILED;
      *irpStatus = STATUS_UNSUCCESSFUL;
      return true;
    });
    HANDLE pin = nullptr;
    EXPECT_EQ(OpenPin(false, kFormat, &pin), STATUS_SUCCESS);
    const std::vector<uint8_t> client = CountingSignal(kFormat, kFormat.rate * 2);
    EXPECT_EQ(platform::PortPinWrite(pin, client.data(), client.size()), STATUS_SUCCESS);
    EXPECT_EQ(Run(pin), STATUS_SUCCESS);
    EXPECT_TRUE(WaitForPlayed(Ms(50)));
    {
      std::unique_lock<std::mutex> lock(mutex);
      state = 1;
      EXPECT_TRUE(changed.wait_for(lock, kStreamTimeout, [&] { return state == 2; }));
    }
    // The failure restarts the pipe and the stream goes on.
    const size_t before = PlayedBytes();
    EXPECT_TRUE(WaitForPlayed(before + Ms(200))) << "render did not recover";
    Close(pin);
    device_->SetUrbHook(nullptr);
    Unplug();
    _exit(HasFailure() ? 1 : 0);
  };
  EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace drivertest
