// PCM conversion between client and device formats: exact bytes for width
// changes (including unsigned 8-bit), channel fill and drop, partial frames
// and rejected formats; and every fast path against the generic byte loop on
// random data for all depth and channel combinations.
#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "driver/core/sample_conversion.h"

namespace {

using Bytes = std::vector<UCHAR>;
using ConvertFn = ULONG (*)(PVOID, const VOID*, ULONG, ULONG, ULONG, ULONG, ULONG);

struct Format {
  ULONG channels;
  ULONG bits;
};

std::string Describe(Format from, Format to) {
  return std::to_string(from.channels) + "ch/" + std::to_string(from.bits) + "bit -> " +
         std::to_string(to.channels) + "ch/" + std::to_string(to.bits) + "bit";
}

constexpr UCHAR kGuard = 0xA5;
constexpr size_t kSlack = 64;

// Output of one conversion; the buffer is guard-filled and `kSlack` bytes
// longer than `expectedSize`, so writes past the returned count show up.
struct Output {
  ULONG written;
  Bytes bytes;
};

Output Convert(ConvertFn fn, const UCHAR* src, size_t srcBytes, Format from, Format to, size_t expectedSize,
           size_t dstOffset = 0) {
  Output out{0, Bytes(dstOffset + expectedSize + kSlack, kGuard)};
  out.written = fn(out.bytes.data() + dstOffset, src, static_cast<ULONG>(srcBytes), to.channels, to.bits,
                   from.channels, from.bits);
  out.bytes.erase(out.bytes.begin(), out.bytes.begin() + static_cast<std::ptrdiff_t>(dstOffset));
  return out;
}

Output Convert(ConvertFn fn, const Bytes& src, Format from, Format to, size_t expectedSize) {
  return Convert(fn, src.data(), src.size(), from, to, expectedSize);
}

struct Case {
  const char* name;
  Format from;
  Format to;
  Bytes src;
  Bytes expected;
};

const Case kCases[] = {
    // Widening left-justifies: zero low bytes, client bytes on top.
    {"16 to 24 stereo", {2, 16}, {2, 24},
     {0x34, 0x12, 0xCD, 0xAB, 0x01, 0x80, 0xFF, 0x7F},
     {0x00, 0x34, 0x12, 0x00, 0xCD, 0xAB, 0x00, 0x01, 0x80, 0x00, 0xFF, 0x7F}},
    {"16 to 32 stereo", {2, 16}, {2, 32},
     {0x34, 0x12, 0xCD, 0xAB},
     {0x00, 0x00, 0x34, 0x12, 0x00, 0x00, 0xCD, 0xAB}},
    {"24 to 32 stereo", {2, 24}, {2, 32},
     {0x11, 0x22, 0x33, 0x44, 0x55, 0x66},
     {0x00, 0x11, 0x22, 0x33, 0x00, 0x44, 0x55, 0x66}},
    // Narrowing keeps the most significant bytes.
    {"24 to 16 stereo", {2, 24}, {2, 16},
     {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC},
     {0x22, 0x33, 0x55, 0x66, 0x88, 0x99, 0xBB, 0xCC}},
    {"32 to 16 stereo", {2, 32}, {2, 16},
     {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88},
     {0x33, 0x44, 0x77, 0x88}},
    {"32 to 24 stereo", {2, 32}, {2, 24},
     {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88},
     {0x22, 0x33, 0x44, 0x66, 0x77, 0x88}},
    // Unsigned 8-bit against signed: the one carried byte is flipped by 128.
    {"8u to 16 mono", {1, 8}, {1, 16},
     {0x00, 0x80, 0xFF, 0x7F},
     {0x00, 0x80, 0x00, 0x00, 0x00, 0x7F, 0x00, 0xFF}},
    {"8u to 32 mono", {1, 8}, {1, 32},
     {0x01},
     {0x00, 0x00, 0x00, 0x81}},
    {"16 to 8u mono", {1, 16}, {1, 8},
     {0x34, 0x12, 0x00, 0x80, 0xFF, 0x7F, 0x00, 0x00},
     {0x92, 0x00, 0xFF, 0x80}},
    {"32 to 8u mono", {1, 32}, {1, 8},
     {0x01, 0x02, 0x03, 0x84},
     {0x04}},
    // Missing destination channels are silent; surplus source channels dropped.
    {"stereo to 4 channels 16", {2, 16}, {4, 16},
     {0x34, 0x12, 0xCD, 0xAB, 0x01, 0x02, 0x03, 0x04},
     {0x34, 0x12, 0xCD, 0xAB, 0, 0, 0, 0, 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0}},
    {"mono 16 to stereo 24", {1, 16}, {2, 24},
     {0x34, 0x12, 0x78, 0x56},
     {0x00, 0x34, 0x12, 0, 0, 0, 0x00, 0x78, 0x56, 0, 0, 0}},
    {"stereo 16 to 4 channels 8u (silence is 0x80)", {2, 16}, {4, 8},
     {0x00, 0x12, 0x00, 0xAB},
     {0x92, 0x2B, 0x80, 0x80}},
    {"mono 8u to stereo 8u (no flip)", {1, 8}, {2, 8},
     {0x10, 0xF0},
     {0x10, 0x80, 0xF0, 0x80}},
    {"4 channels to stereo 16", {4, 16}, {2, 16},
     {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
     {1, 2, 3, 4, 9, 10, 11, 12}},
    {"4 channels 24 to stereo 16", {4, 24}, {2, 16},
     {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24},
     {2, 3, 5, 6, 14, 15, 17, 18}},
    // Only whole source frames are converted: 3 trailing bytes are ignored.
    {"partial trailing frame 16 to 24", {2, 16}, {2, 24},
     {0x34, 0x12, 0xCD, 0xAB, 0x01, 0x02, 0x03},
     {0x00, 0x34, 0x12, 0x00, 0xCD, 0xAB}},
    {"partial trailing frame 4 channels to stereo", {4, 16}, {2, 16},
     {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
     {1, 2, 3, 4}},
};

TEST(SampleConversion, ExactBytesForEachConversion) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.name) + ": " + Describe(c.from, c.to));
    const ConvertFn paths[] = {ConvertSamples, ConvertSamplesGeneric};
    for (ConvertFn fn : paths) {
      SCOPED_TRACE(fn == ConvertSamples ? "ConvertSamples" : "ConvertSamplesGeneric");
      const Output out = Convert(fn, c.src, c.from, c.to, c.expected.size());
      EXPECT_EQ(out.written, c.expected.size());
      EXPECT_EQ(Bytes(out.bytes.begin(), out.bytes.begin() + static_cast<std::ptrdiff_t>(c.expected.size())),
                c.expected);
      EXPECT_EQ(Bytes(out.bytes.begin() + static_cast<std::ptrdiff_t>(c.expected.size()), out.bytes.end()),
                Bytes(kSlack, kGuard))
          << "written past the converted frames";
    }
  }
}

