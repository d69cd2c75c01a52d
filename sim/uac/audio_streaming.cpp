#include "sim/uac/audio_streaming.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
// The steering model pulls the FIFO back to its centre over about half a second,
// never by more than 0.5 % of the rate, so a host following it cannot swing.
constexpr double kCentringSeconds = 0.5;
constexpr double kMaxCorrection = 0.005;
// An xrun this close after the bus ran late is the bus's doing: the driver's
// transfers completed late and its next ones could not be there in time.
constexpr uint64_t kBusLateWindowMs = 10;

bool IsIso(uint8_t attributes) { return (attributes & 0x03) == 0x01; }
uint8_t Usage(uint8_t attributes) { return (attributes >> 4) & 0x03; }

}  // namespace

uint64_t TransportModeViolations(const StreamingCounters& from, const StreamingCounters& to, bool dsdRun) {
  const uint64_t received = to.framesReceived - from.framesReceived;
  const uint64_t inDsd = to.framesReceivedDsdMode - from.framesReceivedDsdMode;
  return dsdRun ? received - inDsd : inDsd;
}

AudioStreaming::AudioStreaming(const DescriptorSet& descriptors, const AudioFunctionModel& model,
                               StreamingOptions options)
    : highSpeed_(descriptors.highSpeed), model_(model),
      lengthPrefixed_(model.Config().lengthPrefixedOutPackets), options_(options) {}

// Formats -------------------------------------------------------------------------------

