// The low-latency channel's streaming side at the wave-stream level, against
// the recording adapter: a client process maps its shared block into a
// stream, and the timing notifications move halves between that block and
// the cyclic buffer. Render copies split at the buffer end, an oversized
// half copies nothing, capture wakes the client only for a complete half,
// one wake-up per output-ready notice, the render half following the
// capture half, the start toggle, DSD silence, device-gone errors in the
// shared header, the queued-bytes bookkeeping around the buffer end, and
// nothing allocated or waited for in the copy path.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/asiochannel/asio_protocol.h"
#include "driver/port/miniport.h"
#include "driver/port/stream.h"
#include "platform/kernel/client_process.h"
#include "tests/driver/port_fakes.h"
#include "tests/support/verifier_test.h"

namespace drivertest {
namespace {

constexpr ULONG kInt32Lsb = ASIOSTInt32LSB;  // 4 bytes, copied as is into 32-bit containers
constexpr ULONG kFrameBytes = 8;             // 2 channels in 32-bit containers
constexpr ULONG kDmaBytes = 11520 * kFrameBytes;

struct OpenStream {
  PMINIPORTWAVECYCLICSTREAM stream = nullptr;
  PDMACHANNEL dma = nullptr;
  PSERVICEGROUP group = nullptr;
  std::vector<AsioBufferInfo64> channels;
  HANDLE event = nullptr;

