// The low-latency client's known signals and their checks: what it writes
// into its output halves (a counter per channel that makes a dropped,
// repeated or shifted half visible), what the device must then play (the
// Int32LSB samples narrowed to the device's container, most significant
// bytes kept; DSD bytes unchanged), and what its input halves must hold
// (the device's capture ramp widened to Int32LSB, without a gap).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Output sample of client frame `frame` (counted from the first output half
// on) for request entry `entry`: the top 24 bits count frames × entries,
// the low byte differs per entry (narrowing drops it).
uint32_t LowLatencyPcmSample(uint64_t frame, uint32_t entry, uint32_t entries);
// DSD byte `index` (counted over the channel's byte stream) of `entry`: a
// pseudo-random sequence, never a run of DSD silence (0x69 / 0xAA).
uint8_t LowLatencyDsdByte(uint64_t index, uint32_t entry);

// What the device's render side looks like to the check.
struct LowLatencyPlayLayout {
  uint32_t channels = 0;        // device channels in a frame
  uint32_t subslotBytes = 0;    // container width (DSD: 4)
  bool dsd = false;
  uint32_t halfFrames = 0;      // device frames per output half
  // Per device channel: the request entry feeding it, or -1 (not checked:
  // the kernel leaves channels it was not asked for alone).
  std::vector<int32_t> entryOfChannel;
  uint32_t entries = 0;
  uint32_t FrameBytes() const { return channels * subslotBytes; }
};

// The device frame that client frame `frame` must become.
void LowLatencyExpectedFrame(const LowLatencyPlayLayout& layout, uint64_t frame, uint8_t* out);

// Follows the device's played frames (in order, as the tap hands them out):
// before the first output frame there may be anything (start-up silence);
// from there every frame must be the next client frame. Stops judging at
// the first mismatch and says what the frame was instead.
class LowLatencyPlayCheck {
 public:
  explicit LowLatencyPlayCheck(LowLatencyPlayLayout layout);

  // Whole frames only (the caller keeps a partial frame for the next call).
  void Take(const uint8_t* frames, size_t count);

  bool Aligned() const { return aligned_; }
  bool Mismatch() const { return mismatch_; }
  uint64_t FramesMatched() const { return next_; }       // client frames played correctly
  uint64_t StartupFrames() const { return startup_; }    // played before the first output frame
  // Index (in played frames since the check began) where each output half's
  // first frame was played.
  const std::vector<uint64_t>& HalfStarts() const { return halfStarts_; }
  uint64_t FirstMismatch() const { return firstMismatch_; }  // client frame index
  // "half_repeated", "half_dropped", "silence" or "wrong_samples".
  const std::string& MismatchKind() const { return kind_; }
  const std::vector<uint8_t>& MismatchDevice() const { return device_; }
  const std::vector<uint8_t>& MismatchExpected() const { return expected_; }

 private:
  bool Matches(const uint8_t* frame, uint64_t clientFrame);
  std::string Classify(const uint8_t* frame, uint64_t clientFrame);

  const LowLatencyPlayLayout layout_;
  std::vector<uint8_t> scratch_;
  bool aligned_ = false;
  bool mismatch_ = false;
  uint64_t next_ = 0;
  uint64_t startup_ = 0;
  uint64_t played_ = 0;
  std::vector<uint64_t> halfStarts_;
  uint64_t firstMismatch_ = 0;
  std::string kind_;
  std::vector<uint8_t> device_;
  std::vector<uint8_t> expected_;
};

// The device's capture side and the input entries, for the input check.
struct LowLatencyCaptureLayout {
  uint32_t channels = 0;
  uint32_t subslotBytes = 0;
  uint32_t bits = 0;
  std::vector<uint32_t> entryChannels;  // device channel of each request entry
  uint32_t halfFrames = 0;
};

// Checks each input half as the client takes it: every entry holds the
// device's capture ramp for its channel, as Int32LSB, continuing where the
// previous half ended (the first half sets the start).
class LowLatencyInputCheck {
 public:
  explicit LowLatencyInputCheck(LowLatencyCaptureLayout layout) : layout_(std::move(layout)) {}
  // `halves[e]` is entry e's half (halfFrames Int32LSB samples).
  void Take(const std::vector<const int32_t*>& halves);
  bool Continuous() const { return halves_ > 0 && !mismatch_; }
  uint64_t Halves() const { return halves_; }
  // Input half index and frame of the first wrong sample.
  uint64_t FirstMismatchHalf() const { return mismatchHalf_; }
  uint64_t FirstMismatchFrame() const { return mismatchFrame_; }
  uint32_t MismatchGot() const { return got_; }
  uint32_t MismatchWanted() const { return wanted_; }

 private:
  uint32_t Expected(uint64_t deviceFrame, uint32_t channel) const;

  const LowLatencyCaptureLayout layout_;
  uint64_t halves_ = 0;
  uint64_t nextFrame_ = 0;
  bool mismatch_ = false;
  uint64_t mismatchHalf_ = 0;
  uint64_t mismatchFrame_ = 0;
  uint32_t got_ = 0;
  uint32_t wanted_ = 0;
};

}  // namespace sim
