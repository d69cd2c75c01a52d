// Pipe operations and injected faults on the simulated bus's data path:
// abort, iso errors and reset, alternate changes, removal, failing, held and late
// transfers, an invalid clock and bad feedback, malformed URBs.
#include "tests/sim/iso_bus_fixture.h"

namespace simtest {
namespace {

constexpr uint8_t kRenderInterface = 1;
constexpr uint8_t kCaptureInterface = 2;
constexpr uint8_t kRenderEndpoint = 0x01;
constexpr uint8_t kFeedbackEndpoint = 0x81;
constexpr uint8_t kCaptureEndpoint = 0x82;
// Packets of a transfer that stays pending long enough for the test to act on it.
constexpr ULONG kLong = 400;

// 48 kHz, 16-bit stereo: 24 bytes per microframe.
void BuildOut(UrbRequest& r, USBD_PIPE_HANDLE pipe, ULONG packets) {
  BuildIso(r, pipe, USBD_START_ISO_TRANSFER_ASAP, 0, std::vector<ULONG>(packets, 24));
}

void BuildFeedbackRead(UrbRequest& r, USBD_PIPE_HANDLE pipe, ULONG packets = 4) {
  BuildIso(r, pipe, USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP, 0, std::vector<ULONG>(packets, 4));
}

class IsoFaultTest : public DefaultRenderBusTest {};

TEST_F(IsoFaultTest, AbortCompletesPendingTransfersAsCancelledBeforeItReturns) {
  UrbRequest transfers[3] = {UrbRequest(IsoUrbBytes(kLong)), UrbRequest(IsoUrbBytes(kLong)),
                            UrbRequest(IsoUrbBytes(kLong))};
  for (auto& t : transfers) {
    BuildOut(t, out_, kLong);
    t.Send(Pdo());
  }
  UrbRequest read(IsoUrbBytes(16));
  BuildFeedbackRead(read, feedback_, 16);
  read.Send(Pdo());
  EXPECT_EQ(device_->PendingDataTransfers(), 4u);

  ASSERT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, out_), STATUS_SUCCESS);
  const uint64_t atAbort = streaming_->Counters().framesReceived;
  EXPECT_LT(atAbort, 3u * kLong * 6u) << "the abort came too late to cut anything";
  for (auto& t : transfers) {
    ASSERT_TRUE(t.Done()) << "abort returned with a transfer still pending";
    EXPECT_EQ(t.Status(), STATUS_CANCELLED);
    EXPECT_EQ(t.Urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(t.CompletionIrql(), DISPATCH_LEVEL);
  }
  EXPECT_FALSE(read.Done()) << "abort of one pipe cancelled another's transfer";
  ASSERT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, feedback_), STATUS_SUCCESS);
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Status(), STATUS_CANCELLED);
  EXPECT_EQ(device_->DataTransferCounters().cancelled, 4u);

  // After a reset the pipe streams again from the next frame.
  ASSERT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, out_), STATUS_SUCCESS);
  UrbRequest again(IsoUrbBytes(8));
  BuildOut(again, out_, 8);
  EXPECT_EQ(Call(again), STATUS_SUCCESS);
  EXPECT_EQ(again.Urb()->UrbHeader.Status, USBD_STATUS_SUCCESS);
  // Nothing of the cancelled transfers arrives after the abort.
  EXPECT_EQ(streaming_->Counters().framesReceived, atAbort + 48u);
}