  CMiniportWaveCyclicStreamUsbAudio* Object() const { return static_cast<CMiniportWaveCyclicStreamUsbAudio*>(stream); }
  PUCHAR Buffer() const { return static_cast<PUCHAR>(dma->SystemAddress()); }
  volatile AsioSharedHeader* Header() const { return Object()->GetAsioBuffers().Header(); }
  ULONG CurrentHalf() const { return AsioHeaderLoad(&Header()->currentHalf); }
  ULONG Toggles() const { return AsioHeaderLoad(&Header()->toggleCount); }
  ULONG StreamError() const { return AsioHeaderLoad(&Header()->streamError); }
  uint32_t* Half(ULONG channel, ULONG half) const {
    return reinterpret_cast<uint32_t*>(static_cast<ULONG_PTR>(channels[channel].kernelHalf[half]));
  }
  void Close() {
    if (group) group->Release();
    if (dma) dma->Release();
    if (stream) stream->Release();
    stream = nullptr;
    dma = nullptr;
    group = nullptr;
  }
};

class AsioStreamTest : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    ASSERT_EQ(CreateMiniportWaveCyclicUsbAudio(&miniport_, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
    ASSERT_EQ(miniport_->Init(&adapter_, nullptr, &port_), STATUS_SUCCESS);
    private_ = static_cast<CMiniportWaveCyclicUsbAudio*>(miniport_);
    process_ = platform::CreateClientProcess("asio-stream-test");
  }

  void TearDown() override {
    for (OpenStream* s : {&render_, &capture_}) {
      s->Close();
      if (s->event != nullptr) platform::CloseClientHandle(process_, s->event);
    }
    platform::EndClientProcess(process_);
    if (miniport_ != nullptr) miniport_->Release();
    VerifiedTest::TearDown();
  }

  // Opens the direction's pin (2 channels, 32-bit containers at 48 kHz
  // unless told otherwise) and creates its shared block, one entry per
  // (sample type, channel), in the client process.
  void OpenWithBuffers(BOOLEAN capture, ULONG frames, std::vector<std::pair<ULONG, ULONG>> entries,
                       bool withEvent, USHORT bits = 32) {
    OpenStream& s = capture ? capture_ : render_;
    WaveDataFormat format(2, bits, 48000);
    ASSERT_EQ(miniport_->NewStream(&s.stream, nullptr, NonPagedPoolNx, capture ? 3 : 0, capture, format.Format(),
                                   &s.dma, &s.group),
              STATUS_SUCCESS);
    std::vector<uint8_t> instance(8 + 8 * entries.size() + 8);
    auto* request = reinterpret_cast<AsioBufferRequest*>(instance.data());
    request->count = static_cast<uint32_t>(entries.size());
    request->frames = frames;
    for (size_t i = 0; i < entries.size(); ++i) {
      request->entries[i].sampleType = entries[i].first;
      request->entries[i].channel = entries[i].second;
    }
    platform::ProcessScope scope(process_);
    ASSERT_EQ(s.Object()->CreateAsioBuffers(request, static_cast<ULONG>(instance.size())), STATUS_SUCCESS);
    s.channels.resize(entries.size());
    ASSERT_EQ(s.Object()->DescribeAsioBuffers(s.channels.data(),
                                              static_cast<ULONG>(s.channels.size() * sizeof(AsioBufferInfo64)), FALSE),
              STATUS_SUCCESS);
    if (withEvent) {
      s.event = platform::CreateClientEvent(process_, false, false);
      ASSERT_NE(s.event, nullptr);
      ASSERT_EQ(s.Object()->RegisterClientEvent(reinterpret_cast<ULONG_PTR>(s.event)), STATUS_SUCCESS);
    }
  }

  void Run(OpenStream& s) {
    ASSERT_EQ(s.stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(s.stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(s.stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  }

  // Whether the client's event was set since the last look (auto-reset).
  bool Woken(const OpenStream& s) { return platform::WaitClientEvent(process_, s.event, 0) == STATUS_SUCCESS; }

  // Client side: fills the half it is to fill (1 - header word 0) with
  // `base + frame` on channel 0 and `~(base + frame)` on channel 1, then
  // sends output ready.
  void FillAndSignal(uint32_t base) {
    const ULONG half = 1 - render_.CurrentHalf();
    const ULONG frames = render_.channels[0].halfFrames;
    for (ULONG f = 0; f < frames; ++f) {
      render_.Half(0, half)[f] = base + f;
      render_.Half(1, half)[f] = ~(base + f);
    }
    render_.Object()->SignalOutputReady();
  }

  // The device frame at byte offset `offset` of the render buffer holds
  // frame `frame` of the pattern `base`.
  void ExpectFrame(ULONG offset, uint32_t base, ULONG frame) {
    uint32_t words[2];
    memcpy(words, render_.Buffer() + offset, sizeof words);
    ASSERT_EQ(words[0], base + frame) << "channel 0, offset " << offset;
    ASSERT_EQ(words[1], ~(base + frame)) << "channel 1, offset " << offset;
  }

  std::vector<AdapterCall> QueuedSince(size_t mark, const char* name) const {
    std::vector<AdapterCall> out;
    for (size_t i = mark; i < adapter_.calls.size(); ++i)
      if (adapter_.calls[i].name == name) out.push_back(adapter_.calls[i]);
    return out;
  }
  size_t Count(const char* name) const { return adapter_.Calls(name).size(); }

  FakeAdapter adapter_;
  FakePort port_;
  PMINIPORTWAVECYCLIC miniport_ = nullptr;
  IMiniportWaveCyclicUsbAudio* private_ = nullptr;
  platform::ClientProcess* process_ = nullptr;
  OpenStream render_;
  OpenStream capture_;
};

TEST_F(AsioStreamTest, StartAsksForHalfZeroWithoutStartingTheData) {
  OpenWithBuffers(FALSE, 512, {{kInt32Lsb, 0}, {kInt32Lsb, 1}}, true);
  EXPECT_EQ(render_.CurrentHalf(), 0u);
  const size_t mark = adapter_.calls.size();
  Run(render_);
  // The client's first output ready starts the data, not the state change.
  EXPECT_EQ(QueuedSince(mark, "SetStreamRunning").size(), 0u);
  EXPECT_EQ(QueuedSince(mark, "StartStream").size(), 1u);
  EXPECT_EQ(QueuedSince(mark, "BufferToggle").size(), 1u);
  EXPECT_EQ(render_.CurrentHalf(), 1u) << "the client fills half 1 - 1 = 0";
  EXPECT_EQ(render_.Toggles(), 1u);
  EXPECT_TRUE(Woken(render_));
  EXPECT_FALSE(Woken(render_)) << "one wake-up";
  EXPECT_EQ(render_.Object()->GetState(), KSSTATE_RUN);
}

TEST_F(AsioStreamTest, StartWithoutEventLeavesTheHalvesToCapture) {
  OpenWithBuffers(FALSE, 512, {{kInt32Lsb, 0}}, false);
  const size_t mark = adapter_.calls.size();
  Run(render_);
  EXPECT_EQ(QueuedSince(mark, "SetStreamRunning").size(), 0u);
  EXPECT_EQ(QueuedSince(mark, "BufferToggle").size(), 0u);
  EXPECT_EQ(render_.CurrentHalf(), 0u);
  EXPECT_EQ(render_.Toggles(), 0u);
}

TEST_F(AsioStreamTest, RenderHalfCrossingTheBufferEndIsSplit) {
  // 5000-frame halves (40000 bytes) in a 92160-byte buffer: the third half
  // starts at 80000, 12160 bytes before the end.
  OpenWithBuffers(FALSE, 10000, {{kInt32Lsb, 0}, {kInt32Lsb, 1}}, true);
  Run(render_);
  ASSERT_TRUE(Woken(render_));
  PUCHAR base = render_.Buffer();
  for (uint32_t n = 0; n < 2; ++n) {
    const size_t mark = adapter_.calls.size();
    FillAndSignal(n * 100000);
    private_->TimingNotification(FALSE);
    const auto queued = QueuedSince(mark, "QueueRenderBuffer");
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].address, base + n * 40000);
    EXPECT_EQ(queued[0].a, 40000u);
    // The device takes it all.
    private_->SetRenderPosition(base + (n + 1) * 40000);
    EXPECT_TRUE(Woken(render_));
  }
  const size_t mark = adapter_.calls.size();
  FillAndSignal(200000);
  const ULONG filled = 1 - render_.CurrentHalf();
  private_->TimingNotification(FALSE);
  EXPECT_EQ(render_.CurrentHalf(), filled);
  const auto queued = QueuedSince(mark, "QueueRenderBuffer");
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_EQ(queued[0].address, base + 80000);
  EXPECT_EQ(queued[0].a, 12160u);
  EXPECT_EQ(queued[1].address, base);
  EXPECT_EQ(queued[1].a, 27840u);
  EXPECT_EQ(render_.Object()->GetAsioBuffers().GetPosition(), 5000u) << "both runs count";
  ExpectFrame(80000, 200000, 0);
  ExpectFrame(kDmaBytes - kFrameBytes, 200000, 1519);
  ExpectFrame(0, 200000, 1520);
  ExpectFrame(27840 - kFrameBytes, 200000, 4999);
  ExpectFrame(27840, 0, 3480);  // the first half's tail is untouched
}

TEST_F(AsioStreamTest, HalfLargerThanTheBufferCopiesNothingButToggles) {
  // 12000-frame halves are 96000 bytes: more than the 92160-byte buffer.
  OpenWithBuffers(FALSE, 24000, {{kInt32Lsb, 0}, {kInt32Lsb, 1}}, true);
  Run(render_);
  ASSERT_TRUE(Woken(render_));
  const size_t mark = adapter_.calls.size();
  FillAndSignal(1);
  private_->TimingNotification(FALSE);
  EXPECT_EQ(QueuedSince(mark, "QueueRenderBuffer").size(), 0u);
  EXPECT_EQ(render_.CurrentHalf(), 0u) << "the half is still taken";
  EXPECT_EQ(render_.Toggles(), 2u);
  EXPECT_EQ(render_.Object()->GetAsioBuffers().GetPosition(), 0u);
  std::vector<UCHAR> zero(kDmaBytes, 0);
  EXPECT_EQ(memcmp(render_.Buffer(), zero.data(), kDmaBytes), 0) << "the cyclic buffer is untouched";
}

TEST_F(AsioStreamTest, CaptureWakesOnlyForACompleteHalf) {
  OpenWithBuffers(TRUE, 512, {{kInt32Lsb, 0}, {kInt32Lsb, 1}}, true);
  Run(capture_);
  PUCHAR base = capture_.Buffer();
  auto* frames = reinterpret_cast<uint32_t*>(base);
  for (uint32_t f = 0; f < 400; ++f) {
    frames[2 * f] = 7000 + f;
    frames[2 * f + 1] = 9000 + f;
  }
  size_t mark = adapter_.calls.size();
  // 100 frames arrive: 156 are still missing from the half.
  private_->SetCapturePosition(base + 100 * kFrameBytes);
  private_->TimingNotification(TRUE);
  EXPECT_FALSE(Woken(capture_));
  EXPECT_EQ(QueuedSince(mark, "BufferToggle").size(), 0u);
  EXPECT_EQ(capture_.CurrentHalf(), 0u);
  EXPECT_EQ(capture_.Object()->GetAsioBuffers().GetPosition(), 100u);
  auto requeued = QueuedSince(mark, "QueueCaptureBuffer");
  ASSERT_EQ(requeued.size(), 1u);
  EXPECT_EQ(requeued[0].address, base);
  EXPECT_EQ(requeued[0].a, 100 * kFrameBytes);

  // 200 more: the half completes with 156 of them; 44 wait for the next one.
  mark = adapter_.calls.size();
  private_->SetCapturePosition(base + 300 * kFrameBytes);
  private_->TimingNotification(TRUE);
  EXPECT_TRUE(Woken(capture_));
  EXPECT_EQ(QueuedSince(mark, "BufferToggle").size(), 1u);
  EXPECT_EQ(capture_.CurrentHalf(), 1u) << "the client reads half 0";
  EXPECT_EQ(capture_.Toggles(), 1u);
  requeued = QueuedSince(mark, "QueueCaptureBuffer");
  ASSERT_EQ(requeued.size(), 1u);
  EXPECT_EQ(requeued[0].address, base + 100 * kFrameBytes);
  EXPECT_EQ(requeued[0].a, 156 * kFrameBytes);
  for (uint32_t f = 0; f < 256; ++f) {
    ASSERT_EQ(capture_.Half(0, 0)[f], 7000 + f) << f;
    ASSERT_EQ(capture_.Half(1, 0)[f], 9000 + f) << f;
  }

  // Nothing new: the 44 frames go into half 1, no wake-up.
  mark = adapter_.calls.size();
  private_->TimingNotification(TRUE);
  EXPECT_FALSE(Woken(capture_));
  EXPECT_EQ(capture_.Object()->GetAsioBuffers().GetPosition(), 44u);
  EXPECT_EQ(capture_.Half(0, 1)[0], 7256u);
  EXPECT_EQ(capture_.Half(0, 1)[43], 7299u);
  private_->TimingNotification(TRUE);
  EXPECT_FALSE(Woken(capture_));
  EXPECT_EQ(capture_.Object()->GetAsioBuffers().GetPosition(), 44u) << "nothing taken twice";
}

TEST_F(AsioStreamTest, OneWakeUpPerOutputReadyNotice) {
  OpenWithBuffers(FALSE, 512, {{kInt32Lsb, 0}, {kInt32Lsb, 1}}, true);
  Run(render_);
  ASSERT_TRUE(Woken(render_));
  PUCHAR base = render_.Buffer();
  // Timing notifications without output ready find room but the guard is set.
  for (int i = 0; i < 5; ++i) private_->TimingNotification(FALSE);
  EXPECT_FALSE(Woken(render_));
  EXPECT_EQ(Count("BufferToggle"), 1u);

  for (uint32_t n = 0; n < 4; ++n) {
    FillAndSignal(n * 1000);
    private_->TimingNotification(FALSE);
    EXPECT_TRUE(Woken(render_)) << n;
    private_->SetRenderPosition(base + (n + 1) * 256 * kFrameBytes);
    for (int i = 0; i < 5; ++i) private_->TimingNotification(FALSE);
    EXPECT_FALSE(Woken(render_)) << "a second wake-up before output ready, " << n;
    EXPECT_EQ(Count("BufferToggle"), 2u + n);
    EXPECT_EQ(Count("OutputReady"), 1u + n);
  }
}

TEST_F(AsioStreamTest, UnderrunToggleBeforeTheOutputReadyIsTakenDoesNotWakeTheClient) {
  // The render pump's underrun path calls BufferToggle in the window after
  // output ready set the flag and cleared the guard but before a timing
  // notification took the half: a wake-up then would show the client the
  // same half, and it would refill the half it has just handed over.
  OpenWithBuffers(FALSE, 512, {{kInt32Lsb, 0}, {kInt32Lsb, 1}}, true);
  Run(render_);
  ASSERT_TRUE(Woken(render_));
  PUCHAR base = render_.Buffer();
  for (uint32_t n = 0; n < 3; ++n) {
    const ULONG toggles = render_.Toggles();
    FillAndSignal(n * 1000);
    const size_t mark = adapter_.calls.size();
    private_->BufferToggle();
    EXPECT_FALSE(Woken(render_)) << "a wake-up without a toggle, " << n;
    EXPECT_EQ(render_.Toggles(), toggles);
    EXPECT_EQ(QueuedSince(mark, "BufferToggle").size(), 0u);
    // The notification takes the half and asks for the next one.
    private_->TimingNotification(FALSE);
    EXPECT_EQ(render_.Toggles(), toggles + 1);
    EXPECT_TRUE(Woken(render_)) << n;
    ExpectFrame(n * 256 * kFrameBytes, n * 1000, 0);
    private_->SetRenderPosition(base + (n + 1) * 256 * kFrameBytes);
    // Once taken, an underrun toggle is held by the guard as before.
    private_->BufferToggle();
    EXPECT_FALSE(Woken(render_)) << n;
  }
}

TEST_F(AsioStreamTest, RenderLeadStaysNearTwentyMillisecondsNotTheWholeBuffer) {
  // 256-frame halves at 48 kHz (5.3 ms, 2048 bytes): the client answering
  // every wake-up at once while the device takes nothing must not fill the
  // 240 ms cyclic buffer (that is latency, and a burst of switches at
  // start); the kernel stops asking at about 20 ms (960 frames) queued.
  constexpr ULONG kHalfBytes = 256 * kFrameBytes;
  constexpr ULONG kLeadBytes = 960 * kFrameBytes;
  OpenWithBuffers(FALSE, 512, {{kInt32Lsb, 0}, {kInt32Lsb, 1}}, true);
  Run(render_);
  ASSERT_TRUE(Woken(render_));
  PUCHAR base = render_.Buffer();
  ULONG halves = 0;
  for (uint32_t n = 0; n < 64; ++n) {
    FillAndSignal(n * 1000);
    private_->TimingNotification(FALSE);
    ++halves;
    if (!Woken(render_)) break;
  }
  EXPECT_GE(halves * kHalfBytes, 2 * kHalfBytes) << "two halves at least";
  EXPECT_LE(halves * kHalfBytes, kLeadBytes) << halves << " halves queued ahead of the device";
  for (int i = 0; i < 3; ++i) private_->TimingNotification(FALSE);
  EXPECT_FALSE(Woken(render_)) << "still within the lead";
  // The device takes one half: the client is asked for the next.
  private_->SetRenderPosition(base + kHalfBytes);
  private_->TimingNotification(FALSE);
  EXPECT_TRUE(Woken(render_));
  FillAndSignal(999000);
  private_->TimingNotification(FALSE);
  ExpectFrame(halves * kHalfBytes, 999000, 0);
  EXPECT_FALSE(Woken(render_)) << "back at the lead";
}

TEST_F(AsioStreamTest, QueuedBytesAroundTheBufferEnd) {
  // 5000-frame halves (40000 bytes) in a 92160-byte buffer.
  OpenWithBuffers(FALSE, 10000, {{kInt32Lsb, 0}, {kInt32Lsb, 1}}, true);
  Run(render_);
  ASSERT_TRUE(Woken(render_));
  PUCHAR base = render_.Buffer();
  FillAndSignal(0);
  private_->TimingNotification(FALSE);  // bytes 0 .. 39999
  ASSERT_TRUE(Woken(render_));

  // Everything played: the buffer is empty, not full, so there is room for
  // another half after this one.
  private_->SetRenderPosition(base + 40000);
  size_t mark = adapter_.calls.size();
  FillAndSignal(100000);
  private_->TimingNotification(FALSE);  // bytes 40000 .. 79999
  auto queued = QueuedSince(mark, "QueueRenderBuffer");
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].address, base + 40000);
  EXPECT_TRUE(Woken(render_));

