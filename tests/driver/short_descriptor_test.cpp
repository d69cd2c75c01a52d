// Class-specific descriptors one byte shorter than their layout. The parser
// reads fields at fixed offsets, so a short descriptor's missing fields would
// come from the next descriptor's bytes, inside the configuration copy where
// no sanitizer sees it: audio-control descriptors and the AS general
// descriptor of alternate 1 refuse the device, format type and class-specific
// endpoint descriptors are skipped (the alternate setting then has none).
// Each case is built so that, without its length check, the parse would
// succeed or keep the descriptor.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/driver/driver_fixture.h"

namespace drivertest {
namespace {

using sim::ConfigurationBuilder;
using Bytes = std::vector<uint8_t>;

// The bytes of the one descriptor `add` appends, cut to `length` (bLength too).
Bytes Cut(const std::function<void(ConfigurationBuilder&)>& add, size_t length) {
  ConfigurationBuilder tmp;
  add(tmp);
  const Bytes all = tmp.Build();
  Bytes d(all.begin() + static_cast<std::ptrdiff_t>(tmp.LastOffset()), all.end());
  if (length < d.size()) d.resize(length);
  d[0] = static_cast<uint8_t>(d.size());
  return d;
}

// Appends a descriptor whole, or cut to `length` when `cut` is set.
void Add(ConfigurationBuilder& b, bool cut, size_t length, const std::function<void(ConfigurationBuilder&)>& add) {
  if (cut) {
    b.Raw(Cut(add, length));
  } else {
    add(b);
  }
}

enum class Short { None, ClockSource, ClockSelector, InputTerminal, OutputTerminal, FeatureUnit, AsGeneral };

// Class 2.0 playback function: clock source 0x10 behind selector 0x11 (one
// input), IT 1 -> FU 2 -> OT 3, one streaming interface on IT 1. Every
// field a link reads lies inside the cut descriptors.
Bytes Function2(Short which) {
  ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x20).AcHeader2(0x01);
  Add(b, which == Short::ClockSource, 7, [](ConfigurationBuilder& c) { c.ClockSource(0x10, 0x03, 0x07); });
  Add(b, which == Short::ClockSelector, 6, [](ConfigurationBuilder& c) { c.ClockSelector(0x11, {0x10}); });
  Add(b, which == Short::InputTerminal, 16,
      [](ConfigurationBuilder& c) { c.InputTerminal2(0x01, 0x0101, 0, 0x11, 2, 3); });
  Add(b, which == Short::FeatureUnit, 5, [](ConfigurationBuilder& c) { c.FeatureUnit2(0x02, 0x01, {0x0F, 0x0C, 0x0C}); });
  Add(b, which == Short::OutputTerminal, 11,
      [](ConfigurationBuilder& c) { c.OutputTerminal2(0x03, 0x0301, 0, 0x02, 0x11); });
  b.Interface(1, 0, 0, 0x01, 0x02, 0x20);
  b.Interface(1, 1, 1, 0x01, 0x02, 0x20);
  Add(b, which == Short::AsGeneral, 15, [](ConfigurationBuilder& c) { c.AsGeneral2(0x01, 0, 1, 1, 2, 3); });
  b.FormatTypeI2(2, 16).Endpoint(0x01, 0x05, 200, 1).CsEndpoint2();
  return b.Build();
}

// Class 1.0 full-speed playback function: IT 1 -> FU 2 -> OT 3.
Bytes Function1(Short which) {
  ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x00).AcHeader1({1});
  Add(b, which == Short::InputTerminal, 11, [](ConfigurationBuilder& c) { c.InputTerminal1(0x01, 0x0101, 0, 2, 3); });
  Add(b, which == Short::FeatureUnit, 6,
      [](ConfigurationBuilder& c) { c.FeatureUnit1(0x02, 0x01, 1, {0x03, 0x02, 0x02}); });
  Add(b, which == Short::OutputTerminal, 8, [](ConfigurationBuilder& c) { c.OutputTerminal1(0x03, 0x0301, 0, 0x02); });
  b.Interface(1, 0, 0, 0x01, 0x02, 0x00);
  b.Interface(1, 1, 1, 0x01, 0x02, 0x00);
  Add(b, which == Short::AsGeneral, 6, [](ConfigurationBuilder& c) { c.AsGeneral1(0x01, 1, 1); });
  b.FormatTypeI1(2, 2, 16, {48000}).Endpoint9(0x01, 0x09, 192, 1, 0, 0).CsEndpoint1(0x01);
  return b.Build();
}

