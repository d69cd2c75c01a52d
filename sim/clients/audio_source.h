// Audio a client plays, read front to back in pieces so that nothing holds
// a whole source in memory: a generated tone, a WAV file read as it is
// played, or frames already in memory (tests). Opening a second source of
// the same audio gives the comparison its expected frames.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "sim/clients/wav_file.h"

namespace sim {

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual const WavFormat& Format() const = 0;
  virtual uint64_t Frames() const = 0;
  // Copies the next frames (at most `frames`, fewer at the end) into `out`
  // and returns how many; 0 once the source is exhausted or unreadable.
  virtual uint64_t Read(uint8_t* out, uint64_t frames) = 0;
};

class ToneSource : public FrameSource {
 public:
  ToneSource(double hz, double dbfs, const WavFormat& format, uint64_t frames)
      : hz_(hz), dbfs_(dbfs), format_(format), frames_(frames) {}
  const WavFormat& Format() const override { return format_; }
  uint64_t Frames() const override { return frames_; }
  uint64_t Read(uint8_t* out, uint64_t frames) override;

 private:
  const double hz_;
  const double dbfs_;
  const WavFormat format_;
  const uint64_t frames_;
  uint64_t next_ = 0;
};

// Frames held by the caller, which must outlive the source.
class MemorySource : public FrameSource {
 public:
  explicit MemorySource(const WavData& wav) : wav_(wav) {}
  const WavFormat& Format() const override { return wav_.format; }
  uint64_t Frames() const override { return wav_.Frames(); }
  uint64_t Read(uint8_t* out, uint64_t frames) override;

 private:
  const WavData& wav_;
  uint64_t next_ = 0;
};

// A WAV file's data chunk, read as it is needed; `seconds` > 0 cuts it short.
class WavFileSource : public FrameSource {
 public:
  static std::unique_ptr<WavFileSource> Open(const std::string& path, double seconds, std::string* error);
  ~WavFileSource() override;
  const WavFormat& Format() const override { return format_; }
  uint64_t Frames() const override { return frames_; }
  uint64_t Read(uint8_t* out, uint64_t frames) override;

 private:
  WavFileSource() = default;
  FILE* file_ = nullptr;
  WavFormat format_;
  uint64_t frames_ = 0;
  uint64_t next_ = 0;
};

// Writes a WAV file as its frames arrive; Close writes the final sizes.
class WavFileWriter {
 public:
  ~WavFileWriter();
  bool Open(const std::string& path, const WavFormat& format, std::string* error);
  bool IsOpen() const { return file_ != nullptr; }
  bool Append(const uint8_t* data, size_t bytes);
  bool Close(std::string* error);

 private:
  FILE* file_ = nullptr;
  std::string path_;
  size_t headerBytes_ = 0;
  uint64_t dataBytes_ = 0;
  bool failed_ = false;
};

}  // namespace sim
