#include "sim/usb/frame_clock.h"

namespace sim {

namespace {
constexpr std::chrono::microseconds kMicroframe{125};
constexpr std::chrono::microseconds kFrame{1000};
}  // namespace

FrameClock::FrameClock(bool highSpeed, uint32_t firstFrame)
    : highSpeed_(highSpeed), firstUnit_(static_cast<uint64_t>(firstFrame) * (highSpeed ? 8u : 1u)),
      start_(Clock::now()) {}

FrameClock::Clock::duration FrameClock::UnitDuration() const {
  return highSpeed_ ? Clock::duration(kMicroframe) : Clock::duration(kFrame);
}

uint64_t FrameClock::NowUnits() const {
  const auto elapsed = Clock::now() - start_;
  return firstUnit_ + static_cast<uint64_t>(elapsed / UnitDuration());
}

uint32_t FrameClock::MicroframeNumber() const {
  const uint64_t units = NowUnits();
  return static_cast<uint32_t>(highSpeed_ ? units : units * 8u);
}

uint64_t FrameClock::FrameFromNumber(uint32_t frameNumber) const {
  const uint64_t now = NowFrames();
  const int32_t delta = static_cast<int32_t>(frameNumber - static_cast<uint32_t>(now));
  const int64_t frame = static_cast<int64_t>(now) + delta;
  return frame < 0 ? 0 : static_cast<uint64_t>(frame);
}

FrameClock::Clock::time_point FrameClock::TimeOfUnit(uint64_t unit) const {
  if (unit <= firstUnit_) return start_;
  return start_ + UnitDuration() * static_cast<int64_t>(unit - firstUnit_);
}

bool FrameClock::WaitForUnit(uint64_t unit, std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  const auto due = TimeOfUnit(unit);
  std::unique_lock<std::mutex> lock(mutex_);
  // Nobody notifies: this is a deadline wait that tolerates spurious wake-ups.
  never_.wait_until(lock, std::min(due, deadline), [&] { return Clock::now() >= std::min(due, deadline); });
  return NowUnits() >= unit;
}

}  // namespace sim
