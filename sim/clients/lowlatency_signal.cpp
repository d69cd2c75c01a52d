#include "sim/clients/lowlatency_signal.h"

#include <algorithm>
#include <cstring>

#include "sim/uac/audio_streaming.h"

namespace sim {

uint32_t LowLatencyPcmSample(uint64_t frame, uint32_t entry, uint32_t entries) {
  const uint64_t count = frame * entries + entry + 1;  // never 0: silence is not a sample
  return static_cast<uint32_t>((count & 0xFFFFFF) << 8) | (0xA5u ^ entry);
}

uint8_t LowLatencyDsdByte(uint64_t index, uint32_t entry) {
  // A multiplicative hash of (index, entry); bytes that DSD silence uses are
  // moved so that a frame of silence never matches.
  uint64_t x = (index + 1) * 0x9E3779B97F4A7C15ull ^ (uint64_t{entry} + 1) * 0xC2B2AE3D27D4EB4Full;
  x ^= x >> 29;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 32;
  uint8_t b = static_cast<uint8_t>(x);
  if (b == 0x69 || b == 0xAA || b == 0x00) b ^= 0x11;
  return b;
}

void LowLatencyExpectedFrame(const LowLatencyPlayLayout& layout, uint64_t frame, uint8_t* out) {
  const uint32_t w = layout.subslotBytes;
  for (uint32_t ch = 0; ch < layout.channels; ++ch) {
    uint8_t* d = out + ch * w;
    const int32_t entry = ch < layout.entryOfChannel.size() ? layout.entryOfChannel[ch] : -1;
    if (entry < 0) {
      std::memset(d, 0, w);
      continue;
    }
    const auto e = static_cast<uint32_t>(entry);
    if (layout.dsd) {
      // A 32-bit DSD container carries the channel's next four bytes as they are.
      for (uint32_t b = 0; b < w; ++b) d[b] = LowLatencyDsdByte(frame * w + b, e);
    } else {
      // Int32LSB narrowed to w bytes keeps its most significant bytes.
      const uint32_t s = LowLatencyPcmSample(frame, e, layout.entries);
      for (uint32_t b = 0; b < w; ++b) d[b] = static_cast<uint8_t>(s >> (8 * (4 - w + b)));
    }
  }
}

LowLatencyPlayCheck::LowLatencyPlayCheck(LowLatencyPlayLayout layout)
    : layout_(std::move(layout)), scratch_(layout_.FrameBytes()) {}

bool LowLatencyPlayCheck::Matches(const uint8_t* frame, uint64_t clientFrame) {
  LowLatencyExpectedFrame(layout_, clientFrame, scratch_.data());
  const uint32_t w = layout_.subslotBytes;
  for (uint32_t ch = 0; ch < layout_.channels; ++ch) {
    if (ch >= layout_.entryOfChannel.size() || layout_.entryOfChannel[ch] < 0) continue;
    if (std::memcmp(frame + ch * w, scratch_.data() + ch * w, w) != 0) return false;
  }
  return true;
}

std::string LowLatencyPlayCheck::Classify(const uint8_t* frame, uint64_t clientFrame) {
  const uint64_t half = layout_.halfFrames;
  if (half != 0 && clientFrame >= half && Matches(frame, clientFrame - half)) return "half_repeated";
  if (half != 0 && Matches(frame, clientFrame + half)) return "half_dropped";
  const uint8_t silence = layout_.dsd ? 0xAA : 0x00;
  bool silent = true;
  const uint32_t w = layout_.subslotBytes;
  for (uint32_t ch = 0; ch < layout_.channels; ++ch) {
    if (ch >= layout_.entryOfChannel.size() || layout_.entryOfChannel[ch] < 0) continue;
    for (uint32_t b = 0; b < w; ++b) silent &= frame[ch * w + b] == silence;
  }
  return silent ? "silence" : "wrong_samples";
}

void LowLatencyPlayCheck::Take(const uint8_t* frames, size_t count) {
  const uint32_t bytes = layout_.FrameBytes();
  for (size_t i = 0; i < count && !mismatch_; ++i, ++played_) {
    const uint8_t* frame = frames + i * bytes;
    if (!aligned_) {
      if (!Matches(frame, 0)) {
        ++startup_;
        continue;
      }
      aligned_ = true;
    } else if (!Matches(frame, next_)) {
      mismatch_ = true;
      firstMismatch_ = next_;
      kind_ = Classify(frame, next_);
      device_.assign(frame, frame + bytes);
      expected_.resize(bytes);
      LowLatencyExpectedFrame(layout_, next_, expected_.data());
      return;
    }
    if (layout_.halfFrames != 0 && next_ % layout_.halfFrames == 0) halfStarts_.push_back(played_);
    ++next_;
  }
}

uint32_t LowLatencyInputCheck::Expected(uint64_t deviceFrame, uint32_t channel) const {
  const uint32_t d =
      AudioStreaming::CaptureSample(deviceFrame, channel, layout_.channels, layout_.subslotBytes, layout_.bits);
  // Int32LSB from a w-byte container: the sample in the most significant bytes.
  return layout_.subslotBytes >= 4 ? d : d << (8 * (4 - layout_.subslotBytes));
}

void LowLatencyInputCheck::Take(const std::vector<const int32_t*>& halves) {
  const uint64_t index = halves_++;
  if (mismatch_ || halves.empty() || layout_.entryChannels.empty()) return;
  if (index == 0) {
    // The first half tells where in the device's ramp the capture began.
    const uint32_t w = std::min<uint32_t>(layout_.subslotBytes, 4);
    const uint32_t valid = std::min(layout_.bits == 0 ? 8 * w : layout_.bits, 8 * w);
    const auto s = static_cast<uint32_t>(halves[0][0]);
    const uint32_t d = s >> (8 * (4 - w));
    const uint64_t m = 8 * w - valid >= 32 ? 0 : d >> (8 * w - valid);
    const uint32_t ch = layout_.entryChannels[0];
    nextFrame_ = m >= ch ? (m - ch) / layout_.channels : 0;
  }
  for (size_t e = 0; e < halves.size() && e < layout_.entryChannels.size(); ++e) {
    for (uint32_t f = 0; f < layout_.halfFrames; ++f) {
      const uint32_t want = Expected(nextFrame_ + f, layout_.entryChannels[e]);
      const auto got = static_cast<uint32_t>(halves[e][f]);
      if (got != want) {
        mismatch_ = true;
        mismatchHalf_ = index;
        mismatchFrame_ = f;
        got_ = got;
        wanted_ = want;
        return;
      }
    }
  }
  nextFrame_ += layout_.halfFrames;
}

}  // namespace sim
