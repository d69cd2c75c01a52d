// The audio-function parse: entities and their links, streaming interfaces,
// alternates and endpoints, and the refusals for descriptors the driver
// cannot drive.
#include <gtest/gtest.h>

#include "driver/uac/terminal_types.h"
#include "tests/driver/driver_fixture.h"

namespace drivertest {
namespace {

using sim::ConfigurationBuilder;

class AudioParseTest : public DriverTest {};

int CountEntities(CUSBAudioCL& audio) {
  int count = 0;
  for (CUSBAudioEntity* e = audio.GetEntities(); e != nullptr; e = e->Next) ++count;
  return count;
}

TEST_F(AudioParseTest, PlaybackFunctionLinksTerminalsUnitsAndClock) {
  ConfigurationBuilder b = Uac2Control();
  AddStreaming2(b, 1, 0x01, 0x01, 0x81);
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);

  EXPECT_TRUE(audio_->IsUac2());
  ASSERT_EQ(CountEntities(*audio_), 4);
  auto* clock = audio_->FindEntity(0x10);
  auto* input = static_cast<CUSBAudioInputTerminal*>(audio_->FindEntity(0x01));
  auto* feature = static_cast<CUSBAudioFeatureUnit*>(audio_->FindEntity(0x02));
  auto* output = static_cast<CUSBAudioOutputTerminal*>(audio_->FindEntity(0x03));
  ASSERT_TRUE(clock && input && feature && output);
  EXPECT_EQ(output->Source, feature);
  EXPECT_EQ(feature->Source, input);
  EXPECT_EQ(input->Clock, clock);
  EXPECT_EQ(output->Clock, clock);
  EXPECT_EQ(output->GetSourceId(5), 0x02u);
  EXPECT_EQ(input->GetSourceId(0), UAC_NO_SOURCE);
  EXPECT_EQ(audio_->GetTerminalType(output), 0x0301);
  EXPECT_EQ(audio_->GetTerminalType(nullptr), 0x0100);

  StreamingInterface* render = audio_->GetRenderInterface();
  ASSERT_NE(render, nullptr);
  EXPECT_EQ(audio_->GetCaptureInterface(), nullptr);
  EXPECT_EQ(render->InterfaceNumber, 1);
  EXPECT_EQ(render->Terminal, input);
  ASSERT_EQ(render->AlternateCount, 2u);
  EXPECT_EQ(render->Alternates[0].DataEndpoint, nullptr);
  EXPECT_EQ(render->Alternates[0].AsGeneral, nullptr);
  const AlternateSetting& alt1 = render->Alternates[1];
  ASSERT_NE(alt1.DataEndpoint, nullptr);
  EXPECT_EQ(alt1.DataEndpoint->bEndpointAddress, 0x01);
  ASSERT_NE(alt1.FeedbackEndpoint, nullptr);
  EXPECT_EQ(alt1.FeedbackEndpoint->bEndpointAddress, 0x81);
  ASSERT_NE(alt1.FormatType, nullptr);
  EXPECT_EQ(alt1.FormatType[5], 16);
  ASSERT_NE(alt1.CsEndpoint, nullptr);
  EXPECT_EQ(alt1.CsEndpoint[1], 0x25);
}

TEST_F(AudioParseTest, UnsupportedUnitKindsRefuseTheDevice) {
  // A mixer unit: the driver cannot represent it.
  ConfigurationBuilder mixer = Uac2Control();
  mixer.MixerUnit2(0x20, {0x01}, 2, 3, {0x00});
  AddStreaming2(mixer, 1, 0x01, 0x01);
  EXPECT_EQ(Parse(mixer.Build()), STATUS_NOT_IMPLEMENTED);

  ConfigurationBuilder multiplier = Uac2Control();
  multiplier.ClockMultiplier(0x11, 0x10);
  AddStreaming2(multiplier, 1, 0x01, 0x01);
  EXPECT_EQ(Parse(multiplier.Build()), STATUS_NOT_IMPLEMENTED);
}

TEST_F(AudioParseTest, UnknownSubtypeEndsTheEntityWalk) {
  ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x20)
      .AcHeader2(0x01)
      .ClockSource(0x10, 0x03, 0x07)
      .InputTerminal2(0x01, 0x0101, 0, 0x10, 2, 3)
      .ClassInterfaceDescriptor(0x0E, {0x40, 0x00})
      .FeatureUnit2(0x02, 0x01, {0x0F});
  AddStreaming2(b, 1, 0x01, 0x01);
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  EXPECT_EQ(CountEntities(*audio_), 2);
  EXPECT_EQ(audio_->FindEntity(0x02), nullptr);
}