void AudioStreaming::OnAlternateSelected(uint8_t interfaceNumber, uint8_t alternate) {
  const AudioFunctionLayout& layout = model_.Layout();
  if (layout.streamingInterfaces.count(interfaceNumber) == 0) return;
  StreamFormat out;
  StreamFormat in;
  uint8_t synch = 0;
  for (const StreamingEndpointInfo& ep : layout.endpoints) {
    if (ep.interfaceNumber == interfaceNumber && ep.alternate == alternate && IsIso(ep.attributes) &&
        (ep.address & 0x80) == 0)
      synch = ep.synchAddress;
  }
  for (const StreamingEndpointInfo& ep : layout.endpoints) {
    if (ep.interfaceNumber != interfaceNumber || ep.alternate != alternate || !IsIso(ep.attributes)) continue;
    StreamFormat f;
    f.active = true;
    f.interfaceNumber = interfaceNumber;
    f.alternate = alternate;
    f.dataEndpoint = ep.address;
    f.channels = ep.channels;
    f.subslotBytes = ep.subslotBytes;
    f.bitResolution = ep.bitResolution;
    f.frameBytes = ep.channels * ep.subslotBytes;
    const uint8_t interval = std::min<uint8_t>(std::max<uint8_t>(ep.interval, 1), 16);
    f.unitsPerPacket = highSpeed_ ? (1u << (interval - 1)) : 1u;
    f.terminalLink = ep.terminalLink;
    if ((ep.address & 0x80) == 0) {
      out = f;
    } else if (Usage(ep.attributes) == 1 || ep.address == synch) {
      out.feedbackEndpoint = ep.address;
    } else {
      in = f;
    }
  }
  if (out.active && out.feedbackEndpoint == 0) {
    // The feedback endpoint may come before the data endpoint.
    for (const StreamingEndpointInfo& ep : layout.endpoints) {
      if (ep.interfaceNumber == interfaceNumber && ep.alternate == alternate && IsIso(ep.attributes) &&
          (ep.address & 0x80) != 0 && (Usage(ep.attributes) == 1 || ep.address == synch))
        out.feedbackEndpoint = ep.address;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  alternates_[interfaceNumber] = alternate;
  if (out.active || (render_.active && render_.interfaceNumber == interfaceNumber)) {
    render_ = out;
    ResetRenderLocked();
  }
  if (in.active || (capture_.active && capture_.interfaceNumber == interfaceNumber)) {
    capture_ = in;
    capturePhase_ = 0.0;
  }
  rate_ = RateLocked();
  clockValid_ = ClockValidLocked();
  modelFrame_ = UINT64_MAX;
}

std::optional<uint8_t> AudioStreaming::ClockOf(const StreamFormat& format) const {
  const AudioFunctionLayout& layout = model_.Layout();
  if (!layout.uac2) return std::nullopt;
  auto terminal = layout.entities.find(format.terminalLink);
  if (terminal == layout.entities.end() || terminal->second.kind != AcEntityKind::Terminal) return std::nullopt;
  return terminal->second.clockSource;
}

uint32_t AudioStreaming::RateLocked() const {
  const StreamFormat& f = render_.active ? render_ : capture_;
  if (!f.active) return 0;
  if (model_.IsUac2()) {
    const std::optional<uint8_t> clock = ClockOf(f);
    const std::optional<uint32_t> rate = clock ? model_.EffectiveRate(*clock) : std::nullopt;
    return rate.value_or(0);
  }
  if (const std::optional<uint32_t> rate = model_.EndpointRate(f.dataEndpoint)) return *rate;
  for (const StreamingEndpointInfo& ep : model_.Layout().endpoints) {
    if (ep.address == f.dataEndpoint && ep.alternate == f.alternate && !ep.rates.empty()) return ep.rates.front();
  }
  return 0;
}

bool AudioStreaming::ClockValidLocked() const {
  const StreamFormat& f = render_.active ? render_ : capture_;
  if (!f.active || !model_.IsUac2()) return true;
  const std::optional<uint8_t> clock = ClockOf(f);
  return !clock || model_.ClockValid(*clock).value_or(true);
}

void AudioStreaming::CheckRateLocked() {
  const uint32_t rate = RateLocked();
  if (rate == rate_) return;
  // A new rate relocks the device: what it had buffered is gone.
  rate_ = rate;
  ResetRenderLocked();
  capturePhase_ = 0.0;
}

void AudioStreaming::ResetRenderLocked() {
  fifo_.clear();
  started_ = false;
  playing_ = false;
  renderPhase_ = 0.0;
  feedbackWindowFrames_ = 0.0;
  feedbackWindowUnits_ = 0;
  feedbackCarry_ = 0.0;
}

// The device clock --------------------------------------------------------------------

double AudioStreaming::FramesPerUnit(uint64_t unit) const {
  const double unitSeconds = highSpeed_ ? 125e-6 : 1e-3;
  double ppm = options_.ppm;
  if (options_.driftPpm != 0.0 && options_.driftPeriodSeconds > 0.0) {
    ppm += options_.driftPpm * std::sin(2.0 * kPi * static_cast<double>(unit) * unitSeconds /
                                        options_.driftPeriodSeconds);
  }
  return static_cast<double>(rate_) * (1.0 + ppm * 1e-6) * unitSeconds;
}

size_t AudioStreaming::LevelLocked() const {
  return render_.frameBytes == 0 ? 0 : fifo_.size() / render_.frameBytes;
}

size_t AudioStreaming::CapacityLocked() const {
  return static_cast<size_t>(static_cast<uint64_t>(rate_) * options_.fifoMicroseconds / 1000000u);
}

void AudioStreaming::AdvanceLocked(uint64_t unit) {
  if (!clockStarted_) {
    clockStarted_ = true;
    clockUnit_ = unit;
  }
  // The model is asked once per frame: rate changes and validity are slow.
  const uint64_t frame = unit / (highSpeed_ ? 8u : 1u);
  if (frame != modelFrame_) {
    modelFrame_ = frame;
    CheckRateLocked();
    clockValid_ = ClockValidLocked();
  }
  if (unit <= clockUnit_) return;
  const bool running = clockValid_;
  const size_t frameBytes = render_.frameBytes;
  for (; clockUnit_ < unit; ++clockUnit_) {
    if (!running) continue;
    const double perUnit = FramesPerUnit(clockUnit_);
    feedbackWindowFrames_ += perUnit;
    ++feedbackWindowUnits_;
    if (!render_.active || frameBytes == 0 || !started_) continue;
    renderPhase_ += perUnit;
    const auto due = static_cast<size_t>(renderPhase_);
    renderPhase_ -= static_cast<double>(due);
    if (!playing_) {
      // Play once the FIFO is half full; until then the device is silent
      // (and once it has played, that silence is what it outputs).
      if (LevelLocked() < CapacityLocked() / 2) {
        if (counters_.framesPlayed != 0) OutputSilenceLocked(due);
        continue;
      }
      playing_ = true;
    }
    const size_t level = LevelLocked();
    const size_t take = std::min(due, level);
    const size_t bytes = take * frameBytes;
    if (options_.recordPlayback && playedAudio_.size() + bytes <= options_.recordLimitBytes)
      playedAudio_.insert(playedAudio_.end(), fifo_.begin(), fifo_.begin() + bytes);
    if (tap_ != nullptr) tap_->Push(fifo_.begin(), bytes);
    fifo_.erase(fifo_.begin(), fifo_.begin() + bytes);
    counters_.framesPlayed += take;
    counters_.framesOutput += take;
    if (take < due) {
      ++counters_.underruns;
      if (BusLateNearLocked(clockUnit_)) ++counters_.underrunsBusLate;
      counters_.firstXrunFrame = std::min(counters_.firstXrunFrame, counters_.framesOutput);
      counters_.silentFrames += due - take;
      OutputSilenceLocked(due - take);
      playing_ = false;  // primes again before it resumes
    }
    const size_t left = LevelLocked();
    levelLow_ = std::min(levelLow_, left);
    levelHigh_ = std::max(levelHigh_, left);
  }
  played_.notify_all();
}

void AudioStreaming::AdvanceTo(uint64_t unit) {
  std::lock_guard<std::mutex> lock(mutex_);
  AdvanceLocked(unit);
}

void AudioStreaming::OutputSilenceLocked(size_t frames) {
  counters_.framesOutput += frames;
  if (tap_ != nullptr) tap_->PushZeros(frames * render_.frameBytes);
}

void AudioStreaming::OnBusLate(uint64_t untilUnit) {
  std::lock_guard<std::mutex> lock(mutex_);
  busLateUntil_ = std::max(busLateUntil_, untilUnit);
}

bool AudioStreaming::BusLateNearLocked(uint64_t unit) const {
  const uint64_t window = kBusLateWindowMs * (highSpeed_ ? 8u : 1u);
  return busLateUntil_ != 0 && unit <= busLateUntil_ + window;
}

bool AudioStreaming::WantsTicks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return started_ && !fifo_.empty();
}

// Packets -----------------------------------------------------------------------------

void AudioStreaming::OnOutPacket(uint8_t endpoint, uint64_t unit, const uint8_t* data, uint32_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  AdvanceLocked(unit);
  if (!render_.active || endpoint != render_.dataEndpoint || render_.frameBytes == 0) return;
  ++counters_.outPackets;
  if (lengthPrefixed_) {
    const uint32_t declared =
        length >= 4 ? static_cast<uint32_t>(data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24) : 0;
    if (length < 4 || declared != length - 4) {
      ++counters_.malformedPackets;
      if (length < 4) return;
    }
    data += 4;
    length = std::min(length - 4, declared);
  }
  if (length % render_.frameBytes != 0) ++counters_.malformedPackets;
  const size_t frames = length / render_.frameBytes;
  if (frames == 0) return;
  started_ = true;
  counters_.framesReceived += frames;
  // The mode the host last set on this interface; the device streams in it.
  if (model_.InterfaceMode(render_.interfaceNumber).value_or(0) == 1) counters_.framesReceivedDsdMode += frames;
  const size_t capacity = CapacityLocked();
  const size_t level = LevelLocked();
  const size_t room = capacity > level ? capacity - level : 0;
  const size_t keep = std::min(frames, room);
  if (keep < frames) {
    ++counters_.overruns;
    if (BusLateNearLocked(unit)) ++counters_.overrunsBusLate;
    counters_.droppedFrames += frames - keep;
    counters_.firstXrunFrame = std::min(counters_.firstXrunFrame, counters_.framesOutput + level + keep);
  }
  fifo_.insert(fifo_.end(), data, data + keep * render_.frameBytes);
}

int32_t AudioStreaming::OnInPacket(uint8_t endpoint, uint64_t unit, uint8_t* data, uint32_t room) {
  std::lock_guard<std::mutex> lock(mutex_);
  AdvanceLocked(unit);
  if (render_.active && render_.feedbackEndpoint != 0 && endpoint == render_.feedbackEndpoint)
    return FeedbackPacket(unit, data, room);
  if (capture_.active && endpoint == capture_.dataEndpoint) return CapturePacket(unit, data, room);
  return 0;
}

uint32_t AudioStreaming::FeedbackLocked(uint64_t unit) const {
  if (rate_ == 0) return 0;
  double frames = FramesPerUnit(unit);
  if (playing_ && options_.feedbackModel == FeedbackModel::FifoSteering) {
    // Ask for more while the FIFO is below its centre, less above it.
    const double target = static_cast<double>(CapacityLocked()) / 2.0;
    const double unitsToCentre = kCentringSeconds / (highSpeed_ ? 125e-6 : 1e-3);
    double correction = (target - static_cast<double>(LevelLocked())) / unitsToCentre;
    const double limit = frames * kMaxCorrection;
    correction = std::max(-limit, std::min(limit, correction));
    frames += correction;
  }
  return static_cast<uint32_t>(std::llround(frames * 65536.0));
}

uint32_t AudioStreaming::MeasuredFeedbackWordLocked(uint64_t unit, FeedbackLayout layout) {
  // The frames the clock ran since the last packet, per unit; the first
  // packet after a (re)start has no count yet and reports the clock itself.
  const double perUnit = feedbackWindowUnits_ != 0
                             ? feedbackWindowFrames_ / static_cast<double>(feedbackWindowUnits_)
                             : FramesPerUnit(unit);
  feedbackWindowFrames_ = 0.0;
  feedbackWindowUnits_ = 0;
  const double exact = perUnit * 65536.0 * WireScale(layout, highSpeed_) + feedbackCarry_;
  const double code = std::floor(exact);
  feedbackCarry_ = exact - code;
  return static_cast<uint32_t>(code);
}

int32_t AudioStreaming::FeedbackPacket(uint64_t unit, uint8_t* data, uint32_t room) {
  if (options_.feedbackFault == FeedbackFault::ZeroLength || !clockValid_) return 0;
  uint8_t wire[4];
  FeedbackLayout layout = options_.feedbackLayout;
  if (layout == FeedbackLayout::Auto && !model_.IsUac2()) layout = FeedbackLayout::Fixed10_14PerFrame;
  uint32_t value = 0;
  uint32_t size = 0;
  if (options_.feedbackFault == FeedbackFault::None && options_.feedbackModel == FeedbackModel::Measured) {
    const uint32_t word = MeasuredFeedbackWordLocked(unit, layout);
    size = WireBytes(layout, highSpeed_);
    for (uint32_t i = 0; i < 4; ++i) wire[i] = i < size ? static_cast<uint8_t>(word >> (8 * i)) : 0;
    value = static_cast<uint32_t>(std::llround(word / WireScale(layout, highSpeed_)));
  } else {
    value = options_.feedbackFault == FeedbackFault::Fixed ? options_.fixedFeedback : FeedbackLocked(unit);
    size = EncodeFeedback(value, layout, highSpeed_, wire);
  }
  if (options_.feedbackFault == FeedbackFault::Garbage) {
    for (uint32_t i = 0; i < size; ++i) {
      garbageSeed_ = garbageSeed_ * 1103515245u + 12345u;
      wire[i] = static_cast<uint8_t>(garbageSeed_ >> 16);
    }
  }
  if (size > room) return static_cast<int32_t>(size);  // babble: the bus flags it
  std::copy(wire, wire + size, data);
  if (counters_.feedbackPackets == 0 || value < counters_.feedbackMin) counters_.feedbackMin = value;
  if (counters_.feedbackPackets == 0 || value > counters_.feedbackMax) counters_.feedbackMax = value;
  ++counters_.feedbackPackets;
  return static_cast<int32_t>(size);
}

int32_t AudioStreaming::CapturePacket(uint64_t unit, uint8_t* data, uint32_t room) {
  if (capture_.frameBytes == 0 || !clockValid_) return 0;
  // The packet carries what the device clock produced during its interval.
  capturePhase_ += FramesPerUnit(unit) * capture_.unitsPerPacket;
  auto frames = static_cast<uint32_t>(capturePhase_);
  capturePhase_ -= frames;
  frames = std::min(frames, room / capture_.frameBytes);
  uint8_t* p = data;
  for (uint32_t f = 0; f < frames; ++f, ++captureFrame_) {
    for (uint32_t c = 0; c < capture_.channels; ++c) {
      const uint32_t v =
          CaptureSample(captureFrame_, c, capture_.channels, capture_.subslotBytes, capture_.bitResolution);
      for (uint32_t b = 0; b < capture_.subslotBytes; ++b) *p++ = static_cast<uint8_t>(v >> (8 * b));
    }
  }
  ++counters_.capturePackets;
  counters_.framesCaptured += frames;
  return static_cast<int32_t>(frames * capture_.frameBytes);
}

uint32_t AudioStreaming::CaptureSample(uint64_t frame, uint32_t channel, uint32_t channels, uint32_t subslotBytes,
                                       uint32_t bits) {
  const uint32_t width = std::min<uint32_t>(subslotBytes * 8, 32);
  const uint32_t valid = std::min(bits == 0 ? width : bits, width);
  const uint64_t m = frame * channels + channel;
  const uint32_t ramp = valid >= 32 ? static_cast<uint32_t>(m) : static_cast<uint32_t>(m & ((1ull << valid) - 1));
  return width - valid >= 32 ? 0 : ramp << (width - valid);
}

double AudioStreaming::WireScale(FeedbackLayout layout, bool highSpeed) {
  switch (layout) {
    case FeedbackLayout::Auto:
      return highSpeed ? 1.0 : 0.25;
    case FeedbackLayout::Fixed10_14:
      return 0.25;
    case FeedbackLayout::Upper24Of16_16:
      return 1.0 / 256.0;
    case FeedbackLayout::Fixed10_14PerFrame:
      return highSpeed ? 2.0 : 0.25;
    default:
      return 1.0;
  }
}

uint32_t AudioStreaming::WireBytes(FeedbackLayout layout, bool highSpeed) {
  if (layout == FeedbackLayout::Auto) return highSpeed ? 4 : 3;
  return layout == FeedbackLayout::Fixed16_16 ? 4 : 3;
}

uint32_t AudioStreaming::EncodeFeedback(uint32_t value, FeedbackLayout layout, bool highSpeed, uint8_t out[4]) {
  if (layout == FeedbackLayout::Auto) layout = highSpeed ? FeedbackLayout::Fixed16_16 : FeedbackLayout::Fixed10_14;
  uint32_t word = value;
  uint32_t size = 4;
  switch (layout) {
    case FeedbackLayout::Fixed10_14:
      word = (value + 2) >> 2;  // 16.16 to 10.14, rounded
      size = 3;
      break;
    case FeedbackLayout::Upper24Of16_16:
      word = value >> 8;
      size = 3;
      break;
    case FeedbackLayout::Fixed10_14PerFrame:
      word = static_cast<uint32_t>(((static_cast<uint64_t>(value) * (highSpeed ? 8u : 1u)) + 2) >> 2);
      size = 3;
      break;
    default:
      break;
  }
  for (uint32_t i = 0; i < 4; ++i) out[i] = i < size ? static_cast<uint8_t>(word >> (8 * i)) : 0;
  return size;
}

// Host API ----------------------------------------------------------------------------

void AudioStreaming::SetOptions(const StreamingOptions& options) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_ = options;
}

