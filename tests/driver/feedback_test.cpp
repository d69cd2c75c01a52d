// The explicit feedback endpoint: decoding and averaging of 3- and 4-byte
// packets, the window around nominal (with the 10.14 reading of 3-byte
// packets), publication through IStreamEvents, and an end-to-end render run
// sized by feedback against the simulated device's clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "platform/kernel/verifier.h"
#include "tests/driver/stream_fixture.h"

namespace streamtest {
namespace {

// The adapter side of the feedback chains, as a test double.
class TestEvents : public IStreamEvents {
 public:
  BOOLEAN FeedbackShouldRun() override { return run.load() ? TRUE : FALSE; }
  FEEDBACK_REQUEST* AllocateFeedbackRequest() override {
    if (refuseRequests) return nullptr;
    ++requestsOut;
    return static_cast<FEEDBACK_REQUEST*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(FEEDBACK_REQUEST), POOLTAG_USB));
  }
  VOID FreeFeedbackRequest(FEEDBACK_REQUEST* request) override {
    --requestsOut;
    ExFreePool(request);
  }
  VOID OnFeedbackChainEnded() override { Bump(chainsEnded); }
  VOID OnFeedbackReadFailed(NTSTATUS status) override {
    lastFailure = status;
    Bump(failures);
  }
  VOID OnFeedbackPublished(ULONG value) override {
    lastPublished = value;
    Bump(published);
  }
  VOID GrantRenderSlots() override {
    Bump(grants);
    if (onGrant) onGrant();
  }

  bool WaitFor(std::atomic<int>& counter, int count) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, kTimeout, [&] { return counter.load() >= count; });
  }

  std::atomic<bool> run{true};
  bool refuseRequests = false;
  std::atomic<int> requestsOut{0};
  std::atomic<int> chainsEnded{0};
  std::atomic<int> failures{0};
  std::atomic<int> published{0};
  std::atomic<int> grants{0};
  std::atomic<ULONG> lastPublished{0};
  std::atomic<NTSTATUS> lastFailure{0};
  std::function<void()> onGrant;

 private:
  void Bump(std::atomic<int>& counter) {
    std::lock_guard<std::mutex> lock(mutex);
    ++counter;
    cv.notify_all();
  }
  std::mutex mutex;
  std::condition_variable cv;
};

// A completed feedback read built by hand: packets of the given bytes.
struct FakeRead {
  alignas(8) uint8_t urb[USB_ISO_URB_BYTES] = {};
  uint8_t data[256] = {};
  struct _URB_ISOCH_TRANSFER* Iso() { return reinterpret_cast<struct _URB_ISOCH_TRANSFER*>(urb); }
  void Add(std::vector<uint8_t> bytes, USBD_STATUS status = USBD_STATUS_SUCCESS) {
    auto* iso = Iso();
    const ULONG i = iso->NumberOfPackets++;
    iso->IsoPacket[i].Offset = i * 4;
    iso->IsoPacket[i].Length = static_cast<ULONG>(bytes.size());
    iso->IsoPacket[i].Status = status;
    if (!bytes.empty()) std::memcpy(data + i * 4, bytes.data(), bytes.size() < 4 ? bytes.size() : 4);
    iso->TransferBuffer = data;
    // As the bus completes it: the bytes received, not the buffer's size.
    iso->TransferBufferLength = 0;
    for (ULONG p = 0; p <= i; ++p) iso->TransferBufferLength += iso->IsoPacket[p].Length;
  }
  ULONG Decode(BOOLEAN* three) { return CUSBAudioCL::DecodeFeedbackPackets(Iso(), sizeof(data), three); }
};