  // One frame of that half is still to be played: the next half goes after
  // it, not over it, and wraps.
  private_->SetRenderPosition(base + 80000 - kFrameBytes);
  mark = adapter_.calls.size();
  FillAndSignal(200000);
  private_->TimingNotification(FALSE);  // bytes 80000 .. 27839
  queued = QueuedSince(mark, "QueueRenderBuffer");
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_EQ(queued[0].address, base + 80000);
  ExpectFrame(80000 - kFrameBytes, 100000, 4999);
  // Two halves and a frame would be queued: beyond the two-half lead.
  EXPECT_FALSE(Woken(render_)) << "8 bytes queued before this half";
  // The frame is played: exactly one half queued, room for the next.
  private_->SetRenderPosition(base + 80000);
  private_->TimingNotification(FALSE);
  EXPECT_TRUE(Woken(render_));

  // Read behind the end, write past the start: 27840 + 92160 - 90000 =
  // 30000 bytes queued; this half leaves 22160 free, no room for another.
  private_->SetRenderPosition(base + 90000);
  mark = adapter_.calls.size();
  FillAndSignal(300000);
  private_->TimingNotification(FALSE);  // bytes 27840 .. 67839
  queued = QueuedSince(mark, "QueueRenderBuffer");
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].address, base + 27840);
  EXPECT_FALSE(Woken(render_));

  // Read 8000: 59840 queued, 32320 free: still no room.
  private_->SetRenderPosition(base + 8000);
  private_->TimingNotification(FALSE);
  EXPECT_FALSE(Woken(render_));
  // Read 27840: 40000 queued, 52160 free.
  private_->SetRenderPosition(base + 27840);
  private_->TimingNotification(FALSE);
  EXPECT_TRUE(Woken(render_));
}