// An isochronous endpoint cannot stall: its troubles are packet errors, and
// a transfer with none of its packets through fails as a whole.
TEST_F(IsoFaultTest, IsoErrorsFailATransferAndAlternateChangeClosesPipes) {
  UrbRequest pending(IsoUrbBytes(kLong));
  BuildOut(pending, out_, kLong);
  device_->FailNextPackets(kRenderEndpoint, kLong, USBD_STATUS_XACT_ERROR);
  pending.Send(Pdo());
  device_->StallEndpoint(kRenderEndpoint);
  EXPECT_FALSE(device_->IsEndpointStalled(kRenderEndpoint));
  ASSERT_TRUE(pending.Wait());
  EXPECT_EQ(pending.Status(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(pending.Urb()->UrbHeader.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
  EXPECT_EQ(pending.Urb()->UrbIsochronousTransfer.ErrorCount, kLong);

  ASSERT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, out_), STATUS_SUCCESS);
  UrbRequest ok(IsoUrbBytes(8));
  BuildOut(ok, out_, 8);
  EXPECT_EQ(Call(ok), STATUS_SUCCESS);

  // Alternate 0 has no endpoints: once what was pending is aborted, the
  // selection closes the pipe and the handle is dead.
  UrbRequest cut(IsoUrbBytes(kLong));
  BuildOut(cut, out_, kLong);
  cut.Send(Pdo());
  ASSERT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, out_), STATUS_SUCCESS);
  ASSERT_TRUE(cut.Done());
  EXPECT_EQ(cut.Status(), STATUS_CANCELLED);
  SelectAlternate(kRenderInterface, 0);
  EXPECT_FALSE(streaming_->Render().active);
  UrbRequest dead(IsoUrbBytes(8));
  BuildOut(dead, out_, 8);
  EXPECT_EQ(Call(dead), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(dead.Urb()->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(IsoFaultTest, UnplugFailsPendingAndNewRequestsWithoutHanging) {
  UrbRequest out(IsoUrbBytes(kLong));
  BuildOut(out, out_, kLong);
  out.Send(Pdo());
  UrbRequest read(IsoUrbBytes(16));
  BuildFeedbackRead(read, feedback_, 16);
  device_->HoldTransfers(kFeedbackEndpoint, true);  // even a stuck read must come back
  read.Send(Pdo());

  device_->Unplug();
  for (UrbRequest* r : {&out, &read}) {
    ASSERT_TRUE(r->Done());
    EXPECT_EQ(r->Status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(r->Urb()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  }
  UrbRequest after(IsoUrbBytes(8));
  BuildOut(after, out_, 8);
  EXPECT_EQ(Call(after), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(after.Urb()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  // Control requests too.
  EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, out_), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(device_->PendingDataTransfers(), 0u);
}

TEST_F(IsoFaultTest, FailedHeldAndLateTransfers) {
  // A failing transfer moves no data and reports every packet.
  device_->FailNextTransfers(kRenderEndpoint, 1);
  UrbRequest failed(IsoUrbBytes(8));
  BuildOut(failed, out_, 8);
  EXPECT_EQ(Call(failed), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(failed.Urb()->UrbHeader.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
  EXPECT_EQ(failed.Urb()->UrbIsochronousTransfer.ErrorCount, 8u);
  // The pipe ran dry meanwhile: reset, the next one starts afresh.
  ASSERT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, out_), STATUS_SUCCESS);
  UrbRequest next(IsoUrbBytes(8));
  BuildOut(next, out_, 8);
  EXPECT_EQ(Call(next), STATUS_SUCCESS);
  EXPECT_EQ(streaming_->Counters().framesReceived, 48u);

  // A held read outlives its frames until it is aborted.
  device_->HoldTransfers(kFeedbackEndpoint, true);
  UrbRequest held(IsoUrbBytes(4));
  BuildFeedbackRead(held, feedback_);
  held.Send(Pdo());
  const uint64_t end = device_->Clock().FrameFromNumber(held.Urb()->UrbIsochronousTransfer.StartFrame) + 4;
  // The bus, not only the clock, has gone past its frames.
  ASSERT_TRUE(device_->WaitForFrameServed(end + 5, kTimeout));
  EXPECT_FALSE(held.Done());
  ASSERT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, feedback_), STATUS_SUCCESS);
  EXPECT_EQ(held.Status(), STATUS_CANCELLED);
  device_->HoldTransfers(kFeedbackEndpoint, false);

  // Delayed completions arrive that much after their last frame (the pipe
  // ran dry meanwhile: reset, it starts afresh).
  ASSERT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, out_), STATUS_SUCCESS);
  device_->SetCompletionDelay(std::chrono::milliseconds(20));
  UrbRequest delayed(IsoUrbBytes(8));
  delayed.SetFrameSource([this] { return device_->CurrentFrame(); });
  BuildOut(delayed, out_, 8);
  EXPECT_EQ(Call(delayed), STATUS_SUCCESS);
  const ULONG start = delayed.Urb()->UrbIsochronousTransfer.StartFrame;
  EXPECT_GE(static_cast<int32_t>(delayed.CompletionFrame() - (start + 1 + 20)), 0);
}

TEST_F(IsoFaultTest, InvalidClockAndFeedbackFaults) {
  // One read at a time leaves the pipe dry in between: each starts afresh.
  auto readOnce = [&](UrbRequest& r) {
    EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, feedback_), STATUS_SUCCESS);
    BuildFeedbackRead(r, feedback_);
    return Call(r);
  };
  // Invalid clock: the device goes quiet on its IN endpoints.
  model_->SetClockValid(0x10, false);
  UrbRequest quiet(IsoUrbBytes(4));
  ASSERT_EQ(readOnce(quiet), STATUS_SUCCESS);
  EXPECT_EQ(quiet.Urb()->UrbIsochronousTransfer.TransferBufferLength, 0u);
  model_->SetClockValid(0x10, true);

  streaming_->SetFeedbackFault(sim::FeedbackFault::ZeroLength);
  UrbRequest empty(IsoUrbBytes(4));
  ASSERT_EQ(readOnce(empty), STATUS_SUCCESS);
  EXPECT_EQ(empty.Urb()->UrbIsochronousTransfer.TransferBufferLength, 0u);

  streaming_->SetFeedbackFault(sim::FeedbackFault::Fixed, 0x00090000);
  UrbRequest fixed(IsoUrbBytes(4));
  ASSERT_EQ(readOnce(fixed), STATUS_SUCCESS);
  const auto& iso = fixed.Urb()->UrbIsochronousTransfer;
  ASSERT_EQ(iso.TransferBufferLength, 16u);
  const uint8_t* p = fixed.Buffer().data();
  EXPECT_EQ(p[0] | p[1] << 8 | p[2] << 16 | p[3] << 24, 0x00090000);

  streaming_->SetFeedbackFault(sim::FeedbackFault::Garbage);
  UrbRequest garbage(IsoUrbBytes(4));
  ASSERT_EQ(readOnce(garbage), STATUS_SUCCESS);
  EXPECT_EQ(garbage.Urb()->UrbIsochronousTransfer.TransferBufferLength, 16u);
  EXPECT_NE(std::vector<uint8_t>(garbage.Buffer().begin(), garbage.Buffer().begin() + 4),
            std::vector<uint8_t>(fixed.Buffer().begin(), fixed.Buffer().begin() + 4));
}

