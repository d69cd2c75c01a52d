// Format negotiation of the wave miniport on the default device: the
// intersection of a client range with a pin's range, narrowed to the rates
// the device's clock offers, the exact 104-byte result, the buffer-size
// answers, and which pins count as capture.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/port/miniport.h"
#include "tests/driver/adapter_fixture.h"
#include "tests/driver/port_fakes.h"

namespace drivertest {
namespace {

// Pins of the default device, one per terminal in entity order.
constexpr ULONG kRenderStreamingPin = 0;  // IT 1, USB streaming
constexpr ULONG kSpeakerPin = 1;          // OT 3
constexpr ULONG kLineInPin = 2;           // IT 4
constexpr ULONG kCaptureStreamingPin = 3; // OT 5, USB streaming

KSDATARANGE_AUDIO AudioRange(ULONG channels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate) {
  KSDATARANGE_AUDIO range{};
  range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
  range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  range.MaximumChannels = channels;
  range.MinimumBitsPerSample = minBits;
  range.MaximumBitsPerSample = maxBits;
  range.MinimumSampleFrequency = minRate;
  range.MaximumSampleFrequency = maxRate;
  return range;
}

class DataRangeIntersectionTest : public AdapterTest {
 protected:
  void SetUp() override {
    AdapterTest::SetUp();
    ASSERT_EQ(StartAdapter("default"), STATUS_SUCCESS);
    ASSERT_EQ(CreateMiniportWaveCyclicUsbAudio(&miniport_, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
    ASSERT_EQ(miniport_->Init(adapter_, nullptr, &port_), STATUS_SUCCESS);
  }

  void TearDown() override {
    if (miniport_ != nullptr) miniport_->Release();
    EXPECT_EQ(port_.references.load(), 1);
    AdapterTest::TearDown();
  }

  NTSTATUS Intersect(ULONG pin, KSDATARANGE_AUDIO client, KSDATARANGE_AUDIO own, ULONG bufferLength) {
    result_.assign(128, 0xCD);
    resultLength_ = 0xDEAD;
    return miniport_->DataRangeIntersection(pin, &client.DataRange, &own.DataRange, bufferLength,
                                            bufferLength != 0 ? result_.data() : nullptr, &resultLength_);
  }

  template <typename T>
  T At(size_t offset) const {
    T v;
    memcpy(&v, result_.data() + offset, sizeof v);
    return v;
  }

  CMiniportWaveCyclicUsbAudio* Object() { return static_cast<CMiniportWaveCyclicUsbAudio*>(miniport_); }

  FakePort port_;
  PMINIPORTWAVECYCLIC miniport_ = nullptr;
  std::vector<UCHAR> result_;
  ULONG resultLength_ = 0;
};

TEST_F(DataRangeIntersectionTest, HighestCommonFormatTheClockOffers) {
  const KSDATARANGE_AUDIO client = AudioRange(2, 16, 24, 44100, 192000);
  const KSDATARANGE_AUDIO own = AudioRange(2, 24, 24, 44100, 96000);
  ASSERT_EQ(Intersect(kRenderStreamingPin, client, own, 104), STATUS_SUCCESS);
  EXPECT_EQ(resultLength_, 104u);
  // KSDATAFORMAT: the own range's header, sized for the extensible format.
  EXPECT_EQ(At<ULONG>(0), 104u);                            // FormatSize
  EXPECT_EQ(At<ULONG>(8), 6u);                              // SampleSize = block align
  EXPECT_TRUE(IsEqualGUID(At<GUID>(16), KSDATAFORMAT_TYPE_AUDIO));
  EXPECT_TRUE(IsEqualGUID(At<GUID>(32), KSDATAFORMAT_SUBTYPE_PCM));
  EXPECT_TRUE(IsEqualGUID(At<GUID>(48), KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
  // WAVEFORMATEXTENSIBLE.
  EXPECT_EQ(At<USHORT>(64), 0xFFFE);   // wFormatTag
  EXPECT_EQ(At<USHORT>(66), 2);        // nChannels
  EXPECT_EQ(At<ULONG>(68), 96000u);    // nSamplesPerSec
  EXPECT_EQ(At<ULONG>(72), 576000u);   // nAvgBytesPerSec
  EXPECT_EQ(At<USHORT>(76), 6);        // nBlockAlign
  EXPECT_EQ(At<USHORT>(78), 24);       // wBitsPerSample
  EXPECT_EQ(At<USHORT>(80), 22);       // cbSize
  EXPECT_EQ(At<USHORT>(82), 24);       // wValidBitsPerSample
  EXPECT_EQ(At<ULONG>(84), 3u);        // front left | front right
  EXPECT_TRUE(IsEqualGUID(At<GUID>(88), KSDATAFORMAT_SUBTYPE_PCM));
  EXPECT_EQ(result_[104], 0xCD) << "wrote past the format";

  // More channels than stereo carry no channel mask.
  ASSERT_EQ(Intersect(kRenderStreamingPin, AudioRange(8, 16, 32, 8000, 48000), AudioRange(4, 32, 32, 44100, 384000),
                      104),
            STATUS_SUCCESS);
  EXPECT_EQ(At<USHORT>(66), 4);
  EXPECT_EQ(At<ULONG>(68), 48000u);
  EXPECT_EQ(At<USHORT>(76), 16);
  EXPECT_EQ(At<ULONG>(84), 0u);
}

TEST_F(DataRangeIntersectionTest, NoMatch) {
  const KSDATARANGE_AUDIO own = AudioRange(2, 16, 24, 44100, 96000);
  EXPECT_EQ(Intersect(kRenderStreamingPin, AudioRange(1, 16, 24, 44100, 96000), own, 104), STATUS_NO_MATCH);
  EXPECT_EQ(Intersect(kRenderStreamingPin, AudioRange(2, 32, 32, 44100, 96000), own, 104), STATUS_NO_MATCH);
  EXPECT_EQ(Intersect(kRenderStreamingPin, AudioRange(2, 16, 24, 100000, 192000), own, 104), STATUS_NO_MATCH);
  // A range without the audio fields.
  KSDATARANGE_AUDIO wildcard = AudioRange(2, 16, 24, 44100, 96000);
  wildcard.DataRange.FormatSize = sizeof(KSDATARANGE);
  EXPECT_EQ(Intersect(kRenderStreamingPin, wildcard, own, 104), STATUS_NO_MATCH);
  EXPECT_EQ(result_[0], 0xCD) << "nothing written without a match";
}

TEST_F(DataRangeIntersectionTest, BufferSizesAndDirectSound) {
  const KSDATARANGE_AUDIO client = AudioRange(2, 16, 24, 44100, 192000);
  const KSDATARANGE_AUDIO own = AudioRange(2, 24, 24, 44100, 96000);
  EXPECT_EQ(Intersect(kRenderStreamingPin, client, own, 0), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(resultLength_, 104u);
  EXPECT_EQ(Intersect(kRenderStreamingPin, client, own, 103), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result_[0], 0xCD);
  KSDATARANGE_AUDIO dsound = client;
  dsound.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_DSOUND;
  EXPECT_EQ(Intersect(kRenderStreamingPin, dsound, own, 104), STATUS_NOT_SUPPORTED);
}

TEST_F(DataRangeIntersectionTest, PinDirectionFollowsTheStreamingTerminalOnItsPath) {
  EXPECT_FALSE(Object()->IsCapturePin(kRenderStreamingPin));
  EXPECT_FALSE(Object()->IsCapturePin(kSpeakerPin));
  EXPECT_TRUE(Object()->IsCapturePin(kLineInPin));
  EXPECT_TRUE(Object()->IsCapturePin(kCaptureStreamingPin));
  EXPECT_FALSE(Object()->IsCapturePin(99));
  // An unknown pin has no clock to ask.
  EXPECT_EQ(Intersect(99, AudioRange(2, 16, 24, 44100, 96000), AudioRange(2, 16, 24, 44100, 96000), 104),
            STATUS_SUCCESS)
      << "the rate interval stays as intersected";
  EXPECT_EQ(At<ULONG>(68), 96000u);
}

}  // namespace
}  // namespace drivertest
