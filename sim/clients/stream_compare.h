// The comparison of what the device plays with what it should play, done
// as the audio streams: the expected frames come from a second reading of
// the client's source, converted to the device format a block at a time,
// and each played block is checked and forgotten. Memory stays a few blocks
// whatever the length of the run. Also: why a run was not bit-exact.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/clients/audio_compare.h"
#include "sim/clients/audio_source.h"

namespace sim {

// What the stream comparison found (CompareFrames' answer, and the frame
// values where the device first differed).
struct StreamComparison {
  FrameComparison frames;
  uint64_t deviceFrames = 0;
  std::vector<uint8_t> mismatchDevice;    // the device's frame at firstMismatch (empty: it played none)
  std::vector<uint8_t> mismatchExpected;  // what it should have been (empty: unknown)
};

class StreamComparator {
 public:
  // `expected` is the client's source (its own reading); the device format
  // is set once known, before the first Feed.
  explicit StreamComparator(std::unique_ptr<FrameSource> expected);
  void SetDeviceFormat(const DeviceFrameFormat& device);
  bool HasDeviceFormat() const { return deviceFrameBytes_ != 0; }
  // The device's played bytes, in order, in pieces of any size.
  void Feed(const uint8_t* played, size_t bytes);
  // `clientFrames` source frames were written; the device must have played
  // them and only silence after them (a short stream is a mismatch at its
  // end unless `partialOk`), as CompareFrames says.
  StreamComparison Finish(uint64_t clientFrames, bool partialOk) const;
  // The most bytes it ever held at once (expected block, partial frame).
  size_t PeakBufferedBytes() const { return peakBuffered_; }

 private:
  bool RefillExpected();
  void CompareFrame(const uint8_t* frame);

  std::unique_ptr<FrameSource> source_;
  uint64_t sourceFrames_ = 0;
  DeviceFrameFormat device_;
  uint32_t deviceFrameBytes_ = 0;
  std::vector<uint8_t> clientBlock_;
  std::vector<uint8_t> expected_;  // converted source frames from expectedFirst_ on
  uint64_t expectedFirst_ = 0;
  std::vector<uint8_t> silence_;   // one device frame of the client's silence
  std::vector<uint8_t> partial_;   // bytes of a frame not yet complete
  uint64_t frames_ = 0;            // device frames compared
  int64_t firstMismatch_ = -1;     // against the source (silence after it)
  std::vector<uint8_t> mismatchDevice_, mismatchExpected_;
  int64_t lastNonSilent_ = -1;
  size_t peakBuffered_ = 0;
};

// The causes of a run that was not bit-exact, as report names: where the
// stream could first have been disturbed by each (device frame index,
// UINT64_MAX when it did not happen).
struct MismatchEvidence {
  uint64_t clientLateFrames = 0;       // played as silence because the client was late
  uint64_t firstClientLate = UINT64_MAX;
  uint64_t deviceXruns = 0;            // under-/overruns the driver is answerable for
  uint64_t busLateXruns = 0;           // under-/overruns while the bus ran late
  uint64_t firstXrun = UINT64_MAX;
  uint64_t restarts = 0;
  uint64_t firstRestart = UINT64_MAX;
};
// "client_late", "device_xrun", "bus_late", "restart" for each that
// happened, and "driver_changed" when the first mismatch comes before any
// of them could have struck (or nothing else happened): the driver altered
// the audio. Empty for a bit-exact run.
std::vector<std::string> MismatchCauses(bool bitExact, int64_t firstMismatch, const MismatchEvidence& evidence);

}  // namespace sim
