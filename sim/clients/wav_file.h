// RIFF/WAVE files of integer PCM: WAVE_FORMAT_PCM and WAVE_FORMAT_EXTENSIBLE
// with the PCM sub-format, 8 (unsigned), 16, 24 or 32-bit containers, any
// channel count. Parsing never trusts the bytes: every chunk is bounds
// checked and a malformed file gives a message saying what is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct WavFormat {
  uint32_t channels = 0;
  uint32_t bitsPerSample = 0;  // container bits: 8, 16, 24 or 32
  uint32_t validBits = 0;      // <= bitsPerSample (EXTENSIBLE's wValidBitsPerSample)
  uint32_t sampleRate = 0;
  uint32_t channelMask = 0;    // EXTENSIBLE only; 0 when unknown
  bool extensible = false;

  uint32_t BlockAlign() const { return channels * bitsPerSample / 8; }
  bool operator==(const WavFormat& o) const {
    return channels == o.channels && bitsPerSample == o.bitsPerSample && validBits == o.validBits &&
           sampleRate == o.sampleRate && channelMask == o.channelMask && extensible == o.extensible;
  }
};

struct WavData {
  WavFormat format;
  std::vector<uint8_t> samples;  // interleaved little-endian frames

  size_t Frames() const { return format.BlockAlign() ? samples.size() / format.BlockAlign() : 0; }
};

// A format this module can read and write (the checks ParseWav applies);
// false with a reason otherwise.
bool ValidWavFormat(const WavFormat& format, std::string* error);

// Parses a whole file image. A trailing partial frame in the data chunk is
// dropped; a data chunk that claims more bytes than the file holds is an
// error (a truncated file), as is anything but integer PCM.
bool ParseWav(const uint8_t* bytes, size_t size, WavData* out, std::string* error);
// The same checks on the start of a file of `fileSize` bytes (its chunk
// headers and fmt chunk must lie in `bytes`): where the data chunk's whole
// frames are, without reading them.
bool ParseWavLayout(const uint8_t* bytes, size_t size, uint64_t fileSize, WavFormat* format, uint64_t* dataOffset,
                    uint64_t* dataBytes, std::string* error);
bool ReadWavFile(const std::string& path, WavData* out, std::string* error);

// Writes PCM (WAVE_FORMAT_EXTENSIBLE when the format says so, or when it has
// more than two channels or fewer valid bits than its container).
std::vector<uint8_t> EncodeWav(const WavData& wav);
bool WriteWavFile(const std::string& path, const WavData& wav, std::string* error);

// Signals --------------------------------------------------------------------

// A sine of `hz` at `dbfs` (e.g. -6) on every channel, `frames` long, in the
// given integer PCM format (8-bit unsigned, wider signed, left-justified in
// the container when validBits < bitsPerSample).
WavData MakeTone(double hz, double dbfs, const WavFormat& format, size_t frames);
// Frames [first, first + frames) of that tone, into `out`.
void ToneFrames(double hz, double dbfs, const WavFormat& format, uint64_t first, size_t frames, uint8_t* out);

// One frame of silence in the format (0x80 bytes for 8-bit, else zeros).
std::vector<uint8_t> SilenceFrame(const WavFormat& format);

}  // namespace sim
