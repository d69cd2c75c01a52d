// The bus frame counter: 1 ms frames, and 125 µs microframes at high speed,
// derived from the monotonic clock. A "unit" is the bus's scheduling
// granule: a microframe at high speed, a frame at full speed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace sim {

class FrameClock {
 public:
  using Clock = std::chrono::steady_clock;

  // `firstFrame` is the frame number the bus shows at construction; real
  // buses do not start at 0, and tests need room for frames in the past.
  explicit FrameClock(bool highSpeed, uint32_t firstFrame = 0x400);
  FrameClock(const FrameClock&) = delete;
  FrameClock& operator=(const FrameClock&) = delete;

  bool HighSpeed() const { return highSpeed_; }
  uint32_t UnitsPerFrame() const { return highSpeed_ ? 8u : 1u; }
  Clock::duration UnitDuration() const;

  // Units / frames since the bus started counting (64-bit, never wraps).
  uint64_t NowUnits() const;
  uint64_t NowFrames() const { return NowUnits() / UnitsPerFrame(); }
  // What QueryBusTime returns: the 32-bit frame number.
  uint32_t FrameNumber() const { return static_cast<uint32_t>(NowFrames()); }
  // What QueryBusTimeEx returns: frame number × 8 + microframe at high
  // speed, frame number × 8 at full speed.
  uint32_t MicroframeNumber() const;

  // The 64-bit frame a 32-bit frame number means: the one nearest to now.
  uint64_t FrameFromNumber(uint32_t frameNumber) const;
  Clock::time_point TimeOfUnit(uint64_t unit) const;
  Clock::time_point TimeOfFrame(uint64_t frame) const { return TimeOfUnit(frame * UnitsPerFrame()); }

  // Blocks until the (micro)frame `unit` has begun (true), or the timeout
  // has passed first (false).
  bool WaitForUnit(uint64_t unit, std::chrono::milliseconds timeout) const;
  // Blocks until frame `frame` (64-bit) has passed completely.
  bool WaitForFramePassed(uint64_t frame, std::chrono::milliseconds timeout) const {
    return WaitForUnit((frame + 1) * UnitsPerFrame(), timeout);
  }

 private:
  const bool highSpeed_;
  const uint64_t firstUnit_;
  const Clock::time_point start_;
  mutable std::mutex mutex_;
  mutable std::condition_variable never_;  // waited on with a deadline only
};

}  // namespace sim
