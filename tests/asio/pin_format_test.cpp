// The wave format the ASIO driver opens and reformats pins with.
#include <gtest/gtest.h>

#include <cstring>

#include "asio/driver/pin_format.h"
#include "kslib/ks_ids.h"

namespace {

TEST(PinFormat, PcmFormatDescribesTheDirectionsFullFrame) {
  const WAVEFORMATEXTENSIBLE f = MakePinFormat(2, 48000, 32, 0, false);
  EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(f.Format.nChannels, 2);
  EXPECT_EQ(f.Format.nSamplesPerSec, 48000u);
  EXPECT_EQ(f.Format.wBitsPerSample, 32);
  EXPECT_EQ(f.Format.nBlockAlign, 8);
  EXPECT_EQ(f.Format.nAvgBytesPerSec, 384000u);
  EXPECT_EQ(f.Format.cbSize, 22);
  EXPECT_EQ(f.Samples.wValidBitsPerSample, 32) << "0 valid bits means the container width";
  EXPECT_EQ(f.dwChannelMask, 3u);
  EXPECT_TRUE(kslib::SameGuid(f.SubFormat, kslib::kFormatSubtypePcm));

  // 24-bit containers with 24 valid bits, the fall-back of a device without
  // 32-bit containers: six bytes per stereo frame.
  const WAVEFORMATEXTENSIBLE narrow = MakePinFormat(2, 44100, 24, 24, false);
  EXPECT_EQ(narrow.Format.wBitsPerSample, 24);
  EXPECT_EQ(narrow.Format.nBlockAlign, 6);
  EXPECT_EQ(narrow.Format.nAvgBytesPerSec, 44100u * 6);
  EXPECT_EQ(narrow.Samples.wValidBitsPerSample, 24);

  // Valid bits as given when not 0.
  EXPECT_EQ(MakePinFormat(2, 48000, 32, 24, false).Samples.wValidBitsPerSample, 24);
}

TEST(PinFormat, ChannelMaskNamesOnlyMonoAndStereo) {
  EXPECT_EQ(MakePinFormat(1, 48000, 32, 0, false).dwChannelMask, 0x4u) << "front centre";
  EXPECT_EQ(MakePinFormat(2, 48000, 32, 0, false).dwChannelMask, 0x3u) << "front left and right";
  EXPECT_EQ(MakePinFormat(4, 48000, 32, 0, false).dwChannelMask, 0u);
  EXPECT_EQ(MakePinFormat(8, 48000, 32, 0, false).dwChannelMask, 0u);
  EXPECT_EQ(MakePinFormat(8, 48000, 32, 0, false).Format.nBlockAlign, 32);
}

TEST(PinFormat, DsdRunsThePinAtAThirtySecondOfTheRateIn32BitWords) {
  // The container width given is ignored: a DSD device frame is one 32-bit
  // word per channel.
  const WAVEFORMATEXTENSIBLE f = MakePinFormat(2, 2822400, 24, 0, true);
  EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(f.Format.nSamplesPerSec, 88200u);
  EXPECT_EQ(f.Format.wBitsPerSample, 32);
  EXPECT_EQ(f.Format.nBlockAlign, 8);
  // The bytes the pin really moves per second.
  EXPECT_EQ(f.Format.nAvgBytesPerSec, 88200u * 8);
  EXPECT_EQ(f.Samples.wValidBitsPerSample, 32);
  EXPECT_TRUE(kslib::SameGuid(f.SubFormat, kslib::kFormatSubtypePcm)) << "PCM sub-format in DSD mode too";
  EXPECT_EQ(MakePinFormat(2, 5644800, 32, 0, true).Format.nSamplesPerSec, 176400u);
}

TEST(PinFormat, FallBackAlternatesBetweenTheTwoWidths) {
  EXPECT_EQ(OtherContainerWidth(32), 24);
  EXPECT_EQ(OtherContainerWidth(24), 32);
}

}  // namespace