TEST(FeedbackDecodeTest, ThreeAndFourBytePacketsAreDecodedAndAveraged) {
  BOOLEAN three = FALSE;
  FakeRead a;
  a.Add({0x00, 0x2C, 0x00});
  EXPECT_EQ(a.Decode(&three), 0x002C0000u);
  EXPECT_TRUE(three);

  FakeRead b;
  b.Add({0x00, 0x00, 0x06, 0x00});
  b.Add({0x00, 0x80, 0x06, 0x00});
  b.Add({0x01, 0x02, 0x03, 0x04, 0x05});                 // wrong length: ignored
  b.Add({0xFF, 0xFF, 0xFF, 0xFF}, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW);  // failed: ignored
  b.Add({});                                             // empty: ignored
  EXPECT_EQ(b.Decode(&three), 0x00064000u);
  EXPECT_FALSE(three);

  FakeRead c;
  c.Add({0x00, 0x00, 0x06, 0x00}, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW);
  c.Add({0x00, 0x00});
  EXPECT_EQ(c.Decode(&three), 0u);
}

TEST(FeedbackValidateTest, ReadingsOutsideOneFrameOfNominalFallBackToNominal) {
  const ULONG nominal = static_cast<ULONG>(44100ULL * 65536 / 1000);  // full speed, 44.1 kHz
  ASSERT_EQ(nominal, 0x002C1999u);
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(0x002C0000, nominal, FALSE), 0x002C0000u);
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(0x002A0000, nominal, FALSE), nominal);
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(nominal - 0x10000, nominal, FALSE), nominal - 0x10000);
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(nominal + 0x10000, nominal, FALSE), nominal + 0x10000);
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(nominal + 0x10001, nominal, FALSE), nominal);
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(0, nominal, FALSE), nominal);
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(0xFFFF, 0x8000, FALSE), 0x8000u);  // under one frame
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(0xFFFFFFFF, 0x60000, TRUE), 0x60000u);
}

TEST(FeedbackValidateTest, ThreeBytePacketsFailingAsUpper16_16AreTriedAs10_14) {
  const ULONG nominal = 48u << 16;                 // full speed, 48 kHz
  const ULONG wire = (48u << 14) + 3;              // 48.0002 in 10.14
  const ULONG decoded = wire << 8;                 // the bytes read as upper 24 of 16.16
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(decoded, nominal, TRUE), decoded >> 6);
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(decoded, nominal, FALSE), nominal);  // 4-byte readings are not
  // A plausible 16.16 reading is not reinterpreted.
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(nominal + 0x100, nominal, TRUE), nominal + 0x100);
  // Garbage stays garbage either way.
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(0x12345600, nominal, TRUE), nominal);
}

TEST(FeedbackValidateTest, HighSpeedReadingsPerMillisecondAndPacketsBeyondTheEndpoint) {
  const ULONG nominal = 6u << 16;       // high speed, 48 kHz: per microframe
  const ULONG wire = (48u << 14) + 3;   // 48.0002 frames per 1 ms frame in 10.14
  const ULONG decoded = wire << 8;      // the bytes read as upper 24 of 16.16
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(decoded, nominal, TRUE, TRUE), decoded >> 9);
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(decoded, nominal, TRUE, FALSE), nominal);   // only at high speed
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(decoded, nominal, FALSE, TRUE), nominal);   // only 3-byte packets
  // The standard 4-byte 16.16 per microframe is taken as it is.
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(nominal + 0x100, nominal, FALSE, TRUE), nominal + 0x100);
  // Packets of 8 microframes into an endpoint holding 49 frames: 6.125 fits,
  // 6.25 (50 frames a packet) does not.
  const ULONG ceiling = (49u << 16) / 8;
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(nominal + 0x2000, nominal, FALSE, TRUE, ceiling), nominal + 0x2000);
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback(nominal + 0x4000, nominal, FALSE, TRUE, ceiling), nominal);
  EXPECT_EQ(CUSBAudioCL::ValidateFeedback((50u << 14) << 8, nominal, TRUE, TRUE, ceiling), nominal);  // 6.25
}