TEST_F(AsioStreamTest, RenderPlaysTheHalfCaptureNames) {
  OpenWithBuffers(TRUE, 512, {{kInt32Lsb, 0}, {kInt32Lsb, 1}}, true);
  OpenWithBuffers(FALSE, 512, {{kInt32Lsb, 0}, {kInt32Lsb, 1}}, false);
  Run(capture_);
  Run(render_);
  // The client's halves follow the silence lead (ten halves here).
  constexpr ULONG kLead = 10 * 256 * kFrameBytes;
  // Distinct content in the two render halves.
  for (ULONG f = 0; f < 256; ++f) {
    for (ULONG h = 0; h < 2; ++h) {
      render_.Half(0, h)[f] = (h + 1) * 1000 + f;
      render_.Half(1, h)[f] = ~((h + 1) * 1000 + f);
    }
  }
  // A complete capture half: capture now works on half 1.
  private_->SetCapturePosition(capture_.Buffer() + 256 * kFrameBytes);
  private_->TimingNotification(TRUE);
  ASSERT_EQ(capture_.CurrentHalf(), 1u);
  for (ULONG n = 0; n < 2; ++n) {
    // The client answers the same capture switch twice (a late output
    // ready): both times the half capture names is played.
    render_.Object()->SignalOutputReady();
    private_->TimingNotification(FALSE);
    EXPECT_EQ(render_.CurrentHalf(), 1u) << n;
    ExpectFrame(kLead + n * 256 * kFrameBytes, 2000, 0);
    ExpectFrame(kLead + n * 256 * kFrameBytes + 255 * kFrameBytes, 2000, 255);
  }
  EXPECT_EQ(render_.Toggles(), 2u);
  // Capture moves on to half 0: render plays half 0.
  private_->SetCapturePosition(capture_.Buffer() + 512 * kFrameBytes);
  private_->TimingNotification(TRUE);
  ASSERT_EQ(capture_.CurrentHalf(), 0u);
  render_.Object()->SignalOutputReady();
  private_->TimingNotification(FALSE);
  EXPECT_EQ(render_.CurrentHalf(), 0u);
  ExpectFrame(kLead + 512 * kFrameBytes, 1000, 0);
}