TEST_F(AudioParseTest, BrokenLinksRefuseTheDevice) {
  // The output terminal's clock does not exist, and it is not the last entity.
  ConfigurationBuilder clock;
  clock.Interface(0, 0, 0, 0x01, 0x01, 0x20)
      .AcHeader2(0x01)
      .ClockSource(0x10, 0x03, 0x07)
      .InputTerminal2(0x01, 0x0101, 0, 0x10, 2, 3)
      .OutputTerminal2(0x03, 0x0301, 0, 0x01, 0x55)
      .FeatureUnit2(0x02, 0x01, {0x0F});
  AddStreaming2(clock, 1, 0x01, 0x01);
  EXPECT_EQ(Parse(clock.Build()), STATUS_NOT_SUPPORTED);

  // A terminal whose clock ID names a terminal is as broken as a missing clock.
  ConfigurationBuilder notClock;
  notClock.Interface(0, 0, 0, 0x01, 0x01, 0x20)
      .AcHeader2(0x01)
      .InputTerminal2(0x01, 0x0101, 0, 0x03, 2, 3)
      .OutputTerminal2(0x03, 0x0301, 0, 0x01, 0x01);
  AddStreaming2(notClock, 1, 0x01, 0x01);
  EXPECT_EQ(Parse(notClock.Build()), STATUS_NOT_SUPPORTED);

  // A feature unit fed by nothing.
  ConfigurationBuilder source = Uac2Control();
  source.FeatureUnit2(0x04, 0x77, {0x03});
  AddStreaming2(source, 1, 0x01, 0x01);
  EXPECT_EQ(Parse(source.Build()), STATUS_NOT_SUPPORTED);
}

TEST_F(AudioParseTest, StreamingInterfacesMustFollowTheControlInterfaceWithoutGaps) {
  ConfigurationBuilder b = Uac2Control();
  AddStreaming2(b, 2, 0x01, 0x01);  // AC + 2, with AC + 1 missing
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  EXPECT_EQ(audio_->GetStreamingInterfaceCount(), 0u);
  EXPECT_EQ(audio_->GetRenderInterface(), nullptr);
  EXPECT_EQ(audio_->GetCaptureInterface(), nullptr);
}

TEST_F(AudioParseTest, AlternateCountStopsAtTheFirstMissingNumber) {
  ConfigurationBuilder b = Uac2Control();
  AddStreaming2(b, 1, 0x01, 0x01);
  for (uint8_t alt : {2, 4}) {
    b.Interface(1, alt, 1, 0x01, 0x02, 0x20).AsGeneral2(0x01, 0, 1, 1, 2, 3).FormatTypeI2(4, 24).Endpoint(0x01, 0x05, 400, 1);
  }
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  EXPECT_EQ(audio_->GetRenderInterface()->AlternateCount, 3u);
}

