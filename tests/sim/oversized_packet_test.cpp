// A packet beyond an endpoint's wMaxPacketSize is a bus error, never data:
// an OUT transfer carrying one is refused, an IN packet the device sends
// past it fails as babble, and the bus counts both for the tools to report.
#include <gtest/gtest.h>

#include "tests/sim/iso_bus_fixture.h"

namespace simtest {
namespace {

constexpr uint8_t kRenderInterface = 1;
constexpr uint8_t kRenderEndpoint = 0x01;
constexpr uint8_t kSynchEndpoint = 0x81;

class OversizedPacketTest : public IsoBusTest {};

TEST_F(OversizedPacketTest, OutPacketsBeyondTheMaximumAreRefusedAndCounted) {
  Start("uac1-fs");
  const auto pipes = SelectAlternate(kRenderInterface, 1);
  const USBD_PIPE_HANDLE out = PipeOf(pipes, kRenderEndpoint);
  ULONG maxPacket = 0;
  for (const auto& p : pipes)
    if (p.EndpointAddress == kRenderEndpoint) maxPacket = p.MaximumPacketSize;
  ASSERT_NE(maxPacket, 0u);
  UrbRequest fits(IsoUrbBytes(2));
  BuildIso(fits, out, USBD_START_ISO_TRANSFER_ASAP, 0, {maxPacket, maxPacket});
  EXPECT_EQ(Call(fits), STATUS_SUCCESS);
  EXPECT_EQ(device_->DataTransferCounters().oversizedPackets, 0u);
  UrbRequest big(IsoUrbBytes(2));
  BuildIso(big, out, USBD_START_ISO_TRANSFER_ASAP, 0, {maxPacket, maxPacket + 4});
  EXPECT_EQ(Call(big), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(big.Urb()->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(device_->DataTransferCounters().oversizedPackets, 1u);
}

TEST_F(OversizedPacketTest, FeedbackBeyondTheSynchEndpointsMaximumIsBabble) {
  // A 4-byte value from a synch endpoint that declares 3 bytes.
  sim::StreamingOptions options;
  options.feedbackLayout = sim::FeedbackLayout::Fixed16_16;
  Start("uac1-fs", nullptr, options);
  const auto pipes = SelectAlternate(kRenderInterface, 1);
  UrbRequest read(IsoUrbBytes(4));
  // The host leaves the endpoint's maximum; the device sends more.
  BuildIso(read, PipeOf(pipes, kSynchEndpoint), USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP, 0,
           std::vector<ULONG>(4, 3));
  Call(read);  // every packet failed: the transfer fails as a whole
  const auto& iso = read.Urb()->UrbIsochronousTransfer;
  for (ULONG i = 0; i < 4; ++i) {
    EXPECT_EQ(iso.IsoPacket[i].Status, USBD_STATUS_DATA_OVERRUN) << i;
    EXPECT_EQ(iso.IsoPacket[i].Length, 0u) << i;
  }
  EXPECT_EQ(device_->DataTransferCounters().oversizedPackets, 4u);
}

}  // namespace
}  // namespace simtest