TEST_F(AsioStreamTest, CapturePacedRenderQueuesASilenceLeadBeforeTheFirstHalf) {
  // Paced by capture, a half is handed over just when the device needs it:
  // the render side must have whole halves of silence (at least 50 ms, 2400
  // frames at 48 kHz: the render transfers in flight, one more and a
  // margin) queued ahead, at start and again after a restart dropped the
  // queue, and the client's halves follow it.
  constexpr ULONG kHalfBytes = 256 * kFrameBytes;
  constexpr ULONG kLeadBytes = 10 * kHalfBytes;  // 2560 frames >= 2400
  OpenWithBuffers(TRUE, 512, {{kInt32Lsb, 0}, {kInt32Lsb, 1}}, true);
  OpenWithBuffers(FALSE, 512, {{kInt32Lsb, 0}, {kInt32Lsb, 1}}, false);
  Run(capture_);
  memset(render_.Buffer(), 0x5A, kDmaBytes);
  size_t mark = adapter_.calls.size();
  Run(render_);
  auto queued = QueuedSince(mark, "QueueRenderBuffer");
  ULONG total = 0;
  for (const auto& q : queued) total += q.a;
  ASSERT_EQ(total, kLeadBytes);
  ASSERT_EQ(queued[0].address, render_.Buffer());
  for (ULONG i = 0; i < kLeadBytes; ++i) ASSERT_EQ(render_.Buffer()[i], 0) << i;
  EXPECT_EQ(render_.Buffer()[kLeadBytes], 0x5A);
  // The first client half goes after the lead.
  private_->SetCapturePosition(capture_.Buffer() + 256 * kFrameBytes);
  private_->TimingNotification(TRUE);
  for (ULONG f = 0; f < 256; ++f) {
    render_.Half(0, 1)[f] = 3000 + f;
    render_.Half(1, 1)[f] = ~(3000 + f);
  }
  mark = adapter_.calls.size();
  render_.Object()->SignalOutputReady();
  private_->TimingNotification(FALSE);
  queued = QueuedSince(mark, "QueueRenderBuffer");
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].address, render_.Buffer() + kLeadBytes);
  ExpectFrame(kLeadBytes, 3000, 0);
  // A restart drops the queue: the lead is queued again where reading resumes.
  private_->SetRenderPosition(render_.Buffer() + kLeadBytes);
  mark = adapter_.calls.size();
  private_->ClearBuffer(FALSE);
  queued = QueuedSince(mark, "QueueRenderBuffer");
  total = 0;
  for (const auto& q : queued) total += q.a;
  EXPECT_EQ(total, kLeadBytes);
  ASSERT_FALSE(queued.empty());
  EXPECT_EQ(queued[0].address, render_.Buffer() + kLeadBytes + kHalfBytes);
}