TEST_F(AudioParseTest, FirstInterfaceOfEachDirectionIsChosen) {
  ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x20)
      .AcHeader2(0x01)
      .ClockSource(0x10, 0x03, 0x07)
      .InputTerminal2(0x01, 0x0101, 0, 0x10, 2, 3)
      .OutputTerminal2(0x03, 0x0301, 0, 0x01, 0x10)
      .InputTerminal2(0x04, 0x0101, 0, 0x10, 2, 3)
      .OutputTerminal2(0x05, 0x0302, 0, 0x04, 0x10)
      .InputTerminal2(0x06, 0x0603, 0, 0x10, 2, 3)
      .OutputTerminal2(0x07, 0x0101, 0, 0x06, 0x10);
  AddStreaming2(b, 1, 0x01, 0x01);
  AddStreaming2(b, 2, 0x07, 0x82);
  AddStreaming2(b, 3, 0x04, 0x02);
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  EXPECT_EQ(audio_->GetStreamingInterfaceCount(), 3u);
  EXPECT_EQ(audio_->GetRenderInterface()->InterfaceNumber, 1);
  EXPECT_EQ(audio_->GetCaptureInterface()->InterfaceNumber, 2);
  EXPECT_EQ(audio_->GetCaptureInterface()->IsInput, 1);
}

TEST_F(AudioParseTest, DsdMarkerInTheControlInterfaceNameIsCaseSensitive) {
  struct Case {
    std::u16string name;
    bool dsd;
  } cases[] = {{u"Velmora [DSD] Output", true}, {u"Velmora [dsd] Output", false}, {u"[DSD]", true}, {u"Velmora", false}};
  for (const Case& c : cases) {
    ConfigurationBuilder b = Uac2Control(5);
    AddStreaming2(b, 1, 0x01, 0x01);
    sim::DescriptorSet set = MakeSet(b.Build());
    set.strings[5] = c.name;
    ASSERT_EQ(Parse(set), STATUS_SUCCESS);
    EXPECT_EQ(audio_->IsDsdCapable() != 0, c.dsd) << std::string(c.name.begin(), c.name.end());
  }
  // No string at all: detection fails quietly.
  ConfigurationBuilder b = Uac2Control(9);
  AddStreaming2(b, 1, 0x01, 0x01);
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  EXPECT_FALSE(audio_->IsDsdCapable());
}

TEST_F(AudioParseTest, FeatureUnitControlsPerChannelAndCapability) {
  // Class 1.0, bControlSize 2: volume (bit 1) only on channel 1.
  ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x00)
      .AcHeader1({1})
      .InputTerminal1(0x01, 0x0101, 0, 2, 3)
      .FeatureUnit1(0x02, 0x01, 2, {0x0001, 0x0002, 0x0000})
      .OutputTerminal1(0x03, 0x0301, 0, 0x02);
  b.Interface(1, 0, 0, 0x01, 0x02, 0x00);
  b.Interface(1, 1, 1, 0x01, 0x02, 0x00).AsGeneral1(0x01, 1, 1).FormatTypeI1(2, 2, 16, {48000}).Endpoint9(0x01, 0x09, 192, 1, 0, 0).CsEndpoint1(0x01);
  ASSERT_EQ(Parse(MakeSet(b.Build(), 0x1FA7, 0x4D02, false)), STATUS_SUCCESS);
  EXPECT_FALSE(audio_->IsUac2());
  auto* unit = static_cast<CUSBAudioFeatureUnit*>(audio_->FindEntity(0x02));
  ASSERT_NE(unit, nullptr);
  EXPECT_TRUE(audio_->HasControlOnAnyChannel(unit, 1));
  EXPECT_FALSE(audio_->HasControl(unit, 0, 1, 1));
  EXPECT_TRUE(audio_->HasControl(unit, 1, 1, 2));  // class 1.0 does not distinguish capabilities
  EXPECT_TRUE(audio_->HasControl(unit, 0, 0, 1));
  EXPECT_FALSE(audio_->HasControl(unit, 3, 1, 1));  // beyond the channels present

  // Class 2.0: two bits per control, readable is the low bit.
  ConfigurationBuilder b2;
  b2.Interface(0, 0, 0, 0x01, 0x01, 0x20)
      .AcHeader2(0x01)
      .ClockSource(0x10, 0x03, 0x07)
      .InputTerminal2(0x01, 0x0101, 0, 0x10, 2, 3)
      .FeatureUnit2(0x02, 0x01, {0x01 /* mute read-only */, 0x0C /* volume r/w */})
      .OutputTerminal2(0x03, 0x0301, 0, 0x02, 0x10);
  AddStreaming2(b2, 1, 0x01, 0x01);
  ASSERT_EQ(Parse(b2.Build()), STATUS_SUCCESS);
  unit = static_cast<CUSBAudioFeatureUnit*>(audio_->FindEntity(0x02));
  EXPECT_TRUE(audio_->HasControl(unit, 0, 0, 1));
  EXPECT_FALSE(audio_->HasControl(unit, 0, 0, 2));
  EXPECT_FALSE(audio_->HasControl(unit, 0, 0, 3));
  EXPECT_TRUE(audio_->HasControl(unit, 1, 1, 3));
  EXPECT_FALSE(audio_->HasControlOnAnyChannel(unit, 2));
}

