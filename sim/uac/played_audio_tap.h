// Hands the frames the device plays to a consumer on another thread (the
// comparison, a WAV writer) without keeping them: a byte ring the device
// appends to under its own lock and the consumer drains. It holds only what
// the consumer has not taken yet, so its size follows the consumer's lag,
// never the length of the run. If the consumer falls behind by more than
// the ring's limit, frames are dropped and counted (the comparison is then
// void), rather than blocking the bus thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace sim {

class PlayedAudioTap {
 public:
  explicit PlayedAudioTap(size_t initialBytes = size_t{1} << 20, size_t limitBytes = size_t{64} << 20);

  // Producer: appends `bytes` bytes from `first` (any byte iterator).
  template <class It>
  void Push(It first, size_t bytes) {
    Append(bytes, [&](size_t offset, size_t count, std::vector<uint8_t>::iterator to) {
      std::copy_n(first + static_cast<long>(offset), count, to);
    });
  }

  void PushZeros(size_t bytes) {
    Append(bytes, [](size_t, size_t count, std::vector<uint8_t>::iterator to) { std::fill_n(to, count, uint8_t{0}); });
  }

  // Consumer: waits up to `timeout` for at least `least` bytes (woken only
  // then, not at every packet), then moves up to `max` bytes into `out`
  // (replacing its contents). False once closed and empty.
  bool Pop(std::vector<uint8_t>* out, size_t max, std::chrono::milliseconds timeout, size_t least = 1);
  // No more data will come; Pop returns what is left, then false.
  void Close();

  uint64_t PushedBytes() const;
  uint64_t LostBytes() const;
  size_t PeakBytes() const;      // the most it ever held
  size_t CapacityBytes() const;  // its ring's size now

 private:
  bool RoomLocked(size_t bytes);

  // Writes `bytes` bytes at the ring's tail with `write(offset, count, to)`,
  // in at most two runs (up to the ring's end, then from its start), or
  // counts them as lost when the consumer is too far behind.
  template <class Write>
  void Append(size_t bytes, Write write) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || bytes == 0) return;
    if (!RoomLocked(bytes)) {
      lostBytes_ += bytes;
      return;
    }
    const size_t tail = (head_ + used_) % ring_.size();
    const size_t run = std::min(bytes, ring_.size() - tail);
    write(0, run, ring_.begin() + static_cast<long>(tail));
    write(run, bytes - run, ring_.begin());
    used_ += bytes;
    pushedBytes_ += bytes;
    if (used_ > peakBytes_) peakBytes_ = used_;
    if (used_ >= wantBytes_) ready_.notify_one();
  }

  const size_t limit_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<uint8_t> ring_;
  size_t head_ = 0;
  size_t used_ = 0;
  size_t peakBytes_ = 0;
  uint64_t pushedBytes_ = 0;
  uint64_t lostBytes_ = 0;
  bool closed_ = false;
  size_t wantBytes_ = 1;  // what the waiting consumer waits for
};

}  // namespace sim
