// Render transfers sized beyond the transfer buffer: with implicit feedback
// the capture side may ask for frames beyond what the render endpoint's
// packets hold. The pump must send what fits, in whole frames, rather than
// refusing the request on every run and playing nothing from then on.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "tests/driver/streaming_fixture.h"

namespace drivertest {
namespace {

constexpr PcmFormat kFormat{2, 16, 48000};

class RenderSizingStreamingTest : public StreamingTest {
 protected:
  // The implicit-feedback device with render packets that hold exactly the
  // nominal 6 frames of 48 kHz (its capture packets keep room for more).
  void StartOnTightRenderEndpoint(const sim::StreamingOptions& options) {
    Unplug();
    sim::DeviceProfile p;
    ASSERT_TRUE(sim::MakeProfile("uac2-implicit", p));
    std::vector<uint8_t>& c = p.descriptors.configuration;
    for (size_t i = 0; i + 6 < c.size() && c[i] != 0; i += c[i]) {
      if (c[i + 1] == 0x05 && c[i + 2] == 0x01) {
        const uint32_t maxPacket = c[i + 4] | (c[i + 5] << 8);
        const uint32_t tight = maxPacket / 49 * 6;  // sized for 49 frames at 384 kHz
        c[i + 4] = static_cast<uint8_t>(tight);
        c[i + 5] = static_cast<uint8_t>(tight >> 8);
      }
    }
    descriptors_ = p.descriptors;
    model_ = std::make_unique<sim::AudioFunctionModel>(p.descriptors, p.audio);
    device_ = std::make_unique<sim::SimUsbDevice>(p.descriptors, model_.get());
    hub_ = std::make_unique<sim::HubPort>(device_->Pdo(), 0x1FA7, 0x4D04, 0x0100, 0);
    pnp_ = std::make_unique<platform::PnpManager>();
    AttachStreaming(options);
    ASSERT_EQ(LoadAddStart(), STATUS_SUCCESS);
    filter_ = OpenFilter();
    ASSERT_NE(filter_, nullptr);
  }
};

TEST_F(RenderSizingStreamingTest, AnOversizedRenderTransferIsClampedToTheBufferInWholeFrames) {
  // A fast device clock: capture packets of 7 frames now and then raise the
  // credit, and a render transfer with an extra frame no longer fits.
  sim::StreamingOptions options;
  options.ppm = 500;
  ASSERT_NO_FATAL_FAILURE(StartOnTightRenderEndpoint(options));
  std::mutex mutex;
  ULONG largest = 0;
  ULONG unaligned = 0;
  device_->SetUrbHook([&](PURB urb, NTSTATUS*) {
    const auto& iso = urb->UrbIsochronousTransfer;
    if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER &&
        (iso.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0) {
      std::lock_guard<std::mutex> lock(mutex);
      largest = std::max(largest, iso.TransferBufferLength);
      if (iso.TransferBufferLength % kFormat.FrameBytes() != 0) ++unaligned;
    }
    return false;
  });
  HANDLE pin = nullptr;
  ASSERT_EQ(OpenPin(false, kFormat, &pin), STATUS_SUCCESS);
  const std::vector<uint8_t> client = CountingSignal(kFormat, kFormat.rate);
  ASSERT_EQ(platform::PortPinWrite(pin, client.data(), client.size()), STATUS_SUCCESS);
  ASSERT_EQ(Run(pin), STATUS_SUCCESS);
  // Half a second holds hundreds of transfers that wanted an extra frame.
  const size_t wanted = client.size() / 2;
  ASSERT_TRUE(WaitForPlayed(wanted)) << "the device played " << PlayedBytes() << " bytes";
  Close(pin);
  const std::vector<uint8_t> played = streaming_->PlayedAudio();
  ASSERT_GE(played.size(), wanted);
  EXPECT_TRUE(std::equal(played.begin(), played.begin() + wanted, client.begin()));
  std::lock_guard<std::mutex> lock(mutex);
  // param1 (4 ms) of 8 packets of 6 frames.
  EXPECT_EQ(largest, 4u * 8u * 6u * kFormat.FrameBytes());
  EXPECT_EQ(unaligned, 0u);
}

}  // namespace
}  // namespace drivertest
