// The control panel's fixed rules without a dialog: the rate and bit-depth
// rows, the slider's scale and label, the information text, how the device
// list draws a row, the logo's pre-multiplied alpha and where the
// minimised icon goes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "panel/list_box_drawing.h"
#include "panel/logo_image.h"
#include "panel/panel_tables.h"

namespace {

std::u16string U16(const WCHAR* text) {
  std::u16string out;
  for (; *text != 0; ++text) out.push_back(static_cast<char16_t>(*text));
  return out;
}

TEST(PanelTables, RateAndBitDepthRowsInTheirOrderWithTheirTexts) {
  const DWORD rates[] = {32000, 44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000, 2822400, 5644800};
  const char16_t* texts[] = {u"32000 Hz",  u"44100 Hz",  u"48000 Hz",  u"88200 Hz",  u"96000 Hz",  u"176400 Hz",
                             u"192000 Hz", u"352800 Hz", u"384000 Hz", u"2.8224MHz", u"5.6448MHz"};
  ASSERT_EQ(kPanelRateRowCount, 11);
  for (LONG row = 0; row < kPanelRateRowCount; ++row) {
    EXPECT_EQ(kPanelRateRows[row].rate, rates[row]) << row;
    EXPECT_EQ(U16(kPanelRateRows[row].text), texts[row]) << row;
    EXPECT_EQ(FindRateRow(rates[row]), row);
  }
  EXPECT_EQ(FindRateRow(22050), -1);
  EXPECT_EQ(FindRateRow(0), -1);

  ASSERT_EQ(kPanelBitDepthRowCount, 3);
  EXPECT_EQ(kPanelBitDepthRows[0].bitDepth, 24u);
  EXPECT_EQ(kPanelBitDepthRows[0].format, 0);
  EXPECT_EQ(U16(kPanelBitDepthRows[0].text), u"24 bits");
  EXPECT_EQ(kPanelBitDepthRows[1].bitDepth, 32u);
  EXPECT_EQ(kPanelBitDepthRows[1].format, 0);
  EXPECT_EQ(U16(kPanelBitDepthRows[1].text), u"32 bits");
  EXPECT_EQ(kPanelBitDepthRows[2].bitDepth, 8u);
  EXPECT_EQ(kPanelBitDepthRows[2].format, 2);
  EXPECT_EQ(U16(kPanelBitDepthRows[2].text), u"DSD");
  // A row matches only on both values.
  EXPECT_EQ(FindBitDepthRow(24, 0), 0);
  EXPECT_EQ(FindBitDepthRow(32, 0), 1);
  EXPECT_EQ(FindBitDepthRow(8, 2), 2);
  EXPECT_EQ(FindBitDepthRow(32, 2), -1);
  EXPECT_EQ(FindBitDepthRow(8, 0), -1);
  EXPECT_EQ(FindBitDepthRow(16, 0), -1);
}

TEST(PanelTables, BufferSizesClampToTheSliderScaleAndLabelInSamples) {
  struct Case {
    DWORD size;
    int position;
  };
  const Case cases[] = {{100, 3}, {5000, 120}, {0, 2}, {63, 2}, {64, 2}, {95, 2},
                        {2048, 64}, {3839, 119}, {3840, 120}, {0xFFFFFFFFu, 120}};
  for (const Case& c : cases) EXPECT_EQ(SliderPositionForBufferSize(c.size), c.position) << c.size;

  WCHAR label[32];
  FormatBufferSizeLabel(3, label, 32);
  EXPECT_EQ(U16(label), u"96 Samples");
  FormatBufferSizeLabel(120, label, 32);
  EXPECT_EQ(U16(label), u"3840 Samples");
  FormatBufferSizeLabel(2, label, 32);
  EXPECT_EQ(U16(label), u"64 Samples");
  // A short buffer is cut, never overrun.
  WCHAR shortLabel[5] = {L'x', L'x', L'x', L'x', L'x'};
  FormatBufferSizeLabel(120, shortLabel, 4);
  EXPECT_EQ(U16(shortLabel), u"384");
  EXPECT_EQ(shortLabel[4], L'x');
}

TEST(PanelTables, InformationTextIsFourLinesWithTheVersionLine) {
  WCHAR text[kInformationTextChars];
  FormatInformationText(text, kInformationTextChars);
  const std::u16string all = U16(text);
  std::vector<std::u16string> lines;
  size_t start = 0;
  for (size_t at = all.find(u"\r\n"); at != std::u16string::npos; at = all.find(u"\r\n", start)) {
    lines.push_back(all.substr(start, at + 2 - start));
    start = at + 2;
  }
  EXPECT_EQ(start, all.size()) << "every line ends in CR LF";
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], u"Velmora ASIO Device\r\n");
  EXPECT_EQ(lines[1], u"Version 1.0.0.0  built 12/12/2012\r\n");
  EXPECT_GT(lines[2].size(), 2u);
  EXPECT_EQ(lines[2].find(u'\n'), lines[2].size() - 1);
  EXPECT_EQ(lines[3], u"ASIO Technology by Steinberg\r\n");
}

