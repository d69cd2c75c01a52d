#include "sim/uac/played_audio_tap.h"

#include <algorithm>

namespace sim {

PlayedAudioTap::PlayedAudioTap(size_t initialBytes, size_t limitBytes)
    : limit_(std::max(limitBytes, initialBytes)), ring_(std::max<size_t>(initialBytes, 1)) {}

bool PlayedAudioTap::RoomLocked(size_t bytes) {
  if (used_ + bytes <= ring_.size()) return true;
  if (used_ + bytes > limit_) return false;
  // The consumer lags: widen the ring (rarely, and never past the limit).
  size_t size = ring_.size();
  while (size < used_ + bytes) size *= 2;
  std::vector<uint8_t> wider(std::min(size, limit_));
  for (size_t i = 0; i < used_; ++i) wider[i] = ring_[(head_ + i) % ring_.size()];
  ring_.swap(wider);
  head_ = 0;
  return true;
}

bool PlayedAudioTap::Pop(std::vector<uint8_t>* out, size_t max, std::chrono::milliseconds timeout, size_t least) {
  std::unique_lock<std::mutex> lock(mutex_);
  wantBytes_ = std::max<size_t>(least, 1);
  ready_.wait_for(lock, timeout, [&] { return used_ >= wantBytes_ || closed_; });
  wantBytes_ = 1;
  const size_t n = std::min(max, used_);
  out->resize(n);
  const size_t first = std::min(n, ring_.size() - head_);
  std::copy(ring_.begin() + static_cast<long>(head_), ring_.begin() + static_cast<long>(head_ + first), out->begin());
  std::copy(ring_.begin(), ring_.begin() + static_cast<long>(n - first), out->begin() + static_cast<long>(first));
  head_ = (head_ + n) % ring_.size();
  used_ -= n;
  return n > 0 || !closed_;
}

void PlayedAudioTap::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  ready_.notify_all();
}

uint64_t PlayedAudioTap::PushedBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pushedBytes_;
}

uint64_t PlayedAudioTap::LostBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lostBytes_;
}

size_t PlayedAudioTap::PeakBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peakBytes_;
}

size_t PlayedAudioTap::CapacityBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ring_.size();
}

}  // namespace sim
