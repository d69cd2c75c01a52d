// Render and capture isochronous transfers built by CUSBAudioCL: packet
// counts and sizes in the three sizing modes, the length-prefixed layout,
// capture packet rounding and the render pipe abort, against the simulated
// device.
#include <gtest/gtest.h>

#include <numeric>

#include "platform/kernel/verifier.h"
#include "tests/driver/stream_fixture.h"

namespace streamtest {
namespace {

// Frames of (micro)frame k at `perSecond` packets per second: the nominal
// schedule written independently of the driver's table.
ULONG NominalFrames(ULONG rate, ULONG perSecond, ULONG k) {
  const auto ceilDiv = [](unsigned long long a, unsigned long long b) { return (a + b - 1) / b; };
  return static_cast<ULONG>(ceilDiv(1ULL * (k + 1) * rate, perSecond) - ceilDiv(1ULL * k * rate, perSecond));
}

class IsoTransferTest : public StreamTest {
 protected:
  // Sends `bytes` of a counting pattern and waits for the URB's completion.
  IsoRecord SendOut(ULONG bytes, ULONG framesPerTransfer, NTSTATUS expected = STATUS_SUCCESS) {
    MdlBuffer buffer(bytes + 1);
    for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * 7 + 1);
    CompletionCounter counter;
    const size_t before = recorder_.Records().size();
    EXPECT_EQ(audio_->SendIsoOut(buffer.Mdl(), bytes, framesPerTransfer, &CompletionCounter::Callback, &counter),
              expected);
    if (expected != STATUS_SUCCESS) return {};
    EXPECT_TRUE(counter.WaitFor(1)) << "render transfer never completed";
    EXPECT_TRUE(recorder_.WaitForRecords(before + 1));
    IsoRecord r = recorder_.Records().back();
    lastBuffer_.assign(buffer.data(), buffer.data() + buffer.size());
    return r;
  }
  std::vector<uint8_t> lastBuffer_;
};

TEST_F(IsoTransferTest, ScheduleModeAtHighSpeed48kHzGivesSixFramesPerMicroframe) {
  Start("uac2-implicit");  // no feedback endpoint: nominal schedule unless implicit mode is on
  ASSERT_EQ(SelectRender(2, 16, 48000), STATUS_SUCCESS);
  ASSERT_EQ(audio_->GetDataInterval(), 1u);
  const ULONG bytes = audio_->NextRenderTransferBytes(4, 0);
  EXPECT_EQ(bytes, 32u * 6 * 4);
  const IsoRecord r = SendOut(bytes, 4);
  EXPECT_EQ(r.flags, static_cast<ULONG>(USBD_START_ISO_TRANSFER_ASAP));
  EXPECT_EQ(r.urbLength, sizeof(struct _URB_ISOCH_TRANSFER) + 32 * sizeof(USBD_ISO_PACKET_DESCRIPTOR));
  EXPECT_EQ(r.length, bytes);
  EXPECT_EQ(Lengths(r), std::vector<ULONG>(32, 24));
  EXPECT_TRUE(OffsetsCumulative(r));
  EXPECT_EQ(audio_->GetSchedulePosition(), 0u);  // the 48 kHz pattern has one element
}

TEST_F(IsoTransferTest, ScheduleModeAt44100HzFollowsThePatternAcrossTransfers) {
  Start("uac2-implicit");
  ASSERT_EQ(SelectRender(2, 16, 44100), STATUS_SUCCESS);
  // High speed: one millisecond is 8 microframes of the 8000/s schedule.
  ULONG k = 0;
  for (int transfer = 0; transfer < 3; ++transfer) {
    const ULONG bytes = audio_->NextRenderTransferBytes(1, 0);
    const IsoRecord r = SendOut(bytes, 1);
    ASSERT_EQ(r.packets.size(), 8u);
    ULONG sum = 0;
    for (ULONG i = 0; i < 8; ++i, ++k) {
      EXPECT_EQ(r.packets[i].Length, 4 * NominalFrames(44100, 8000, k)) << "microframe " << k;
      sum += r.packets[i].Length;
    }
    EXPECT_EQ(sum, bytes);
    EXPECT_TRUE(OffsetsCumulative(r));
  }
  EXPECT_EQ(audio_->GetSchedulePosition(), 24u % audio_->GetCurrentSchedule()->HighSpeed.Length);

}

TEST_F(IsoTransferTest, ScheduleModeAt44100HzFullSpeedGives45Then44Frames) {
  Start("uac1-fs");
  ASSERT_EQ(SelectRender(2, 16, 44100), STATUS_SUCCESS);
  ASSERT_FALSE(audio_->IsHighSpeed());
  // Without its synch endpoint the stream runs on the nominal schedule.
  PUSBD_PIPE_INFORMATION feedback = Render()->FeedbackPipe;
  Render()->FeedbackPipe = nullptr;
  ULONG bytes = audio_->NextRenderTransferBytes(4, 0);
  EXPECT_EQ(bytes, 177u * 4);
  MdlBuffer buffer(bytes);
  CompletionCounter counter;
  ASSERT_EQ(audio_->SendIsoOut(buffer.Mdl(), bytes, 4, &CompletionCounter::Callback, &counter), STATUS_SUCCESS);
  EXPECT_EQ(audio_->GetSchedulePosition(), 4u);
  bytes = audio_->NextRenderTransferBytes(4, 0);
  EXPECT_EQ(bytes, 176u * 4);
  ASSERT_EQ(audio_->SendIsoOut(buffer.Mdl(), bytes, 4, &CompletionCounter::Callback, &counter), STATUS_SUCCESS);
  ASSERT_TRUE(counter.WaitFor(2));
  Render()->FeedbackPipe = feedback;
  ASSERT_TRUE(recorder_.WaitForRecords(2));
  const auto records = recorder_.Records();
  EXPECT_EQ(Lengths(records[0]), (std::vector<ULONG>{180, 176, 176, 176}));
  EXPECT_EQ(Lengths(records[1]), (std::vector<ULONG>{176, 176, 176, 176}));
  for (ULONG k = 0; k < 8; ++k) {
    EXPECT_EQ(records[k / 4].packets[k % 4].Length, 4 * NominalFrames(44100, 1000, k));
  }
}

TEST_F(IsoTransferTest, ScheduleModeRoundsToWholeMillisecondsAtHighSpeed) {
  Start("uac2-implicit");
  ASSERT_EQ(SelectRender(2, 16, 48000), STATUS_SUCCESS);
  const IsoRecord r = SendOut(3 * 24 + 4, 1);  // a little over 3 microframes
  std::vector<ULONG> expected{24, 24, 24, 4, 0, 0, 0, 0};
  EXPECT_EQ(Lengths(r), expected);
  EXPECT_TRUE(OffsetsCumulative(r));
  // More than a URB buffer holds (6 ms = 48 packets) is refused, nothing kept.
  SendOut(6 * 8 * 24, 6, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(audio_->GetSchedulePosition(), 0u);
}

TEST_F(IsoTransferTest, ImplicitCreditSpreadsTheDifferenceOverLongOrShortPackets) {
  Start("uac2-implicit");
  ASSERT_EQ(SelectRender(2, 16, 48000), STATUS_SUCCESS);
  ASSERT_EQ(Render()->NominalPacketBytes, 24u);
  ASSERT_EQ(Render()->BytesPerFrame, 4u);

  audio_->SetImplicitFeedbackMode(TRUE, TRUE);
  // Two frames more than nominal: two long packets first.
  IsoRecord r = SendOut(32 * 24 + 2 * 4, 4);
  std::vector<ULONG> expected(32, 24);
  expected[0] = expected[1] = 28;
  EXPECT_EQ(Lengths(r), expected);
  EXPECT_TRUE(OffsetsCumulative(r));

  // Three frames less with short packets allowed: three short ones last.
  r = SendOut(32 * 24 - 3 * 4, 4);
  expected.assign(32, 24);
  expected[29] = expected[30] = expected[31] = 20;
  EXPECT_EQ(Lengths(r), expected);

  // Without short packets: nominal packets, the last one cut to what is left.
  audio_->SetImplicitFeedbackMode(TRUE, FALSE);
  r = SendOut(32 * 24 - 3 * 4, 4);
  expected.assign(32, 24);
  expected[31] = 12;
  EXPECT_EQ(Lengths(r), expected);

  // 30 packets' worth: two empty packets complete the last millisecond.
  r = SendOut(30 * 24, 4);
  expected.assign(32, 24);
  expected[30] = expected[31] = 0;
  EXPECT_EQ(Lengths(r), expected);

  // More frames than packets: plain nominal packets.
  r = SendOut(8 * 24 + 9 * 4, 1);
  ASSERT_EQ(r.packets.size(), 16u);  // ceil(228 / 24) = 10, rounded to 16
  EXPECT_EQ(r.packets[9].Length, 12u);
  EXPECT_EQ(r.packets[10].Length, 0u);
}

TEST_F(IsoTransferTest, ExplicitFeedbackSizesPacketsAndCarriesTheRemainder) {
  Start("default");
  ASSERT_EQ(SelectRender(2, 16, 48000), STATUS_SUCCESS);
  ASSERT_NE(Render()->FeedbackPipe, nullptr);
  ASSERT_EQ(audio_->GetDataInterval(), 1u);
  const ULONG frame = Render()->BytesPerFrame;

  Render()->CurrentFeedback = 0x00060000;
  ULONG bytes = audio_->NextRenderTransferBytes(4, 0x00060000);
  EXPECT_EQ(bytes, 32 * 6 * frame);
  IsoRecord r = SendOut(bytes, 4);
  EXPECT_EQ(Lengths(r), std::vector<ULONG>(32, 6 * frame));
  EXPECT_EQ(audio_->GetFeedbackRemainder(), 0u);

  Render()->CurrentFeedback = 0x00058000;
  bytes = audio_->NextRenderTransferBytes(1, 0x00058000);
  EXPECT_EQ(bytes, 44 * frame);
  r = SendOut(bytes, 1);
  ASSERT_EQ(r.packets.size(), 8u);
  for (ULONG i = 0; i < 8; ++i) EXPECT_EQ(r.packets[i].Length, (i % 2 == 0 ? 5 : 6) * frame) << i;

  // A quarter frame left over carries into the next transfer.
  Render()->CurrentFeedback = 0x00054000;  // 5.25
  bytes = audio_->NextRenderTransferBytes(1, 0x00054000);
  EXPECT_EQ(bytes, 42 * frame);
  r = SendOut(bytes, 1);
  EXPECT_EQ(Lengths(r), (std::vector<ULONG>{5 * frame, 5 * frame, 5 * frame, 6 * frame, 5 * frame, 5 * frame,
                                            5 * frame, 6 * frame}));
  EXPECT_EQ(audio_->GetFeedbackRemainder(), 0u);
  Render()->CurrentFeedback = 0x00054000;
  // Two packets' worth: 5 + 5 with the remainder at 0.5, padded with empty
  // packets to a whole frame, as high-speed transfers must be.
  r = SendOut(5 * frame * 2, 1);
  EXPECT_EQ(Lengths(r), (std::vector<ULONG>{5 * frame, 5 * frame, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(audio_->GetFeedbackRemainder(), 0x8000u);
  EXPECT_EQ(audio_->NextRenderTransferBytes(1, 0x00054000), ((0x8000u + 8 * 0x54000u) >> 16) * frame);
}

TEST_F(IsoTransferTest, LengthPrefixedDeviceGetsALengthWordAheadOfEveryPacket) {
  Start("quirk-1686-00dd");
  ASSERT_EQ(SelectRender(2, 16, 48000), STATUS_SUCCESS);
  ASSERT_TRUE(audio_->IsLengthPrefixMode());
  const uint64_t prefixBuffers = platform::TotalPoolAllocations(POOLTAG_PACKET_PREFIX);
  const ULONG bytes = 7 * 24 + 8;  // the last packet is cut short
  const IsoRecord r = SendOut(bytes, 1);
  EXPECT_EQ(platform::TotalPoolAllocations(POOLTAG_PACKET_PREFIX), prefixBuffers + 1);
  ASSERT_EQ(r.packets.size(), 8u);
  EXPECT_NE(r.buffer, static_cast<PVOID>(lastBuffer_.data()));
  EXPECT_EQ(r.length, bytes + 4 * 8);
  ULONG source = 0;
  for (ULONG i = 0; i < 8; ++i) {
    const ULONG audioBytes = i < 7 ? 24 : 8;
    const auto& p = r.packets[i];
    EXPECT_EQ(p.Length, audioBytes + 4);
    ASSERT_LE(p.Offset + p.Length, r.data.size());
    const uint8_t* d = r.data.data() + p.Offset;
    EXPECT_EQ(d[0] | (d[1] << 8) | (d[2] << 16) | (d[3] << 24), static_cast<int>(audioBytes));
    EXPECT_TRUE(std::equal(d + 4, d + 4 + audioBytes, lastBuffer_.begin() + source)) << "packet " << i;
    source += audioBytes;
  }
  EXPECT_TRUE(OffsetsCumulative(r));
  EXPECT_EQ(streaming_->Counters().malformedPackets, 0u);
  EXPECT_EQ(streaming_->Counters().framesReceived, bytes / 4);
}

TEST_F(IsoTransferTest, CaptureReceiveRoundsPacketsAndPacksTheData) {
  Start("default");
  ASSERT_EQ(SelectCapture(2, 16, 48000), STATUS_SUCCESS);
  PUSBD_PIPE_INFORMATION pipe = audio_->GetCaptureInterface()->DataPipe;
  ASSERT_NE(pipe, nullptr);
  const ULONG c = pipe->MaximumPacketSize;
  const ULONG multiple = 8u >> (pipe->Interval - 1);
  std::vector<uint8_t> buffer(c * 40);
  ULONG frame = 0;
  ASSERT_EQ(audio_->QueryBusTime(&frame), STATUS_SUCCESS);
  CompletionCounter counter;
  recorder_.RecordIn(true);
  const ULONG bytes = c + 1;  // two packets' worth, rounded up to a millisecond
  ASSERT_EQ(audio_->ReceiveIsoIn(buffer.data(), bytes, &CompletionCounter::Callback, &counter, frame + 3),
            STATUS_SUCCESS);
  ASSERT_TRUE(counter.WaitFor(1));
  const IsoRecord r = recorder_.Records().back();
  EXPECT_EQ(r.flags, static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN));
  const ULONG expectedPackets = (2 + multiple - 1) / multiple * multiple;
  ASSERT_EQ(r.packets.size(), expectedPackets);
  for (ULONG i = 0; i < expectedPackets; ++i) EXPECT_EQ(r.packets[i].Offset, i * c);
  // A whole millisecond of packets fits its buffer: the data comes back
  // packed, whole frames, no more than asked for.
  const ULONG full = multiple * c;
  ASSERT_EQ(audio_->QueryBusTime(&frame), STATUS_SUCCESS);
  ASSERT_EQ(audio_->ReceiveIsoIn(buffer.data(), full, &CompletionCounter::Callback, &counter, frame + 3),
            STATUS_SUCCESS);
  ASSERT_TRUE(counter.WaitFor(2));
  EXPECT_EQ(recorder_.Records().back().packets.size(), multiple);
  EXPECT_EQ(counter.lastStatus, STATUS_SUCCESS);
  EXPECT_GT(counter.lastBytes, 0u);
  EXPECT_LE(counter.lastBytes, full);
  EXPECT_EQ(counter.lastBytes % 4, 0u);
}

TEST_F(IsoTransferTest, MissingStreamsAndPipesAreRefused) {
  Start("uac2-playback-only");
  uint8_t buffer[64] = {};
  CompletionCounter counter;
  EXPECT_EQ(audio_->ReceiveIsoIn(buffer, 64, &CompletionCounter::Callback, &counter, 0), STATUS_INVALID_PARAMETER);
  // Alternate 0 is current: no data pipe yet.
  EXPECT_EQ(audio_->SendIsoOut(nullptr, 64, 1, &CompletionCounter::Callback, &counter), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(audio_->RenderPipeAbort(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(counter.done, 0);
}

TEST_F(IsoTransferTest, RenderPipeAbortCompletesEverythingInFlight) {
  Start("default");
  ASSERT_EQ(SelectRender(2, 16, 48000), STATUS_SUCCESS);
  const ULONG freeIrps = audio_->GetFreeIrpCount();
  Render()->CurrentFeedback = 0x00060000;
  const ULONG bytes = audio_->NextRenderTransferBytes(5, 0x00060000);
  MdlBuffer buffer(bytes);
  CompletionCounter counter;
  // Held on the bus, so none can finish before the abort however late it comes.
  const uint8_t endpoint = Render()->DataPipe->EndpointAddress;
  device_->HoldTransfers(endpoint, true);
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(audio_->SendIsoOut(buffer.Mdl(), bytes, 5, &CompletionCounter::Callback, &counter), STATUS_SUCCESS);
  }
  EXPECT_EQ(audio_->RenderPipeAbort(), STATUS_SUCCESS);
  ASSERT_TRUE(counter.WaitFor(4)) << "aborted transfers must still complete";
  device_->HoldTransfers(endpoint, false);
  for (NTSTATUS status : counter.statuses) EXPECT_EQ(status, STATUS_CANCELLED);
  EXPECT_GE(audio_->GetFreeIrpCount(), freeIrps);
  // The pipe works again afterwards.
  const IsoRecord r = SendOut(bytes, 5);
}

}  // namespace
}  // namespace streamtest
