// The buffer-size slider: dragging shows the size, releasing stores it,
// keys and page moves store at once, each stored size is announced to
// running drivers (and only to them), a key that is gone is not created
// again, and positions outside the scale are not stored.
#include <gtest/gtest.h>

#include "tests/panel/panel_dialog_fixture.h"

namespace {

using namespace paneltest;

using PanelSliderTest = PanelDialogTest;

std::u16string Label(const sim::PanelSnapshot& s) { return s.Control(IDC_BUFFER_LABEL).text; }

TEST_F(PanelSliderTest, DraggingShowsTheSizeReleasingStoresItAndTellsOnlyARunningDriver) {
  CAsioControlPanelDlg& dialog = OpenDialog();
  // Someone holds the changed event, but no driver's presence event exists.
  HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, VM_ASIO_CHANGED_EVENT);
  ASSERT_NE(changed, nullptr);
  dialog.OnHScroll(TB_THUMBTRACK, 10);
  EXPECT_EQ(Label(Snapshot()), u"320 Samples");
  EXPECT_EQ(StoredDword(L"buffer_size"), 2048u) << "dragging stores nothing";
  dialog.OnHScroll(TB_THUMBPOSITION, 10);
  EXPECT_EQ(Label(Snapshot()), u"320 Samples");
  EXPECT_EQ(StoredDword(L"buffer_size"), 320u);
  EXPECT_EQ(WaitForSingleObject(changed, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "no driver listens";
  CloseHandle(changed);

  DriverPresence driver;
  ASSERT_TRUE(driver.Created());
  dialog.OnHScroll(TB_THUMBTRACK, 20);
  EXPECT_EQ(Label(Snapshot()), u"640 Samples");
  EXPECT_FALSE(driver.TakeChange());
  EXPECT_EQ(StoredDword(L"buffer_size"), 320u);
  dialog.OnHScroll(TB_THUMBPOSITION, 20);
  EXPECT_EQ(StoredDword(L"buffer_size"), 640u);
  EXPECT_TRUE(driver.TakeChange());
  EXPECT_EQ(StoredValue(L"buffer_size").type, static_cast<DWORD>(REG_DWORD));
}

TEST_F(PanelSliderTest, KeysAndPageMovesStoreTheSlidersPositionAtOnce) {
  CAsioControlPanelDlg& dialog = OpenDialog();
  DriverPresence driver;
  struct Case {
    int code;
    int position;  // where the trackbar moved before it reported
  };
  const Case cases[] = {{TB_LINEUP, 63}, {TB_LINEDOWN, 65}, {TB_PAGEUP, 44},
                        {TB_PAGEDOWN, 84}, {TB_TOP, 2},      {TB_BOTTOM, 120}};
  for (const Case& c : cases) {
    View().UserMovesSlider(IDC_BUFFER_SLIDER, c.position);
    // These codes report no position: the slider's own counts.
    dialog.OnHScroll(c.code, 7);
    EXPECT_EQ(StoredDword(L"buffer_size"), static_cast<DWORD>(c.position) * 32) << c.code;
    WCHAR label[32];
    FormatBufferSizeLabel(c.position, label, 32);
    EXPECT_EQ(Label(Snapshot()), U16(label)) << c.code;
    EXPECT_TRUE(driver.TakeChange()) << c.code;
  }
  // The end of a move and codes above it change nothing.
  for (int code : {TB_ENDTRACK, TB_ENDTRACK + 1}) {
    View().UserMovesSlider(IDC_BUFFER_SLIDER, 50);
    dialog.OnHScroll(code, 50);
    EXPECT_EQ(StoredDword(L"buffer_size"), 3840u) << code;
    EXPECT_EQ(Label(Snapshot()), u"3840 Samples") << code;
    EXPECT_FALSE(driver.TakeChange()) << code;
  }
}

TEST_F(PanelSliderTest, WithTheKeyGoneTheWriteIsSkippedButDriversAreStillTold) {
  CAsioControlPanelDlg& dialog = OpenDialog();
  DriverPresence driver;
  DeleteSettingsKey();
  View().UserMovesSlider(IDC_BUFFER_SLIDER, 30);
  dialog.OnHScroll(TB_PAGEDOWN, 0);
  EXPECT_EQ(Label(Snapshot()), u"960 Samples");
  EXPECT_FALSE(SettingsKeyExists()) << "a write does not create the key";
  EXPECT_TRUE(driver.TakeChange());
  dialog.OnHScroll(TB_THUMBPOSITION, 40);
  EXPECT_FALSE(SettingsKeyExists());
  EXPECT_TRUE(driver.TakeChange());
}

TEST_F(PanelSliderTest, ReportedPositionsOutsideTheScaleAreNotStored) {
  CAsioControlPanelDlg& dialog = OpenDialog();
  dialog.OnHScroll(TB_THUMBPOSITION, 0);
  EXPECT_EQ(StoredDword(L"buffer_size"), 64u);
  EXPECT_EQ(Label(Snapshot()), u"64 Samples");
  dialog.OnHScroll(TB_THUMBPOSITION, 1000);
  EXPECT_EQ(StoredDword(L"buffer_size"), 3840u);
  dialog.OnHScroll(TB_THUMBTRACK, -5);
  EXPECT_EQ(Label(Snapshot()), u"64 Samples");
}

}  // namespace
