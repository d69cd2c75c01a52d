// Pool allocations failing while streaming: steady streaming allocates
// nothing, but a render restart after a failed transfer and capture chains started
// again after failed receives take fresh requests and buffers. Whatever
// fails, the driver must go on or stop cleanly: no bugcheck, no hang, and
// nothing left behind when the client closes and the device goes.
#include <gtest/gtest.h>

#include "platform/kernel/verifier.h"
#include "tests/driver/streaming_fixture.h"
#include "tests/support/waitable_count.h"

namespace drivertest {
namespace {

constexpr PcmFormat kStudio{2, 16, 48000};

class AllocationFaultStreamingTest : public StreamingTest {
 protected:
  void CountPipeResets() {
    device_->SetUrbHook([this](PURB urb, NTSTATUS*) {
      if (urb->UrbHeader.Function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) resets_.Add();
      return false;
    });
  }

  // Every pool allocation of any tag fails for the next `count` allocations.
  static void FailAllocations(long count) {
    for (long nth = 0; nth < count; ++nth) platform::FailPoolAllocation(0, nth);
  }

  static size_t Bytes(double seconds) { return static_cast<size_t>(kStudio.rate * seconds) * kStudio.FrameBytes(); }

  void CloseAndRemove(HANDLE pin) {
    Close(pin);
    // Removal and unload bug-check on leaked pool, IRPs, threads or work items.
    Unplug();
    EXPECT_EQ(platform::OutstandingThreads(), 0u) << platform::DescribeOutstandingThreads();
  }

  WaitableCount resets_;
};

TEST_F(AllocationFaultStreamingTest, RenderRestartWithoutMemoryGoesOnOrStopsCleanly) {
  for (long failures : {1L, 4L, 64L}) {
    SCOPED_TRACE(std::to_string(failures) + " failing allocations");
    ASSERT_NO_FATAL_FAILURE(StartOn("default"));
    CountPipeResets();
    HANDLE pin = nullptr;
    ASSERT_EQ(OpenPin(false, kStudio, &pin), STATUS_SUCCESS);
    const std::vector<uint8_t> client = CountingSignal(kStudio, kStudio.rate * 3);
    ASSERT_EQ(platform::PortPinWrite(pin, client.data(), client.size()), STATUS_SUCCESS);
    ASSERT_EQ(Run(pin), STATUS_SUCCESS);
    ASSERT_TRUE(WaitForPlayed(Bytes(0.2)));

    // A failed transfer makes the driver restart render, which allocates.
    const int resetsBefore = resets_.Get();
    FailAllocations(failures);
    device_->FailNextTransfers(streaming_->Render().dataEndpoint, 1);
    ASSERT_TRUE(resets_.WaitFor(resetsBefore + 1, kStreamTimeout)) << "the failed transfer never restarted render";
    platform::ResetFaultInjection();
    // Either render goes on, or it has stopped; the client can still stop and close.
    streaming_->WaitForPlayedBytes(PlayedBytes() + Bytes(0.1), std::chrono::seconds(2));
    ASSERT_NO_FATAL_FAILURE(CloseAndRemove(pin));
  }
}

TEST_F(AllocationFaultStreamingTest, RenderStartWithoutMemoryStreamsOrFailsCleanly) {
  // One failing allocation at each position from RUN on: the thread, the
  // requests, their buffers and MDLs, the feedback reads, work items.
  const std::vector<uint8_t> client = CountingSignal(kStudio, kStudio.rate / 2);
  for (long nth = 0; nth < 12; ++nth) {
    SCOPED_TRACE("allocation " + std::to_string(nth) + " fails");
    ASSERT_NO_FATAL_FAILURE(StartOn("default"));
    HANDLE pin = nullptr;
    ASSERT_EQ(OpenPin(false, kStudio, &pin), STATUS_SUCCESS);
    ASSERT_EQ(platform::PortPinWrite(pin, client.data(), client.size()), STATUS_SUCCESS);
    platform::FailPoolAllocation(0, nth);
    Run(pin);  // may fail
    streaming_->WaitForPlayedBytes(Bytes(0.1), std::chrono::seconds(1));
    platform::ResetFaultInjection();
    ASSERT_NO_FATAL_FAILURE(CloseAndRemove(pin));
  }
}

TEST_F(AllocationFaultStreamingTest, CaptureChainsWithoutMemoryGoOnOrStopCleanly) {
  for (long failures : {1L, 4L, 64L}) {
    SCOPED_TRACE(std::to_string(failures) + " failing allocations");
    ASSERT_NO_FATAL_FAILURE(StartOn("default"));
    HANDLE pin = nullptr;
    ASSERT_EQ(OpenPin(true, kStudio, &pin), STATUS_SUCCESS);
    ASSERT_EQ(Run(pin), STATUS_SUCCESS);
    platform::PortPinInfo info{};
    ASSERT_EQ(platform::PortPinInfoOf(pin, &info), STATUS_SUCCESS);
    // Wait for the capture to deliver, then fail receives so chains start again.
    ASSERT_EQ(platform::PortPinWaitForService(pin, info.services, 10000), STATUS_SUCCESS);
    FailAllocations(failures);
    device_->FailNextTransfers(streaming_->Capture().dataEndpoint, 4);
    // Let the failures play out: the capture thread backs off and starts
    // chains again, some of them without memory.
    for (int pass = 0; pass < 20; ++pass) {
      ASSERT_EQ(platform::PortPinInfoOf(pin, &info), STATUS_SUCCESS);
      platform::PortPinWaitForService(pin, info.services, 50);
    }
    platform::ResetFaultInjection();
    ASSERT_NO_FATAL_FAILURE(CloseAndRemove(pin));
  }
}

}  // namespace
}  // namespace drivertest
