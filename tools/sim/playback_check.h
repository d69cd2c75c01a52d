// `usbaudio-sim play`'s view of the device while it plays: a thread takes
// the played frames from the device's tap as they come, compares them with
// the client's source (read a second time) and writes them to --out, so no
// part of the run is kept in memory.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/clients/stream_compare.h"
#include "sim/uac/audio_streaming.h"
#include "sim/uac/played_audio_tap.h"

namespace tools {

class PlaybackCheck {
 public:
  // `expected`: a fresh reading of the source the client plays.
  PlaybackCheck(sim::AudioStreaming& streaming, std::unique_ptr<sim::FrameSource> expected, std::string outPath);
  ~PlaybackCheck();

  // Attaches to the device and starts the thread.
  void Start();
  // Detaches, takes what is left and ends the thread.
  void Stop();

  sim::StreamComparison Finish(uint64_t clientFrames, bool partialOk) const {
    return comparator_.Finish(clientFrames, partialOk);
  }
  uint64_t LostBytes() const { return tap_.LostBytes(); }
  size_t PeakBufferedBytes() const { return tap_.PeakBytes() + comparator_.PeakBufferedBytes(); }
  // Writes an empty file when nothing was played; false with `error`
  // when the file could not be written.
  bool FinishOut(const sim::DeviceFrameFormat& format, uint32_t rate, std::string* error);
  bool OutWritten() const { return outOpened_; }

 private:
  void Consume();
  void Take(const std::vector<uint8_t>& bytes);
  bool OpenOut(const sim::DeviceFrameFormat& format, uint32_t rate);

  sim::AudioStreaming& streaming_;
  sim::PlayedAudioTap tap_;
  sim::StreamComparator comparator_;
  const std::string outPath_;
  sim::WavFileWriter out_;
  bool outOpened_ = false;
  std::string outError_;
  std::thread thread_;
};

}  // namespace tools
