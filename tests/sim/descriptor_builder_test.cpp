// Byte-exact checks of the descriptor builder against the USB 2.0 and USB
// Audio Class 1.0/2.0 layouts, and of the computed length fields.
#include "sim/uac/descriptor_builder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sim/usb/descriptor_set.h"

namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Slice(const Bytes& b, size_t offset, size_t size) {
  if (offset + size > b.size()) return {};
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(offset),
               b.begin() + static_cast<std::ptrdiff_t>(offset + size));
}

uint16_t Le16(const Bytes& b, size_t offset) {
  return static_cast<uint16_t>(b[offset] | (b[offset + 1] << 8));
}

TEST(DeviceDescriptor, FieldsAtStandardOffsets) {
  const Bytes d = MakeDeviceDescriptor(0x1FA7, 0x4D02, 0x0123, 0x0200, 0xEF, 0x02, 0x01, 64, 1,
                                       2, 3, 1);
  const Bytes expected{0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 0x40, 0xA7,
                       0x1F, 0x02, 0x4D, 0x23, 0x01, 0x01, 0x02, 0x03, 0x01};
  EXPECT_EQ(d, expected);
}

TEST(ConfigurationBuilder, Uac2AudioControlMatchesPublishedLayout) {
  ConfigurationBuilder b;
  b.Configuration(1, 0xC0, 50, 7)
      .Interface(0, 0, 0, 0x01, 0x01, 0x20, 4)
      .AcHeader2(0x08)
      .ClockSource(0x10, 0x03, 0x07, 0, 5)
      .ClockSelector(0x20, {0x10, 0x11}, 0x03, 6)
      .InputTerminal2(0x01, 0x0101, 0, 0x20, 2, 0x00000003, 0, 0x0000, 0)
      .FeatureUnit2(0x02, 0x01, {0x0000000F, 0x0000000C, 0x0000000C})
      .OutputTerminal2(0x03, 0x0301, 0, 0x02, 0x20, 0x0004, 9)
      .Interface(1, 0, 0, 0x01, 0x02, 0x20, 0);
  const Bytes c = b.Build();

  const Bytes expected{
      0x09, 0x02, 0x64, 0x00, 0x02, 0x01, 0x07, 0xC0, 0x32,  // configuration, 100 bytes
      0x09, 0x04, 0x00, 0x00, 0x00, 0x01, 0x01, 0x20, 0x04,  // AC interface
      0x09, 0x24, 0x01, 0x00, 0x02, 0x08, 0x49, 0x00, 0x00,  // header, 73 bytes
      0x08, 0x24, 0x0A, 0x10, 0x03, 0x07, 0x00, 0x05,        // clock source
      0x09, 0x24, 0x0B, 0x20, 0x02, 0x10, 0x11, 0x03, 0x06,  // clock selector
      0x11, 0x24, 0x02, 0x01, 0x01, 0x01, 0x00, 0x20, 0x02,  // input terminal
      0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,        //
      0x12, 0x24, 0x06, 0x02, 0x01, 0x0F, 0x00, 0x00, 0x00,  // feature unit
      0x0C, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00,  //
      0x0C, 0x24, 0x03, 0x03, 0x01, 0x03, 0x00, 0x02, 0x20,  // output terminal
      0x04, 0x00, 0x09,                                      //
      0x09, 0x04, 0x01, 0x00, 0x00, 0x01, 0x02, 0x20, 0x00,  // AS interface
  };
  EXPECT_EQ(c, expected);
}

