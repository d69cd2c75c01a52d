#include "sim/clients/audio_source.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace sim {

uint64_t ToneSource::Read(uint8_t* out, uint64_t frames) {
  const uint64_t n = std::min(frames, frames_ - next_);
  ToneFrames(hz_, dbfs_, format_, next_, static_cast<size_t>(n), out);
  next_ += n;
  return n;
}

uint64_t MemorySource::Read(uint8_t* out, uint64_t frames) {
  const uint64_t n = std::min(frames, Frames() - next_);
  const size_t frameBytes = wav_.format.BlockAlign();
  if (n) std::memcpy(out, wav_.samples.data() + next_ * frameBytes, n * frameBytes);
  next_ += n;
  return n;
}

std::unique_ptr<WavFileSource> WavFileSource::Open(const std::string& path, double seconds, std::string* error) {
  std::unique_ptr<WavFileSource> source(new WavFileSource());
  source->file_ = std::fopen(path.c_str(), "rb");
  if (!source->file_) {
    *error = "cannot open " + path;
    return nullptr;
  }
  FILE* f = source->file_;
  if (std::fseek(f, 0, SEEK_END) != 0) {
    *error = "cannot read " + path;
    return nullptr;
  }
  const long size = std::ftell(f);
  std::rewind(f);
  // The chunk headers and the fmt chunk sit at the start of any sensible file.
  std::vector<uint8_t> head(static_cast<size_t>(std::min<long>(std::max<long>(size, 0), 1 << 20)));
  if (size < 0 || std::fread(head.data(), 1, head.size(), f) != head.size()) {
    *error = "cannot read " + path;
    return nullptr;
  }
  uint64_t offset = 0, bytes = 0;
  if (!ParseWavLayout(head.data(), head.size(), static_cast<uint64_t>(size), &source->format_, &offset, &bytes,
                      error))
    return nullptr;
  source->frames_ = bytes / source->format_.BlockAlign();
  if (seconds > 0)
    source->frames_ =
        std::min(source->frames_, static_cast<uint64_t>(seconds * source->format_.sampleRate + 0.5));
  if (std::fseek(f, static_cast<long>(offset), SEEK_SET) != 0) {
    *error = "cannot read " + path;
    return nullptr;
  }
  return source;
}

WavFileSource::~WavFileSource() {
  if (file_) std::fclose(file_);
}

uint64_t WavFileSource::Read(uint8_t* out, uint64_t frames) {
  const uint64_t n = std::min(frames, frames_ - next_);
  const size_t frameBytes = format_.BlockAlign();
  const size_t got = n ? std::fread(out, frameBytes, static_cast<size_t>(n), file_) : 0;
  next_ += got;
  return got;
}

WavFileWriter::~WavFileWriter() {
  if (file_) std::fclose(file_);
}

bool WavFileWriter::Open(const std::string& path, const WavFormat& format, std::string* error) {
  WavData empty;
  empty.format = format;
  const std::vector<uint8_t> header = EncodeWav(empty);
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) {
    *error = "cannot create " + path;
    return false;
  }
  path_ = path;
  headerBytes_ = header.size();
  failed_ = std::fwrite(header.data(), 1, header.size(), file_) != header.size();
  return true;
}

bool WavFileWriter::Append(const uint8_t* data, size_t bytes) {
  if (!file_ || failed_) return false;
  failed_ = std::fwrite(data, 1, bytes, file_) != bytes;
  dataBytes_ += bytes;
  return !failed_;
}

bool WavFileWriter::Close(std::string* error) {
  if (!file_) return true;
  auto le32 = [](uint64_t v, uint8_t out[4]) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
  };
  const uint32_t pad = dataBytes_ & 1;  // chunks are word aligned
  if (pad) failed_ |= std::fputc(0, file_) == EOF;
  uint8_t riff[4], data[4];
  le32(headerBytes_ - 8 + dataBytes_ + pad, riff);
  le32(dataBytes_, data);
  failed_ |= dataBytes_ + headerBytes_ > 0xFFFFFFFFull;
  failed_ |= std::fseek(file_, 4, SEEK_SET) != 0 || std::fwrite(riff, 1, 4, file_) != 4;
  failed_ |= std::fseek(file_, static_cast<long>(headerBytes_ - 4), SEEK_SET) != 0 ||
             std::fwrite(data, 1, 4, file_) != 4;
  failed_ |= std::fclose(file_) != 0;
  file_ = nullptr;
  if (failed_) *error = "cannot write " + path_;
  return !failed_;
}

}  // namespace sim