class FeedbackTest : public StreamTest {
 protected:
  void StartChains(int chains) {
    audio_->SetStreamEvents(&events_);
    chains_ += chains;
    for (int i = 0; i < chains; ++i) audio_->ExplicitFeedbackStart(nullptr, nullptr);
  }
  // A test that stopped early still ends its chains before the model goes.
  void TearDown() override {
    if (chains_ > events_.chainsEnded.load()) StopChains(chains_);
    StreamTest::TearDown();
  }
  int chains_ = 0;
  void StopChains(int chains) {
    events_.run = false;
    EXPECT_TRUE(events_.WaitFor(events_.chainsEnded, chains)) << "feedback chains did not end";
    EXPECT_EQ(events_.requestsOut.load(), 0);
  }
  // Reads until `count` readings were published; returns the last.
  ULONG PublishedAfter(int count) {
    EXPECT_TRUE(events_.WaitFor(events_.published, count)) << "no feedback published";
    return events_.lastPublished.load();
  }
  TestEvents events_;
};

struct LayoutCase {
  const char* profile;
  sim::FeedbackLayout layout;
  ULONG tolerance;  // 16.16 units lost by the wire format
};

class FeedbackLayoutTest : public FeedbackTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(FeedbackLayoutTest, TheDevicesValueIsPublishedInEveryWireLayout) {
  sim::StreamingOptions options;
  options.ppm = 1000;  // a device running fast (by more than 8 bits of 16.16), so nominal would be wrong
  options.feedbackLayout = GetParam().layout;
  Start(GetParam().profile, options);
  ASSERT_EQ(SelectRender(2, 16, 48000), STATUS_SUCCESS);
  ASSERT_NE(Render()->FeedbackPipe, nullptr);
  StartChains(3);
  const ULONG value = PublishedAfter(6);
  const ULONG device = streaming_->CurrentFeedback();
  const ULONG nominal = Render()->NominalFeedback;
  EXPECT_NEAR(static_cast<double>(value), static_cast<double>(device), GetParam().tolerance + 8.0);
  EXPECT_GT(value, nominal) << "the reading, not nominal, must be published";
  EXPECT_EQ(audio_->GetLatestFeedback(), events_.lastPublished.load());
  EXPECT_EQ(audio_->LatchFeedback(), audio_->GetLatestFeedback());
  EXPECT_EQ(events_.failures.load(), 0);
  StopChains(3);
  EXPECT_GE(events_.grants.load(), 6);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FeedbackLayoutTest,
    ::testing::Values(LayoutCase{"default", sim::FeedbackLayout::Fixed16_16, 0},
                      LayoutCase{"default", sim::FeedbackLayout::Upper24Of16_16, 0x100},
                      LayoutCase{"default", sim::FeedbackLayout::Fixed10_14, 4},
                      LayoutCase{"uac1-fs", sim::FeedbackLayout::Auto, 4},
                      // High speed with one data packet per frame, 16.16 per microframe.
                      LayoutCase{"uac2-hs-1ms", sim::FeedbackLayout::Auto, 0},
                      // Class 1.0 at high speed: 10.14 per 1 ms frame.
                      LayoutCase{"uac1-hs", sim::FeedbackLayout::Auto, 4},
                      // A feedback packet every microframe.
                      LayoutCase{"uac2-fb-interval1", sim::FeedbackLayout::Auto, 0}));

TEST_F(FeedbackTest, GarbageAndEmptyFeedbackPublishNominal) {
  sim::StreamingOptions options;
  options.feedbackFault = sim::FeedbackFault::Garbage;
  Start("default", options);
  ASSERT_EQ(SelectRender(2, 16, 48000), STATUS_SUCCESS);
  StartChains(1);
  EXPECT_EQ(PublishedAfter(3), Render()->NominalFeedback);
  streaming_->SetFeedbackFault(sim::FeedbackFault::ZeroLength);
  const int seen = events_.published.load();
  EXPECT_EQ(PublishedAfter(seen + 3), Render()->NominalFeedback);
  streaming_->SetFeedbackFault(sim::FeedbackFault::Fixed, 0x00061000);
  // Readings already under way may still carry the old fault.
  const int now = events_.published.load();
  EXPECT_TRUE(events_.WaitFor(events_.published, now + 3));
  EXPECT_EQ(PublishedAfter(now + 3), 0x00061000u);
  StopChains(1);
}

