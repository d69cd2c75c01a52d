// The control panel dialog's initialisation against the settings store and
// the devices of the simulated machine: the defaults of a missing key, the
// buffer size on the slider's scale, stored rates and bit depths outside
// the tables, the stored device (found, missing, unreadable, while a host
// streams), no device at all, and a first refresh that finds nothing to
// tell the drivers.
#include <gtest/gtest.h>

#include <sstream>

#include "panel/list_box_drawing.h"
#include "tests/panel/panel_dialog_fixture.h"

namespace {

using namespace paneltest;

using PanelInitTest = PanelDialogTest;

// What the controls show, without redraw counts.
std::string Shown(const sim::PanelSnapshot& s) {
  std::ostringstream out;
  for (const auto& [id, c] : s.controls) {
    out << id << ": '" << kslibtest::Utf8(c.text) << "' " << (c.enabled ? "on" : "off") << " rows";
    for (const std::u16string& row : c.rows) out << " '" << kslibtest::Utf8(row) << "'";
    out << " sel " << c.selectedRow << " slider " << c.sliderLow << ".." << c.sliderHigh << " @" << c.sliderPosition
        << "\n";
  }
  return out.str();
}

TEST_F(PanelInitTest, WithoutASettingsKeyTheDefaultsAreCreatedShownAndTheBitDepthRewritten) {
  sim::SimulatedMachine* machine = Plug("default");
  ASSERT_FALSE(SettingsKeyExists());
  CAsioControlPanelDlg& dialog = OpenDialog();
  const sim::PanelSnapshot s = Snapshot();

  EXPECT_EQ(s.title, u"Velmora USB Audio Driver");
  EXPECT_TRUE(s.iconsSet);
  const sim::PanelControlState& slider = s.Control(IDC_BUFFER_SLIDER);
  EXPECT_EQ(slider.sliderLow, 2);
  EXPECT_EQ(slider.sliderHigh, 120);
  EXPECT_EQ(slider.sliderPosition, 64);
  EXPECT_EQ(s.Control(IDC_BUFFER_LABEL).text, u"2048 Samples");

  const sim::PanelControlState& rates = s.Control(IDC_RATE_COMBO);
  ASSERT_EQ(rates.rows.size(), 11u);
  EXPECT_EQ(rates.rows[0], u"32000 Hz");
  EXPECT_EQ(rates.rows[10], u"5.6448MHz");
  EXPECT_EQ(rates.selectedRow, 1);
  EXPECT_FALSE(rates.enabled);
  EXPECT_EQ(dialog.RateIndex(), 1);
  EXPECT_EQ(dialog.DisplayedRate(), 44100u);
  EXPECT_EQ(StoredDword(L"sampling_rate"), 44100u);

  // 16 bits is not a row: row 0 and 24 / 0 are stored.
  const sim::PanelControlState& depths = s.Control(IDC_BIT_DEPTH_COMBO);
  ASSERT_EQ(depths.rows.size(), 3u);
  EXPECT_EQ(depths.rows[2], u"DSD");
  EXPECT_EQ(depths.selectedRow, 0);
  EXPECT_FALSE(depths.enabled);
  EXPECT_EQ(StoredDword(L"bit_depth"), 24u);
  const Stored format = StoredValue(L"format");
  EXPECT_EQ(format.type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(format.bytes, std::vector<BYTE>{0});
  EXPECT_EQ(dialog.BitDepthIndex(), 0);
  EXPECT_EQ(dialog.DisplayedBitDepth(), 24u);
  EXPECT_EQ(dialog.DisplayedFormat(), 0);
  EXPECT_EQ(StoredDword(L"buffer_size"), 2048u);

  // Nothing was stored: the first device is, as its characters without a terminator.
  const std::u16string id = InstanceIdOf(machine->Pdo());
  const std::u16string name = NameOf(machine->Pdo());
  const sim::PanelControlState& list = s.Control(IDC_DEVICE_LIST);
  EXPECT_EQ(list.rows, std::vector<std::u16string>{name});
  EXPECT_EQ(list.selectedRow, 0);
  EXPECT_EQ(s.Control(IDC_SETTING_GROUP).text, name);
  EXPECT_EQ(dialog.HighlightedIndex(), 0);
  EXPECT_EQ(dialog.ActiveIndex(), 0);
  const Stored selected = StoredValue(L"selected");
  EXPECT_EQ(selected.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(selected.bytes, TextBytes(id, false));

  WCHAR information[kInformationTextChars];
  FormatInformationText(information, kInformationTextChars);
  EXPECT_EQ(s.Control(IDC_INFORMATION).text, U16(information));

  // The event that tells drivers a control panel exists: open, never signalled, gone with the dialog.
  HANDLE keep = OpenEventW(SYNCHRONIZE, FALSE, VM_ASIO_KEEP_EVENT);
  ASSERT_NE(keep, nullptr);
  EXPECT_EQ(WaitForSingleObject(keep, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(keep);
  CloseDialog();
  EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, VM_ASIO_KEEP_EVENT), nullptr);
}

TEST_F(PanelInitTest, StoredBufferSizesAreClampedOntoTheSliderScale) {
  struct Case {
    DWORD stored;
    int position;
    const char16_t* label;
  };
  const Case cases[] = {{100, 3, u"96 Samples"}, {5000, 120, u"3840 Samples"}, {0, 2, u"64 Samples"},
                        {512, 16, u"512 Samples"}};
  CreateDefaults();
  for (const Case& c : cases) {
    StoreDword(L"buffer_size", c.stored);
    OpenDialog();
    const sim::PanelSnapshot s = Snapshot();
    EXPECT_EQ(s.Control(IDC_BUFFER_SLIDER).sliderPosition, c.position) << c.stored;
    EXPECT_EQ(s.Control(IDC_BUFFER_LABEL).text, c.label) << c.stored;
    EXPECT_EQ(StoredDword(L"buffer_size"), c.stored) << "showing a size stores nothing";
    CloseDialog();
  }
  // A size stored as text cannot be read: it counts as 0.
  Store(L"buffer_size", REG_SZ, L"2048", 10);
  OpenDialog();
  EXPECT_EQ(Snapshot().Control(IDC_BUFFER_SLIDER).sliderPosition, 2);
  EXPECT_EQ(Snapshot().Control(IDC_BUFFER_LABEL).text, u"64 Samples");
}

TEST_F(PanelInitTest, RatesAndBitDepthsOutsideTheTablesAreReplacedOthersShown) {
  CreateDefaults();
  // 22050 Hz is no row: 32000 is stored; 32 bits with format 2 is no row: 24 / 0 are stored.
  StoreDword(L"sampling_rate", 22050);
  StoreDword(L"bit_depth", 32);
  StoreFormat(2);
  CAsioControlPanelDlg* dialog = &OpenDialog();
  EXPECT_EQ(Snapshot().Control(IDC_RATE_COMBO).selectedRow, 0);
  EXPECT_EQ(dialog->DisplayedRate(), 32000u);
  EXPECT_EQ(StoredDword(L"sampling_rate"), 32000u);
  EXPECT_EQ(Snapshot().Control(IDC_BIT_DEPTH_COMBO).selectedRow, 0);
  EXPECT_EQ(StoredDword(L"bit_depth"), 24u);
  EXPECT_EQ(StoredValue(L"format").bytes, std::vector<BYTE>{0});

  // Rows of the tables are shown and nothing is written.
  StoreDword(L"sampling_rate", 96000);
  StoreDword(L"bit_depth", 8);
  StoreFormat(2);
  dialog = &OpenDialog();
  EXPECT_EQ(Snapshot().Control(IDC_RATE_COMBO).selectedRow, 4);
  EXPECT_EQ(dialog->RateIndex(), 4);
  EXPECT_EQ(dialog->DisplayedRate(), 96000u);
  EXPECT_EQ(Snapshot().Control(IDC_BIT_DEPTH_COMBO).selectedRow, 2);
  EXPECT_EQ(dialog->DisplayedBitDepth(), 8u);
  EXPECT_EQ(dialog->DisplayedFormat(), 2);
  EXPECT_EQ(StoredDword(L"sampling_rate"), 96000u);
  EXPECT_EQ(StoredDword(L"bit_depth"), 8u);
  EXPECT_EQ(StoredValue(L"format").bytes, std::vector<BYTE>{2});

  StoreDword(L"sampling_rate", 2822400);
  StoreDword(L"bit_depth", 32);
  StoreFormat(0);
  dialog = &OpenDialog();
  EXPECT_EQ(dialog->RateIndex(), 9);
  EXPECT_EQ(dialog->BitDepthIndex(), 1);

  // A format that cannot be read (another type) matches no row either.
  StoreDword(L"bit_depth", 24);
  StoreDword(L"format", 0);
  dialog = &OpenDialog();
  EXPECT_EQ(dialog->BitDepthIndex(), 0);
  const Stored format = StoredValue(L"format");
  EXPECT_EQ(format.type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(format.bytes, std::vector<BYTE>{0});
}

TEST_F(PanelInitTest, WithoutADeviceTheListIsEmptyAndTheSliderStillWorks) {
  CAsioControlPanelDlg& dialog = OpenDialog();
  const sim::PanelSnapshot s = Snapshot();
  EXPECT_TRUE(s.Control(IDC_DEVICE_LIST).rows.empty());
  EXPECT_EQ(s.Control(IDC_DEVICE_LIST).selectedRow, -1);
  EXPECT_EQ(s.Control(IDC_SETTING_GROUP).text, u"Setting");
  EXPECT_EQ(dialog.HighlightedIndex(), -1);
  EXPECT_EQ(dialog.ActiveIndex(), -1);
  EXPECT_EQ(StoredValue(L"selected").bytes, std::vector<BYTE>(256, 0)) << "the default stays";
  View().UserMovesSlider(IDC_BUFFER_SLIDER, 10);
  dialog.OnHScroll(TB_PAGEDOWN, 0);
  EXPECT_EQ(StoredDword(L"buffer_size"), 320u);
}

TEST_F(PanelInitTest, TheStoredDeviceIsHighlightedAndDrawnHeavy) {
  sim::SimulatedMachine* machine = Plug("default");
  PDEVICE_OBJECT second = PlugSecond();
  CreateDefaults();
  StoreSelected(InstanceIdOf(second));
  CAsioControlPanelDlg& dialog = OpenDialog();
  sim::PanelSnapshot s = Snapshot();
  EXPECT_EQ(s.Control(IDC_DEVICE_LIST).rows,
            (std::vector<std::u16string>{NameOf(machine->Pdo()), NameOf(second)}));
  EXPECT_EQ(s.Control(IDC_DEVICE_LIST).selectedRow, 1);
  EXPECT_EQ(s.Control(IDC_SETTING_GROUP).text, NameOf(second));
  EXPECT_EQ(dialog.HighlightedIndex(), 1);
  EXPECT_EQ(dialog.ActiveIndex(), 1);
  EXPECT_TRUE(DecideListRowLook(1, true, false, dialog.ActiveIndexPointer()).heavy);
  EXPECT_FALSE(DecideListRowLook(0, false, false, dialog.ActiveIndexPointer()).heavy);
  EXPECT_EQ(StoredValue(L"selected").bytes, TextBytes(InstanceIdOf(second), true)) << "found: nothing rewritten";

  // Stored as the dialog itself stores it, without a terminator: found all the same.
  StoreSelected(InstanceIdOf(second), false);
  OpenDialog();
  EXPECT_EQ(Dialog().ActiveIndex(), 1);
  EXPECT_EQ(Snapshot().Control(IDC_DEVICE_LIST).selectedRow, 1);
}

TEST_F(PanelInitTest, AStoredDeviceThatIsGoneIsReplacedUnlessAHostStreams) {
  sim::SimulatedMachine* machine = Plug("default");
  PDEVICE_OBJECT second = PlugSecond();
  const std::u16string first = InstanceIdOf(machine->Pdo());
  CreateDefaults();

  // While a host streams, a vanished device stays stored and nothing is highlighted.
  StoreSelected(u"USB\\VID_1FA7&PID_4D02&MI_00\\gone");
  StoreDword(L"streaming", 1);
  CAsioControlPanelDlg* dialog = &OpenDialog();
  EXPECT_EQ(dialog->HighlightedIndex(), -1);
  EXPECT_EQ(dialog->ActiveIndex(), -1);
  EXPECT_EQ(Snapshot().Control(IDC_DEVICE_LIST).rows.size(), 2u);
  EXPECT_EQ(Snapshot().Control(IDC_DEVICE_LIST).selectedRow, -1);
  EXPECT_EQ(Snapshot().Control(IDC_SETTING_GROUP).text, u"Setting");
  EXPECT_EQ(StoredValue(L"selected").bytes, TextBytes(u"USB\\VID_1FA7&PID_4D02&MI_00\\gone", true));

  // Otherwise the first device takes its place.
  StoreDword(L"streaming", 0);
  dialog = &OpenDialog();
  EXPECT_EQ(dialog->HighlightedIndex(), 0);
  EXPECT_EQ(dialog->ActiveIndex(), 0);
  EXPECT_EQ(Snapshot().Control(IDC_SETTING_GROUP).text, NameOf(machine->Pdo()));
  EXPECT_EQ(StoredValue(L"selected").bytes, TextBytes(first, false));

  // The list's ids match exactly: another letter case is not the stored device.
  std::u16string upper = InstanceIdOf(second);
  ASSERT_NE(upper.find_first_of(u"abcdef"), std::u16string::npos);
  for (char16_t& c : upper) c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
  StoreSelected(upper);
  dialog = &OpenDialog();
  EXPECT_EQ(dialog->ActiveIndex(), 0);

  // An id too long for the setting (no terminator within 256 bytes) cannot be read: none is stored.
  StoreSelected(std::u16string(150, u'A'), false);
  dialog = &OpenDialog();
  EXPECT_EQ(dialog->ActiveIndex(), 0);
  EXPECT_EQ(StoredValue(L"selected").bytes, TextBytes(first, false));
}

TEST_F(PanelInitTest, TheFirstRefreshFindsNothingToTellAndRepeatedRefreshesShowTheSame) {
  Plug("default");
  PlugSecond();
  DriverPresence driver;
  ASSERT_TRUE(driver.Created());
  CreateDefaults();
  // A rate in the table, and one that initialisation replaces.
  for (DWORD rate : {96000u, 22050u}) {
    StoreDword(L"sampling_rate", rate);
    OpenDialog();
    DropMessages();
    const std::string initial = Shown(Snapshot());
    const DWORD storedRate = StoredDword(L"sampling_rate");
    EXPECT_EQ(Dialog().OnRefresh(), 0);
    EXPECT_FALSE(driver.TakeChange()) << rate << ": nothing changed, nothing to tell";
    Dialog().OnRefresh();
    Dialog().OnRefresh();
    EXPECT_FALSE(driver.TakeChange()) << rate;
    EXPECT_EQ(Shown(Snapshot()), initial) << rate;
    EXPECT_EQ(StoredDword(L"sampling_rate"), storedRate);
    CloseDialog();
  }
}

}  // namespace
