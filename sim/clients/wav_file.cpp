#include "sim/clients/wav_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace sim {

namespace {

constexpr uint16_t kFormatPcm = 0x0001;
constexpr uint16_t kFormatExtensible = 0xFFFE;
// KSDATAFORMAT_SUBTYPE_PCM as it lies in the file: {00000001-0000-0010-8000-00AA00389B71}.
constexpr uint8_t kPcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                       0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// Large enough for any sensible channel count, small enough that a frame fits easily.
constexpr uint32_t kMaxChannels = 64;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
// Writes little-endian fields into a buffer sized up front.
class Writer {
 public:
  explicit Writer(std::vector<uint8_t>& out) : out_(out) {}
  void Bytes(const void* data, size_t n) {
    if (n) std::memcpy(out_.data() + at_, data, n);
    at_ += n;
  }
  void Tag(const char* tag) { Bytes(tag, 4); }
  void U16(uint32_t v) {
    const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    Bytes(b, 2);
  }
  void U32(uint32_t v) {
    U16(v & 0xFFFF);
    U16(v >> 16);
  }

 private:
  std::vector<uint8_t>& out_;
  size_t at_ = 0;
};

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

bool ParseFmt(const uint8_t* p, uint32_t size, WavFormat* format, std::string* error) {
  if (size < 16) return Fail(error, "fmt chunk too short (" + std::to_string(size) + " bytes)");
  const uint16_t tag = Le16(p);
  WavFormat f;
  f.channels = Le16(p + 2);
  f.sampleRate = Le32(p + 4);
  const uint16_t blockAlign = Le16(p + 12);
  f.bitsPerSample = Le16(p + 14);
  f.validBits = f.bitsPerSample;
  if (tag == kFormatExtensible) {
    const uint16_t extra = size >= 18 ? Le16(p + 16) : 0;
    if (size < 40 || extra < 22) return Fail(error, "WAVE_FORMAT_EXTENSIBLE fmt chunk too short");
    f.extensible = true;
    f.validBits = Le16(p + 18);
    f.channelMask = Le32(p + 20);
    if (std::memcmp(p + 24, kPcmSubFormat, 16) != 0)
      return Fail(error, "unsupported WAVE_FORMAT_EXTENSIBLE sub-format (only integer PCM)");
    if (f.validBits == 0) f.validBits = f.bitsPerSample;
  } else if (tag != kFormatPcm) {
    char text[80];
    std::snprintf(text, sizeof text, "unsupported format tag 0x%04X (only integer PCM)", tag);
    return Fail(error, text);
  }
  if (!ValidWavFormat(f, error)) return false;
  if (blockAlign != f.BlockAlign())
    return Fail(error, "block align " + std::to_string(blockAlign) + " does not match " +
                           std::to_string(f.channels) + " channels of " + std::to_string(f.bitsPerSample) + " bits");
  *format = f;
  return true;
}

}  // namespace

bool ValidWavFormat(const WavFormat& f, std::string* error) {
  if (f.channels == 0 || f.channels > kMaxChannels)
    return Fail(error, "unsupported channel count " + std::to_string(f.channels));
  if (f.bitsPerSample != 8 && f.bitsPerSample != 16 && f.bitsPerSample != 24 && f.bitsPerSample != 32)
    return Fail(error, "unsupported sample size " + std::to_string(f.bitsPerSample) + " bits");
  if (f.validBits == 0 || f.validBits > f.bitsPerSample)
    return Fail(error, "valid bits " + std::to_string(f.validBits) + " do not fit the " +
                           std::to_string(f.bitsPerSample) + "-bit container");
  if (f.sampleRate == 0) return Fail(error, "sample rate 0");
  return true;
}

bool ParseWavLayout(const uint8_t* bytes, size_t size, uint64_t fileSize, WavFormat* format, uint64_t* dataOffset,
                    uint64_t* dataBytes, std::string* error) {
  if (size < 12 || std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0)
    return Fail(error, "not a RIFF/WAVE file");
  // Chunks end at the RIFF size or the file's end, whichever comes first.
  const uint64_t riffEnd = std::min<uint64_t>(fileSize, uint64_t{Le32(bytes + 4)} + 8);
  bool haveFormat = false;
  WavFormat f;
  uint64_t at = 12;
  while (at + 8 <= riffEnd) {
    if (at + 8 > size) return Fail(error, "chunk headers lie too far into the file");
    const uint8_t* header = bytes + at;
    const uint32_t chunkSize = Le32(header + 4);
    const uint64_t body = at + 8;
    const bool isData = std::memcmp(header, "data", 4) == 0;
    if (body + chunkSize > fileSize) {
      if (isData) return Fail(error, "data chunk truncated: " + std::to_string(chunkSize) + " bytes declared, " +
                                         std::to_string(fileSize - body) + " present");
      return Fail(error, "chunk '" + std::string(reinterpret_cast<const char*>(header), 4) + "' runs past the file end");
    }
    if (std::memcmp(header, "fmt ", 4) == 0) {
      if (haveFormat) return Fail(error, "more than one fmt chunk");
      if (body + chunkSize > size) return Fail(error, "fmt chunk lies too far into the file");
      if (!ParseFmt(bytes + body, chunkSize, &f, error)) return false;
      haveFormat = true;
    } else if (isData) {
      if (!haveFormat) return Fail(error, "data chunk before the fmt chunk");
      const uint32_t block = f.BlockAlign();
      *format = f;
      *dataOffset = body;
      *dataBytes = chunkSize / block * block;
      return true;
    }
    at = body + chunkSize + (chunkSize & 1);  // chunks are word aligned
  }
  return Fail(error, haveFormat ? "no data chunk" : "no fmt chunk");
}

