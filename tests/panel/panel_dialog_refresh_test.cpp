// The device choice and the refresh (WM_APP) against the settings and the
// devices of the simulated machine: a choice stores the device unless a
// host streams, devices arriving and leaving, the stored device gone while
// a host streams (the first one is stored and the driver told), the slider
// following the streamed device, and sizes and rates written by others.
#include <gtest/gtest.h>

#include "panel/list_box_drawing.h"
#include "tests/panel/panel_dialog_fixture.h"

namespace {

using namespace paneltest;

using PanelRefreshTest = PanelDialogTest;

TEST_F(PanelRefreshTest, ChoosingAnotherDeviceStoresItWithoutTellingTheDriver) {
  sim::SimulatedMachine* machine = Plug("default");
  PDEVICE_OBJECT second = PlugSecond();
  DriverPresence driver;
  CAsioControlPanelDlg& dialog = OpenDialog();
  const unsigned redraws = Snapshot().windowRedraws;

  ChooseRow(1);
  EXPECT_EQ(dialog.HighlightedIndex(), 1);
  EXPECT_EQ(dialog.ActiveIndex(), 1);
  EXPECT_EQ(Snapshot().Control(IDC_SETTING_GROUP).text, NameOf(second));
  // The characters only, without a terminator; drivers find it on their next change.
  EXPECT_EQ(StoredValue(L"selected").bytes, TextBytes(InstanceIdOf(second), false));
  EXPECT_FALSE(driver.TakeChange());
  EXPECT_GT(Snapshot().windowRedraws, redraws);

  // No row chosen: nothing happens.
  ChooseRow(-1);
  EXPECT_EQ(dialog.HighlightedIndex(), 1);
  EXPECT_EQ(Snapshot().Control(IDC_SETTING_GROUP).text, NameOf(second));

  ChooseRow(0);
  EXPECT_EQ(dialog.ActiveIndex(), 0);
  EXPECT_EQ(Snapshot().Control(IDC_SETTING_GROUP).text, NameOf(machine->Pdo()));
  EXPECT_EQ(StoredValue(L"selected").bytes, TextBytes(InstanceIdOf(machine->Pdo()), false));
}

TEST_F(PanelRefreshTest, WhileAHostStreamsAChoiceOnlyMovesTheHighlightAndTheSliderFollowsTheStreamedRow) {
  sim::SimulatedMachine* machine = Plug("default");
  PDEVICE_OBJECT second = PlugSecond();
  const std::u16string first = InstanceIdOf(machine->Pdo());
  CreateDefaults();
  StoreSelected(first);
  StoreDword(L"streaming", 1);
  DriverPresence driver;
  CAsioControlPanelDlg& dialog = OpenDialog();
  ASSERT_EQ(dialog.ActiveIndex(), 0);

  ChooseRow(1);
  EXPECT_EQ(dialog.HighlightedIndex(), 1);
  EXPECT_EQ(dialog.ActiveIndex(), 0);
  EXPECT_EQ(Snapshot().Control(IDC_SETTING_GROUP).text, NameOf(second));
  EXPECT_EQ(StoredValue(L"selected").bytes, TextBytes(first, true)) << "the streamed device stays stored";
  // The streamed device's row stays heavy while the other one is highlighted.
  EXPECT_TRUE(DecideListRowLook(0, false, false, dialog.ActiveIndexPointer()).heavy);
  EXPECT_FALSE(DecideListRowLook(1, true, true, dialog.ActiveIndexPointer()).heavy);

  // The size only applies to the streamed device's row.
  dialog.OnRefresh();
  EXPECT_FALSE(Snapshot().Control(IDC_BUFFER_SLIDER).enabled);
  EXPECT_EQ(Snapshot().Control(IDC_DEVICE_LIST).selectedRow, 1);
  EXPECT_EQ(dialog.HighlightedIndex(), 1);
  EXPECT_FALSE(driver.TakeChange());
  ChooseRow(0);
  dialog.OnRefresh();
  EXPECT_TRUE(Snapshot().Control(IDC_BUFFER_SLIDER).enabled);

  // The host stops: the next refresh enables the slider and a choice stores again.
  ChooseRow(1);
  dialog.OnRefresh();
  EXPECT_FALSE(Snapshot().Control(IDC_BUFFER_SLIDER).enabled);
  StoreDword(L"streaming", 0);
  dialog.OnRefresh();
  EXPECT_TRUE(Snapshot().Control(IDC_BUFFER_SLIDER).enabled);
  EXPECT_EQ(dialog.HighlightedIndex(), 0) << "the stored device is highlighted again";
  ChooseRow(1);
  EXPECT_EQ(dialog.ActiveIndex(), 1);
  EXPECT_EQ(StoredValue(L"selected").bytes, TextBytes(InstanceIdOf(second), false));
  EXPECT_FALSE(driver.TakeChange());
}

TEST_F(PanelRefreshTest, TheStreamedDeviceArrivingLaterBecomesActiveWithRowZeroHighlighted) {
  sim::SimulatedMachine* machine = Plug("default");
  CreateDefaults();
  const std::u16string secondId = u"USB\\VID_1FA7&PID_4D02&MI_00\\6&1a2b3c4d&0&0002";
  StoreSelected(secondId);
  StoreDword(L"streaming", 1);
  CAsioControlPanelDlg& dialog = OpenDialog();
  ASSERT_EQ(dialog.ActiveIndex(), -1);

  PDEVICE_OBJECT second = PlugSecond();
  ASSERT_EQ(InstanceIdOf(second), secondId);
  dialog.OnRefresh();
  EXPECT_EQ(dialog.ActiveIndex(), 1);
  EXPECT_EQ(dialog.HighlightedIndex(), 0);
  EXPECT_EQ(Snapshot().Control(IDC_DEVICE_LIST).selectedRow, 0);
  EXPECT_EQ(Snapshot().Control(IDC_SETTING_GROUP).text, NameOf(machine->Pdo()));
  EXPECT_FALSE(Snapshot().Control(IDC_BUFFER_SLIDER).enabled);
  EXPECT_EQ(StoredValue(L"selected").bytes, TextBytes(secondId, true));
}

TEST_F(PanelRefreshTest, UnpluggingEmptiesTheListStoresNoDeviceAndLetsTheDeviceGo) {
  sim::SimulatedMachine* machine = Plug("default");
  CAsioControlPanelDlg& dialog = OpenDialog();
  DropMessages();
  DriverPresence driver;
  PullOut(machine->Pdo());
  EXPECT_EQ(dialog.OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, 0), TRUE);
  ASSERT_TRUE(PumpUntil(WM_APP, 0)) << "the removal asks for a refresh";
  const sim::PanelSnapshot s = Snapshot();
  EXPECT_TRUE(s.Control(IDC_DEVICE_LIST).rows.empty());
  EXPECT_EQ(dialog.HighlightedIndex(), 0);
  EXPECT_EQ(dialog.ActiveIndex(), 0);
  const Stored selected = StoredValue(L"selected");
  EXPECT_EQ(selected.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(selected.bytes, (std::vector<BYTE>{0, 0}));
  EXPECT_FALSE(driver.TakeChange()) << "no host streams";
  // The dialog let go of the filter: the removal completes.
  EXPECT_EQ(FinishRemoval(machine->Pdo()), STATUS_SUCCESS);
}

TEST_F(PanelRefreshTest, UnpluggingWhileAHostStreamsEnablesTheSliderAndTellsTheDriver) {
  sim::SimulatedMachine* machine = Plug("default");
  CreateDefaults();
  StoreSelected(InstanceIdOf(machine->Pdo()));
  StoreDword(L"streaming", 1);
  CAsioControlPanelDlg& dialog = OpenDialog();
  DriverPresence driver;
  View().EnableControl(IDC_BUFFER_SLIDER, false);  // as another row's highlight leaves it
  PullOut(machine->Pdo());
  dialog.OnRefresh();
  EXPECT_TRUE(Snapshot().Control(IDC_DEVICE_LIST).rows.empty());
  EXPECT_TRUE(Snapshot().Control(IDC_BUFFER_SLIDER).enabled);
  EXPECT_EQ(StoredValue(L"selected").bytes, (std::vector<BYTE>{0, 0}));
  EXPECT_TRUE(driver.TakeChange());
  EXPECT_EQ(FinishRemoval(machine->Pdo()), STATUS_SUCCESS);
}

TEST_F(PanelRefreshTest, AnArrivingDeviceIsListedAndTheStoredOneKept) {
  sim::SimulatedMachine* machine = Plug("default");
  CAsioControlPanelDlg& dialog = OpenDialog();
  DropMessages();
  DriverPresence driver;
  PDEVICE_OBJECT second = PlugSecond();
  EXPECT_EQ(dialog.OnDeviceChange(DBT_DEVICEARRIVAL, 0), TRUE);
  ASSERT_TRUE(PumpUntil(WM_APP, 0));
  EXPECT_EQ(Snapshot().Control(IDC_DEVICE_LIST).rows,
            (std::vector<std::u16string>{NameOf(machine->Pdo()), NameOf(second)}));
  EXPECT_EQ(Snapshot().Control(IDC_DEVICE_LIST).selectedRow, 0);
  EXPECT_EQ(dialog.ActiveIndex(), 0);
  EXPECT_EQ(StoredValue(L"selected").bytes, TextBytes(InstanceIdOf(machine->Pdo()), false));
  EXPECT_FALSE(driver.TakeChange());
}

TEST_F(PanelRefreshTest, TheStoredDeviceGoneTheFirstIsStoredAndAStreamingDriverTold) {
  sim::SimulatedMachine* machine = Plug("default");
  const std::u16string first = InstanceIdOf(machine->Pdo());
  DriverPresence driver;
  CreateDefaults();
  const char16_t* ids[] = {u"6&1a2b3c4d&0&0007", u"6&1a2b3c4d&0&0008"};
  for (DWORD streaming : {1u, 0u}) {
    const char16_t* instance = ids[streaming];
    PDEVICE_OBJECT other = PlugAnother("default", [instance](platform::PhysicalDeviceInfo& info) {
      info.instanceId = instance;
      info.description = u"Velmora Other DAC";
    });
    StoreSelected(InstanceIdOf(other));
    StoreDword(L"streaming", streaming);
    CAsioControlPanelDlg& dialog = OpenDialog();
    ASSERT_EQ(dialog.ActiveIndex(), 1) << streaming;
    PullOut(other);
    dialog.OnRefresh();
    EXPECT_EQ(Snapshot().Control(IDC_DEVICE_LIST).rows, std::vector<std::u16string>{NameOf(machine->Pdo())});
    EXPECT_EQ(dialog.ActiveIndex(), 0) << streaming;
    EXPECT_EQ(dialog.HighlightedIndex(), 0) << streaming;
    EXPECT_EQ(Snapshot().Control(IDC_DEVICE_LIST).selectedRow, 0);
    EXPECT_EQ(Snapshot().Control(IDC_SETTING_GROUP).text, NameOf(machine->Pdo()));
    EXPECT_EQ(StoredValue(L"selected").bytes, TextBytes(first, false)) << streaming;
    EXPECT_EQ(driver.TakeChange(), streaming != 0) << "only a streaming driver is told, " << streaming;
    EXPECT_EQ(FinishRemoval(other), STATUS_SUCCESS);
    CloseDialog();
  }
}

TEST_F(PanelRefreshTest, SizesAndRatesWrittenByOthersAreShownAndRateChangesTold) {
  CAsioControlPanelDlg& dialog = OpenDialog();
  DriverPresence driver;
  StoreDword(L"buffer_size", 512);
  StoreDword(L"sampling_rate", 96000);
  EXPECT_EQ(dialog.OnRefresh(), 0);
  EXPECT_EQ(Snapshot().Control(IDC_BUFFER_SLIDER).sliderPosition, 16);
  EXPECT_EQ(Snapshot().Control(IDC_BUFFER_LABEL).text, u"512 Samples");
  EXPECT_EQ(Snapshot().Control(IDC_RATE_COMBO).selectedRow, 4);
  EXPECT_EQ(dialog.RateIndex(), 4);
  EXPECT_EQ(dialog.DisplayedRate(), 96000u);
  EXPECT_TRUE(driver.TakeChange());
  dialog.OnRefresh();
  EXPECT_FALSE(driver.TakeChange()) << "shown already: nothing to tell";

  // A size alone is the other program's business.
  StoreDword(L"buffer_size", 5000);
  dialog.OnRefresh();
  EXPECT_EQ(Snapshot().Control(IDC_BUFFER_SLIDER).sliderPosition, 120);
  EXPECT_EQ(Snapshot().Control(IDC_BUFFER_LABEL).text, u"3840 Samples");
  EXPECT_EQ(StoredDword(L"buffer_size"), 5000u);
  EXPECT_FALSE(driver.TakeChange());

  // A rate outside the table, then none at all: 32000 is stored and told.
  StoreDword(L"sampling_rate", 22050);
  dialog.OnRefresh();
  EXPECT_EQ(Snapshot().Control(IDC_RATE_COMBO).selectedRow, 0);
  EXPECT_EQ(dialog.DisplayedRate(), 32000u);
  EXPECT_EQ(StoredDword(L"sampling_rate"), 32000u);
  EXPECT_TRUE(driver.TakeChange());
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY, 0, KEY_WRITE | KEY_WOW64_64KEY, &key),
            ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValueW(key, L"sampling_rate"), ERROR_SUCCESS);
  RegCloseKey(key);
  dialog.OnRefresh();
  EXPECT_EQ(StoredDword(L"sampling_rate"), 32000u);
  EXPECT_TRUE(driver.TakeChange());
  dialog.OnRefresh();
  EXPECT_FALSE(driver.TakeChange());
}

