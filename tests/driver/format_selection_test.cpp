// Streaming-format selection: the alternate chosen for a format, the clock
// and endpoint requests it sends, and the packet parameters that follow.
#include <gtest/gtest.h>

#include <string>

#include "driver/uac/packet_schedule.h"
#include "sim/profiles/device_profile.h"
#include "tests/driver/driver_fixture.h"

namespace drivertest {
namespace {

class FormatSelectionTest : public DriverTest {
 protected:
  struct Selection {
    NTSTATUS status;
    ULONG channels, container, maxBytes;
  };
  Selection Select(BOOLEAN capture, ULONG channels, ULONG bits, ULONG rate, ULONG ms = 1) {
    Selection s{};
    s.status = audio_->SelectStreamingFormat(capture, channels, bits, rate, ms, &s.channels, &s.container, &s.maxBytes);
    return s;
  }
};

// Class 2.0 render interface with alternates 1 (2 ch 16/16) and 2 (2 ch 24/32),
// or 24/24 when threeByteSlots is set; data endpoint interval 1, feedback interval 4.
std::vector<uint8_t> TwoAlternates(bool threeByteSlots = false) {
  sim::ConfigurationBuilder b = Uac2Control();
  b.Interface(1, 0, 0, 0x01, 0x02, 0x20);
  b.Interface(1, 1, 2, 0x01, 0x02, 0x20).AsGeneral2(0x01, 0, 1, 1, 2, 3).FormatTypeI2(2, 16)
      .Endpoint(0x01, 0x05, 200, 1).CsEndpoint2().Endpoint(0x81, 0x11, 4, 4);
  b.Interface(1, 2, 2, 0x01, 0x02, 0x20).AsGeneral2(0x01, 0, 1, 1, 2, 3).FormatTypeI2(threeByteSlots ? 3 : 4, 24)
      .Endpoint(0x01, 0x05, 0x1190, 1).CsEndpoint2().Endpoint(0x81, 0x11, 4, 4);
  return b.Build();
}

TEST_F(FormatSelectionTest, ExactMatchesAndTheLargerFallback) {
  ASSERT_EQ(Parse(TwoAlternates()), STATUS_SUCCESS);
  ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
  Selection s = Select(FALSE, 2, 24, 48000);
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  EXPECT_EQ(audio_->GetRenderInterface()->CurrentAlternate, 2u);
  EXPECT_EQ(device_->CurrentAlternate(1), 2);
  EXPECT_EQ(s.container, 32u);
  s = Select(FALSE, 2, 20, 48000);
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  EXPECT_EQ(audio_->GetRenderInterface()->CurrentAlternate, 2u);
  EXPECT_EQ(s.channels, 2u);
  s = Select(FALSE, 2, 16, 48000);
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  EXPECT_EQ(audio_->GetRenderInterface()->CurrentAlternate, 1u);
  EXPECT_EQ(s.container, 16u);
  // The clock was told each rate.
  EXPECT_EQ(model_->ClockRate(0x10), 48000u);
  EXPECT_EQ(Select(TRUE, 2, 16, 48000).status, STATUS_INVALID_PARAMETER);  // no capture interface
}

TEST_F(FormatSelectionTest, RenderRateOutsideTheScheduleFailsBeforeAnyTransfer) {
  sim::DescriptorSet set = MakeSet(TwoAlternates());
  sim::AudioFunctionConfig config = sim::DefaultAudioConfig(set);
  config.clockSources[0x10].ranges = {{8000, 384000, 1}};
  ASSERT_EQ(ParseWith(set, config), STATUS_SUCCESS);
  ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
  device_->ClearControlLog();
  const size_t selects = device_->UrbCount(URB_FUNCTION_SELECT_INTERFACE);
  EXPECT_EQ(Select(FALSE, 2, 16, 64000).status, STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(device_->ControlLog().empty());
  EXPECT_EQ(device_->UrbCount(URB_FUNCTION_SELECT_INTERFACE), selects);
  EXPECT_EQ(audio_->TestStreamingFormat(FALSE, 2, 16, 64000), STATUS_SUCCESS);  // the clock takes it
  // The long form is not bound to the schedule.
  ULONG c, b, n, m;
  LONG neg, pos;
  EXPECT_EQ(audio_->SelectStreamingFormat(FALSE, 2, 16, 64000, 10, &c, &b, &n, &neg, &pos, &m), STATUS_SUCCESS);
}

TEST_F(FormatSelectionTest, HighSpeedPacketParameters) {
  ASSERT_EQ(Parse(TwoAlternates(true)), STATUS_SUCCESS);
  ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
  Selection s = Select(FALSE, 2, 24, 48000);
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  StreamingInterface* render = audio_->GetRenderInterface();
  EXPECT_EQ(render->BytesPerFrame, 6u);
  EXPECT_EQ(render->NominalPacketBytes, 36u);
  EXPECT_TRUE(render->WholeFrames);  // minimum 30, maximum 42
  EXPECT_EQ(render->NominalFeedback, 393216u);  // 6.0 frames per microframe
  EXPECT_EQ(render->FeedbackPeriod, 16u);      // interval 4: 8 microframes = 1 ms, raised to 16
  EXPECT_EQ(audio_->GetDataInterval(), 1u);
  EXPECT_EQ(audio_->GetSchedulePosition(), 0u);
  ASSERT_NE(audio_->GetCurrentSchedule(), nullptr);
  EXPECT_EQ(audio_->GetCurrentSchedule()->Rate, 48000u);
  // wMaxPacketSize 0x1190: 2 extra transactions of 400 bytes, 8 packets per ms.
  EXPECT_EQ(s.maxBytes, 8u * 3u * 400u);
  EXPECT_EQ(audio_->GetFeedbackBufferBytes(), 4u * 16u);
  ASSERT_NE(render->DataPipe, nullptr);
  ASSERT_NE(render->FeedbackPipe, nullptr);
  EXPECT_EQ(render->DataPipe->EndpointAddress, 0x01);

  ULONG c, b, nominal, maxBytes;
  LONG negative, positive;
  ASSERT_EQ(audio_->SelectStreamingFormat(FALSE, 2, 24, 48000, 10, &c, &b, &nominal, &negative, &positive, &maxBytes),
            STATUS_SUCCESS);
  EXPECT_EQ(nominal, 6u * 480u);
  EXPECT_EQ(negative, -80);  // (2880 - 10 * 30 * 8) / 6
  EXPECT_EQ(positive, 80);   // (10 * 42 * 8 - 2880) / 6

  s = Select(FALSE, 2, 24, 44100);
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  EXPECT_EQ(render->NominalPacketBytes, 30u);
  EXPECT_FALSE(render->WholeFrames);  // minimum 30 = nominal, maximum 36
}

// Class 2.0 render interface with one alternate (2 ch 16/16) whose data and
// feedback endpoints have the given bInterval.
std::vector<uint8_t> OneAlternate(uint8_t dataInterval, uint8_t feedbackInterval, uint16_t maxPacket) {
  sim::ConfigurationBuilder b = Uac2Control();
  b.Interface(1, 0, 0, 0x01, 0x02, 0x20);
  b.Interface(1, 1, 2, 0x01, 0x02, 0x20).AsGeneral2(0x01, 0, 1, 1, 2, 3).FormatTypeI2(2, 16)
      .Endpoint(0x01, 0x05, maxPacket, dataInterval).CsEndpoint2().Endpoint(0x81, 0x11, 4, feedbackInterval);
  return b.Build();
}

// Feedback counts frames per microframe at high speed whatever the data
// interval; a packet of w microframes sums w of them.
TEST_F(FormatSelectionTest, HighSpeedFeedbackStaysPerMicroframeForEveryDataInterval) {
  const ULONG frame = 4;  // 2 x 16 bit
  for (uint8_t interval = 1; interval <= 4; ++interval) {
    SCOPED_TRACE("data bInterval " + std::to_string(interval));
    const ULONG w = 1u << (interval - 1);
    ASSERT_EQ(Parse(OneAlternate(interval, 4, 400)), STATUS_SUCCESS);
    ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
    ASSERT_EQ(Select(FALSE, 2, 16, 48000, 4).status, STATUS_SUCCESS);
    StreamingInterface* render = audio_->GetRenderInterface();
    EXPECT_EQ(audio_->GetDataInterval(), w);
    EXPECT_EQ(render->NominalFeedback, 393216u) << "6.0 frames per microframe";
    EXPECT_EQ(render->LatestFeedback, 393216u);
    // The packet of w microframes may carry at most 400 / 4 = 100 frames.
    EXPECT_EQ(render->FeedbackCeiling, (100u << 16) / w);
    // Four milliseconds are 192 frames however they are packed.
    EXPECT_EQ(audio_->NextRenderTransferBytes(4, render->NominalFeedback), 192u * frame);
  }
}

// A high-speed data packet every 16 or more microframes would leave a
// transfer of whole milliseconds without a packet (0 bytes, a silent chain):
// such a setting is refused before the device is touched. (Class 2.0 parsing
// already skips such a data endpoint; a class 1.0 one is taken as it is.)
TEST_F(FormatSelectionTest, HighSpeedDataIntervalsBeyondOneFrameAreRefused) {
  for (uint8_t interval : {5, 8}) {
    SCOPED_TRACE("data bInterval " + std::to_string(interval));
    sim::DeviceProfile profile;
    ASSERT_TRUE(sim::MakeProfile("uac1-hs", profile));
    std::vector<uint8_t>& c = profile.descriptors.configuration;
    for (size_t i = 0; i + 6 < c.size() && c[i] != 0; i += c[i]) {
      if (c[i + 1] == 0x05 && c[i + 2] == 0x01) c[i + 6] = interval;
    }
    ASSERT_EQ(ParseWith(profile.descriptors, profile.audio), STATUS_SUCCESS);
    ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
    const size_t selects = device_->UrbCount(URB_FUNCTION_SELECT_INTERFACE);
    EXPECT_EQ(Select(FALSE, 2, 16, 48000, 4).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(device_->UrbCount(URB_FUNCTION_SELECT_INTERFACE), selects);
    EXPECT_EQ(audio_->GetRenderInterface()->CurrentAlternate, 0u);
    // Alternate 0 stays selectable.
    EXPECT_EQ(Select(FALSE, 0, 0, 0).status, STATUS_SUCCESS);
  }
  // The same device at bInterval 4 (one packet per frame) is taken.
  ASSERT_EQ(ParseProfile("uac1-hs"), STATUS_SUCCESS);
  ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
  EXPECT_EQ(Select(FALSE, 2, 16, 48000, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(audio_->GetDataInterval(), 8u);
}

// A feedback read spans 16 ms of packets, but never more packets than one
// URB carries (40): at bInterval 1 that is 128 packets, at 2 it is 64.
TEST_F(FormatSelectionTest, FeedbackReadsFitOneUrb) {
  const struct {
    uint8_t interval;
    ULONG bytes;
  } cases[] = {{1, 40 * 4}, {2, 40 * 4}, {3, 32 * 4}, {4, 16 * 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE("feedback bInterval " + std::to_string(c.interval));
    ASSERT_EQ(Parse(OneAlternate(1, c.interval, 400)), STATUS_SUCCESS);
    ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
    ASSERT_EQ(Select(FALSE, 2, 16, 48000).status, STATUS_SUCCESS);
    EXPECT_EQ(audio_->GetFeedbackBufferBytes(), c.bytes);
  }
}

TEST_F(FormatSelectionTest, ZeroChannelsReturnsToAlternateZero) {
  ASSERT_EQ(Parse(TwoAlternates()), STATUS_SUCCESS);
  ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
  ASSERT_EQ(Select(FALSE, 2, 16, 48000).status, STATUS_SUCCESS);
  Selection s = Select(FALSE, 0, 16, 48000);
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  StreamingInterface* render = audio_->GetRenderInterface();
  EXPECT_EQ(render->CurrentAlternate, 0u);
  EXPECT_EQ(device_->CurrentAlternate(1), 0);
  EXPECT_EQ(render->NominalPacketBytes, 0u);
  EXPECT_EQ(render->BytesPerFrame, 0u);
  EXPECT_EQ(render->DataPipe, nullptr);
  EXPECT_EQ(s.maxBytes, 0u);
  EXPECT_EQ(audio_->GetDataInterval(), 1u);
}

TEST_F(FormatSelectionTest, ClockAndDeviceRefusalsAreReturnedAndKeepThePreviousAlternate) {
  ASSERT_EQ(Parse(TwoAlternates()), STATUS_SUCCESS);
  ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
  ASSERT_EQ(Select(FALSE, 2, 16, 48000).status, STATUS_SUCCESS);
  model_->StallEntity(0x10);
  EXPECT_EQ(Select(FALSE, 2, 24, 96000).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(audio_->GetRenderInterface()->CurrentAlternate, 1u);
  model_->StallEntity(0x10, false);
  EXPECT_EQ(Select(FALSE, 6, 24, 12345).status, STATUS_NOT_SUPPORTED);  // rate not in the schedule
  EXPECT_EQ(audio_->TestStreamingFormat(FALSE, 2, 24, 12345), STATUS_NOT_SUPPORTED);  // clock refuses it
}

TEST_F(FormatSelectionTest, Class1EndpointRatesAndFullSpeedPackets) {
  ASSERT_EQ(ParseProfile("uac1-fs"), STATUS_SUCCESS);
  ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
  StreamingInterface* render = audio_->GetRenderInterface();
  ASSERT_NE(render, nullptr);
  device_->ClearControlLog();
  Selection s = Select(FALSE, 2, 16, 44100);
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  // Several discrete rates and the sampling-frequency control: the endpoint is told the rate.
  const std::vector<sim::ControlLogEntry> log = device_->ControlLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().setup.bmRequestType, 0x22);
  EXPECT_EQ(log.back().setup.wValue, 0x0100);
  EXPECT_EQ(log.back().setup.wIndex, render->Alternates[render->CurrentAlternate].DataEndpoint->bEndpointAddress);
  ASSERT_EQ(log.back().data.size(), 3u);
  EXPECT_EQ(log.back().data[0] | (log.back().data[1] << 8) | (log.back().data[2] << 16), 44100);
  EXPECT_EQ(render->NominalPacketBytes, 4u * 44u);
  EXPECT_FALSE(render->WholeFrames);
  ASSERT_NE(render->FeedbackPipe, nullptr);  // the synch endpoint
  EXPECT_EQ(render->FeedbackPeriod, 32u);  // the synch endpoint's bRefresh 5: 2^5 ms
  EXPECT_EQ(Select(FALSE, 2, 16, 32000).status, STATUS_NOT_SUPPORTED);  // not among the endpoint's rates

  ULONG lower = 0, upper = 0xFFFFFFFF;
  EXPECT_EQ(audio_->GetUac1RateBounds(render, &lower, &upper), STATUS_SUCCESS);
  EXPECT_EQ(lower, 44100u);
  lower = 100000;
  upper = 200000;
  audio_->GetUac1RateBounds(render, &lower, &upper);
  EXPECT_GE(lower, upper);  // nothing fits: the bounds come back swapped
}

TEST_F(FormatSelectionTest, DataRangesDescribeEveryAlternate) {
  ASSERT_EQ(ParseProfile("default"), STATUS_SUCCESS);
  StreamingInterface* render = audio_->GetRenderInterface();
  ASSERT_NE(render->DataRangeStorage, nullptr);
  ASSERT_EQ(render->DataRangeCount, render->AlternateCount);
  auto** ranges = static_cast<PKSDATARANGE_AUDIO*>(render->DataRangeStorage);
  EXPECT_EQ(ranges[0], nullptr);
  for (ULONG i = 1; i < render->DataRangeCount; ++i) {
    ASSERT_NE(ranges[i], nullptr);
    EXPECT_EQ(ranges[i]->DataRange.FormatSize, sizeof(KSDATARANGE_AUDIO));
    EXPECT_EQ(ranges[i]->MaximumChannels, 2u);
    EXPECT_EQ(ranges[i]->MinimumSampleFrequency, 44100u);
    EXPECT_EQ(ranges[i]->MaximumSampleFrequency, 384000u);
    EXPECT_EQ(ranges[i]->MinimumBitsPerSample, ranges[i]->MaximumBitsPerSample);
  }
  EXPECT_EQ(ranges[1]->MinimumBitsPerSample, 16u);
  ULONG channels, minBits, maxBits, minRate, maxRate;
  ASSERT_EQ(audio_->GetFormatCapabilities(render, &channels, &minBits, &maxBits, &minRate, &maxRate), STATUS_SUCCESS);
  EXPECT_EQ(channels, 2u);
  EXPECT_EQ(minBits, 16u);
  EXPECT_EQ(maxBits, 32u);
  EXPECT_EQ(minRate, 44100u);
  EXPECT_EQ(maxRate, 384000u);
}

TEST(PacketSchedule, EveryPatternFollowsTheFormula) {
  const ULONG expectedFull[] = {1, 5, 1, 5, 1, 5, 1, 10, 1, 20, 1, 40, 1};
  const ULONG expectedHigh[] = {1, 10, 1, 20, 1, 40, 1, 80, 1, 160, 1, 320, 1};
  const ULONG rates[] = {384000, 352800, 192000, 176400, 96000, 88200, 48000, 44100, 32000, 22050, 16000, 11025, 8000};
  for (ULONG e = 0; e < PACKET_SCHEDULE_ENTRIES; ++e) {
    const PacketScheduleEntry& entry = PacketSchedule[e];
    EXPECT_EQ(entry.Rate, rates[e]);
    EXPECT_EQ(entry.FullSpeed.Length, expectedFull[e]);
    EXPECT_EQ(entry.HighSpeed.Length, expectedHigh[e]);
    for (const auto& [pattern, packetRate] : {std::make_pair(entry.FullSpeed, 1000ULL), std::make_pair(entry.HighSpeed, 8000ULL)}) {
      ULONGLONG total = 0;
      for (ULONG i = 0; i < pattern.Length; ++i) {
        const ULONGLONG expected = ((i + 1) * entry.Rate + packetRate - 1) / packetRate - (i * entry.Rate + packetRate - 1) / packetRate;
        ASSERT_EQ(pattern.Counts[i], expected) << entry.Rate << " Hz element " << i;
        total += pattern.Counts[i];
      }
      EXPECT_EQ(total * packetRate, static_cast<ULONGLONG>(entry.Rate) * pattern.Length) << entry.Rate;
    }
  }
  const PacketScheduleEntry* cd = FindPacketSchedule(44100);
  ASSERT_NE(cd, nullptr);
  EXPECT_EQ(cd->FullSpeed.Counts[0], 45u);
  for (ULONG i = 1; i < 10; ++i) EXPECT_EQ(cd->FullSpeed.Counts[i], 44u);
  const ULONG highStart[] = {6, 6, 5, 6, 5, 6};
  for (ULONG i = 0; i < 6; ++i) EXPECT_EQ(cd->HighSpeed.Counts[i], highStart[i]);
  EXPECT_EQ(FindPacketSchedule(64000), nullptr);
}

}  // namespace
}  // namespace drivertest