bool ParseWav(const uint8_t* bytes, size_t size, WavData* out, std::string* error) {
  WavData wav;
  uint64_t offset = 0, length = 0;
  if (!ParseWavLayout(bytes, size, size, &wav.format, &offset, &length, error)) return false;
  wav.samples.assign(bytes + offset, bytes + offset + length);
  *out = std::move(wav);
  return true;
}

bool ReadWavFile(const std::string& path, WavData* out, std::string* error) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return Fail(error, "cannot open " + path);
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  if (std::ferror(file.get())) return Fail(error, "cannot read " + path);
  return ParseWav(bytes.data(), bytes.size(), out, error);
}

std::vector<uint8_t> EncodeWav(const WavData& wav) {
  const WavFormat& f = wav.format;
  const bool extensible = f.extensible || f.channels > 2 || f.validBits < f.bitsPerSample;
  const uint32_t fmtSize = extensible ? 40 : 16;
  const uint32_t dataSize = static_cast<uint32_t>(wav.samples.size());
  const uint32_t pad = dataSize & 1;  // chunks are word aligned
  std::vector<uint8_t> out(size_t{12} + 8 + fmtSize + 8 + dataSize + pad, 0);
  Writer w(out);
  w.Tag("RIFF");
  w.U32(4 + 8 + fmtSize + 8 + dataSize + pad);
  w.Tag("WAVE");
  w.Tag("fmt ");
  w.U32(fmtSize);
  w.U16(extensible ? kFormatExtensible : kFormatPcm);
  w.U16(f.channels);
  w.U32(f.sampleRate);
  w.U32(f.sampleRate * f.BlockAlign());
  w.U16(f.BlockAlign());
  w.U16(f.bitsPerSample);
  if (extensible) {
    w.U16(22);
    w.U16(f.validBits);
    w.U32(f.channelMask);
    w.Bytes(kPcmSubFormat, sizeof kPcmSubFormat);
  }
  w.Tag("data");
  w.U32(dataSize);
  w.Bytes(wav.samples.data(), wav.samples.size());
  return out;
}

bool WriteWavFile(const std::string& path, const WavData& wav, std::string* error) {
  const std::vector<uint8_t> bytes = EncodeWav(wav);
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!file) return Fail(error, "cannot create " + path);
  if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() || std::fflush(file.get()) != 0)
    return Fail(error, "cannot write " + path);
  return true;
}

void ToneFrames(double hz, double dbfs, const WavFormat& format, uint64_t first, size_t frames, uint8_t* out) {
  const uint32_t bytes = format.bitsPerSample / 8;
  const uint32_t valid = format.validBits ? format.validBits : format.bitsPerSample;
  const double amplitude = std::pow(10.0, dbfs / 20.0) * (std::ldexp(1.0, static_cast<int>(valid) - 1) - 1.0);
  const double rate = format.sampleRate;
  uint8_t* p = out;
  for (uint64_t frame = first; frame < first + frames; ++frame) {
    // Whole periods are dropped before the sine so long tones keep their precision.
    const double cycle = std::fmod(static_cast<double>(frame) * hz, rate) / rate;
    const int64_t level = std::llround(amplitude * std::sin(2.0 * 3.14159265358979323846 * cycle));
    uint32_t word = static_cast<uint32_t>(static_cast<uint64_t>(level) << (format.bitsPerSample - valid));
    if (format.bitsPerSample == 8) word = static_cast<uint32_t>(level + 128);
    for (uint32_t c = 0; c < format.channels; ++c) {
      for (uint32_t b = 0; b < bytes; ++b) *p++ = static_cast<uint8_t>(word >> (8 * b));
    }
  }
}

WavData MakeTone(double hz, double dbfs, const WavFormat& format, size_t frames) {
  WavData wav;
  wav.format = format;
  wav.samples.resize(frames * format.BlockAlign());
  ToneFrames(hz, dbfs, format, 0, frames, wav.samples.data());
  return wav;
}

std::vector<uint8_t> SilenceFrame(const WavFormat& format) {
  return std::vector<uint8_t>(format.BlockAlign(), format.bitsPerSample == 8 ? 0x80 : 0x00);
}

}  // namespace sim