class ShortDescriptorTest : public DriverTest {
 protected:
  NTSTATUS Parse1(const Bytes& configuration) { return Parse(MakeSet(configuration, 0x1FA7, 0x4D02, false)); }
};

TEST_F(ShortDescriptorTest, ShortAudioControlAndGeneralDescriptorsRefuseTheDevice) {
  ASSERT_EQ(Parse(Function2(Short::None)), STATUS_SUCCESS);
  ASSERT_EQ(Parse1(Function1(Short::None)), STATUS_SUCCESS);
  const std::pair<const char*, Short> uac2[] = {
      {"clock source", Short::ClockSource},       {"clock selector", Short::ClockSelector},
      {"input terminal", Short::InputTerminal},   {"output terminal", Short::OutputTerminal},
      {"feature unit", Short::FeatureUnit},       {"AS general", Short::AsGeneral},
  };
  for (const auto& c : uac2) {
    EXPECT_EQ(Parse(Function2(c.second)), STATUS_NOT_SUPPORTED) << "class 2.0 " << c.first;
  }
  const std::pair<const char*, Short> uac1[] = {
      {"input terminal", Short::InputTerminal},
      {"output terminal", Short::OutputTerminal},
      {"feature unit", Short::FeatureUnit},
      {"AS general", Short::AsGeneral},
  };
  for (const auto& c : uac1) {
    EXPECT_EQ(Parse1(Function1(c.second)), STATUS_NOT_SUPPORTED) << "class 1.0 " << c.first;
  }

  // A class 1.0 processing unit cut below its ID is refused for its length,
  // not for its kind (a whole one cannot be linked: STATUS_NOT_IMPLEMENTED).
  auto processing = [](bool cut) {
    ConfigurationBuilder b;
    b.Interface(0, 0, 0, 0x01, 0x01, 0x00).AcHeader1({1}).InputTerminal1(0x01, 0x0101, 0, 2, 3);
    Add(b, cut, 3, [](ConfigurationBuilder& c) { c.ProcessingUnit1(0x04, 0x0001, {0x01}, 2, 3, {0x01}); });
    b.OutputTerminal1(0x03, 0x0301, 0, 0x01);
    b.Interface(1, 0, 0, 0x01, 0x02, 0x00);
    b.Interface(1, 1, 1, 0x01, 0x02, 0x00).AsGeneral1(0x01, 1, 1).FormatTypeI1(2, 2, 16, {48000}).Endpoint9(
        0x01, 0x09, 192, 1, 0, 0);
    return b.Build();
  };
  EXPECT_EQ(Parse1(processing(false)), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(Parse1(processing(true)), STATUS_NOT_SUPPORTED);

  // A clock multiplier is refused for its kind whatever its length.
  ConfigurationBuilder multiplier;
  multiplier.Interface(0, 0, 0, 0x01, 0x01, 0x20).AcHeader2(0x01).ClockSource(0x10, 0x03, 0x07);
  multiplier.Raw(Cut([](ConfigurationBuilder& c) { c.ClockMultiplier(0x12, 0x10); }, 4));
  multiplier.InputTerminal2(0x01, 0x0101, 0, 0x10, 2, 3).OutputTerminal2(0x03, 0x0301, 0, 0x01, 0x10);
  AddStreaming2(multiplier, 1, 0x01, 0x01);
  EXPECT_EQ(Parse(multiplier.Build()), STATUS_NOT_IMPLEMENTED);
}

TEST_F(ShortDescriptorTest, ShortAudioControlHeaderRefusesTheDevice) {
  // The header written by hand, so its wTotalLength still covers the units.
  auto build = [](bool uac2, uint8_t headerLength) {
    ConfigurationBuilder units;
    if (uac2) {
      units.ClockSource(0x10, 0x03, 0x07).InputTerminal2(0x01, 0x0101, 0, 0x10, 2, 3).OutputTerminal2(0x03, 0x0301, 0,
                                                                                                      0x01, 0x10);
    } else {
      units.InputTerminal1(0x01, 0x0101, 0, 2, 3).OutputTerminal1(0x03, 0x0301, 0, 0x01);
    }
    const Bytes built = units.Build();
    const Bytes unitBytes(built.begin() + 9, built.end());
    const uint16_t total = static_cast<uint16_t>(headerLength + unitBytes.size());
    Bytes header = uac2 ? Bytes{headerLength, 0x24, 0x01, 0x00, 0x02, 0x01, 0, 0, 0}
                        : Bytes{headerLength, 0x24, 0x01, 0x00, 0x01, 0, 0, 1, 1};
    header.resize(headerLength);
    header[uac2 ? 6 : 5] = static_cast<uint8_t>(total);
    header[uac2 ? 7 : 6] = static_cast<uint8_t>(total >> 8);
    ConfigurationBuilder b;
    b.Interface(0, 0, 0, 0x01, 0x01, uac2 ? 0x20 : 0x00).Raw(header).Raw(unitBytes);
    b.Interface(1, 0, 0, 0x01, 0x02, uac2 ? 0x20 : 0x00);
    b.Interface(1, 1, 1, 0x01, 0x02, uac2 ? 0x20 : 0x00);
    if (uac2) {
      b.AsGeneral2(0x01, 0, 1, 1, 2, 3).FormatTypeI2(2, 16).Endpoint(0x01, 0x05, 200, 1);
    } else {
      b.AsGeneral1(0x01, 1, 1).FormatTypeI1(2, 2, 16, {48000}).Endpoint9(0x01, 0x09, 192, 1, 0, 0);
    }
    return b.Build();
  };
  EXPECT_EQ(Parse(build(true, 9)), STATUS_SUCCESS);
  EXPECT_EQ(Parse(build(true, 8)), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Parse1(build(false, 8)), STATUS_SUCCESS);
  EXPECT_EQ(Parse1(build(false, 7)), STATUS_NOT_SUPPORTED);
}

TEST_F(ShortDescriptorTest, ShortFormatAndEndpointDescriptorsAreSkipped) {
  // Class 2.0: alternate 2 carries a format type I descriptor of 5 bytes.
  ConfigurationBuilder b2 = Uac2Control();
  AddStreaming2(b2, 1, 0x01, 0x01);
  b2.Interface(1, 2, 1, 0x01, 0x02, 0x20).AsGeneral2(0x01, 0, 1, 1, 2, 3);
  b2.Raw(Cut([](ConfigurationBuilder& c) { c.FormatTypeI2(4, 24); }, 5));
  b2.Endpoint(0x01, 0x05, 400, 1).CsEndpoint2();
  ASSERT_EQ(Parse(b2.Build()), STATUS_SUCCESS);
  StreamingInterface* render = audio_->GetRenderInterface();
  ASSERT_EQ(render->AlternateCount, 3u);
  EXPECT_NE(render->Alternates[1].FormatType, nullptr);
  EXPECT_EQ(render->Alternates[2].FormatType, nullptr);
  EXPECT_EQ(DataRange(render, 2)->MaximumChannels, 0u) << "a range from a skipped format";

  // Class 1.0: a 7-byte format type I on alternate 2, a 3-byte class-specific
  // endpoint on alternate 1, and a format type of another kind of 4 bytes
  // (kept: its type byte is there, and it gives no range) on alternate 3.
  ConfigurationBuilder b1;
  b1.Interface(0, 0, 0, 0x01, 0x01, 0x00)
      .AcHeader1({1})
      .InputTerminal1(0x01, 0x0101, 0, 2, 3)
      .OutputTerminal1(0x03, 0x0301, 0, 0x01);
  b1.Interface(1, 0, 0, 0x01, 0x02, 0x00);
  b1.Interface(1, 1, 1, 0x01, 0x02, 0x00).AsGeneral1(0x01, 1, 1).FormatTypeI1(2, 2, 16, {44100, 48000});
  b1.Endpoint9(0x01, 0x09, 192, 1, 0, 0).Raw(Cut([](ConfigurationBuilder& c) { c.CsEndpoint1(0x01); }, 3));
  b1.Interface(1, 2, 1, 0x01, 0x02, 0x00).AsGeneral1(0x01, 1, 1);
  b1.Raw(Cut([](ConfigurationBuilder& c) { c.FormatTypeI1(2, 3, 24, {48000}); }, 7));
  b1.Endpoint9(0x01, 0x09, 288, 1, 0, 0).CsEndpoint1(0x01);
  b1.Interface(1, 3, 1, 0x01, 0x02, 0x00).AsGeneral1(0x01, 1, 0x1001).ClassInterfaceDescriptor(0x02, {0x02});
  b1.Endpoint9(0x01, 0x09, 288, 1, 0, 0).CsEndpoint1(0x01);
  ASSERT_EQ(Parse1(b1.Build()), STATUS_SUCCESS);
  render = audio_->GetRenderInterface();
  ASSERT_EQ(render->AlternateCount, 4u);
  EXPECT_NE(render->Alternates[1].FormatType, nullptr);
  EXPECT_EQ(render->Alternates[1].CsEndpoint, nullptr);
  EXPECT_EQ(render->Alternates[2].FormatType, nullptr);
  EXPECT_NE(render->Alternates[2].CsEndpoint, nullptr);
  ASSERT_NE(render->Alternates[3].FormatType, nullptr);
  EXPECT_EQ(DataRange(render, 2)->MaximumChannels, 0u);
  EXPECT_EQ(DataRange(render, 3)->MaximumChannels, 0u);
  // Only alternate 1 can be selected.
  ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
  ULONG channels = 0, container = 0, bytes = 0;
  EXPECT_EQ(audio_->SelectStreamingFormat(FALSE, 2, 24, 48000, 1, &channels, &container, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(render->CurrentAlternate, 1u) << "a format the driver could not read was selected";
}

TEST_F(ShortDescriptorTest, ClockSelectorInputsStopBeforeItsControlsAndName) {
  // bNrInPins claims two inputs, but the descriptor holds one source ID
  // followed by bmControls and iClockSelector.
  ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x20).AcHeader2(0x01).ClockSource(0x10, 0x03, 0x07).ClockSource(0x12, 0x03, 0x07);
  b.ClassInterfaceDescriptor(0x0B, {0x11, 2, 0x10, 0x12, 0x00});
  b.InputTerminal2(0x01, 0x0101, 0, 0x11, 2, 3).OutputTerminal2(0x03, 0x0301, 0, 0x01, 0x11);
  AddStreaming2(b, 1, 0x01, 0x01);
  ASSERT_EQ(Parse(b.Build()), STATUS_SUCCESS);
  CUSBAudioEntity* selector = audio_->FindEntity(0x11);
  ASSERT_NE(selector, nullptr);
  EXPECT_EQ(selector->GetSourceId(0), 0x10u);
  EXPECT_EQ(selector->GetSourceId(1), UAC_NO_SOURCE) << "bmControls read as a source ID";
}

}  // namespace
}  // namespace drivertest
