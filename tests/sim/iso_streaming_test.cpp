// The simulated bus's data path end to end: isochronous URBs in IRPs against
// the device's PDO, with the audio side playing, recording, reporting
// feedback and capturing in real time.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>

#include "tests/sim/iso_bus_fixture.h"

namespace simtest {
namespace {

constexpr uint8_t kRenderInterface = 1;
constexpr uint8_t kCaptureInterface = 2;
constexpr uint8_t kRenderEndpoint = 0x01;
constexpr uint8_t kFeedbackEndpoint = 0x81;
constexpr uint8_t kCaptureEndpoint = 0x82;

// Renders `transfers` 1 ms transfers ASAP back to back, packets sized from the
// nominal schedule, keeping `slots` in flight by resubmitting from completion.
class RenderStreamer {
 public:
  RenderStreamer(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, uint32_t rate, uint32_t frameBytes, bool highSpeed,
                 uint32_t transfers, bool lengthPrefix = false)
      : pdo_(pdo), pipe_(pipe), rate_(rate), frameBytes_(frameBytes), unitsPerMs_(highSpeed ? 8 : 1),
        left_(transfers), prefix_(lengthPrefix) {}

  void Run(uint32_t slots) {
    for (uint32_t i = 0; i < slots; ++i) requests_.push_back(std::make_unique<UrbRequest>(IsoUrbBytes(8)));
    // Transfers reach the pipe in the order their audio was taken.
    std::lock_guard<std::recursive_mutex> order(submitLock_);
    for (auto& r : requests_) {
      if (!Fill(*r)) break;
      r->Send(pdo_, [this](UrbRequest& done) { return Completed(done); });
    }
  }
  bool Wait() {
    for (auto& r : requests_)
      if (!r->Wait()) return false;
    return true;
  }

  std::mutex mutex;
  std::vector<uint8_t> sent;          // audio bytes, in order
  std::vector<ULONG> startFrames;     // of each completed transfer, in completion order
  std::vector<NTSTATUS> failures;
  std::atomic<int> notAtDispatch{0};
  std::function<void()> onLastCompletion;
  // When set and non-zero: 16.16 frames per microframe to size packets with.
  const std::atomic<uint32_t>* feedback = nullptr;

 private:
  bool Fill(UrbRequest& r) {
    std::vector<ULONG> sizes;
    std::vector<uint8_t> payload;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (left_ == 0) return false;
      --left_;
      const uint32_t fb = feedback != nullptr ? feedback->load() : 0;
      for (uint32_t u = 0; u < unitsPerMs_; ++u, ++unit_) {
        const uint64_t perSecond = unitsPerMs_ * 1000ull;
        uint64_t frames = (unit_ + 1) * rate_ / perSecond + ((unit_ + 1) * rate_ % perSecond != 0) -
                          (unit_ * rate_ / perSecond + (unit_ * rate_ % perSecond != 0));
        if (fb != 0) {
          remainder_ += fb;
          frames = remainder_ >> 16;
          remainder_ &= 0xFFFF;
        }
        const uint32_t bytes = static_cast<uint32_t>(frames * frameBytes_);
        if (prefix_) {
          for (int b = 0; b < 4; ++b) payload.push_back(static_cast<uint8_t>(bytes >> (8 * b)));
        }
        for (uint64_t f = 0; f < frames; ++f, ++frame_) {
          for (uint32_t b = 0; b < frameBytes_; ++b) {
            const auto byte = static_cast<uint8_t>((frame_ >> (8 * (b % 4))) + b * 0x40);
            payload.push_back(byte);
            sent.push_back(byte);
          }
        }
        sizes.push_back(bytes + (prefix_ ? 4 : 0));
      }
    }
    BuildIso(r, pipe_, USBD_START_ISO_TRANSFER_ASAP, 0, sizes);
    std::copy(payload.begin(), payload.end(), r.Buffer().begin());
    return true;
  }

  bool Completed(UrbRequest& r) {
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) ++notAtDispatch;
    bool last;
    {
      std::lock_guard<std::mutex> lock(mutex);
      startFrames.push_back(r.Urb()->UrbIsochronousTransfer.StartFrame);
      if (r.Status() != STATUS_SUCCESS) failures.push_back(r.Status());
      last = left_ == 0 && ++finished_ == requests_.size();
    }
    if (last && onLastCompletion) onLastCompletion();
    std::lock_guard<std::recursive_mutex> order(submitLock_);
    if (!Fill(r)) return false;
    r.Resend();
    return true;
  }

