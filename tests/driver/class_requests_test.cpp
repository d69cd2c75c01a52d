// Audio-class requests of the driver against the simulated audio function:
// clock frequency, ranges and validity, clock selectors, volume and mute,
// and what the driver does with answers it must not trust.
#include <gtest/gtest.h>

#include "tests/driver/driver_fixture.h"

namespace drivertest {
namespace {

class ClassRequestTest : public DriverTest {
 protected:
  CUSBAudioClock* Clock(ULONG id) { return static_cast<CUSBAudioClock*>(audio_->FindEntity(id)); }
  CUSBAudioFeatureUnit* Unit(ULONG id) { return static_cast<CUSBAudioFeatureUnit*>(audio_->FindEntity(id)); }
  size_t Requests() { return device_->ControlLog().size(); }
};

sim::AudioFunctionConfig WithClockRanges(const char* profile, std::vector<sim::FrequencySubRange> ranges) {
  sim::AudioFunctionConfig config;
  sim::DeviceProfile p;
  sim::MakeProfile(profile, p);
  config = p.audio;
  config.clockSources[0x10].ranges = std::move(ranges);
  return config;
}

TEST_F(ClassRequestTest, SupportedRatesFollowTheSubRangesAndTheirSteps) {
  sim::AudioFunctionConfig continuous = WithClockRanges("default", {{44100, 192000, 0}});
  ASSERT_EQ(ParseProfile("default", &continuous), STATUS_SUCCESS);
  // A range with no step offers nothing but its ends when they are equal.
  EXPECT_EQ(Clock(0x10)->IsSampleFrequencySupported(44100), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Clock(0x10)->IsSampleFrequencySupported(96000), STATUS_NOT_SUPPORTED);

  sim::AudioFunctionConfig stepped = WithClockRanges("default", {{44100, 44100, 0}, {48000, 48000, 0}, {88200, 88200, 0}});
  ASSERT_EQ(ParseProfile("default", &stepped), STATUS_SUCCESS);
  for (ULONG rate : {44100u, 48000u, 88200u}) EXPECT_EQ(Clock(0x10)->IsSampleFrequencySupported(rate), STATUS_SUCCESS);
  for (ULONG rate : {32000u, 96000u, 44101u}) EXPECT_EQ(Clock(0x10)->IsSampleFrequencySupported(rate), STATUS_NOT_SUPPORTED);
  ULONG lowest = 0, highest = 0;
  ASSERT_EQ(Clock(0x10)->GetSampleFrequencyRange(&lowest, &highest, 0, 0xFFFFFFFF), STATUS_SUCCESS);
  EXPECT_EQ(lowest, 44100u);
  EXPECT_EQ(highest, 88200u);
  // Bounds limit later sub-ranges, but the first always seeds both.
  ASSERT_EQ(Clock(0x10)->GetSampleFrequencyRange(&lowest, &highest, 45000, 50000), STATUS_SUCCESS);
  EXPECT_EQ(lowest, 44100u);
  EXPECT_EQ(highest, 48000u);

  sim::AudioFunctionConfig resolution = WithClockRanges("default", {{8000, 48000, 8000}});
  ASSERT_EQ(ParseProfile("default", &resolution), STATUS_SUCCESS);
  EXPECT_EQ(Clock(0x10)->IsSampleFrequencySupported(32000), STATUS_SUCCESS);
  EXPECT_EQ(Clock(0x10)->IsSampleFrequencySupported(44100), STATUS_NOT_SUPPORTED);
}

TEST_F(ClassRequestTest, RangeAnswersThatDoNotAddUpAreReadOnlyAsFarAsSent) {
  sim::AudioFunctionConfig lying = WithClockRanges("default", {{44100, 44100, 0}, {48000, 48000, 0}});
  lying.clockSources[0x10].rangeExtraClaimed = 500;
  ASSERT_EQ(ParseProfile("default", &lying), STATUS_SUCCESS);
  ULONG lowest = 0, highest = 0;
  ASSERT_EQ(Clock(0x10)->GetSampleFrequencyRange(&lowest, &highest, 0, 0xFFFFFFFF), STATUS_SUCCESS);
  EXPECT_EQ(lowest, 44100u);
  EXPECT_EQ(highest, 48000u);
  EXPECT_EQ(Clock(0x10)->IsSampleFrequencySupported(48000), STATUS_SUCCESS);
  EXPECT_EQ(Clock(0x10)->IsSampleFrequencySupported(0), STATUS_NOT_SUPPORTED);

  sim::AudioFunctionConfig empty = WithClockRanges("default", {});
  ASSERT_EQ(ParseProfile("default", &empty), STATUS_SUCCESS);
  ASSERT_EQ(Clock(0x10)->GetSampleFrequencyRange(&lowest, &highest, 0, 0xFFFFFFFF), STATUS_SUCCESS);
  EXPECT_EQ(lowest, 0u);
  EXPECT_EQ(highest, 0u);
  EXPECT_EQ(Clock(0x10)->IsSampleFrequencySupported(48000), STATUS_NOT_SUPPORTED);

  // A short CUR answer is not a frequency.
  sim::AudioFunctionConfig shortCur = ProfileConfig("default");
  shortCur.faults.shortAnswers.push_back({0x10, 0x01, 0x01, 2, false});
  ASSERT_EQ(ParseProfile("default", &shortCur), STATUS_SUCCESS);
  ULONG frequency = 1;
  EXPECT_EQ(Clock(0x10)->GetSampleFrequency(&frequency), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(frequency, 0u);

  // A stalled clock fails its requests with the transfer's status.
  sim::AudioFunctionConfig stalled = ProfileConfig("default");
  ASSERT_EQ(ParseProfile("default", &stalled), STATUS_SUCCESS);
  model_->StallEntity(0x10);
  EXPECT_EQ(Clock(0x10)->GetSampleFrequencyRange(&lowest, &highest, 0, 0xFFFFFFFF), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(Clock(0x10)->IsValid());  // a failed validity read counts as not valid
}

TEST_F(ClassRequestTest, ClockValidityIsAskedOnlyWhenTheControlExists) {
  ASSERT_EQ(ParseProfile("default"), STATUS_SUCCESS);
  const size_t before = Requests();
  EXPECT_TRUE(Clock(0x10)->IsValid());
  EXPECT_EQ(Requests(), before + 1);
  model_->SetClockValid(0x10, false);
  EXPECT_FALSE(Clock(0x10)->IsValid());

  // Same function, but the clock has no validity control (bmControls bit 2 clear).
  sim::ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x20)
      .AcHeader2(0x01)
      .ClockSource(0x10, 0x03, 0x03)
      .InputTerminal2(0x01, 0x0101, 0, 0x10, 2, 3)
      .OutputTerminal2(0x03, 0x0301, 0, 0x01, 0x10);
  AddStreaming2(b, 1, 0x01, 0x01);
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  const size_t quiet = Requests();
  EXPECT_TRUE(Clock(0x10)->IsValid());
  EXPECT_EQ(Requests(), quiet);
}

TEST_F(ClassRequestTest, SelectorSetsThePinOfTheFirstInputThatTakesTheRate) {
  sim::AudioFunctionConfig config = ProfileConfig("uac2-clock-selector");
  config.clockSources[0x11].ranges = {{44100, 44100, 0}, {88200, 88200, 0}};
  config.clockSources[0x12].ranges = {{48000, 48000, 0}, {384000, 384000, 0}};
  ASSERT_EQ(ParseProfile("uac2-clock-selector", &config), STATUS_SUCCESS);
  auto* selector = static_cast<CUSBAudioClockSelector*>(audio_->FindEntity(0x10));
  ASSERT_EQ(selector->GetKind(), UacEntityClockSelector);
  device_->ClearControlLog();
  ASSERT_EQ(selector->SetSampleFrequency(384000), STATUS_SUCCESS);
  const std::vector<sim::ControlLogEntry> log = device_->ControlLog();
  ASSERT_FALSE(log.empty());
  const sim::ControlLogEntry& last = log.back();
  EXPECT_EQ(last.setup.bmRequestType, 0x21);
  EXPECT_EQ(last.setup.wValue, 0x0100);
  EXPECT_EQ(last.setup.wIndex >> 8, 0x10);
  ASSERT_EQ(last.data.size(), 1u);
  EXPECT_EQ(last.data[0], 2);
  EXPECT_EQ(model_->SelectorPin(0x10), 2);
  EXPECT_EQ(model_->ClockRate(0x12), 384000u);
  ULONG frequency = 0;
  ASSERT_EQ(selector->GetSampleFrequency(&frequency), STATUS_SUCCESS);
  EXPECT_EQ(frequency, 384000u);
  ULONG lowest = 0, highest = 0;
  ASSERT_EQ(selector->GetSampleFrequencyRange(&lowest, &highest, 0, 0xFFFFFFFF), STATUS_SUCCESS);
  EXPECT_EQ(lowest, 44100u);
  EXPECT_EQ(highest, 384000u);
  EXPECT_EQ(selector->SetSampleFrequency(22050), STATUS_NOT_SUPPORTED);
}

TEST_F(ClassRequestTest, SelectorReportingAnIllegalPinIsRefused) {
  for (uint8_t pin : {0, 3}) {
    sim::AudioFunctionConfig config = ProfileConfig("uac2-clock-selector");
    config.clockSelectors[0x10].reportedPin = pin;
    ASSERT_EQ(ParseProfile("uac2-clock-selector", &config), STATUS_SUCCESS);
    auto* selector = static_cast<CUSBAudioClockSelector*>(audio_->FindEntity(0x10));
    ULONG frequency = 1;
    EXPECT_EQ(selector->GetSampleFrequency(&frequency), STATUS_NOT_SUPPORTED) << int(pin);
    EXPECT_FALSE(selector->IsValid());
  }
}

TEST_F(ClassRequestTest, SelectorCyclesEndInsteadOfRecursing) {
  // Two selectors that name each other, and one that names itself.
  sim::ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x20)
      .AcHeader2(0x01)
      .ClockSelector(0x20, {0x21, 0x22}, 0x03)
      .ClockSelector(0x21, {0x20}, 0x03)
      .ClockSelector(0x22, {0x22}, 0x03)
      .InputTerminal2(0x01, 0x0101, 0, 0x20, 2, 3)
      .OutputTerminal2(0x03, 0x0301, 0, 0x01, 0x20);
  AddStreaming2(b, 1, 0x01, 0x01);
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  CUSBAudioClock* clock = Clock(0x20);
  ULONG lowest = 0, highest = 0, frequency = 0;
  EXPECT_EQ(clock->IsSampleFrequencySupported(48000), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(clock->SetSampleFrequency(48000), STATUS_NOT_SUPPORTED);
  EXPECT_NE(clock->GetSampleFrequencyRange(&lowest, &highest, 0, 0xFFFFFFFF), STATUS_SUCCESS);
  EXPECT_NE(clock->GetSampleFrequency(&frequency), STATUS_SUCCESS);
  EXPECT_FALSE(clock->IsValid());
  EXPECT_NE(Clock(0x22)->GetSampleFrequency(&frequency), STATUS_SUCCESS);
}

TEST_F(ClassRequestTest, VolumeAndMuteGoThroughTheCheckedPath) {
  ASSERT_EQ(ParseProfile("default"), STATUS_SUCCESS);
  CUSBAudioFeatureUnit* unit = Unit(0x02);
  SHORT volume = 0, minimum = 0, maximum = 0, step = 0;
  ASSERT_EQ(audio_->SetVolume(unit, 1, -2560), STATUS_SUCCESS);
  ASSERT_EQ(audio_->GetVolume(unit, 1, &volume), STATUS_SUCCESS);
  EXPECT_EQ(volume, -2560);
  EXPECT_EQ(model_->Volume(0x02, 1), -2560);
  device_->ClearControlLog();
  ASSERT_EQ(audio_->GetVolumeRange(unit, 0, &minimum, &maximum, &step), STATUS_SUCCESS);
  EXPECT_EQ(minimum, -32640);
  EXPECT_EQ(maximum, 0);
  EXPECT_EQ(step, 128);
  ASSERT_EQ(device_->ControlLog().size(), 1u);  // one 8-byte RANGE request
  EXPECT_EQ(device_->ControlLog()[0].setup.bRequest, 0x02);
  EXPECT_EQ(device_->ControlLog()[0].setup.wLength, 8);

  UCHAR mute = 0;
  ASSERT_EQ(audio_->SetMute(unit, 1), STATUS_SUCCESS);
  ASSERT_EQ(audio_->GetMute(unit, &mute), STATUS_SUCCESS);
  EXPECT_EQ(mute, 1);
  EXPECT_EQ(model_->Mute(0x02, 0), true);

  // Not offered: no transfer at all.
  device_->ClearControlLog();
  EXPECT_EQ(audio_->SetVolume(unit, 7, 0), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(audio_->FeatureUnitRequest(unit, 0, 2, TRUE, 1, &mute, 1), STATUS_NOT_SUPPORTED);  // bass
  EXPECT_EQ(audio_->FeatureUnitRequest(unit, 0, 1, TRUE, 1, &volume, 1), STATUS_NOT_SUPPORTED);  // wrong length
  EXPECT_EQ(audio_->SetVolume(nullptr, 0, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(audio_->GetMute(nullptr, &mute), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(device_->ControlLog().empty());
}

TEST_F(ClassRequestTest, ReadOnlyMuteRefusesSetWithoutTransfer) {
  sim::ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x20)
      .AcHeader2(0x01)
      .ClockSource(0x10, 0x03, 0x07)
      .InputTerminal2(0x01, 0x0101, 0, 0x10, 2, 3)
      .FeatureUnit2(0x02, 0x01, {0x01})
      .OutputTerminal2(0x03, 0x0301, 0, 0x02, 0x10);
  AddStreaming2(b, 1, 0x01, 0x01);
  const sim::DescriptorSet set = MakeSet(b.Build());
  sim::AudioFunctionConfig config = sim::DefaultAudioConfig(set);
  ASSERT_FALSE(config.featureUnits[0x02].channels.empty());
  config.featureUnits[0x02].channels[0].mute = true;  // muted by the device itself
  ASSERT_EQ(ParseWith(set, config), STATUS_SUCCESS);
  device_->ClearControlLog();
  EXPECT_EQ(audio_->SetMute(Unit(0x02), 0), STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(device_->ControlLog().empty());
  UCHAR mute = 9;
  EXPECT_EQ(audio_->GetMute(Unit(0x02), &mute), STATUS_SUCCESS);
  EXPECT_EQ(mute, 1) << "the device's own mute state";
  EXPECT_EQ(model_->Mute(0x02, 0), true);
}

TEST_F(ClassRequestTest, Class1VolumeRangeUsesThreeRequestsAndStopsAtTheFirstFailure) {
  ASSERT_EQ(ParseProfile("uac1-fs"), STATUS_SUCCESS);
  CUSBAudioFeatureUnit* unit = nullptr;
  for (CUSBAudioEntity* e = audio_->GetEntities(); e != nullptr; e = e->Next) {
    if (e->GetKind() == UacEntityFeatureUnit) unit = static_cast<CUSBAudioFeatureUnit*>(e);
  }
  ASSERT_NE(unit, nullptr);
  device_->ClearControlLog();
  SHORT minimum = 0, maximum = 0, step = 0;
  ASSERT_EQ(audio_->GetVolumeRange(unit, 0, &minimum, &maximum, &step), STATUS_SUCCESS);
  std::vector<sim::ControlLogEntry> log = device_->ControlLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].setup.bRequest, 0x82);
  EXPECT_EQ(log[1].setup.bRequest, 0x83);
  EXPECT_EQ(log[2].setup.bRequest, 0x84);
  EXPECT_LT(minimum, maximum);

  device_->ClearControlLog();
  model_->FailNextRequests(1);
  EXPECT_EQ(audio_->GetVolumeRange(unit, 0, &minimum, &maximum, &step), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(device_->ControlLog().size(), 1u);
}

TEST_F(ClassRequestTest, DeviceModeStopsAtTheFirstRefusal) {
  ASSERT_EQ(ParseProfile("default"), STATUS_SUCCESS);
  ASSERT_EQ(audio_->SetDeviceMode(1), STATUS_SUCCESS);
  for (StreamingInterface* s = audio_->GetStreamingInterfaces(); s != nullptr; s = s->Next) {
    EXPECT_EQ(s->DeviceMode, 1);
    EXPECT_EQ(model_->InterfaceMode(s->InterfaceNumber), 1);
  }
  const std::vector<sim::ControlLogEntry> log = device_->ControlLog();
  EXPECT_EQ(log.back().setup.bmRequestType, 0x41);
  EXPECT_EQ(log.back().setup.wLength, 0);

  model_->FailNextRequests(1);
  device_->ClearControlLog();
  EXPECT_EQ(audio_->SetDeviceMode(0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(device_->ControlLog().size(), 1u);  // later interfaces untouched
  EXPECT_EQ(audio_->GetStreamingInterfaces()->DeviceMode, 1);
}

}  // namespace
}  // namespace drivertest
