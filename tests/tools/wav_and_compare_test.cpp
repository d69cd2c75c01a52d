// The sim clients' audio helpers: WAV files (every PCM layout both ways,
// clear refusals, arbitrary bytes), the test tone, and the comparison of
// what the device played or sent with what the client had.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sim/clients/audio_compare.h"
#include "sim/clients/wav_file.h"
#include "sim/uac/audio_streaming.h"

namespace {

using sim::WavData;
using sim::WavFormat;

std::vector<uint8_t> Noise(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(n);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

WavData Sample(uint32_t channels, uint32_t bits, bool extensible, size_t frames = 37) {
  WavData wav;
  wav.format = {channels, bits, bits, 44100, extensible ? 0x3Fu : 0u, extensible};
  wav.samples = Noise(frames * wav.format.BlockAlign(), channels * 100 + bits);
  return wav;
}

// A minimal file image: RIFF header, the given chunks.
std::vector<uint8_t> Riff(const std::vector<std::pair<std::string, std::vector<uint8_t>>>& chunks) {
  std::vector<uint8_t> body = {'W', 'A', 'V', 'E'};
  for (const auto& [tag, data] : chunks) {
    body.insert(body.end(), tag.begin(), tag.end());
    const uint32_t n = static_cast<uint32_t>(data.size());
    for (int i = 0; i < 4; ++i) body.push_back(static_cast<uint8_t>(n >> (8 * i)));
    body.insert(body.end(), data.begin(), data.end());
    if (n & 1) body.push_back(0);
  }
  std::vector<uint8_t> file = {'R', 'I', 'F', 'F'};
  const uint32_t n = static_cast<uint32_t>(body.size());
  for (int i = 0; i < 4; ++i) file.push_back(static_cast<uint8_t>(n >> (8 * i)));
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

// A 16-byte PCM fmt body.
std::vector<uint8_t> Fmt(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t block, uint16_t bits) {
  std::vector<uint8_t> f(16);
  auto put = [&](size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put(0, tag, 2);
  put(2, channels, 2);
  put(4, rate, 4);
  put(8, rate * block, 4);
  put(12, block, 2);
  put(14, bits, 2);
  return f;
}

std::string ParseError(const std::vector<uint8_t>& bytes) {
  WavData wav;
  std::string error;
  EXPECT_FALSE(sim::ParseWav(bytes.data(), bytes.size(), &wav, &error));
  return error;
}

TEST(WavFile, EveryPcmLayoutSurvivesARoundTrip) {
  for (uint32_t bits : {8u, 16u, 24u, 32u}) {
    for (uint32_t channels : {1u, 2u, 6u}) {
      for (bool extensible : {false, true}) {
        const WavData in = Sample(channels, bits, extensible);
        const std::vector<uint8_t> file = sim::EncodeWav(in);
        WavData out;
        std::string error;
        ASSERT_TRUE(sim::ParseWav(file.data(), file.size(), &out, &error)) << bits << "/" << channels << ": " << error;
        EXPECT_EQ(out.samples, in.samples);
        EXPECT_EQ(out.format.channels, channels);
        EXPECT_EQ(out.format.bitsPerSample, bits);
        EXPECT_EQ(out.format.validBits, bits);
        EXPECT_EQ(out.format.sampleRate, 44100u);
        // More than two channels always go out as WAVE_FORMAT_EXTENSIBLE.
        EXPECT_EQ(out.format.extensible, extensible || channels > 2);
        if (extensible) {
          EXPECT_EQ(out.format.channelMask, 0x3Fu);
        }
      }
    }
  }
  // Valid bits below the container, an odd data size (pad byte), and the file system.
  WavData in = Sample(1, 24, false, 5);
  in.format.validBits = 20;
  const std::string path = ::testing::TempDir() + "wav_round_trip.wav";
  std::string error;
  ASSERT_TRUE(sim::WriteWavFile(path, in, &error)) << error;
  WavData out;
  ASSERT_TRUE(sim::ReadWavFile(path, &out, &error)) << error;
  std::remove(path.c_str());
  EXPECT_EQ(out.samples, in.samples);
  EXPECT_EQ(out.format.validBits, 20u);
  EXPECT_TRUE(out.format.extensible);
  EXPECT_FALSE(sim::ReadWavFile(path, &out, &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

TEST(WavFile, UnknownChunksAreSkippedAndAPartialFrameDropped) {
  std::vector<uint8_t> data = Noise(4 * 10 + 3, 7);  // ten 16-bit stereo frames and 3 stray bytes
  const std::vector<uint8_t> file =
      Riff({{"LIST", {'a', 'b', 'c'}}, {"fmt ", Fmt(1, 2, 48000, 4, 16)}, {"fact", {0, 0, 0, 0}}, {"data", data}});
  WavData wav;
  std::string error;
  ASSERT_TRUE(sim::ParseWav(file.data(), file.size(), &wav, &error)) << error;
  EXPECT_EQ(wav.Frames(), 10u);
  EXPECT_EQ(0, std::memcmp(wav.samples.data(), data.data(), 40));
}

TEST(WavFile, MalformedFilesAreRefusedWithTheReason) {
  const std::vector<uint8_t> data(16, 0);
  struct Case {
    std::vector<uint8_t> bytes;
    const char* reason;
  };
  std::vector<uint8_t> extensibleFloat = Fmt(0xFFFE, 2, 48000, 8, 32);
  extensibleFloat.insert(extensibleFloat.end(), {22, 0, 32, 0, 3, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0,
                                                 0xAA, 0, 0x38, 0x9B, 0x71});
  std::vector<uint8_t> truncated = Riff({{"fmt ", Fmt(1, 2, 48000, 4, 16)}, {"data", data}});
  truncated.resize(truncated.size() - 5);
  const std::vector<Case> cases = {
      {{'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}, "not a RIFF/WAVE"},
      {{}, "not a RIFF/WAVE"},
      {Riff({{"data", data}}), "data chunk before the fmt chunk"},
      {Riff({{"fmt ", Fmt(1, 2, 48000, 4, 16)}}), "no data chunk"},
      {Riff({{"LIST", {1, 2}}}), "no fmt chunk"},
      {Riff({{"fmt ", std::vector<uint8_t>(14, 0)}, {"data", data}}), "fmt chunk too short"},
      {Riff({{"fmt ", Fmt(3, 2, 48000, 8, 32)}, {"data", data}}), "format tag 0x0003"},
      {Riff({{"fmt ", extensibleFloat}, {"data", data}}), "sub-format"},
      {Riff({{"fmt ", Fmt(1, 2, 48000, 4, 12)}, {"data", data}}), "sample size 12"},
      {Riff({{"fmt ", Fmt(1, 0, 48000, 0, 16)}, {"data", data}}), "channel count 0"},
      {Riff({{"fmt ", Fmt(1, 2, 0, 4, 16)}, {"data", data}}), "sample rate 0"},
      {Riff({{"fmt ", Fmt(1, 2, 48000, 6, 16)}, {"data", data}}), "block align 6"},
      {Riff({{"fmt ", Fmt(1, 2, 48000, 4, 16)}, {"fmt ", Fmt(1, 2, 48000, 4, 16)}, {"data", data}}), "more than one"},
      {truncated, "data chunk truncated"},
  };
  for (const Case& c : cases) {
    const std::string error = ParseError(c.bytes);
    EXPECT_NE(error.find(c.reason), std::string::npos) << "expected '" << c.reason << "', got '" << error << "'";
  }
}

TEST(WavFile, ArbitraryBytesAreParsedSafely) {
  // Mutations of a valid file (ASan/UBSan watch every read); whatever is
  // accepted is whole frames taken from inside the input.
  const std::vector<uint8_t> valid = sim::EncodeWav(Sample(2, 24, true, 50));
  std::mt19937 random(12345);
  size_t accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bytes = valid;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      const size_t at = random() % bytes.size();
      switch (random() % 3) {
        case 0: bytes[at] ^= static_cast<uint8_t>(1u << (random() % 8)); break;
        case 1: bytes[at] = static_cast<uint8_t>(random()); break;
        default: bytes.resize(at); break;
      }
      if (bytes.empty()) break;
    }
    WavData wav;
    std::string error;
    if (sim::ParseWav(bytes.data(), bytes.size(), &wav, &error)) {
      ++accepted;
      ASSERT_NE(wav.format.BlockAlign(), 0u);
      EXPECT_EQ(wav.samples.size() % wav.format.BlockAlign(), 0u);
      EXPECT_LE(wav.samples.size(), bytes.size());
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
  EXPECT_GT(accepted, 0u);  // sample bytes are fair game: many mutants stay valid
  const std::vector<uint8_t> junk = Noise(5000, 99);
  WavData wav;
  std::string error;
  EXPECT_FALSE(sim::ParseWav(junk.data(), junk.size(), &wav, &error));
}

TEST(Tone, IsASineAtTheAskedLevelInEveryFormat) {
  // 24-bit: -6 dBFS peaks at half scale, 1000 Hz crosses zero 2000 times a second.
  const WavData tone = sim::MakeTone(1000, -6, {2, 24, 24, 48000, 0, false}, 48000);
  ASSERT_EQ(tone.Frames(), 48000u);
  int32_t peak = 0;
  int crossings = 0;
  int32_t previous = 0;
  for (size_t f = 0; f < tone.Frames(); ++f) {
    const uint8_t* p = tone.samples.data() + f * 6;
    const int32_t left = static_cast<int32_t>(static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) << 8) >> 8;
    ASSERT_EQ(0, std::memcmp(p, p + 3, 3)) << "channels differ at " << f;
    peak = std::max(peak, std::abs(left));
    if (f > 0 && ((previous < 0 && left >= 0) || (previous >= 0 && left < 0))) ++crossings;
    previous = left;
  }
  EXPECT_NEAR(peak, std::lround(0.501187 * 8388607), 2);
  EXPECT_NEAR(crossings, 2000, 1);
  // 8-bit is unsigned around 128; valid bits below the container are left-justified.
  const WavData eight = sim::MakeTone(1000, 0, {1, 8, 8, 8000, 0, false}, 8);
  EXPECT_EQ(eight.samples[0], 128);
  EXPECT_EQ(eight.samples[2], 255);  // a quarter period: full scale (127 + 128)
  const WavData twenty = sim::MakeTone(440, -1, {1, 24, 20, 48000, 0, true}, 100);
  for (size_t f = 0; f < 100; ++f) EXPECT_EQ(twenty.samples[f * 3] & 0x0F, 0) << f;
  EXPECT_EQ(sim::SilenceFrame({2, 8, 8, 8000, 0, false}), std::vector<uint8_t>(2, 0x80));
}

TEST(FrameComparison, FindsTheFirstWrongMissingOrNonSilentFrame) {
  // 16-bit client frames reach a 4-byte-subslot device left-justified.
  const WavFormat client{2, 16, 16, 48000, 0, false};
  const sim::DeviceFrameFormat device{2, 4, 24};
  const std::vector<uint8_t> in = {0x34, 0x12, 0xCD, 0xAB, 0x01, 0x00, 0xFF, 0xFF};
  const std::vector<uint8_t> expected = sim::ClientToDevice(in.data(), in.size(), client, device);
  EXPECT_EQ(expected, (std::vector<uint8_t>{0, 0, 0x34, 0x12, 0, 0, 0xCD, 0xAB, 0, 0, 0x01, 0x00, 0, 0, 0xFF, 0xFF}));
  const std::vector<uint8_t> silence(8, 0);

  std::vector<uint8_t> played = expected;
  played.insert(played.end(), 16, 0);  // two frames of padding
  sim::FrameComparison c = sim::CompareFrames(expected, played, 8, silence, false);
  EXPECT_TRUE(c.bitExact);
  EXPECT_EQ(c.firstMismatch, -1);
  EXPECT_EQ(c.receivedFrames, 2u);
  EXPECT_EQ(c.extraFrames, 2u);

  played[13] ^= 1;  // second source frame
  c = sim::CompareFrames(expected, played, 8, silence, false);
  EXPECT_FALSE(c.bitExact);
  EXPECT_EQ(c.firstMismatch, 1);
  played[13] ^= 1;
  played[27] = 1;  // noise in the padding
  EXPECT_EQ(sim::CompareFrames(expected, played, 8, silence, false).firstMismatch, 3);

  // Cut short: a mismatch at the first missing frame, unless the stream was cut off.
  const std::vector<uint8_t> half(expected.begin(), expected.begin() + 8);
  EXPECT_EQ(sim::CompareFrames(expected, half, 8, silence, false).firstMismatch, 1);
  c = sim::CompareFrames(expected, half, 8, silence, true);
  EXPECT_TRUE(c.bitExact);
  EXPECT_EQ(c.receivedFrames, 1u);
  EXPECT_TRUE(sim::CompareFrames(expected, {}, 8, silence, true).bitExact);
}

TEST(FrameComparison, ARecordingIsPlacedInTheCaptureSignal) {
  // The device's ramp narrowed to 16 bits repeats values; only one start
  // fits a long stretch, and a lost frame is found where it happened.
  const sim::DeviceFrameFormat device{2, 4, 24};
  const WavFormat client{2, 16, 16, 48000, 0, false};
  const std::vector<uint8_t> signal = sim::CaptureSignal(70000, 3000, device);
  std::vector<uint8_t> recorded = sim::DeviceToClient(signal.data(), signal.size(), device, client);
  EXPECT_EQ(sim::FindCaptureStart(recorded, client, device, 200000), 70000);

  recorded.erase(recorded.begin() + 2500 * 4, recorded.begin() + 2501 * 4);  // frame 2500 lost
  const int64_t start = sim::FindCaptureStart(recorded, client, device, 200000);
  ASSERT_EQ(start, 70000);
  const std::vector<uint8_t> again = sim::CaptureSignal(70000, recorded.size() / 4, device);
  const std::vector<uint8_t> expected = sim::DeviceToClient(again.data(), again.size(), device, client);
  const sim::FrameComparison c = sim::CompareFrames(expected, recorded, 4, {}, false);
  EXPECT_FALSE(c.bitExact);
  // The ramp steps by 2 a frame, so its 16-bit view changes every 128 frames:
  // the loss shows at the first change after it.
  EXPECT_GE(c.firstMismatch, 2500);
  EXPECT_LT(c.firstMismatch, 2500 + 128);
  EXPECT_EQ(sim::FindCaptureStart(std::vector<uint8_t>(40, 0x77), client, device, 1000), -1);
}

}  // namespace