TEST_F(AsioStreamTest, SilenceOfDsdClientBuffersIsAlternatingBits) {
  UCHAR bytes[16];
  OpenWithBuffers(FALSE, 512, {{ASIOSTDSDInt8MSB1, 0}, {ASIOSTDSDInt8MSB1, 1}}, false);
  private_->Silence(FALSE, bytes, sizeof bytes);
  for (UCHAR b : bytes) EXPECT_EQ(b, 0xAA);
  render_.Close();
  OpenWithBuffers(FALSE, 512, {{ASIOSTDSDInt8LSB1, 0}}, false);
  private_->Silence(FALSE, bytes, sizeof bytes);
  for (UCHAR b : bytes) EXPECT_EQ(b, 0xAA);
  render_.Close();
  OpenWithBuffers(FALSE, 512, {{kInt32Lsb, 0}}, false);
  memset(bytes, 0x55, sizeof bytes);
  private_->Silence(FALSE, bytes, sizeof bytes);
  for (UCHAR b : bytes) EXPECT_EQ(b, 0x00);
}

TEST_F(AsioStreamTest, DeviceGoneStatusesReachTheSharedHeader) {
  OpenWithBuffers(FALSE, 512, {{kInt32Lsb, 0}}, true);
  OpenWithBuffers(TRUE, 512, {{kInt32Lsb, 0}}, false);
  for (NTSTATUS status : {STATUS_UNSUCCESSFUL, STATUS_CANCELLED, STATUS_IO_TIMEOUT, (NTSTATUS)STATUS_PENDING}) {
    EXPECT_EQ(private_->ReportStreamError(FALSE, status), render_.Object());
    private_->ReportStreamError(TRUE, status);
  }
  EXPECT_EQ(render_.StreamError(), 0u);
  EXPECT_EQ(capture_.StreamError(), 0u);
  private_->ReportStreamError(FALSE, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(render_.StreamError(), 0xC000009Du);
  EXPECT_EQ(capture_.StreamError(), 0u) << "only the direction reported";
  private_->ReportStreamError(TRUE, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(capture_.StreamError(), 0xC000000Eu);
  private_->ReportStreamError(TRUE, STATUS_DELETE_PENDING);
  EXPECT_EQ(capture_.StreamError(), 0xC0000056u);

  // A stream without client buffers has no header to write.
  capture_.Close();
  WaveDataFormat format(2, 32, 48000);
  ASSERT_EQ(miniport_->NewStream(&capture_.stream, nullptr, NonPagedPoolNx, 3, TRUE, format.Format(), &capture_.dma,
                                 &capture_.group),
            STATUS_SUCCESS);
  EXPECT_EQ(private_->ReportStreamError(TRUE, STATUS_DEVICE_NOT_CONNECTED), capture_.Object());
}

TEST_F(AsioStreamTest, CopyPathNeitherAllocatesNorWaits) {
  OpenWithBuffers(TRUE, 256, {{kInt32Lsb, 0}, {kInt32Lsb, 1}}, true);
  OpenWithBuffers(FALSE, 256, {{kInt32Lsb, 0}, {kInt32Lsb, 1}}, false);
  Run(capture_);
  Run(render_);
  PUCHAR captureBase = capture_.Buffer();
  PUCHAR renderBase = render_.Buffer();
  // The next pool allocation of any tag fails: if the copy path took one,
  // the allocation below would succeed.
  platform::FailPoolAllocation(0, 0);
  const size_t outstanding = platform::OutstandingPoolAllocations();
  ULONG captured = 0;
  ULONG played = 0;
  adapter_.calls.reserve(adapter_.calls.size() + 20000);
  for (int i = 0; i < 2000; ++i) {
    KIRQL old;
    // The streaming context runs at DISPATCH_LEVEL, where a wait is a stop.
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    captured = (captured + 96 * kFrameBytes) % kDmaBytes;
    private_->SetCapturePosition(captureBase + captured);
    private_->TimingNotification(TRUE);
    render_.Object()->SignalOutputReady();
    private_->TimingNotification(FALSE);
    played = (played + 256 * kFrameBytes) % kDmaBytes;
    private_->SetRenderPosition(renderBase + played);
    KeLowerIrql(old);
  }
  EXPECT_GT(capture_.Toggles(), 500u);
  EXPECT_GT(render_.Toggles(), 500u);
  EXPECT_EQ(platform::OutstandingPoolAllocations(), outstanding);
  PVOID probe = ExAllocatePoolWithTag(NonPagedPoolNx, 16, platform::PoolTag("Test"));
  EXPECT_EQ(probe, nullptr) << "an allocation happened in the copy path";
  if (probe != nullptr) ExFreePoolWithTag(probe, platform::PoolTag("Test"));
}

}  // namespace
}  // namespace drivertest
