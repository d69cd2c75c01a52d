#include "tools/sim/playback_check.h"

#include <algorithm>

namespace tools {

namespace {

constexpr size_t kTakeBytes = size_t{256} << 10;

}  // namespace

PlaybackCheck::PlaybackCheck(sim::AudioStreaming& streaming, std::unique_ptr<sim::FrameSource> expected,
                             std::string outPath)
    : streaming_(streaming), comparator_(std::move(expected)), outPath_(std::move(outPath)) {}

PlaybackCheck::~PlaybackCheck() { Stop(); }

void PlaybackCheck::Start() {
  streaming_.SetPlaybackTap(&tap_);
  thread_ = std::thread([this] { Consume(); });
}

void PlaybackCheck::Stop() {
  if (!thread_.joinable()) return;
  streaming_.SetPlaybackTap(nullptr);
  tap_.Close();
  thread_.join();
}

void PlaybackCheck::Consume() {
  std::vector<uint8_t> bytes;
  bytes.reserve(kTakeBytes);
  // Woken for a good piece at a time (or every 20 ms), not at every packet.
  while (tap_.Pop(&bytes, kTakeBytes, std::chrono::milliseconds(20), kTakeBytes / 4)) {
    if (!bytes.empty()) Take(bytes);
  }
}

bool PlaybackCheck::OpenOut(const sim::DeviceFrameFormat& f, uint32_t rate) {
  sim::WavFormat format{f.channels, f.subslotBytes * 8, std::min(f.bitResolution, f.subslotBytes * 8), rate, 0, false};
  if (format.validBits == 0) format.validBits = format.bitsPerSample;
  outOpened_ = out_.Open(outPath_, format, &outError_);
  return outOpened_;
}

void PlaybackCheck::Take(const std::vector<uint8_t>& bytes) {
  if (!comparator_.HasDeviceFormat()) {
    // Played frames only come while the render alternate is selected.
    const sim::StreamFormat f = streaming_.Render();
    const sim::DeviceFrameFormat format{f.channels, f.subslotBytes, f.bitResolution};
    comparator_.SetDeviceFormat(format);
    if (!outPath_.empty()) OpenOut(format, streaming_.Rate());
  }
  comparator_.Feed(bytes.data(), bytes.size());
  if (outOpened_) out_.Append(bytes.data(), bytes.size());
}

bool PlaybackCheck::FinishOut(const sim::DeviceFrameFormat& format, uint32_t rate, std::string* error) {
  if (outPath_.empty()) return true;
  if (!outOpened_ && outError_.empty() && !OpenOut(format, rate)) {
    *error = outError_;
    return false;
  }
  if (!outError_.empty()) {
    *error = outError_;
    return false;
  }
  return out_.Close(error);
}

}  // namespace tools