TEST_F(IsoFaultTest, MalformedUrbsAreRefusedAndOddPacketsCounted) {
  // High-speed transfers cover whole frames.
  UrbRequest partial(IsoUrbBytes(4));
  BuildOut(partial, out_, 4);
  EXPECT_EQ(Call(partial), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(partial.Urb()->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  // A packet beyond the endpoint's maximum.
  UrbRequest big(IsoUrbBytes(8));
  std::vector<ULONG> sizes(8, 24);
  sizes[3] = pipes_[0].MaximumPacketSize + 1u;
  BuildIso(big, out_, USBD_START_ISO_TRANSFER_ASAP, 0, sizes);
  EXPECT_EQ(Call(big), STATUS_INVALID_PARAMETER);
  // A URB too short for the packets it claims.
  const auto capturePipes = SelectAlternate(kCaptureInterface, 1);
  UrbRequest header(IsoUrbBytes(8));
  BuildIso(header, PipeOf(capturePipes, kCaptureEndpoint), USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP,
           0, std::vector<ULONG>(8, capturePipes[0].MaximumPacketSize));
  header.Urb()->UrbHeader.Length = static_cast<USHORT>(IsoUrbBytes(7));  // too short for its packets
  EXPECT_EQ(Call(header), STATUS_INVALID_PARAMETER);
  // Half a frame in a packet is delivered but counted.
  UrbRequest odd(IsoUrbBytes(8));
  std::vector<ULONG> oddSizes(8, 24);
  oddSizes[0] = 26;
  BuildIso(odd, out_, USBD_START_ISO_TRANSFER_ASAP, 0, oddSizes);
  EXPECT_EQ(Call(odd), STATUS_SUCCESS);
  EXPECT_EQ(streaming_->Counters().malformedPackets, 1u);
}

// With the PDO completing every request from its own queue, data transfers
// still complete exactly once, when the bus is done with them.
TEST_F(IsoFaultTest, QueuedSubmissionModeSchedulesAndFailsTransfersOnce) {
  device_->SetCompletionMode(sim::CompletionMode::Asynchronous);
  UrbRequest ok(IsoUrbBytes(8));
  ok.SetFrameSource([this] { return device_->CurrentFrame(); });
  BuildOut(ok, out_, 8);
  EXPECT_EQ(Call(ok), STATUS_SUCCESS);
  const ULONG start = ok.Urb()->UrbIsochronousTransfer.StartFrame;
  EXPECT_GE(static_cast<int32_t>(ok.CompletionFrame() - (start + 1)), 0);
  UrbRequest bad(IsoUrbBytes(4));
  BuildOut(bad, out_, 4);
  EXPECT_EQ(Call(bad), STATUS_INVALID_PARAMETER);
  device_->Drain();
  EXPECT_EQ(device_->DataTransferCounters().completed, 1u);
  EXPECT_EQ(streaming_->Counters().framesReceived, 48u);
}

}  // namespace
}  // namespace simtest
