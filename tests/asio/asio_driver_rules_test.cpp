// The driver object's pure rules: the rate list of each mode, the buffer
// latency and the reported output latency, channel names from device
// names, the two-word sample position, and the error names of traces.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "asio/asio_trace.h"
#include "asio/driver/asio_driver_rules.h"

namespace {

using namespace asiorules;

std::string Name(const char16_t* friendly, bool input, LONG channel) {
  char name[32];
  std::memset(name, 'x', sizeof name);
  ChannelName(reinterpret_cast<LPCWSTR>(friendly), input, channel, name);
  EXPECT_NE(std::memchr(name, 0, sizeof name), nullptr) << "unterminated";
  return std::string(name, strnlen(name, sizeof name));
}

TEST(AsioRules, PcmRatesAreTheListWithinTheDeviceRange) {
  for (ULONG rate : {32000u, 44100u, 48000u, 88200u, 96000u, 176400u, 192000u, 352800u, 384000u}) {
    EXPECT_TRUE(RateInList(rate, false, ASIOSTInt32LSB, 32000, 384000)) << rate;
  }
  for (ULONG rate : {0u, 8000u, 22050u, 47999u, 64000u, 768000u, 2822400u}) {
    EXPECT_FALSE(RateInList(rate, false, ASIOSTInt32LSB, 0, 0xFFFFFFFFu)) << rate;
  }
  // The device's range bounds the list, both ends included.
  EXPECT_TRUE(RateInList(44100, false, ASIOSTInt32LSB, 44100, 96000));
  EXPECT_TRUE(RateInList(96000, false, ASIOSTInt32LSB, 44100, 96000));
  EXPECT_FALSE(RateInList(32000, false, ASIOSTInt32LSB, 44100, 96000));
  EXPECT_FALSE(RateInList(192000, false, ASIOSTInt32LSB, 44100, 96000));
}

TEST(AsioRules, DsdRatesIgnoreTheRangeAndNoneForTheNer8Type) {
  EXPECT_TRUE(RateInList(2822400, true, ASIOSTDSDInt8MSB1, 44100, 48000));
  EXPECT_TRUE(RateInList(5644800, true, ASIOSTDSDInt8MSB1, 0, 0));
  EXPECT_FALSE(RateInList(48000, true, ASIOSTDSDInt8MSB1, 0, 0xFFFFFFFFu));
  EXPECT_FALSE(RateInList(11289600, true, ASIOSTDSDInt8MSB1, 0, 0xFFFFFFFFu));
  EXPECT_FALSE(RateInList(2822400, true, ASIOSTDSDInt8NER8, 0, 0xFFFFFFFFu));
}

TEST(AsioRules, HostRatesCountOnlyAsWholeHertz) {
  EXPECT_EQ(WholeRate(48000.0), 48000u);
  EXPECT_EQ(WholeRate(2822400.0), 2822400u);
  EXPECT_EQ(WholeRate(44100.5), 0u);
  EXPECT_EQ(WholeRate(0.0), 0u);
  EXPECT_EQ(WholeRate(-48000.0), 0u);
  EXPECT_EQ(WholeRate(4294967296.0 + 48000.0), 0u) << "a rate beyond 32 bits must not wrap onto a listed one";
  EXPECT_EQ(WholeRate(std::nan("")), 0u);
}

TEST(AsioRules, BufferLatencyRoundsTenthsOfMillisecondsAndDsdCountsBytes) {
  ULONG ms = 99;
  ASSERT_TRUE(BufferLatencyMs(512, 48000, ASIOSTInt32LSB, &ms));
  EXPECT_EQ(ms, 11u);  // 106 tenths
  ASSERT_TRUE(BufferLatencyMs(2048, 44100, ASIOSTInt32LSB, &ms));
  EXPECT_EQ(ms, 46u);  // 464 tenths
  ASSERT_TRUE(BufferLatencyMs(64, 192000, ASIOSTInt32LSB, &ms));
  EXPECT_EQ(ms, 0u);  // 3 tenths round down
  ASSERT_TRUE(BufferLatencyMs(72, 48000, ASIOSTInt32LSB, &ms));
  EXPECT_EQ(ms, 2u);  // 15 tenths round up
  // DSD: 2048 bytes at 2822400 one-bit samples per second = 352800 bytes/s.
  ASSERT_TRUE(BufferLatencyMs(2048, 2822400, ASIOSTDSDInt8MSB1, &ms));
  EXPECT_EQ(ms, 6u);  // 58 tenths
  ASSERT_TRUE(BufferLatencyMs(2048, 2822400, ASIOSTDSDInt8LSB1, &ms));
  EXPECT_EQ(ms, 6u);
  // No rate yet: no division by zero.
  ASSERT_TRUE(BufferLatencyMs(512, 0, ASIOSTInt32LSB, &ms));
  EXPECT_EQ(ms, 0u);
  ASSERT_TRUE(BufferLatencyMs(512, 7, ASIOSTDSDInt8MSB1, &ms));
  EXPECT_EQ(ms, 0u);
  // A stored size far beyond the limits does not wrap.
  ASSERT_TRUE(BufferLatencyMs(0x80000000u, 48000, ASIOSTInt32LSB, &ms));
  EXPECT_EQ(ms, 44739243u);
  ms = 77;
  EXPECT_FALSE(BufferLatencyMs(512, 48000, ASIOSTDSDInt8NER8, &ms));
  EXPECT_EQ(ms, 77u) << "the NER8 type leaves the latency alone";
}

TEST(AsioRules, OutputLatencyFormula) {
  EXPECT_EQ(OutputLatency(48000, 11), 305);   // trunc(294.336 + 22.0011) - 11
  EXPECT_EQ(OutputLatency(44100, 46), 316);   // trunc(270.4212 + 92.0046) - 46: the rate is not cut to 44
  EXPECT_EQ(OutputLatency(48000, 0), 294);
  EXPECT_EQ(OutputLatency(0, 0), 0);
  EXPECT_EQ(OutputLatency(192000, 3), 1180);  // trunc(1177.344 + 6.0003) - 3
}

TEST(AsioRules, ChannelNamesSkipTheLeadingNumberingOfTheDeviceName) {
  EXPECT_EQ(Name(u"12-  DAC X", true, 0), "DAC X In 01");
  EXPECT_EQ(Name(u"12-  DAC X", true, 1), "DAC X In 02");
  EXPECT_EQ(Name(u"12-  DAC X", false, 9), "DAC X Out 10");
  EXPECT_EQ(Name(u"Velmora USB DAC", false, 0), "Velmora USB DAC Out 01");
  // Only leading characters go; digits inside stay.
  EXPECT_EQ(Name(u"- 7 DAC 2 go", true, 0), "DAC 2 go In 01");
  // A name made only of such characters is kept whole; an empty one gives the bare direction.
  EXPECT_EQ(Name(u"123-", true, 0), "123- In 01");
  EXPECT_EQ(Name(u"", true, 0), " In 01");
  EXPECT_EQ(Name(nullptr, false, 1), " Out 02");
  // Characters outside Latin-1 become '?'.
  EXPECT_EQ(Name(u"DAC \u4e00", true, 0), "DAC ? In 01");
}

TEST(AsioRules, LongChannelNamesAreCutTo21BytesWithAnEllipsis) {
  // 24 characters still fit "%s %s %02d" (24 + 7 = 31).
  EXPECT_EQ(Name(u"ABCDEFGHIJKLMNOPQRSTUVWX", false, 0), "ABCDEFGHIJKLMNOPQRSTUVWX Out 01");
  // 25 do not.
  EXPECT_EQ(Name(u"ABCDEFGHIJKLMNOPQRSTUVWXY", true, 0), "ABCDEFGHIJKLMNOPQRSTU... In 01");
  EXPECT_EQ(Name(u"ABCDEFGHIJKLMNOPQRSTUVWXY", false, 11), "ABCDEFGHIJKLMNOPQRSTU... Out 12");
  // The skip happens before the length test; the device name is read up to 31 characters.
  EXPECT_EQ(Name(u"0000000000 Short", true, 0), "Short In 01");
  EXPECT_EQ(Name(u"A very long device name that goes on and on", true, 2), "A very long device na... In 03");
  // Three-digit channel numbers stay within the 32 bytes (Name checks the terminator).
  EXPECT_EQ(Name(u"ABCDEFGHIJKLMNOPQRSTUVWXY", false, 99).substr(0, 28), "ABCDEFGHIJKLMNOPQRSTU... Out");
  EXPECT_EQ(Name(u"ABCDEFGHIJKLMNOPQRSTUVWX", false, 99).substr(0, 28), "ABCDEFGHIJKLMNOPQRSTUVWX Out");
}

TEST(AsioRules, SamplePositionSplitsIntoHighAndLowWords) {
  ASIOSamples s = SplitSamplePosition(0);
  EXPECT_EQ(s.hi, 0u);
  EXPECT_EQ(s.lo, 0u);
  s = SplitSamplePosition(4294967295.0);
  EXPECT_EQ(s.hi, 0u);
  EXPECT_EQ(s.lo, 0xFFFFFFFFu);
  s = SplitSamplePosition(3.0 * 4294967296.0 + 512.0);
  EXPECT_EQ(s.hi, 3u);
  EXPECT_EQ(s.lo, 512u);
}

TEST(AsioRules, ErrorNames) {
  EXPECT_STREQ(AsioErrorName(ASE_OK), "ASE_OK");
  EXPECT_STREQ(AsioErrorName(ASE_SUCCESS), "ASE_SUCCESS");
  EXPECT_STREQ(AsioErrorName(ASE_NotPresent), "ASE_NotPresent");
  EXPECT_STREQ(AsioErrorName(ASE_HWMalfunction), "ASE_HWMalfunction");
  EXPECT_STREQ(AsioErrorName(ASE_InvalidParameter), "ASE_InvalidParameter");
  EXPECT_STREQ(AsioErrorName(ASE_InvalidMode), "ASE_InvalidMode");
  EXPECT_STREQ(AsioErrorName(ASE_SPNotAdvancing), "ASE_SPNotAdvancing");
  EXPECT_STREQ(AsioErrorName(ASE_NoClock), "ASE_NoClock");
  EXPECT_STREQ(AsioErrorName(ASE_NoMemory), "ASE_NoMemory");
  EXPECT_STREQ(AsioErrorName(-993), "Unknown");
  EXPECT_STREQ(AsioErrorName(1), "Unknown");
}

}  // namespace
