#include "sim/clients/stream_compare.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr uint64_t kBlockFrames = 4096;

}  // namespace

StreamComparator::StreamComparator(std::unique_ptr<FrameSource> expected)
    : source_(std::move(expected)), sourceFrames_(source_->Frames()) {}

void StreamComparator::SetDeviceFormat(const DeviceFrameFormat& device) {
  device_ = device;
  deviceFrameBytes_ = device.FrameBytes();
  const std::vector<uint8_t> clientSilence = SilenceFrame(source_->Format());
  silence_ = ClientToDevice(clientSilence.data(), clientSilence.size(), source_->Format(), device);
}

bool StreamComparator::RefillExpected() {
  expectedFirst_ += expected_.size() / deviceFrameBytes_;
  expected_.clear();
  if (expectedFirst_ >= sourceFrames_) return false;
  const uint32_t clientFrameBytes = source_->Format().BlockAlign();
  clientBlock_.resize(kBlockFrames * clientFrameBytes);
  const uint64_t n = source_->Read(clientBlock_.data(), std::min(kBlockFrames, sourceFrames_ - expectedFirst_));
  if (n == 0) {
    sourceFrames_ = expectedFirst_;  // unreadable from here: the rest is unknown
    return false;
  }
  expected_ = ClientToDevice(clientBlock_.data(), n * clientFrameBytes, source_->Format(), device_);
  return true;
}

void StreamComparator::CompareFrame(const uint8_t* frame) {
  const uint64_t index = frames_++;
  const uint8_t* want = silence_.data();
  if (index < sourceFrames_) {
    if (index >= expectedFirst_ + expected_.size() / deviceFrameBytes_ && !RefillExpected()) {
      want = nullptr;
    } else {
      want = expected_.data() + (index - expectedFirst_) * deviceFrameBytes_;
    }
  }
  if (std::memcmp(frame, silence_.data(), deviceFrameBytes_) != 0) lastNonSilent_ = static_cast<int64_t>(index);
  if (firstMismatch_ < 0 && (want == nullptr || std::memcmp(frame, want, deviceFrameBytes_) != 0)) {
    firstMismatch_ = static_cast<int64_t>(index);
    mismatchDevice_.assign(frame, frame + deviceFrameBytes_);
    if (want != nullptr) mismatchExpected_.assign(want, want + deviceFrameBytes_);
  }
}

void StreamComparator::Feed(const uint8_t* played, size_t bytes) {
  if (deviceFrameBytes_ == 0) return;
  // Finish a frame split across two pieces first.
  if (!partial_.empty()) {
    const size_t n = std::min(bytes, deviceFrameBytes_ - partial_.size());
    partial_.insert(partial_.end(), played, played + n);
    played += n;
    bytes -= n;
    if (partial_.size() < deviceFrameBytes_) return;
    CompareFrame(partial_.data());
    partial_.clear();
  }
  for (; bytes >= deviceFrameBytes_; played += deviceFrameBytes_, bytes -= deviceFrameBytes_) CompareFrame(played);
  partial_.assign(played, played + bytes);
  peakBuffered_ = std::max(peakBuffered_, expected_.capacity() + clientBlock_.capacity() + partial_.capacity());
}

StreamComparison StreamComparator::Finish(uint64_t clientFrames, bool partialOk) const {
  StreamComparison r;
  FrameComparison& c = r.frames;
  r.deviceFrames = frames_;
  c.expectedFrames = clientFrames;
  c.receivedFrames = std::min(clientFrames, frames_);
  c.extraFrames = frames_ - c.receivedFrames;
  auto mismatch = [&](int64_t at, bool values) {
    c.firstMismatch = at;
    if (values) {
      r.mismatchDevice = mismatchDevice_;
      r.mismatchExpected = mismatchExpected_;
    }
    return r;
  };
  // Cut off (the device was removed): what it put out after the audio
  // stopped arriving is its silence, so what arrived ends there.
  if (partialOk && firstMismatch_ >= 0 && lastNonSilent_ < firstMismatch_ &&
      static_cast<uint64_t>(firstMismatch_) < c.receivedFrames) {
    c.receivedFrames = static_cast<uint64_t>(firstMismatch_);
    c.extraFrames = frames_ - c.receivedFrames;
    c.bitExact = true;
    return r;
  }
  // Frames compared against the source and, past its end, against silence.
  if (firstMismatch_ >= 0 && static_cast<uint64_t>(firstMismatch_) < c.receivedFrames) return mismatch(firstMismatch_, true);
  if (frames_ > clientFrames) {
    if (clientFrames >= sourceFrames_) {
      if (firstMismatch_ >= 0) return mismatch(firstMismatch_, true);
    } else if (lastNonSilent_ >= static_cast<int64_t>(clientFrames)) {
      // The client stopped early and the device went on with something
      // else than silence: the mismatch begins after the client's last frame.
      return mismatch(static_cast<int64_t>(clientFrames), false);
    }
  }
  if (c.receivedFrames < clientFrames && !partialOk) return mismatch(static_cast<int64_t>(c.receivedFrames), false);
  c.bitExact = true;
  return r;
}

std::vector<std::string> MismatchCauses(bool bitExact, int64_t firstMismatch, const MismatchEvidence& e) {
  std::vector<std::string> causes;
  if (bitExact) return causes;
  uint64_t earliest = UINT64_MAX;
  if (e.clientLateFrames) {
    causes.push_back("client_late");
    earliest = std::min(earliest, e.firstClientLate);
  }
  if (e.deviceXruns) causes.push_back("device_xrun");
  if (e.busLateXruns) causes.push_back("bus_late");
  if (e.deviceXruns || e.busLateXruns) earliest = std::min(earliest, e.firstXrun);
  if (e.restarts) {
    causes.push_back("restart");
    earliest = std::min(earliest, e.firstRestart);
  }
  // Audio that differs before anything else disturbed the stream was changed
  // on its way through the driver.
  if (causes.empty() || (firstMismatch >= 0 && static_cast<uint64_t>(firstMismatch) < earliest))
    causes.push_back("driver_changed");
  return causes;
}

}  // namespace sim