TEST_F(AudioParseTest, VendorClassInterfacesOnlyForTheQuirkDevice) {
  auto vendorConfig = [] {
    ConfigurationBuilder b;
    b.Interface(0, 0, 0, 0xFF, 0x01, 0x20)
        .AcHeader2(0x01)
        .ClockSource(0x10, 0x03, 0x07)
        .InputTerminal2(0x01, 0x0101, 0, 0x10, 2, 3)
        .OutputTerminal2(0x03, 0x0301, 0, 0x01, 0x10);
    b.Interface(1, 0, 0, 0xFF, 0x02, 0x20);
    b.Interface(1, 1, 1, 0xFF, 0x02, 0x20).AsGeneral2(0x01, 0, 1, 1, 2, 3).FormatTypeI2(2, 16).Endpoint(0x01, 0x09, 200, 1);
    return b.Build();
  };
  EXPECT_EQ(Parse(MakeSet(vendorConfig(), 0x1686, 0x00DD)), STATUS_SUCCESS);
  EXPECT_NE(audio_->GetRenderInterface(), nullptr);
  EXPECT_EQ(Parse(MakeSet(vendorConfig(), 0x1686, 0x00DE)), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Parse(MakeSet(vendorConfig(), 0x1FA7, 0x4D02)), STATUS_NOT_SUPPORTED);
}

TEST_F(AudioParseTest, MalformedControlInterfaceIsRefused) {
  // No audio-control interface at all.
  ConfigurationBuilder none;
  none.Interface(0, 0, 0, 0x03, 0x00, 0x00);
  EXPECT_EQ(Parse(none.Build()), STATUS_NOT_SUPPORTED);

  // The header does not directly follow the interface descriptor.
  ConfigurationBuilder misplaced;
  misplaced.Interface(0, 0, 1, 0x01, 0x01, 0x20).Endpoint(0x83, 0x03, 6, 4).AcHeader2(0x01);
  EXPECT_EQ(Parse(misplaced.Build()), STATUS_NOT_SUPPORTED);

  // The header's wTotalLength reaches into the next interface.
  ConfigurationBuilder tooLong = Uac2Control();
  tooLong.OverrideAcHeaderTotalLength(0x400);
  AddStreaming2(tooLong, 1, 0x01, 0x01);
  EXPECT_EQ(Parse(tooLong.Build()), STATUS_NOT_SUPPORTED);
}

