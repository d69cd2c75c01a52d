// The KS data range of every alternate setting: sub-format from the class
// 1.0 wFormatTag or the class 2.0 bmFormats bits, channels and bits from the
// format descriptors, class 1.0 rates from the discrete list or the
// continuous bounds; anything but format type I gives an empty range. And a
// class 1.0 capture endpoint with several rates and no sampling-frequency
// control, which can only be used at the rate it runs at.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/uac/ks_guids.h"
#include "tests/driver/driver_fixture.h"

namespace drivertest {
namespace {

using sim::ConfigurationBuilder;

const GUID kNoSubFormat = {};

struct Expected {
  const GUID* subFormat;
  ULONG channels;
  ULONG bits;
  ULONG minRate;
  ULONG maxRate;
};

void ExpectRange(StreamingInterface* s, ULONG alternate, const Expected& e) {
  SCOPED_TRACE("alternate " + std::to_string(alternate));
  const KSDATARANGE_AUDIO* range = DataRange(s, alternate);
  ASSERT_NE(range, nullptr);
  EXPECT_EQ(range->DataRange.FormatSize, sizeof(KSDATARANGE_AUDIO));
  EXPECT_TRUE(IsEqualGUID(range->DataRange.MajorFormat, UA_KSDATAFORMAT_TYPE_AUDIO));
  EXPECT_TRUE(IsEqualGUID(range->DataRange.Specifier, UA_KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
  EXPECT_TRUE(IsEqualGUID(range->DataRange.SubFormat, *e.subFormat)) << "wrong sub-format";
  EXPECT_EQ(range->MaximumChannels, e.channels);
  EXPECT_EQ(range->MinimumBitsPerSample, e.bits);
  EXPECT_EQ(range->MaximumBitsPerSample, e.bits);
  EXPECT_EQ(range->MinimumSampleFrequency, e.minRate);
  EXPECT_EQ(range->MaximumSampleFrequency, e.maxRate);
}

void ExpectEmptyRange(StreamingInterface* s, ULONG alternate) {
  const KSDATARANGE_AUDIO* range = DataRange(s, alternate);
  ASSERT_NE(range, nullptr);
  const KSDATARANGE_AUDIO zero{};
  EXPECT_EQ(std::memcmp(range, &zero, sizeof zero), 0) << "alternate " << alternate << " has a range";
}

// Class 1.0, full speed: render interface 1 on IT 1, capture interface 2 on OT 5.
ConfigurationBuilder Uac1Function() {
  ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x00)
      .AcHeader1({1, 2})
      .InputTerminal1(0x01, 0x0101, 0, 2, 3)
      .OutputTerminal1(0x03, 0x0301, 0, 0x01)
      .InputTerminal1(0x04, 0x0201, 0, 2, 3)
      .OutputTerminal1(0x05, 0x0101, 0, 0x04);
  b.Interface(1, 0, 0, 0x01, 0x02, 0x00);
  struct Alt {
    uint16_t tag;
    uint8_t channels, subframe, bits;
    std::vector<uint32_t> rates;  // empty: continuous 8000 … 192000
  };
  const Alt alts[] = {
      {1, 2, 2, 16, {48000, 44100, 96000}},  // unsorted list
      {2, 1, 1, 8, {22050}},                 // PCM8
      {3, 2, 4, 32, {}},                     // IEEE float, continuous
      {4, 1, 1, 8, {8000, 16000}},           // A-law
      {5, 1, 1, 8, {8000}},                  // mu-law
      {6, 2, 2, 16, {32000}},                // a tag the driver does not know
  };
  uint8_t number = 1;
  for (const Alt& a : alts) {
    b.Interface(1, number++, 1, 0x01, 0x02, 0x00).AsGeneral1(0x01, 1, a.tag);
    if (a.rates.empty()) {
      b.FormatTypeI1Continuous(a.channels, a.subframe, a.bits, 8000, 192000);
    } else {
      b.FormatTypeI1(a.channels, a.subframe, a.bits, a.rates);
    }
    b.Endpoint9(0x01, 0x09, 800, 1, 0, 0).CsEndpoint1(0x01);
  }
  // Type II (MPEG): its format descriptor is not type I.
  b.Interface(1, number, 1, 0x01, 0x02, 0x00).AsGeneral1(0x01, 1, 0x1001);
  b.ClassInterfaceDescriptor(0x02, {0x02, 0x00, 0x01, 0x80, 0x04, 0x01, 0x80, 0xBB, 0x00});
  b.Endpoint9(0x01, 0x09, 800, 1, 0, 0).CsEndpoint1(0x01);
  // Capture: several discrete rates, no sampling-frequency control (CS endpoint bit 0 clear).
  b.Interface(2, 0, 0, 0x01, 0x02, 0x00);
  b.Interface(2, 1, 1, 0x01, 0x02, 0x00)
      .AsGeneral1(0x05, 1, 1)
      .FormatTypeI1(2, 2, 16, {44100, 48000, 96000})
      .Endpoint9(0x82, 0x05, 388, 1, 0, 0)
      .CsEndpoint1(0x00);
  return b;
}

class DataRangeTest : public DriverTest {};

TEST_F(DataRangeTest, Class1RangesFollowTheFormatTagAndTheRateList) {
  const sim::DescriptorSet set = MakeSet(Uac1Function().Build(), 0x1FA7, 0x4D02, false);
  ASSERT_EQ(Parse(set), STATUS_SUCCESS);
  StreamingInterface* render = audio_->GetRenderInterface();
  ASSERT_NE(render, nullptr);
  ASSERT_EQ(render->AlternateCount, 8u);
  ExpectRange(render, 1, {&UA_KSDATAFORMAT_SUBTYPE_PCM, 2, 16, 44100, 96000});
  ExpectRange(render, 2, {&UA_KSDATAFORMAT_SUBTYPE_PCM, 1, 8, 22050, 22050});
  ExpectRange(render, 3, {&UA_KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 2, 32, 8000, 192000});
  ExpectRange(render, 4, {&UA_KSDATAFORMAT_SUBTYPE_ALAW, 1, 8, 8000, 16000});
  ExpectRange(render, 5, {&UA_KSDATAFORMAT_SUBTYPE_MULAW, 1, 8, 8000, 8000});
  ExpectRange(render, 6, {&kNoSubFormat, 2, 16, 32000, 32000});
  ExpectEmptyRange(render, 7);
  EXPECT_EQ(DataRange(render, 0), nullptr);

  StreamingInterface* capture = audio_->GetCaptureInterface();
  ASSERT_NE(capture, nullptr);
  ExpectRange(capture, 1, {&UA_KSDATAFORMAT_SUBTYPE_PCM, 2, 16, 44100, 96000});
}

TEST_F(DataRangeTest, Class2SubFormatIsTheFirstFormatBitInOrder) {
  struct Alt {
    uint32_t bmFormats;
    uint8_t channels, subslot, bits;
    const GUID* subFormat;
  };
  const Alt alts[] = {
      {0x01, 2, 2, 16, &UA_KSDATAFORMAT_SUBTYPE_PCM},
      {0x02, 1, 1, 8, &UA_KSDATAFORMAT_SUBTYPE_PCM},          // PCM8
      {0x04, 2, 4, 32, &UA_KSDATAFORMAT_SUBTYPE_IEEE_FLOAT},
      {0x08, 1, 1, 8, &UA_KSDATAFORMAT_SUBTYPE_ALAW},
      {0x10, 1, 1, 8, &UA_KSDATAFORMAT_SUBTYPE_MULAW},
      {0x06, 2, 4, 32, &UA_KSDATAFORMAT_SUBTYPE_PCM},         // PCM8 before float
      {0x0C, 1, 1, 8, &UA_KSDATAFORMAT_SUBTYPE_IEEE_FLOAT},   // float before A-law
      {0x80000000u, 2, 4, 32, &kNoSubFormat},                 // raw data only
  };
  ConfigurationBuilder b = Uac2Control();
  b.Interface(1, 0, 0, 0x01, 0x02, 0x20);
  uint8_t number = 1;
  for (const Alt& a : alts) {
    b.Interface(1, number++, 1, 0x01, 0x02, 0x20)
        .AsGeneral2(0x01, 0, 1, a.bmFormats, a.channels, 3)
        .FormatTypeI2(a.subslot, a.bits)
        .Endpoint(0x01, 0x05, 400, 1)
        .CsEndpoint2();
  }
  // Format type III in the AS general descriptor: no range.
  b.Interface(1, number, 1, 0x01, 0x02, 0x20)
      .AsGeneral2(0x01, 0, 3, 0x01, 2, 3)
      .FormatTypeI2(2, 16)
      .Endpoint(0x01, 0x05, 400, 1)
      .CsEndpoint2();
  const sim::DescriptorSet set = MakeSet(b.Build());
  sim::AudioFunctionConfig config = sim::DefaultAudioConfig(set);
  config.clockSources[0x10].ranges = {{32000, 32000, 0}, {44100, 192000, 0}};
  ASSERT_EQ(ParseWith(set, config), STATUS_SUCCESS);
  StreamingInterface* render = audio_->GetRenderInterface();
  ASSERT_EQ(render->AlternateCount, 10u);
  for (ULONG i = 0; i < sizeof(alts) / sizeof(alts[0]); ++i) {
    const Alt& a = alts[i];
    ExpectRange(render, i + 1, {a.subFormat, a.channels, a.bits, 32000, 192000});
  }
  ExpectEmptyRange(render, 9);
}

TEST_F(DataRangeTest, Class1CaptureWithoutRateControlOnlyAtTheRunningRate) {
  const sim::DescriptorSet set = MakeSet(Uac1Function().Build(), 0x1FA7, 0x4D02, false);
  sim::AudioFunctionConfig config = sim::DefaultAudioConfig(set);
  config.endpointRates[0x82].currentRate = 96000;
  config.endpointRates[0x82].settable = false;
  ASSERT_EQ(ParseWith(set, config), STATUS_SUCCESS);
  ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
  StreamingInterface* capture = audio_->GetCaptureInterface();
  ULONG channels = 0, container = 0, bytes = 0;
  device_->ClearControlLog();
  // Listed but not what the endpoint runs at: refused, and nobody tells the
  // endpoint another rate.
  EXPECT_EQ(audio_->SelectStreamingFormat(TRUE, 2, 16, 48000, 1, &channels, &container, &bytes), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(audio_->SelectStreamingFormat(TRUE, 2, 16, 32000, 1, &channels, &container, &bytes), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(capture->CurrentAlternate, 0u);
  ASSERT_EQ(audio_->SelectStreamingFormat(TRUE, 2, 16, 96000, 1, &channels, &container, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(capture->CurrentAlternate, 1u);
  EXPECT_EQ(capture->Rate, 96000u);
  EXPECT_EQ(container, 16u);
  EXPECT_EQ(capture->NominalPacketBytes, 96u * 4u);
  bool read = false;
  for (const sim::ControlLogEntry& entry : device_->ControlLog()) {
    EXPECT_NE(entry.setup.bmRequestType, 0x22) << "a rate was set on an endpoint without the control";
    if (entry.setup.bmRequestType == 0xA2 && entry.setup.wIndex == 0x82) read = true;
  }
  EXPECT_TRUE(read) << "the endpoint's rate was never read";
}

}  // namespace
}  // namespace drivertest