TEST_F(FeedbackTest, FailedReadsAreCountedAndTheChainGoesOnOrEnds) {
  Start("default");
  ASSERT_EQ(SelectRender(2, 16, 48000), STATUS_SUCCESS);
  audio_->SetStreamEvents(&events_);
  events_.run = false;
  FEEDBACK_REQUEST* request = events_.AllocateFeedbackRequest();
  request->Owner = audio_.get();
  request->Buffer = ExAllocatePoolWithTag(NonPagedPoolNx, 64, POOLTAG_USB);
  request->TargetBytes = 64;
  CUSBAudioCL::RecvFeedbackCompletion(STATUS_DEVICE_NOT_CONNECTED, 0, FALSE, request);
  EXPECT_EQ(events_.failures.load(), 1);
  EXPECT_EQ(events_.lastFailure.load(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(events_.published.load(), 0);
  EXPECT_EQ(events_.chainsEnded.load(), 1);  // render not running: the chain ends
  EXPECT_EQ(events_.requestsOut.load(), 0);
  EXPECT_EQ(events_.grants.load(), 1);

  // No request to be had: the slot is given back at once.
  events_.run = true;
  events_.refuseRequests = true;
  audio_->ExplicitFeedbackStart(nullptr, nullptr);
  EXPECT_EQ(events_.chainsEnded.load(), 2);
}

TEST_F(FeedbackTest, ReadsNeedAnIsochronousFeedbackPipe) {
  Start("uac2-implicit");
  ASSERT_EQ(SelectRender(2, 16, 48000), STATUS_SUCCESS);
  uint8_t buffer[64];
  EXPECT_EQ(audio_->RecvFeedback(buffer, sizeof(buffer), CUSBAudioCL::RecvFeedbackCompletion, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(audio_->GetFeedbackBufferBytes(), 0u);
}

// Render transfers back to back from their own completions, each sized by
// the latest feedback, for about a second.
class RenderPump {
 public:
  RenderPump(CUSBAudioCL* audio, sim::AudioStreaming* streaming, ULONG totalFrames)
      : audio_(audio), streaming_(streaming), totalFrames_(totalFrames) {}

  void Start(int inFlight) {
    for (int i = 0; i < inFlight; ++i) {
      std::lock_guard<std::mutex> lock(mutex_);
      SubmitLocked();
    }
  }
  bool WaitDone() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return stopped_ && inFlight_ == 0; });
  }

  std::vector<uint8_t> sent;
  NTSTATUS failure = STATUS_SUCCESS;
  uint64_t underrunsAtWarmUp = UINT64_MAX;
  uint64_t underrunsAtEnd = UINT64_MAX;
  uint64_t poolAtWarmUp = 0;
  uint64_t poolAtEnd = 0;
  int transfers = 0;

 private:
  static VOID Completed(NTSTATUS status, ULONG, PVOID context) {
    auto* self = static_cast<RenderPump*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    --self->inFlight_;
    if (!NT_SUCCESS(status) && NT_SUCCESS(self->failure)) self->failure = status;
    if (!self->stopped_) self->SubmitLocked();
    self->cv_.notify_all();
  }

  void SubmitLocked() {
    const ULONG frameBytes = audio_->GetRenderInterface()->BytesPerFrame;
    if (sent.size() / frameBytes >= totalFrames_ || !NT_SUCCESS(failure)) {
      if (!stopped_) {
        stopped_ = true;
        underrunsAtEnd = streaming_->Counters().underruns;
        poolAtEnd = platform::TotalPoolAllocations(POOLTAG_USB);
      }
      return;
    }
    if (transfers == 100) {
      underrunsAtWarmUp = streaming_->Counters().underruns;
      poolAtWarmUp = platform::TotalPoolAllocations(POOLTAG_USB);
    }
    const ULONG feedback = audio_->LatchFeedback();
    const ULONG bytes = audio_->NextRenderTransferBytes(kFramesPerTransfer, feedback);
    MdlBuffer& buffer = buffers_[transfers % kBuffers];
    buffer.resize(bytes);
    for (ULONG i = 0; i < bytes; ++i) buffer[i] = static_cast<uint8_t>((sent.size() + i) * 131 / 7);
    const NTSTATUS status = audio_->SendIsoOut(buffer.Mdl(), bytes, kFramesPerTransfer, &Completed, this);
    if (!NT_SUCCESS(status)) {
      failure = status;
      stopped_ = true;
      return;
    }
    sent.insert(sent.end(), buffer.data(), buffer.data() + buffer.size());
    ++inFlight_;
    ++transfers;
  }

  static constexpr ULONG kFramesPerTransfer = 2;
  static constexpr int kBuffers = 8;
  CUSBAudioCL* audio_;
  sim::AudioStreaming* streaming_;
  const ULONG totalFrames_;
  std::mutex mutex_;
  std::condition_variable cv_;
  MdlBuffer buffers_[kBuffers];
  int inFlight_ = 0;
  bool stopped_ = false;
};

TEST_F(FeedbackTest, RenderSizedByFeedbackPlaysExactlyWhatWasSentWithoutUnderruns) {
  sim::StreamingOptions options;
  // A device clock slow enough that nominal sizing would overrun its FIFO
  // within the second (240 frames = 5 ms against 4 ms of room).
  options.ppm = -5000;
  options.fifoMicroseconds = 8000;
  Start("default", options);
  ULONG channels = 0, container = 0, maxBytes = 0;
  ASSERT_EQ(audio_->SelectStreamingFormat(FALSE, 2, 24, 48000, 1, &channels, &container, &maxBytes),
            STATUS_SUCCESS);
  StartChains(3);
  // No render transfer before the first reading.
  PublishedAfter(1);

  RenderPump pump(audio_.get(), streaming_.get(), 48000);
  pump.Start(3);
  ASSERT_TRUE(pump.WaitDone()) << "render pump did not finish";
  EXPECT_EQ(pump.failure, STATUS_SUCCESS);
  EXPECT_TRUE(streaming_->WaitForPlayedBytes(pump.sent.size(), kTimeout)) << "audio lost on the way";
  StopChains(3);

  const std::vector<uint8_t> played = streaming_->PlayedAudio();
  ASSERT_GE(played.size(), pump.sent.size());
  EXPECT_TRUE(std::equal(pump.sent.begin(), pump.sent.end(), played.begin())) << "played audio differs";
  EXPECT_EQ(streaming_->Counters().malformedPackets, 0u);
  EXPECT_EQ(streaming_->Counters().overruns, 0u);
  ASSERT_NE(pump.underrunsAtWarmUp, UINT64_MAX);
  EXPECT_EQ(pump.underrunsAtEnd, pump.underrunsAtWarmUp) << "underruns after start-up";
  EXPECT_EQ(pump.poolAtEnd, pump.poolAtWarmUp) << "pool allocations in steady state";
  EXPECT_EQ(events_.failures.load(), 0);
  EXPECT_LT(audio_->GetLatestFeedback(), Render()->NominalFeedback);
}

TEST_F(FeedbackTest, FailedReadsOnTheBusAreReportedAndReadingGoesOn) {
  Start("default");
  ASSERT_EQ(SelectRender(2, 16, 48000), STATUS_SUCCESS);
  StartChains(3);
  PublishedAfter(1);
  device_->FailNextTransfers(Render()->FeedbackPipe->EndpointAddress, 3);
  ASSERT_TRUE(events_.WaitFor(events_.failures, 3)) << "failed reads not reported";
  const int seen = events_.published.load();
  EXPECT_EQ(PublishedAfter(seen + 3), Render()->NominalFeedback);
  EXPECT_EQ(events_.failures.load(), 3);
  StopChains(3);
}

}  // namespace
}  // namespace streamtest