TEST_F(AudioParseTest, MalformedStreamingInterfacesAreRefused) {
  // Alternate 1 without endpoints.
  ConfigurationBuilder noEndpoints = Uac2Control();
  noEndpoints.Interface(1, 0, 0, 0x01, 0x02, 0x20).Interface(1, 1, 0, 0x01, 0x02, 0x20).AsGeneral2(0x01, 0, 1, 1, 2, 3);
  EXPECT_EQ(Parse(noEndpoints.Build()), STATUS_NOT_SUPPORTED);

  // bNumEndpoints claims one, but no endpoint descriptor follows.
  ConfigurationBuilder missing = Uac2Control();
  missing.Interface(1, 0, 0, 0x01, 0x02, 0x20).Interface(1, 1, 1, 0x01, 0x02, 0x20).AsGeneral2(0x01, 0, 1, 1, 2, 3);
  EXPECT_EQ(Parse(missing.Build()), STATUS_NOT_SUPPORTED);

  // The terminal link names nothing.
  ConfigurationBuilder unknown = Uac2Control();
  AddStreaming2(unknown, 1, 0x42, 0x01);
  EXPECT_EQ(Parse(unknown.Build()), STATUS_NOT_SUPPORTED);

  // The terminal link names a unit, not a terminal.
  ConfigurationBuilder unit = Uac2Control();
  AddStreaming2(unit, 1, 0x02, 0x01);
  EXPECT_EQ(Parse(unit.Build()), STATUS_NOT_SUPPORTED);

  // No AS general descriptor on alternate 1.
  ConfigurationBuilder general = Uac2Control();
  general.Interface(1, 0, 0, 0x01, 0x02, 0x20).Interface(1, 1, 1, 0x01, 0x02, 0x20).FormatTypeI2(2, 16).Endpoint(0x01, 0x05, 200, 1);
  EXPECT_EQ(Parse(general.Build()), STATUS_NOT_SUPPORTED);
}

TEST_F(AudioParseTest, EndpointRolesFollowUsageAndInterval) {
  ConfigurationBuilder b = Uac2Control();
  b.Interface(1, 0, 0, 0x01, 0x02, 0x20);
  // A data endpoint with an interval too long for high speed is passed over;
  // the feedback endpoint is taken wherever it stands.
  b.Interface(1, 1, 3, 0x01, 0x02, 0x20)
      .AsGeneral2(0x01, 0, 1, 1, 2, 3)
      .FormatTypeI2(2, 16)
      .Endpoint(0x02, 0x05, 200, 5)
      .Endpoint(0x81, 0x11, 4, 4)
      .Endpoint(0x01, 0x25, 200, 1);
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  const AlternateSetting& alt = audio_->GetRenderInterface()->Alternates[1];
  ASSERT_NE(alt.DataEndpoint, nullptr);
  EXPECT_EQ(alt.DataEndpoint->bEndpointAddress, 0x01);
  ASSERT_NE(alt.FeedbackEndpoint, nullptr);
  EXPECT_EQ(alt.FeedbackEndpoint->bEndpointAddress, 0x81);
  EXPECT_EQ(alt.CsEndpoint, nullptr);  // none after the data endpoint

  // At full speed the same intervals are fine.
  ASSERT_EQ(Parse(MakeSet(b.Build(), 0x1FA7, 0x4D02, false)), STATUS_SUCCESS);
  EXPECT_EQ(audio_->GetRenderInterface()->Alternates[1].DataEndpoint->bEndpointAddress, 0x02);
}