TEST(SampleConversion, SameFormatCopiesEveryByte) {
  // Including a trailing partial frame: the identical format is a plain copy.
  const Bytes src = {1, 2, 3, 4, 5, 6, 7};
  const Output out = Convert(ConvertSamples, src, {2, 24}, {2, 24}, src.size());
  EXPECT_EQ(out.written, src.size());
  EXPECT_EQ(Bytes(out.bytes.begin(), out.bytes.begin() + 7), src);
  EXPECT_EQ(out.bytes[7], kGuard);
}

TEST(SampleConversion, UnusableFormatsConvertNothing) {
  const Bytes src(64, 0x5A);
  const struct {
    Format from;
    Format to;
  } formats[] = {
      {{2, 0}, {2, 16}},  {{2, 16}, {2, 0}},  {{2, 12}, {2, 16}}, {{2, 16}, {2, 20}},
      {{0, 16}, {2, 16}}, {{2, 16}, {0, 16}}, {{2, 12}, {2, 12}}, {{0, 16}, {0, 16}},
      {{2, 0}, {2, 0}},
  };
  for (const auto& f : formats) {
    SCOPED_TRACE(Describe(f.from, f.to));
    const Output out = Convert(ConvertSamples, src, f.from, f.to, 0);
    EXPECT_EQ(out.written, 0u);
    EXPECT_EQ(out.bytes, Bytes(kSlack, kGuard));
  }
}

TEST(SampleConversion, NothingWhenLessThanOneFrameOrResultTooLarge) {
  // Short of one 4-channel 24-bit frame.
  const Bytes shortSrc(11, 0x5A);
  Output out = Convert(ConvertSamples, shortSrc, {4, 24}, {4, 32}, 0);
  EXPECT_EQ(out.written, 0u);
  EXPECT_EQ(out.bytes, Bytes(kSlack, kGuard));
  // 65536 one-byte frames widened to 65536 channels of 32 bits: 16 GiB does
  // not fit the returned count, so nothing may be written.
  const Bytes bigSrc(65536, 0x5A);
  out = Convert(ConvertSamples, bigSrc, {1, 8}, {65536, 32}, 0);
  EXPECT_EQ(out.written, 0u);
  EXPECT_EQ(out.bytes, Bytes(kSlack, kGuard));
}

TEST(SampleConversion, FastPathsMatchGenericLoopForAllFormats) {
  const ULONG depths[] = {8, 16, 24, 32};
  const ULONG channelCounts[] = {1, 2, 4, 8};
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  constexpr ULONG kFrames = 37;
  for (ULONG srcBits : depths) {
    for (ULONG dstBits : depths) {
      for (ULONG srcChannels : channelCounts) {
        for (ULONG dstChannels : channelCounts) {
          const Format from{srcChannels, srcBits};
          const Format to{dstChannels, dstBits};
          SCOPED_TRACE(Describe(from, to));
          const bool same = srcBits == dstBits && srcChannels == dstChannels;
          const size_t srcFrame = srcChannels * srcBits / 8;
          const size_t dstFrame = dstChannels * dstBits / 8;
          // A trailing partial frame, except for the plain copy which keeps it.
          const size_t trailing = same ? 0 : srcFrame - 1;
          // Misaligned source and destination catch word accesses.
          const size_t srcBytes = kFrames * srcFrame + trailing;
          Bytes src(1 + srcBytes);
          for (UCHAR& b : src) b = static_cast<UCHAR>(byte(rng));
          const size_t expected = kFrames * dstFrame;
          const Output fast = Convert(ConvertSamples, src.data() + 1, srcBytes, from, to, expected, 3);
          const Output generic = Convert(ConvertSamplesGeneric, src.data() + 1, srcBytes, from, to, expected, 1);
          EXPECT_EQ(fast.written, expected);
          EXPECT_EQ(generic.written, expected);
          EXPECT_EQ(fast.bytes, generic.bytes);
        }
      }
    }
  }
}

}  // namespace
