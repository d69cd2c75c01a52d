// The USB stack's rules the simulated bus enforces as Windows does: pipe
// handles new at every selection, selections and pipe requests only at
// PASSIVE_LEVEL with nothing pending, a selection refused for bandwidth,
// high-speed isochronous URB shape, buffers given by MDL, the start-frame
// lead and ASAP after a gap, packet errors instead of stalls, the unplug
// burst, and completions on more than one thread in per-pipe order.
#include <atomic>
#include <set>
#include <thread>

#include "platform/kernel/host_timing.h"
#include "tests/sim/iso_bus_fixture.h"

namespace simtest {
namespace {

constexpr uint8_t kRenderInterface = 1;
constexpr uint8_t kCaptureInterface = 2;
constexpr uint8_t kRenderEndpoint = 0x01;
constexpr uint8_t kFeedbackEndpoint = 0x81;
constexpr uint8_t kCaptureEndpoint = 0x82;

// 48 kHz, 16-bit stereo on the default device: 24 bytes per microframe.
void BuildOut(UrbRequest& r, USBD_PIPE_HANDLE pipe, ULONG packets, ULONG flags = USBD_START_ISO_TRANSFER_ASAP,
              ULONG startFrame = 0) {
  BuildIso(r, pipe, flags, startFrame, std::vector<ULONG>(packets, 24));
}

class UsbRulesTest : public DefaultRenderBusTest {};

class UsbRulesDeathTest : public UsbRulesTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    UsbRulesTest::SetUp();
  }
};

TEST_F(UsbRulesTest, EverySelectionGivesNewPipeHandlesAndOldOnesFail) {
  const auto again = SelectAlternate(kRenderInterface, 1);
  const USBD_PIPE_HANDLE fresh = PipeOf(again, kRenderEndpoint);
  EXPECT_NE(fresh, out_);
  EXPECT_NE(PipeOf(again, kFeedbackEndpoint), feedback_);
  UrbRequest stale(IsoUrbBytes(8));
  BuildOut(stale, out_, 8);
  EXPECT_EQ(Call(stale), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(stale.Urb()->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, out_), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, feedback_), STATUS_INVALID_PARAMETER);
  UrbRequest good(IsoUrbBytes(8));
  BuildOut(good, fresh, 8);
  EXPECT_EQ(Call(good), STATUS_SUCCESS);
}

TEST_F(UsbRulesTest, ASelectionRefusedForBandwidthChangesNothing) {
  device_->FailNextSelection();
  const ULONG bytes = GET_SELECT_INTERFACE_REQUEST_SIZE(4);
  UrbRequest r(bytes);
  std::memset(r.Urb(), 0, bytes);
  r.Urb()->UrbHeader.Length = static_cast<USHORT>(bytes);
  r.Urb()->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
  r.Urb()->UrbSelectInterface.ConfigurationHandle = configurationHandle_;
  r.Urb()->UrbSelectInterface.Interface.Length =
      static_cast<USHORT>(bytes - FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface));
  r.Urb()->UrbSelectInterface.Interface.InterfaceNumber = kCaptureInterface;
  r.Urb()->UrbSelectInterface.Interface.AlternateSetting = 1;
  EXPECT_EQ(Call(r), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(r.Urb()->UrbHeader.Status, USBD_STATUS_NO_BANDWIDTH);
  EXPECT_EQ(device_->CurrentAlternate(kCaptureInterface), 0);
  // The render pipes selected before still work; the next selection succeeds.
  UrbRequest out(IsoUrbBytes(8));
  BuildOut(out, out_, 8);
  EXPECT_EQ(Call(out), STATUS_SUCCESS);
  const auto capture = SelectAlternate(kCaptureInterface, 1);
  EXPECT_EQ(device_->CurrentAlternate(kCaptureInterface), 1);
  EXPECT_NE(PipeOf(capture, kCaptureEndpoint), nullptr);
}