TEST_F(AudioParseTest, Class1SynchEndpointMustMatchTheDataEndpointsAddress) {
  auto build = [](uint8_t synchAddress, bool nineByteData) {
    ConfigurationBuilder b;
    b.Interface(0, 0, 0, 0x01, 0x01, 0x00)
        .AcHeader1({1})
        .InputTerminal1(0x01, 0x0101, 0, 2, 3)
        .OutputTerminal1(0x03, 0x0301, 0, 0x01);
    b.Interface(1, 0, 0, 0x01, 0x02, 0x00);
    b.Interface(1, 1, 2, 0x01, 0x02, 0x00).AsGeneral1(0x01, 1, 1).FormatTypeI1(2, 2, 16, {44100, 48000});
    if (nineByteData) {
      b.Endpoint9(0x01, 0x05, 196, 1, 0, synchAddress);
    } else {
      b.Endpoint(0x01, 0x05, 196, 1);
    }
    b.CsEndpoint1(0x01).Endpoint9(0x81, 0x01, 3, 1, 5, 0);
    return b.Build();
  };
  ASSERT_EQ(Parse(MakeSet(build(0x81, true), 0x1FA7, 0x4D02, false)), STATUS_SUCCESS);
  const AlternateSetting& alt = audio_->GetRenderInterface()->Alternates[1];
  ASSERT_NE(alt.FeedbackEndpoint, nullptr);
  EXPECT_EQ(alt.FeedbackEndpoint->bEndpointAddress, 0x81);
  ASSERT_NE(alt.CsEndpoint, nullptr);

  ASSERT_EQ(Parse(MakeSet(build(0x82, true), 0x1FA7, 0x4D02, false)), STATUS_SUCCESS);
  EXPECT_EQ(audio_->GetRenderInterface()->Alternates[1].FeedbackEndpoint, nullptr);
  ASSERT_EQ(Parse(MakeSet(build(0x81, false), 0x1FA7, 0x4D02, false)), STATUS_SUCCESS);
  EXPECT_EQ(audio_->GetRenderInterface()->Alternates[1].FeedbackEndpoint, nullptr);
}

TEST_F(AudioParseTest, EntityNamesUseABoundedFormatter) {
  ConfigurationBuilder b = Uac2Control();
  AddStreaming2(b, 1, 0x01, 0x01);
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  char name[32];
  EXPECT_EQ(audio_->FindEntity(0x10)->GetName(name, sizeof(name)), STATUS_SUCCESS);
  EXPECT_STREQ(name, "ClockSource(16)");
  EXPECT_EQ(audio_->FindEntity(0x03)->GetName(name, sizeof(name)), STATUS_SUCCESS);
  EXPECT_STREQ(name, "OT(3)");
  EXPECT_EQ(audio_->FindEntity(0x02)->GetName(name, 5), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(name, "Feat");
  EXPECT_EQ(audio_->FindEntity(0x02)->GetName(name, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(audio_->FindEntity(0x02)->GetName(name, 0x80000000ULL), STATUS_INVALID_PARAMETER);
}

TEST(TerminalTypes, CategoriesAndTraceNames) {
  const GUID speaker = {0xDFF21CE1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
  const GUID line = {0xDFF21FE3, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
  ASSERT_NE(TerminalTypeCategory(0x0301), nullptr);
  EXPECT_TRUE(IsEqualGUID(*TerminalTypeCategory(0x0301), speaker));
  EXPECT_TRUE(IsEqualGUID(*TerminalTypeCategory(0x0603), line));
  for (USHORT unlisted : {0x0100, 0x0101, 0x0200, 0x0207, 0x0308, 0x0504, 0x0608, 0x0714, 0xFFFF}) {
    EXPECT_EQ(TerminalTypeCategory(unlisted), nullptr) << std::hex << unlisted;
  }
  EXPECT_STREQ(GuidTraceName(TerminalTypeCategory(0x0301)), "SPEAKER");
  EXPECT_STREQ(GuidTraceName(TerminalTypeCategory(0x0603)), "LINE_CONNECTOR");
  EXPECT_STREQ(GuidTraceName(TerminalTypeCategory(0x0713)), "SYNTHESIZER");
  EXPECT_STREQ(GuidTraceName(TerminalTypeCategory(0x0201)), "MICROPHONE");
  EXPECT_STREQ(GuidTraceName(&UA_KSNODETYPE_VOLUME), "VOLUME");
  EXPECT_STREQ(GuidTraceName(&UA_KSCATEGORY_AUDIO), "USB streaming");
  const GUID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_STREQ(GuidTraceName(&other), "Unknown");
  EXPECT_STREQ(GuidTraceName(nullptr), "Unknown");
}

}  // namespace
}  // namespace drivertest