TEST(PanelListBox, SelectionFocusAndTheStoredDevicesHeavyRow) {
  const LONG active = 2;
  // The selected row: highlight colours; focus only when it has the focus.
  ListRowLook look = DecideListRowLook(1, true, true, &active);
  EXPECT_TRUE(look.highlightFill);
  EXPECT_TRUE(look.highlightText);
  EXPECT_TRUE(look.focusRect);
  EXPECT_FALSE(look.heavy);
  // The stored device's row is heavy although another row is highlighted.
  look = DecideListRowLook(2, false, false, &active);
  EXPECT_FALSE(look.highlightFill);
  EXPECT_FALSE(look.highlightText);
  EXPECT_FALSE(look.focusRect);
  EXPECT_TRUE(look.heavy);
  look = DecideListRowLook(2, true, false, &active);
  EXPECT_TRUE(look.heavy);
  EXPECT_TRUE(look.highlightFill);
  EXPECT_FALSE(look.focusRect);
  // The focus rectangle of an empty list (row -1) while nothing is stored.
  const LONG none = -1;
  look = DecideListRowLook(-1, false, true, &none);
  EXPECT_TRUE(look.focusRect);
  EXPECT_FALSE(look.heavy);
  EXPECT_FALSE(DecideListRowLook(0, false, false, nullptr).heavy);
  EXPECT_EQ(kHeavyRowWeight, 900);
}

TEST(PanelLogo, PremultipliesRoundingEveryPixelThatIsNotOpaque) {
  // B, G, R, A per pixel.
  uint8_t pixels[] = {
      10,  200, 255, 255,  // opaque: untouched
      3,   255, 1,   128,  // (c x 128 + 127) / 255: 2, 128, 1 (truncating would give 1, 128, 0)
      200, 100, 50,  64,   // 50, 25, 13
      90,  80,  70,  0,    // transparent: black
      255, 255, 255, 254,  // 254 each
  };
  PremultiplyAlpha(pixels, 5);
  const uint8_t expected[] = {10, 200, 255, 255, 2, 128, 1, 128, 50, 25, 13, 64, 0, 0, 0, 0, 254, 254, 254, 254};
  for (size_t i = 0; i < sizeof expected; ++i) EXPECT_EQ(pixels[i], expected[i]) << "byte " << i;
  // Only the count given is touched.
  uint8_t two[] = {100, 100, 100, 0, 100, 100, 100, 0};
  PremultiplyAlpha(two, 1);
  EXPECT_EQ(two[0], 0);
  EXPECT_EQ(two[4], 100);
}

TEST(PanelLogo, MinimisedIconIsCentredRoundingUp) {
  PanelPoint p = CentredIconOrigin(35, 35, 32, 32);
  EXPECT_EQ(p.x, 2);
  EXPECT_EQ(p.y, 2);
  p = CentredIconOrigin(160, 29, 32, 16);
  EXPECT_EQ(p.x, 64);
  EXPECT_EQ(p.y, 7);
  p = CentredIconOrigin(32, 32, 32, 32);
  EXPECT_EQ(p.x, 0);
  EXPECT_EQ(p.y, 0);
}

}  // namespace
