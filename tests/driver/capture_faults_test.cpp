// Capture faults on the simulated bus: receives that fail on the bus must
// not end capture (the chains start again and the client keeps receiving
// the device's signal), and a device that is gone ends capture without a
// hang, a spinning thread or a leak.
#include <gtest/gtest.h>

#include "tests/driver/streaming_fixture.h"

namespace drivertest {
namespace {

constexpr PcmFormat kStudio{2, 16, 48000};

class CaptureFaultStreamingTest : public StreamingTest {
 protected:
  // Reads until `bytes` more recorded bytes arrived or `timeout` passed,
  // waiting for the port's service passes.
  void Record(HANDLE pin, size_t bytes, std::chrono::milliseconds timeout = kStreamTimeout) {
    const size_t target = recorded_.size() + bytes;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (recorded_.size() < target && std::chrono::steady_clock::now() < deadline) {
      platform::PortPinInfo info;
      if (!NT_SUCCESS(platform::PortPinInfoOf(pin, &info))) break;
      std::vector<uint8_t> chunk(65536);
      size_t read = 0;
      ASSERT_EQ(platform::PortPinRead(pin, chunk.data(), chunk.size(), &read), STATUS_SUCCESS);
      recorded_.insert(recorded_.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(read));
      if (read == 0) platform::PortPinWaitForService(pin, info.services, 200);
    }
  }

  // Sample indices (16-bit samples) where the device's ramp does not continue.
  std::vector<size_t> RampBreaks() const {
    std::vector<size_t> breaks;
    for (size_t i = 2; i + 2 <= recorded_.size(); i += 2) {
      const uint16_t previous = static_cast<uint16_t>(recorded_[i - 2] | (recorded_[i - 1] << 8));
      const uint16_t value = static_cast<uint16_t>(recorded_[i] | (recorded_[i + 1] << 8));
      if (value != static_cast<uint16_t>(previous + 1)) breaks.push_back(i / 2);
    }
    return breaks;
  }

  size_t Bytes(double seconds) const { return static_cast<size_t>(kStudio.rate * seconds) * kStudio.FrameBytes(); }

  std::vector<uint8_t> recorded_;
};

TEST_F(CaptureFaultStreamingTest, FailedReceivesAreStartedAgainAndCaptureGoesOn) {
  ASSERT_NO_FATAL_FAILURE(StartOn("default"));
  HANDLE pin = nullptr;
  ASSERT_EQ(OpenPin(true, kStudio, &pin), STATUS_SUCCESS);
  ASSERT_EQ(Run(pin), STATUS_SUCCESS);
  ASSERT_NO_FATAL_FAILURE(Record(pin, Bytes(0.2)));
  ASSERT_GE(recorded_.size(), Bytes(0.2));
  ASSERT_TRUE(RampBreaks().empty());
  const size_t beforeFault = recorded_.size();

  device_->FailNextTransfers(streaming_->Capture().dataEndpoint, 3);
  ASSERT_NO_FATAL_FAILURE(Record(pin, Bytes(0.5), std::chrono::seconds(5)));
  Close(pin);
  ASSERT_GE(recorded_.size(), beforeFault + Bytes(0.5)) << "capture ended with the failed receives";
  // The failed receives' frames are missing (a gap in the ramp for each at
  // most); everything after them is the device's signal in order.
  const std::vector<size_t> breaks = RampBreaks();
  EXPECT_LE(breaks.size(), 3u);
  if (!breaks.empty()) {
    EXPECT_GE(breaks.front() * 2, beforeFault - Bytes(0.05)) << "a gap before the fault";
    EXPECT_GE(recorded_.size() - breaks.back() * 2, Bytes(0.3)) << "the signal did not continue after the gaps";
  }
  EXPECT_EQ(device_->CurrentAlternate(streaming_->Capture().interfaceNumber), 0);
}

TEST_F(CaptureFaultStreamingTest, DeviceGoneEndsCaptureWithoutHangOrLeak) {
  for (const char* profile : {"default", "uac2-implicit"}) {
    SCOPED_TRACE(profile);
    recorded_.clear();
    ASSERT_NO_FATAL_FAILURE(StartOn(profile));
    HANDLE pin = nullptr;
    ASSERT_EQ(OpenPin(true, kStudio, &pin), STATUS_SUCCESS);
    ASSERT_EQ(Run(pin), STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(Record(pin, Bytes(0.2)));
    ASSERT_GE(recorded_.size(), Bytes(0.2));
    device_->Unplug();
    // Receives now fail with the device gone; the client sees no more data,
    // and stopping and closing must still complete.
    Close(pin);
    // Removal and unload check for leaked threads, IRPs and pool.
    Unplug();
    EXPECT_EQ(platform::OutstandingThreads(), 0u) << platform::DescribeOutstandingThreads();
  }
}

}  // namespace
}  // namespace drivertest
