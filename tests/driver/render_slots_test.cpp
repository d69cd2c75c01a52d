// Render slots on the running driver: every feedback reading tops the
// pipeline up to "param2" transfers and never beyond, and the tuning values
// decide the transfers' length.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "platform/kernel/registry.h"
#include "tests/driver/streaming_fixture.h"

namespace drivertest {
namespace {

const std::u16string kTuningKey = u"\\Registry\\Machine\\SOFTWARE\\KEL\\Sample Device Performance";
constexpr PcmFormat kFormat{2, 16, 48000};

class RenderSlotsTest : public StreamingTest {
 protected:
  void TearDown() override {
    StreamingTest::TearDown();
    platform::RegistryDeleteKey(kTuningKey);
  }

  // Counts isochronous OUT submissions and IN (feedback) submissions.
  void CountTransfers() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reads_ = writes_ = 0;
      packets_ = 0;
    }
    device_->SetUrbHook([this](PURB urb, NTSTATUS*) {
      if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (urb->UrbIsochronousTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) {
          ++reads_;
        } else {
          ++writes_;
          packets_ = urb->UrbIsochronousTransfer.NumberOfPackets;
        }
        changed_.notify_all();
      }
      return false;
    });
  }

  bool WaitFor(const int& counter, int atLeast) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kStreamTimeout, [&] { return counter >= atLeast; });
  }

  // Holds the render data endpoint's transfers, starts streaming and
  // returns how many render transfers went out while `readings` further
  // feedback readings (each granting param2 slots) completed.
  int RenderTransfersWhileHeld(uint32_t param2, int readings) {
    platform::RegistrySetDword(kTuningKey, u"param2", param2);
    EXPECT_NO_FATAL_FAILURE(StartOn("default"));
    CountTransfers();
    HANDLE pin = nullptr;
    EXPECT_EQ(OpenPin(false, kFormat, &pin), STATUS_SUCCESS);
    const std::vector<uint8_t> client = CountingSignal(kFormat, kFormat.rate);
    EXPECT_EQ(platform::PortPinWrite(pin, client.data(), client.size()), STATUS_SUCCESS);
    device_->HoldTransfers(streaming_->Render().dataEndpoint, true);
    EXPECT_EQ(Run(pin), STATUS_SUCCESS);
    EXPECT_TRUE(WaitFor(writes_, 1));
    int readsNow;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      readsNow = reads_;
    }
    // Feedback reads complete (16 ms each) and grant slots meanwhile.
    EXPECT_TRUE(WaitFor(reads_, readsNow + readings));
    int writes;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      writes = writes_;
    }
    device_->HoldTransfers(streaming_->Render().dataEndpoint, false);
    EXPECT_TRUE(WaitForPlayed(kFormat.rate / 10 * kFormat.FrameBytes())) << "streaming after the hold";
    Close(pin);
    return writes;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  int reads_ = 0;
  int writes_ = 0;
  ULONG packets_ = 0;
};

TEST_F(RenderSlotsTest, FeedbackReadingsKeepExactlyParam2TransfersInFlight) {
  EXPECT_EQ(RenderTransfersWhileHeld(1, 6), 1);
  EXPECT_EQ(RenderTransfersWhileHeld(8, 6), 8);
}

TEST_F(RenderSlotsTest, Param1SetsTheMillisecondsPerTransfer) {
  for (uint32_t param1 : {1u, 5u}) {
    platform::RegistrySetDword(kTuningKey, u"param1", param1);
    ASSERT_NO_FATAL_FAILURE(StartOn("default"));
    CountTransfers();
    HANDLE pin = nullptr;
    ASSERT_EQ(OpenPin(false, kFormat, &pin), STATUS_SUCCESS);
    const std::vector<uint8_t> client = CountingSignal(kFormat, kFormat.rate / 2);
    ASSERT_EQ(platform::PortPinWrite(pin, client.data(), client.size()), STATUS_SUCCESS);
    ASSERT_EQ(Run(pin), STATUS_SUCCESS);
    ASSERT_TRUE(WaitFor(writes_, 3));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      EXPECT_EQ(packets_, param1 * 8) << "high speed: eight packets per millisecond";
    }
    Close(pin);
  }
}

}  // namespace
}  // namespace drivertest