StreamingOptions AudioStreaming::Options() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return options_;
}

void AudioStreaming::SetPpm(double ppm) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.ppm = ppm;
}

void AudioStreaming::SetFeedbackLayout(FeedbackLayout layout) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.feedbackLayout = layout;
}

void AudioStreaming::SetFeedbackFault(FeedbackFault fault, uint32_t fixedValue) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.feedbackFault = fault;
  options_.fixedFeedback = fixedValue;
}

StreamingCounters AudioStreaming::Counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

StreamFormat AudioStreaming::Render() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return render_;
}

StreamFormat AudioStreaming::Capture() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return capture_;
}

uint32_t AudioStreaming::Rate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return RateLocked();
}

size_t AudioStreaming::FifoFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return LevelLocked();
}

size_t AudioStreaming::FifoCapacityFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return CapacityLocked();
}

std::pair<size_t, size_t> AudioStreaming::FifoLevelRange() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (levelLow_ > levelHigh_) return {0, 0};
  return {levelLow_, levelHigh_};
}

void AudioStreaming::ResetFifoLevelRange() {
  std::lock_guard<std::mutex> lock(mutex_);
  levelLow_ = SIZE_MAX;
  levelHigh_ = 0;
}

bool AudioStreaming::Playing() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return playing_;
}

std::vector<uint8_t> AudioStreaming::PlayedAudio() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<uint8_t>(playedAudio_.begin(), playedAudio_.end());
}

void AudioStreaming::SetPlaybackTap(PlayedAudioTap* tap) {
  std::lock_guard<std::mutex> lock(mutex_);
  tap_ = tap;
}

void AudioStreaming::ClearPlayedAudio() {
  std::lock_guard<std::mutex> lock(mutex_);
  playedAudio_.clear();
}

bool AudioStreaming::WaitForPlayedBytes(size_t bytes, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return played_.wait_for(lock, timeout, [&] { return playedAudio_.size() >= bytes; });
}

uint32_t AudioStreaming::CurrentFeedback() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (rate_ == 0) return 0;
  return FeedbackLocked(clockUnit_);
}

}  // namespace sim