  PDEVICE_OBJECT pdo_;
  USBD_PIPE_HANDLE pipe_;
  uint32_t rate_;
  uint32_t frameBytes_;
  uint32_t unitsPerMs_;
  uint32_t left_;
  bool prefix_;
  uint64_t unit_ = 0;
  uint64_t frame_ = 0;
  uint64_t remainder_ = 0;
  size_t finished_ = 0;
  std::recursive_mutex submitLock_;
  std::vector<std::unique_ptr<UrbRequest>> requests_;
};

struct RenderCase {
  const char* profile;
  uint32_t rate;
  double ppm;
  bool expectUnderruns;
  bool expectOverruns;
};

void PrintTo(const RenderCase& c, std::ostream* os) { *os << c.profile << " " << c.rate << " Hz " << c.ppm << " ppm"; }

class RenderStreaming : public IsoBusTest, public testing::WithParamInterface<RenderCase> {};

TEST_P(RenderStreaming, NominalTransfersPlayEveryFrameInOrder) {
  const RenderCase c = GetParam();
  sim::StreamingOptions options;
  options.ppm = c.ppm;
  Start(c.profile, [&](sim::DeviceProfile& p) { p.audio.clockSources[0x10].currentRate = c.rate; }, options);
  const auto pipes = SelectAlternate(kRenderInterface, 1);
  const sim::StreamFormat render = streaming_->Render();
  ASSERT_TRUE(render.active);
  ASSERT_EQ(render.frameBytes, 4u);
  ASSERT_EQ(streaming_->Rate(), c.rate);

  const bool prefix = profile_.audio.lengthPrefixedOutPackets;
  RenderStreamer streamer(Pdo(), PipeOf(pipes, kRenderEndpoint), c.rate, render.frameBytes, true, 1000, prefix);
  // What the device had when the host stopped sending, before its FIFO ran dry.
  sim::StreamingCounters atEnd;
  streamer.onLastCompletion = [&] { atEnd = streaming_->Counters(); };
  streamer.Run(6);
  ASSERT_TRUE(streamer.Wait());

  std::lock_guard<std::mutex> lock(streamer.mutex);
  EXPECT_TRUE(streamer.failures.empty());
  EXPECT_EQ(streamer.notAtDispatch.load(), 0) << "completions must run at DISPATCH_LEVEL";
  ASSERT_EQ(streamer.startFrames.size(), 1000u);
  for (size_t i = 1; i < streamer.startFrames.size(); ++i)
    ASSERT_EQ(streamer.startFrames[i], streamer.startFrames[i - 1] + 1) << "ASAP transfer " << i << " left a gap";
  EXPECT_EQ(device_->DataTransferCounters().asapRestarts, 0u);
  EXPECT_EQ(atEnd.framesReceived * 4, streamer.sent.size());
  EXPECT_EQ(atEnd.malformedPackets, 0u);
  EXPECT_EQ(atEnd.underruns > 0, c.expectUnderruns) << atEnd.underruns << " underruns";
  EXPECT_EQ(atEnd.overruns > 0, c.expectOverruns) << atEnd.overruns << " overruns";

  // Whatever was not dropped at the door is played, in order, untouched.
  const size_t expected = streamer.sent.size() - atEnd.droppedFrames * 4;
  ASSERT_TRUE(streaming_->WaitForPlayedBytes(expected, kTimeout));
  const std::vector<uint8_t> played = streaming_->PlayedAudio();
  ASSERT_EQ(played.size(), expected);
  if (!c.expectOverruns) {
    EXPECT_TRUE(played == streamer.sent) << "played audio differs from what was sent";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, RenderStreaming,
    testing::Values(RenderCase{"default", 48000, 0.0, false, false}, RenderCase{"default", 44100, 0.0, false, false},
                    RenderCase{"quirk-1686-00dd", 48000, 0.0, false, false},
                    // A device clock 0.3 % fast drains a host that ignores feedback.
                    RenderCase{"default", 48000, 3000.0, true, false},
                    RenderCase{"default", 48000, -3000.0, false, true}),
    [](const testing::TestParamInfo<RenderCase>& info) {
      std::string name = std::string(info.param.profile) + "_" + std::to_string(info.param.rate);
      std::replace(name.begin(), name.end(), '-', '_');
      const int ppm = static_cast<int>(info.param.ppm);
      if (ppm != 0) name += (ppm > 0 ? "_fast" : "_slow") + std::to_string(std::abs(ppm)) + "ppm";
      return name;
    });

// A host that sizes its packets from the feedback it reads keeps the device's
// FIFO near its centre even with a clock far off nominal.
TEST_F(IsoBusTest, HostFollowingFeedbackNeitherUnderrunsNorOverruns) {
  sim::StreamingOptions options;
  options.ppm = 3000;
  options.driftPpm = 200;
  options.driftPeriodSeconds = 0.5;
  Start("default", nullptr, options);
  const auto pipes = SelectAlternate(kRenderInterface, 1);
  const USBD_PIPE_HANDLE feedbackPipe = PipeOf(pipes, kFeedbackEndpoint);

  std::atomic<uint32_t> latest{0};
  std::atomic<bool> stop{false};
  std::atomic<int> badReads{0};
  UrbRequest reader(IsoUrbBytes(4));
  auto read = [&] { BuildIso(reader, feedbackPipe, USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP, 0,
                             std::vector<ULONG>(4, 4)); };
  read();
  reader.Send(Pdo(), [&](UrbRequest& r) {
    const auto& iso = r.Urb()->UrbIsochronousTransfer;
    if (r.Status() != STATUS_SUCCESS || iso.IsoPacket[3].Length != 4) ++badReads;
    else {
      const uint8_t* p = r.Buffer().data() + iso.IsoPacket[3].Offset;
      latest.store(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
    }
    if (stop.load()) return false;
    read();
    r.Resend();
    return true;
  });

  RenderStreamer streamer(Pdo(), PipeOf(pipes, kRenderEndpoint), 48000, 4, true, 1500);
  streamer.feedback = &latest;
  sim::StreamingCounters atEnd;
  size_t levelAtEnd = 0;
  streamer.onLastCompletion = [&] {
    atEnd = streaming_->Counters();
    levelAtEnd = streaming_->FifoFrames();
  };
  streamer.Run(6);
  ASSERT_TRUE(streamer.Wait());
  stop.store(true);
  ASSERT_TRUE(reader.Wait());
  EXPECT_EQ(badReads.load(), 0);
  EXPECT_EQ(atEnd.underruns, 0u);
  EXPECT_EQ(atEnd.overruns, 0u);
  const size_t capacity = streaming_->FifoCapacityFrames();
  EXPECT_GT(levelAtEnd, capacity / 4);
  EXPECT_LT(levelAtEnd, capacity * 3 / 4);
  // The device asked for more than nominal, as its clock is fast.
  EXPECT_GT(atEnd.feedbackMin, 0x60000u);
}

// Isochronous IN ------------------------------------------------------------------------

TEST_F(IsoBusTest, CaptureStartsAtItsFrameAndCarriesTheClocksFrames) {
  Start("default");
  const auto pipes = SelectAlternate(kCaptureInterface, 1);
  const USBD_PIPE_HANDLE pipe = PipeOf(pipes, kCaptureEndpoint);
  const sim::StreamFormat capture = streaming_->Capture();
  ASSERT_TRUE(capture.active);
  const ULONG maxPacket = pipes[0].MaximumPacketSize;

  // A start frame in the past fails the whole request.
  UrbRequest late(IsoUrbBytes(8));
  BuildIso(late, pipe, USBD_TRANSFER_DIRECTION_IN, device_->CurrentFrame() - 5, std::vector<ULONG>(8, maxPacket));
  EXPECT_EQ(Call(late), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(late.Urb()->UrbHeader.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
  for (ULONG i = 0; i < 8; ++i) {
    EXPECT_EQ(late.Urb()->UrbIsochronousTransfer.IsoPacket[i].Status, USBD_STATUS_BAD_START_FRAME);
    EXPECT_EQ(late.Urb()->UrbIsochronousTransfer.IsoPacket[i].Length, 0u);
  }
  // So does one beyond the schedule's reach.
  UrbRequest far(IsoUrbBytes(8));
  BuildIso(far, pipe, USBD_TRANSFER_DIRECTION_IN, device_->CurrentFrame() + 5000, std::vector<ULONG>(8, maxPacket));
  EXPECT_EQ(Call(far), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(far.Urb()->UrbHeader.Status, USBD_STATUS_BAD_START_FRAME);

  // Two frames' worth, 20 frames ahead: completes once its last frame passed.
  UrbRequest r(IsoUrbBytes(16));
  r.SetFrameSource([this] { return device_->CurrentFrame(); });
  const ULONG start = device_->CurrentFrame() + 20;
  BuildIso(r, pipe, USBD_TRANSFER_DIRECTION_IN, start, std::vector<ULONG>(16, maxPacket));
  EXPECT_EQ(Call(r), STATUS_SUCCESS);
  EXPECT_EQ(r.CompletionIrql(), DISPATCH_LEVEL);
  EXPECT_GE(static_cast<int32_t>(r.CompletionFrame() - (start + 2)), 0) << "completed before its frames passed";
  const auto& iso = r.Urb()->UrbIsochronousTransfer;
  EXPECT_EQ(iso.StartFrame, start);
  EXPECT_EQ(iso.ErrorCount, 0u);
  ULONG total = 0;
  for (ULONG i = 0; i < 16; ++i) {
    EXPECT_EQ(iso.IsoPacket[i].Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(iso.IsoPacket[i].Length, 6u * capture.frameBytes) << "48 kHz gives 6 frames per microframe";
    total += iso.IsoPacket[i].Length;
  }
  EXPECT_EQ(iso.TransferBufferLength, total);
  // The known signal, continuous across packets (each at its own offset).
  for (uint64_t f = 0; f < 96; ++f) {
    const uint8_t* data = r.Buffer().data() + iso.IsoPacket[f / 6].Offset + (f % 6) * capture.frameBytes;
    for (uint32_t ch = 0; ch < capture.channels; ++ch) {
      uint32_t v = 0;
      for (uint32_t b = 0; b < capture.subslotBytes; ++b) v |= uint32_t(*data++) << (8 * b);
      ASSERT_EQ(v, sim::AudioStreaming::CaptureSample(f, ch, capture.channels, capture.subslotBytes,
                                                      capture.bitResolution))
          << "frame " << f << " channel " << ch;
    }
  }
}

TEST_F(IsoBusTest, ImplicitFeedbackCapturePacketsFollowTheDeviceClock) {
  sim::StreamingOptions options;
  options.ppm = 500;
  Start("uac2-implicit", [](sim::DeviceProfile& p) { p.audio.clockSources[0x10].currentRate = 44100; }, options);
  const auto pipes = SelectAlternate(kCaptureInterface, 1);
  const USBD_PIPE_HANDLE pipe = PipeOf(pipes, kCaptureEndpoint);
  const uint32_t frameBytes = streaming_->Capture().frameBytes;
  // 100 transfers of 8 ms back to back, 800 ms in all, twelve in flight (a
  // receive whose start frame has passed fails, so keep well ahead, also
  // under ThreadSanitizer on a loaded machine).
  constexpr int kInFlight = 12;
  uint64_t frames = 0;
  const ULONG first = device_->CurrentFrame() + 20;
  const std::vector<ULONG> sizes(64, pipes[0].MaximumPacketSize);
  std::vector<std::unique_ptr<UrbRequest>> requests;
  auto submit = [&](int t) {
    requests.push_back(std::make_unique<UrbRequest>(IsoUrbBytes(64)));
    BuildIso(*requests.back(), pipe, USBD_TRANSFER_DIRECTION_IN, first + 8 * t, sizes);
    requests.back()->Send(Pdo());
  };
  for (int t = 0; t < kInFlight; ++t) submit(t);
  for (int t = 0; t < 100; ++t) {
    UrbRequest& r = *requests[t];
    ASSERT_TRUE(r.Wait());
    if (t + kInFlight < 100) submit(t + kInFlight);
    const auto& iso = r.Urb()->UrbIsochronousTransfer;
    ASSERT_EQ(r.Status(), STATUS_SUCCESS) << "transfer " << t << ": URB status " << std::hex
                                          << iso.Hdr.Status << ", packet 0 " << iso.IsoPacket[0].Status;
    for (ULONG i = 0; i < 64; ++i) {
      const ULONG n = iso.IsoPacket[i].Length / frameBytes;
      ASSERT_TRUE(n == 5 || n == 6) << n << " frames in a 44.1 kHz microframe";
      frames += n;
    }
  }
  const double expected = 44100.0 * 1.0005 * 0.8;
  EXPECT_NEAR(static_cast<double>(frames), expected, 2.0);
}

// Explicit feedback -------------------------------------------------------------------

struct FeedbackCase {
  const char* profile;
  sim::FeedbackLayout layout;
  uint32_t wireBytes;
  uint32_t resolution;  // of the wire format, in 16.16 units
};

void PrintTo(const FeedbackCase& c, std::ostream* os) {
  *os << c.profile << " layout " << static_cast<int>(c.layout) << ", " << c.wireBytes << " bytes";
}

std::string FeedbackCaseName(const testing::TestParamInfo<FeedbackCase>& info) {
  static const char* const kNames[] = {"Auto", "Fixed10_14", "Fixed16_16", "Upper24"};
  std::string name = std::string(info.param.profile) + "_" + kNames[static_cast<int>(info.param.layout)];
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

class FeedbackLayouts : public IsoBusTest, public testing::WithParamInterface<FeedbackCase> {};

TEST_P(FeedbackLayouts, ReportTheDeviceClockInTheWireFormat) {
  const FeedbackCase c = GetParam();
  sim::StreamingOptions options;
  options.ppm = 250;
  options.feedbackLayout = c.layout;
  Start(c.profile,
        [&](sim::DeviceProfile& p) {
          if (p.descriptors.highSpeed || c.wireBytes != 4) return;
          // Room for a 4-byte value on the full-speed synch endpoint.
          auto& cfg = p.descriptors.configuration;
          for (size_t i = 0; i + 6 < cfg.size(); i += cfg[i]) {
            if (cfg[i + 1] == 0x05 && cfg[i + 2] == kFeedbackEndpoint) cfg[i + 4] = 4;
            if (cfg[i] == 0) break;
          }
        },
        options);
  const auto pipes = SelectAlternate(kRenderInterface, 1);
  ASSERT_EQ(streaming_->Render().feedbackEndpoint, kFeedbackEndpoint);
  const USBD_PIPE_INFORMATION* info = nullptr;
  for (const auto& p : pipes)
    if (p.EndpointAddress == kFeedbackEndpoint) info = &p;
  ASSERT_NE(info, nullptr);
  const ULONG c4 = info->MaximumPacketSize;

  UrbRequest r(IsoUrbBytes(4));
  BuildIso(r, info->PipeHandle, USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP, 0,
           std::vector<ULONG>(4, c4));
  ASSERT_EQ(Call(r), STATUS_SUCCESS);
  const auto& iso = r.Urb()->UrbIsochronousTransfer;
  const bool highSpeed = profile_.descriptors.highSpeed;
  const double perUnit = 48000.0 * (1.0 + 250e-6) / (highSpeed ? 8000.0 : 1000.0);
  const double expected = perUnit * 65536.0;
  for (ULONG i = 0; i < 4; ++i) {
    ASSERT_EQ(iso.IsoPacket[i].Status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(iso.IsoPacket[i].Length, c.wireBytes);
    const uint8_t* p = r.Buffer().data() + iso.IsoPacket[i].Offset;
    double value = 0;
    switch (c.layout == sim::FeedbackLayout::Auto ? (highSpeed ? sim::FeedbackLayout::Fixed16_16
                                                                : sim::FeedbackLayout::Fixed10_14)
                                                   : c.layout) {
      case sim::FeedbackLayout::Fixed10_14:
        value = (p[0] | p[1] << 8 | p[2] << 16) * 4.0;
        break;
      case sim::FeedbackLayout::Upper24Of16_16:
        value = (uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24);
        break;
      default:
        value = (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
        break;
    }
    EXPECT_NEAR(value, expected, c.resolution + 1.0) << "packet " << i;
  }
  // The offset must be visible: nominal is outside the tolerance.
  const double nominal = 48000.0 / (highSpeed ? 8000.0 : 1000.0) * 65536.0;
  EXPECT_GT(expected - nominal, c.resolution + 1.0);
  const sim::StreamingCounters counters = streaming_->Counters();
  EXPECT_EQ(counters.feedbackPackets, 4u);
  // What was sent, so the wire format's codes (dithering about the clock).
  EXPECT_NEAR(counters.feedbackMin, expected, c.resolution + 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FeedbackLayouts,
    testing::Values(FeedbackCase{"default", sim::FeedbackLayout::Auto, 4, 1},
                    FeedbackCase{"uac1-fs", sim::FeedbackLayout::Auto, 3, 4},
                    FeedbackCase{"uac1-fs", sim::FeedbackLayout::Fixed16_16, 4, 1},
                    FeedbackCase{"uac1-fs", sim::FeedbackLayout::Upper24Of16_16, 3, 256}),
    FeedbackCaseName);

}  // namespace
}  // namespace simtest