TEST(ConfigurationBuilder, Uac2StreamingAndEndpointsMatchPublishedLayout) {
  ConfigurationBuilder b;
  b.AsGeneral2(0x01, 0x00, 0x01, 0x00000001, 2, 0x00000003, 0);
  const size_t asGeneral = b.LastOffset();
  b.FormatTypeI2(4, 24);
  const size_t format = b.LastOffset();
  b.Endpoint(0x01, 0x05, 392, 1);
  const size_t ep = b.LastOffset();
  b.CsEndpoint2(0x80, 0x00, 0x02, 0x0102);
  const size_t csEp = b.LastOffset();
  b.Endpoint9(0x01, 0x05, 0x0186, 1, 0, 0x81);
  const size_t ep9 = b.LastOffset();
  const Bytes c = b.Build();

  EXPECT_EQ(Slice(c, asGeneral, 16), (Bytes{0x10, 0x24, 0x01, 0x01, 0x00, 0x01, 0x01, 0x00,
                                            0x00, 0x00, 0x02, 0x03, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Slice(c, format, 6), (Bytes{0x06, 0x24, 0x02, 0x01, 0x04, 0x18}));
  EXPECT_EQ(Slice(c, ep, 7), (Bytes{0x07, 0x05, 0x01, 0x05, 0x88, 0x01, 0x01}));
  EXPECT_EQ(Slice(c, csEp, 8), (Bytes{0x08, 0x25, 0x01, 0x80, 0x00, 0x02, 0x02, 0x01}));
  EXPECT_EQ(Slice(c, ep9, 9), (Bytes{0x09, 0x05, 0x01, 0x05, 0x86, 0x01, 0x01, 0x00, 0x81}));
  EXPECT_EQ(c.size(), ep9 + 9);
  EXPECT_EQ(Le16(c, 2), c.size());
  EXPECT_EQ(c[4], 0) << "no interface descriptors";
}

TEST(ConfigurationBuilder, Uac1DescriptorsMatchPublishedLayout) {
  ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x00);
  b.AcHeader1({1, 2});
  const size_t header = b.LastOffset();
  b.InputTerminal1(0x01, 0x0101, 0, 2, 0x0003);
  const size_t it = b.LastOffset();
  b.FeatureUnit1(0x02, 0x01, 2, {0x0103, 0x0002});
  const size_t fu = b.LastOffset();
  b.OutputTerminal1(0x03, 0x0301, 0, 0x02);
  const size_t ot = b.LastOffset();
  b.ProcessingUnit1(0x04, 0x0002, {0x03}, 2, 0x0003, {0x01}, 0, 0, {0x01, 0x02});
  const size_t pu = b.LastOffset();
  b.Interface(1, 1, 1, 0x01, 0x02, 0x00);
  b.AsGeneral1(0x01, 1, 0x0001);
  const size_t asGeneral = b.LastOffset();
  b.FormatTypeI1(2, 3, 24, {44100, 96000});
  const size_t discrete = b.LastOffset();
  b.FormatTypeI1Continuous(2, 2, 16, 8000, 48000);
  const size_t continuous = b.LastOffset();
  b.CsEndpoint1(0x01, 2, 0x0003);
  const size_t csEp = b.LastOffset();
  const Bytes c = b.Build();

  // The header's wTotalLength (offset 5) covers header, IT, FU, OT and PU.
  EXPECT_EQ(Slice(c, header, 10),
            (Bytes{0x0A, 0x24, 0x01, 0x00, 0x01, 59, 0x00, 0x02, 0x01, 0x02}));
  EXPECT_EQ(Slice(c, it, 12),
            (Bytes{0x0C, 0x24, 0x02, 0x01, 0x01, 0x01, 0x00, 0x02, 0x03, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Slice(c, fu, 11),
            (Bytes{0x0B, 0x24, 0x06, 0x02, 0x01, 0x02, 0x03, 0x01, 0x02, 0x00, 0x00}));
  EXPECT_EQ(Slice(c, ot, 9), (Bytes{0x09, 0x24, 0x03, 0x03, 0x01, 0x03, 0x00, 0x02, 0x00}));
  EXPECT_EQ(Slice(c, pu, 17), (Bytes{0x11, 0x24, 0x07, 0x04, 0x02, 0x00, 0x01, 0x03, 0x02,
                                     0x03, 0x00, 0x00, 0x01, 0x01, 0x00, 0x01, 0x02}));
  EXPECT_EQ(Slice(c, asGeneral, 7), (Bytes{0x07, 0x24, 0x01, 0x01, 0x01, 0x01, 0x00}));
  EXPECT_EQ(Slice(c, discrete, 14), (Bytes{0x0E, 0x24, 0x02, 0x01, 0x02, 0x03, 0x18, 0x02,
                                           0x44, 0xAC, 0x00, 0x00, 0x77, 0x01}));
  EXPECT_EQ(Slice(c, continuous, 14), (Bytes{0x0E, 0x24, 0x02, 0x01, 0x02, 0x02, 0x10, 0x00,
                                             0x40, 0x1F, 0x00, 0x80, 0xBB, 0x00}));
  EXPECT_EQ(Slice(c, csEp, 7), (Bytes{0x07, 0x25, 0x01, 0x01, 0x02, 0x03, 0x00}));
  EXPECT_EQ(c[4], 2);
}

TEST(ConfigurationBuilder, FeatureUnit1HonoursControlSize) {
  ConfigurationBuilder b;
  b.FeatureUnit1(5, 4, 1, {0x03, 0x02, 0x02}, 7);
  const size_t one = b.LastOffset();
  b.FeatureUnit1(5, 4, 3, {0x00030201});
  const size_t three = b.LastOffset();
  const Bytes c = b.Build();
  EXPECT_EQ(Slice(c, one, 10), (Bytes{10, 0x24, 0x06, 5, 4, 1, 0x03, 0x02, 0x02, 7}));
  EXPECT_EQ(Slice(c, three, 10), (Bytes{10, 0x24, 0x06, 5, 4, 3, 0x01, 0x02, 0x03, 0}));
}

TEST(ConfigurationBuilder, UnitsForUnsupportedKindsMatchPublishedLayout) {
  ConfigurationBuilder b;
  b.MixerUnit2(0x07, {0x01, 0x02}, 2, 0x00000003, {0xFF}, 0x00, 0, 0);
  const size_t mixer2 = b.LastOffset();
  b.SelectorUnit2(0x08, {0x01, 0x02}, 0x03, 0);
  const size_t selector2 = b.LastOffset();
  b.MixerUnit1(0x09, {0x01}, 2, 0x0003, {0x80});
  const size_t mixer1 = b.LastOffset();
  b.SelectorUnit1(0x0A, {0x01, 0x02});
  const size_t selector1 = b.LastOffset();
  b.ClockMultiplier(0x0B, 0x10, 0x05, 0);
  const size_t multiplier = b.LastOffset();
  b.ClassInterfaceDescriptor(0x0E, {0x01, 0x02});
  const size_t generic = b.LastOffset();
  b.ClassEndpointDescriptor(0x02, {0xAA});
  const size_t genericEp = b.LastOffset();
  const Bytes c = b.Build();

  // bLength, id, pins, sources, channels, config(4), iChannelNames, mixer bits, controls, iMixer
  EXPECT_EQ(Slice(c, mixer2, 16), (Bytes{16, 0x24, 0x04, 0x07, 0x02, 0x01, 0x02, 0x02, 0x03,
                                         0x00, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00}));
  EXPECT_EQ(Slice(c, selector2, 9), (Bytes{9, 0x24, 0x05, 0x08, 0x02, 0x01, 0x02, 0x03, 0x00}));
  EXPECT_EQ(Slice(c, mixer1, 12),
            (Bytes{12, 0x24, 0x04, 0x09, 0x01, 0x01, 0x02, 0x03, 0x00, 0x00, 0x80, 0x00}));
  EXPECT_EQ(Slice(c, selector1, 8), (Bytes{8, 0x24, 0x05, 0x0A, 0x02, 0x01, 0x02, 0x00}));
  EXPECT_EQ(Slice(c, multiplier, 7), (Bytes{7, 0x24, 0x0C, 0x0B, 0x10, 0x05, 0x00}));
  EXPECT_EQ(Slice(c, generic, 5), (Bytes{5, 0x24, 0x0E, 0x01, 0x02}));
  EXPECT_EQ(Slice(c, genericEp, 4), (Bytes{4, 0x25, 0x02, 0xAA}));
}

TEST(ConfigurationBuilder, AcHeaderLengthEndsAtNextInterfaceAndCountsOnlyClassDescriptors) {
  ConfigurationBuilder b;
  b.InterfaceAssociation(0, 2, 0x01, 0x00, 0x20);
  b.Interface(0, 0, 1, 0x01, 0x01, 0x20);
  b.AcHeader2(0x01);
  const size_t first = b.LastOffset();
  b.ClockSource(0x10, 0x01, 0x01);
  b.Endpoint(0x83, 0x03, 6, 4);  // AC interrupt endpoint: not class-specific
  b.Interface(1, 0, 0, 0x01, 0x02, 0x20);
  b.AsGeneral2(0x01, 0, 1, 1, 2, 3);  // after the next interface: not counted
  // A second, class 1.0 function in the same configuration.
  b.Interface(2, 0, 0, 0x01, 0x01, 0x00);
  b.AcHeader1({3});
  const size_t second = b.LastOffset();
  b.Raw({0x0C, 0x24, 0x02, 0x01, 0x01, 0x01, 0x00, 0x02, 0x03, 0x00, 0x00, 0x00});
  b.Interface(3, 0, 0, 0x01, 0x02, 0x00);
  const Bytes c = b.Build();

  EXPECT_EQ(Le16(c, first + 6), 9 + 8);
  EXPECT_EQ(Le16(c, second + 5), 9 + 12) << "raw class-specific descriptors count too";
  EXPECT_EQ(c[4], 4);
  EXPECT_EQ(Le16(c, 2), c.size());
}

TEST(ConfigurationBuilder, InterfaceCountIgnoresAlternatesAndIncludesRawInterfaces) {
  ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x20)
      .Interface(1, 0, 0, 0x01, 0x02, 0x20)
      .Interface(1, 1, 1, 0x01, 0x02, 0x20)
      .Interface(1, 2, 1, 0x01, 0x02, 0x20)
      .Raw({0x09, 0x04, 0x05, 0x00, 0x00, 0xFE, 0x01, 0x01, 0x00,   // interface 5
            0x09, 0x21, 0x0D, 0xFA, 0x00, 0x40, 0x00, 0x10, 0x01});  // DFU functional
  EXPECT_EQ(b.Build()[4], 3);
}

TEST(ConfigurationBuilder, RawBytesThatCannotBeSplitStayOpaque) {
  ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x20);
  b.AcHeader2(0x01);
  const size_t header = b.LastOffset();
  b.Raw({0x00, 0x24, 0x0A, 0x10});  // bLength 0
  b.Raw({0x20, 0x24, 0x02});        // bLength past the end
  const Bytes c = b.Build();
  EXPECT_EQ(c.size(), 9u + 9 + 9 + 4 + 3);
  EXPECT_EQ(Le16(c, header + 6), 9 + 4 + 3);
}

TEST(ConfigurationBuilder, OverridesReplaceComputedValuesOnly) {
  ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x20);
  b.AcHeader2(0x01);
  const size_t first = b.LastOffset();
  b.ClockSource(0x10, 0x01, 0x01);
  b.Interface(1, 0, 0, 0x01, 0x01, 0x20);
  b.AcHeader2(0x01);
  const size_t second = b.LastOffset();
  b.OverrideAcHeaderTotalLength(0x0200);
  b.ClockSource(0x11, 0x01, 0x01);
  b.OverrideLastLength(0);
  const size_t broken = b.LastOffset();
  const Bytes normal = b.Build();

  EXPECT_EQ(Le16(normal, first + 6), 9 + 8) << "only the latest header is overridden";
  EXPECT_EQ(Le16(normal, second + 6), 0x0200);
  EXPECT_EQ(normal[broken], 0);
  EXPECT_EQ(Le16(normal, 2), normal.size()) << "real sizes still count";
  EXPECT_EQ(normal[4], 2);

  b.OverrideTotalLength(0x1234).OverrideNumInterfaces(7).Configuration(3, 0xA0, 10, 1);
  const Bytes overridden = b.Build();
  EXPECT_EQ(Le16(overridden, 2), 0x1234);
  EXPECT_EQ(overridden[4], 7);
  EXPECT_EQ(Slice(overridden, 5, 4), (Bytes{3, 1, 0xA0, 10}));
  EXPECT_EQ(overridden.size(), normal.size());
}

TEST(DescriptorSet, StringDescriptorsAreUtf16LittleEndian) {
  DescriptorSet s;
  s.strings[4] = u"A\u00E9\u20AC";
  s.strings[9] = std::u16string(200, u'x');
  EXPECT_EQ(s.StringDescriptor(0), (Bytes{0x04, 0x03, 0x09, 0x04}));
  EXPECT_EQ(s.StringDescriptor(4), (Bytes{0x08, 0x03, 0x41, 0x00, 0xE9, 0x00, 0xAC, 0x20}));
  EXPECT_TRUE(s.StringDescriptor(5).empty());

  const Bytes longText = s.StringDescriptor(9);
  ASSERT_EQ(longText.size(), 254u);
  EXPECT_EQ(longText[0], 254);

  s.languageIds = {0x0409, 0x0407};
  EXPECT_EQ(s.StringDescriptor(0), (Bytes{0x06, 0x03, 0x09, 0x04, 0x07, 0x04}));
}

}  // namespace
}  // namespace sim