// Every write under the settings key wakes the registry watcher, which asks
// for a refresh: a refresh that finds nothing new must write nothing, or the
// dialog would refresh without end.
TEST_F(PanelRefreshTest, ARefreshThatFindsNothingNewWritesNothing) {
  sim::SimulatedMachine* machine = Plug("default");
  CAsioControlPanelDlg& dialog = OpenDialog();
  SettingsWrites writes;
  ASSERT_TRUE(writes.Watching());
  dialog.OnRefresh();
  EXPECT_FALSE(writes.Take()) << "a device listed and stored";
  StoreDword(L"buffer_size", 512);
  ASSERT_TRUE(writes.Take());
  dialog.OnRefresh();
  EXPECT_FALSE(writes.Take()) << "a size written by another program";

  // The last device goes: the empty id is stored once.
  PullOut(machine->Pdo());
  dialog.OnRefresh();
  EXPECT_EQ(StoredValue(L"selected").bytes, (std::vector<BYTE>{0, 0}));
  EXPECT_TRUE(writes.Take());
  dialog.OnRefresh();
  EXPECT_FALSE(writes.Take()) << "no device, the empty id stored already";
  StoreDword(L"streaming", 1);
  ASSERT_TRUE(writes.Take());
  DriverPresence driver;
  dialog.OnRefresh();
  EXPECT_FALSE(writes.Take()) << "no device while a host streams";
  EXPECT_TRUE(driver.TakeChange());
  EXPECT_EQ(FinishRemoval(machine->Pdo()), STATUS_SUCCESS);

  // A stored id that cannot be read is replaced by the empty one, once.
  Store(L"selected", REG_BINARY, "\x01\x02", 2);
  ASSERT_TRUE(writes.Take());
  dialog.OnRefresh();
  EXPECT_EQ(StoredValue(L"selected").type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(StoredValue(L"selected").bytes, (std::vector<BYTE>{0, 0}));
  EXPECT_TRUE(writes.Take());
  dialog.OnRefresh();
  EXPECT_FALSE(writes.Take());
}

}  // namespace