TEST_F(UsbRulesDeathTest, SelectingWithTransfersPendingOrPipeRequestsAtDispatchStop) {
  EXPECT_DEATH(
      {
        UrbRequest pending(IsoUrbBytes(400));
        BuildOut(pending, out_, 400);
        pending.Send(Pdo());
        SelectAlternate(kRenderInterface, 0);
      },
      "USB_SELECT_WITH_PENDING_TRANSFERS");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        PipeRequest(URB_FUNCTION_ABORT_PIPE, out_);
      },
      "USB_REQUEST_ABOVE_PASSIVE");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, out_);
      },
      "USB_REQUEST_ABOVE_PASSIVE");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
        SelectAlternate(kRenderInterface, 0);
      },
      "USB_REQUEST_ABOVE_PASSIVE");
  // Aborted and completed first, the same selection is fine.
  UrbRequest pending(IsoUrbBytes(400));
  BuildOut(pending, out_, 400);
  pending.Send(Pdo());
  ASSERT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, out_), STATUS_SUCCESS);
  ASSERT_TRUE(pending.Done());
  SelectAlternate(kRenderInterface, 0);
  EXPECT_EQ(device_->CurrentAlternate(kRenderInterface), 0);
}

TEST_F(UsbRulesTest, HighSpeedIsochronousUrbShape) {
  // bInterval 1: whole frames of 8 microframes.
  UrbRequest seven(IsoUrbBytes(7));
  BuildOut(seven, out_, 7);
  EXPECT_EQ(Call(seven), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(seven.Urb()->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  // No packet beyond the endpoint's size, in either direction.
  const ULONG maxPacket = pipes_[0].EndpointAddress == kRenderEndpoint ? pipes_[0].MaximumPacketSize
                                                                       : pipes_[1].MaximumPacketSize;
  std::vector<ULONG> sizes(8, 24);
  sizes[3] = maxPacket + 1;
  UrbRequest big(IsoUrbBytes(8));
  BuildIso(big, out_, USBD_START_ISO_TRANSFER_ASAP, 0, sizes);
  EXPECT_EQ(Call(big), STATUS_INVALID_PARAMETER);
  const auto capture = SelectAlternate(kCaptureInterface, 1);
  std::vector<ULONG> room(8, capture[0].MaximumPacketSize);
  room[0] += 4;
  UrbRequest wide(IsoUrbBytes(8));
  BuildIso(wide, PipeOf(capture, kCaptureEndpoint), USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP, 0, room);
  EXPECT_EQ(Call(wide), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(wide.Urb()->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  // At most 1024 packets.
  UrbRequest many(IsoUrbBytes(1032));
  BuildOut(many, out_, 1032);
  EXPECT_EQ(Call(many), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(device_->PendingDataTransfers(), 0u);
}

TEST_F(UsbRulesTest, BufferByBuiltMdlReachesTheDevice) {
  // Enough for the device to start playing (several pages).
  constexpr ULONG kPackets = 512;
  std::vector<uint8_t> data(kPackets * 24);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  PMDL mdl = IoAllocateMdl(data.data(), static_cast<ULONG>(data.size()), FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  UrbRequest r(IsoUrbBytes(kPackets));
  BuildOut(r, out_, kPackets);
  r.Urb()->UrbIsochronousTransfer.TransferBuffer = nullptr;
  r.Urb()->UrbIsochronousTransfer.TransferBufferMDL = mdl;
  EXPECT_EQ(Call(r), STATUS_SUCCESS);
  EXPECT_EQ(streaming_->Counters().framesReceived, kPackets * 6u);
  ASSERT_TRUE(streaming_->WaitForPlayedBytes(data.size() / 2, kTimeout));
  const std::vector<uint8_t> played = streaming_->PlayedAudio();
  ASSERT_GE(played.size(), data.size() / 2);
  EXPECT_TRUE(std::equal(played.begin(), played.end(), data.begin()));
  IoFreeMdl(mdl);
}

TEST_F(UsbRulesDeathTest, MdlThatOnlyHasAVirtualAddressStops) {
  std::vector<uint8_t> data(8 * 24);
  EXPECT_DEATH(
      {
        PMDL mdl = IoAllocateMdl(data.data(), static_cast<ULONG>(data.size()), FALSE, FALSE, nullptr);
        UrbRequest r(IsoUrbBytes(8));
        BuildOut(r, out_, 8);
        r.Urb()->UrbIsochronousTransfer.TransferBuffer = nullptr;
        r.Urb()->UrbIsochronousTransfer.TransferBufferMDL = mdl;
        Call(r);
      },
      "USB_MDL_PAGES_NOT_DESCRIBED");
  EXPECT_DEATH(
      {
        PMDL mdl = IoAllocateMdl(data.data(), static_cast<ULONG>(data.size()), FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(mdl);
        IoFreeMdl(mdl);
        UrbRequest r(IsoUrbBytes(8));
        BuildOut(r, out_, 8);
        r.Urb()->UrbIsochronousTransfer.TransferBuffer = nullptr;
        r.Urb()->UrbIsochronousTransfer.TransferBufferMDL = mdl;
        Call(r);
      },
      "USB_MDL_NOT_LIVE");
}

TEST_F(UsbRulesTest, StartFrameNeedsTheLead) {
  const auto capture = SelectAlternate(kCaptureInterface, 1);
  const USBD_PIPE_HANDLE pipe = PipeOf(capture, kCaptureEndpoint);
  const ULONG maxPacket = capture[0].MaximumPacketSize;
  UrbRequest soon(IsoUrbBytes(8));
  BuildIso(soon, pipe, USBD_TRANSFER_DIRECTION_IN, device_->CurrentFrame() + 1, std::vector<ULONG>(8, maxPacket));
  EXPECT_EQ(Call(soon), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(soon.Urb()->UrbHeader.Status, USBD_STATUS_BAD_START_FRAME);
  // With a lead of one frame allowed, the same request goes through.
  sim::IsoPolicy lenient;
  lenient.startLeadFrames = 1;
  device_->SetIsoPolicy(lenient);
  // Retried only when more than a frame passed between reading the frame
  // and the bus taking the request (a descheduled thread), which makes the
  // lead too short for any policy.
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (int attempt = 0; attempt < 20; ++attempt) {
    UrbRequest next(IsoUrbBytes(8));
    const ULONG start = device_->CurrentFrame() + 2;
    BuildIso(next, pipe, USBD_TRANSFER_DIRECTION_IN, start, std::vector<ULONG>(8, maxPacket));
    status = Call(next);
    if (status == STATUS_SUCCESS || device_->CurrentFrame() + 1 < start) break;
  }
  EXPECT_EQ(status, STATUS_SUCCESS);
}

// After the pipe ran dry an ASAP transfer keeps the pipe's timeline: what
// fell into the gap is not accessed; with the lenient policy it starts afresh.
TEST_F(UsbRulesTest, AsapAfterAGapKeepsTheTimelineUnlessToldOtherwise) {
  // The gaps are waited for on the bus, not the clock: the pipe ran dry only
  // once the bus has served past its end (on a loaded machine the bus thread
  // serves missed frames late, and until then the timeline still holds).
  UrbRequest first(IsoUrbBytes(8));
  BuildOut(first, out_, 8);
  ASSERT_EQ(Call(first), STATUS_SUCCESS);
  const ULONG end = first.Urb()->UrbIsochronousTransfer.StartFrame + 1;
  // A gap of 3 frames: a 128-frame transfer loses its first frames (long
  // enough that a descheduled test thread cannot let all of it fall into the gap).
  constexpr ULONG kLatePackets = 1024;
  ASSERT_TRUE(device_->WaitForFrameServed(device_->Clock().FrameFromNumber(end) + 2, kTimeout));
  UrbRequest late(IsoUrbBytes(kLatePackets));
  BuildOut(late, out_, kLatePackets);
  ASSERT_EQ(Call(late), STATUS_SUCCESS);
  const auto& iso = late.Urb()->UrbIsochronousTransfer;
  EXPECT_EQ(iso.StartFrame, end);
  EXPECT_GE(iso.ErrorCount, 3u * 8u);
  EXPECT_LT(iso.ErrorCount, kLatePackets);
  EXPECT_EQ(iso.IsoPacket[0].Status, USBD_STATUS_ISO_NOT_ACCESSED_LATE);
  EXPECT_EQ(iso.IsoPacket[kLatePackets - 1].Status, USBD_STATUS_SUCCESS);
  // A transfer wholly inside the gap fails.
  const ULONG lateEnd = iso.StartFrame + kLatePackets / 8;
  ASSERT_TRUE(device_->WaitForFrameServed(device_->Clock().FrameFromNumber(lateEnd) + 3, kTimeout));
  UrbRequest lost(IsoUrbBytes(8));
  BuildOut(lost, out_, 8);
  EXPECT_EQ(Call(lost), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(lost.Urb()->UrbHeader.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
  EXPECT_EQ(lost.Urb()->UrbIsochronousTransfer.IsoPacket[0].Status, USBD_STATUS_ISO_NOT_ACCESSED_LATE);

  // A reset starts the timeline afresh.
  ASSERT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, out_), STATUS_SUCCESS);
  UrbRequest fresh(IsoUrbBytes(8));
  BuildOut(fresh, out_, 8);
  EXPECT_EQ(Call(fresh), STATUS_SUCCESS);
  EXPECT_EQ(fresh.Urb()->UrbIsochronousTransfer.ErrorCount, 0u);

  sim::IsoPolicy lenient;
  lenient.asapAfterGap = sim::AsapAfterGap::StartAfresh;
  device_->SetIsoPolicy(lenient);
  const ULONG freshEnd = fresh.Urb()->UrbIsochronousTransfer.StartFrame + 1;
  ASSERT_TRUE(device_->WaitForFrameServed(device_->Clock().FrameFromNumber(freshEnd) + 3, kTimeout));
  UrbRequest restarted(IsoUrbBytes(8));
  BuildOut(restarted, out_, 8);
  EXPECT_EQ(Call(restarted), STATUS_SUCCESS);
  EXPECT_EQ(restarted.Urb()->UrbIsochronousTransfer.ErrorCount, 0u);
  EXPECT_GT(restarted.Urb()->UrbIsochronousTransfer.StartFrame, freshEnd + 3);
}

TEST_F(UsbRulesTest, IsochronousEndpointsReportPacketErrorsInsteadOfStalling) {
  device_->StallEndpoint(kRenderEndpoint);
  EXPECT_FALSE(device_->IsEndpointStalled(kRenderEndpoint)) << "an isochronous endpoint cannot stall";
  UrbRequest prime(IsoUrbBytes(8));
  BuildOut(prime, out_, 8);
  ASSERT_EQ(Call(prime), STATUS_SUCCESS);
  // One transfer at a time leaves the pipe dry: each starts afresh.
  ASSERT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, out_), STATUS_SUCCESS);

  device_->FailNextPackets(kRenderEndpoint, 2, USBD_STATUS_XACT_ERROR);
  device_->FailNextPackets(kRenderEndpoint, 1, USBD_STATUS_ISO_NOT_ACCESSED_LATE);
  const uint64_t before = streaming_->Counters().framesReceived;
  UrbRequest r(IsoUrbBytes(8));
  BuildOut(r, out_, 8);
  EXPECT_EQ(Call(r), STATUS_SUCCESS) << "a transfer with some packets through succeeds";
  const auto& iso = r.Urb()->UrbIsochronousTransfer;
  EXPECT_EQ(r.Urb()->UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(iso.ErrorCount, 3u);
  EXPECT_EQ(iso.IsoPacket[0].Status, USBD_STATUS_XACT_ERROR);
  EXPECT_EQ(iso.IsoPacket[1].Status, USBD_STATUS_XACT_ERROR);
  EXPECT_EQ(iso.IsoPacket[2].Status, USBD_STATUS_ISO_NOT_ACCESSED_LATE);
  EXPECT_EQ(iso.IsoPacket[3].Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(streaming_->Counters().framesReceived, before + 5u * 6u) << "failed packets carry nothing";

  // Every packet failed: the transfer fails as a whole.
  ASSERT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, out_), STATUS_SUCCESS);
  device_->FailNextPackets(kRenderEndpoint, 8, USBD_STATUS_XACT_ERROR);
  UrbRequest all(IsoUrbBytes(8));
  BuildOut(all, out_, 8);
  EXPECT_EQ(Call(all), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(all.Urb()->UrbHeader.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
  EXPECT_EQ(all.Urb()->UrbIsochronousTransfer.ErrorCount, 8u);
  EXPECT_EQ(device_->DataTransferCounters().packetErrors, 11u);
}

TEST_F(UsbRulesTest, UnplugIsABurstOfTransferErrorsBeforeTheDeviceIsGone) {
  UrbRequest pending(IsoUrbBytes(80));
  BuildOut(pending, out_, 80);
  pending.Send(Pdo());
  device_->BeginUnplug();
  ASSERT_TRUE(pending.Wait());
  EXPECT_EQ(pending.Status(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(pending.Urb()->UrbHeader.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
  EXPECT_EQ(pending.Urb()->UrbIsochronousTransfer.IsoPacket[79].Status, USBD_STATUS_XACT_ERROR);
  UrbRequest fresh(IsoUrbBytes(8));
  BuildOut(fresh, out_, 8);
  EXPECT_EQ(Call(fresh), STATUS_UNSUCCESSFUL) << "new transfers fail too";
  EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, out_), STATUS_UNSUCCESSFUL);
  device_->Unplug();
  UrbRequest gone(IsoUrbBytes(8));
  BuildOut(gone, out_, 8);
  EXPECT_EQ(Call(gone), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(gone.Urb()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

// Two pipes complete on different threads, each pipe's transfers in the
// order submitted, at DISPATCH_LEVEL, with injected latency between them.
TEST_F(UsbRulesTest, CompletionsRunOnTwoThreadsInOrderPerPipe) {
  platform::SetInjectedLatency(std::chrono::microseconds(300));
  constexpr int kEach = 24;
  std::mutex lock;
  std::vector<int> outOrder;
  std::vector<int> feedbackOrder;
  std::set<std::thread::id> outThreads;
  std::set<std::thread::id> feedbackThreads;
  std::atomic<int> notAtDispatch{0};
  std::vector<std::unique_ptr<UrbRequest>> requests;
  for (int i = 0; i < kEach; ++i) {
    auto out = std::make_unique<UrbRequest>(IsoUrbBytes(8));
    BuildOut(*out, out_, 8);
    out->Send(Pdo(), [&, i](UrbRequest&) {
      if (KeGetCurrentIrql() != DISPATCH_LEVEL) ++notAtDispatch;
      std::lock_guard<std::mutex> guard(lock);
      outOrder.push_back(i);
      outThreads.insert(std::this_thread::get_id());
      return false;
    });
    requests.push_back(std::move(out));
    auto read = std::make_unique<UrbRequest>(IsoUrbBytes(8));
    BuildIso(*read, feedback_, USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP, 0, std::vector<ULONG>(8, 4));
    read->Send(Pdo(), [&, i](UrbRequest&) {
      if (KeGetCurrentIrql() != DISPATCH_LEVEL) ++notAtDispatch;
      std::lock_guard<std::mutex> guard(lock);
      feedbackOrder.push_back(i);
      feedbackThreads.insert(std::this_thread::get_id());
      return false;
    });
    requests.push_back(std::move(read));
  }
  for (auto& r : requests) ASSERT_TRUE(r->Wait());
  EXPECT_EQ(notAtDispatch.load(), 0);
  std::lock_guard<std::mutex> guard(lock);
  ASSERT_EQ(outOrder.size(), static_cast<size_t>(kEach));
  ASSERT_EQ(feedbackOrder.size(), static_cast<size_t>(kEach));
  for (int i = 0; i < kEach; ++i) {
    EXPECT_EQ(outOrder[i], i);
    EXPECT_EQ(feedbackOrder[i], i);
  }
  ASSERT_EQ(outThreads.size(), 1u);
  ASSERT_EQ(feedbackThreads.size(), 1u);
  EXPECT_NE(*outThreads.begin(), *feedbackThreads.begin()) << "different pipes complete on different threads";
}

}  // namespace
}  // namespace simtest
