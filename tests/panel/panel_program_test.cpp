// The control panel program as a whole on the simulated machine: started
// as the applet and the ASIO driver start it, its single-instance rule, its
// modal dialog fed by the window's queue (the registry watcher's WM_APP and
// plug and play's WM_DEVICECHANGE), and what closing it leaves behind.
#include "tests/panel/panel_program_fixture.h"

#include <string>
#include <vector>

#include "asio/asio_interface.h"
#include "asio/com/dll_entry.h"
#include "platform/kernel/registry.h"
#include "platform/win32/system_host.h"
#include "sim/clients/asio_driver_module.h"

namespace paneltest {
namespace {

using platform::win32::LiveDeviceNotifications;
using platform::win32::LiveHostWindows;
using platform::win32::WindowActivations;

std::u16string Num(long value) {
  const std::string text = std::to_string(value);
  return std::u16string(text.begin(), text.end());
}

// What a user sees, without the redraw counters: the comparison of two
// displays that must be the same.
std::u16string Shown(const sim::PanelRunSnapshot& s) {
  std::u16string out = s.view.title + u"|";
  for (const auto& [id, c] : s.view.controls) {
    out += Num(id) + u":" + c.text + (c.enabled ? u"+" : u"-");
    for (const std::u16string& row : c.rows) out += u"[" + row + u"]";
    out += u"sel" + Num(c.selectedRow) + u"pos" + Num(c.sliderPosition) + u";";
  }
  out += u"hl" + Num(s.dialog.highlightedIndex) + u"act" + Num(s.dialog.activeIndex) + u"rate" +
         Num(static_cast<long>(s.dialog.displayedRate));
  return out;
}

TEST_F(PanelProgramTest, ASecondStartActivatesTheFirstWindowAndEndsWithoutOneOfItsOwn) {
  std::unique_ptr<sim::PanelRun> first = Open();
  ASSERT_NE(first, nullptr);
  const HWND window = first->Window();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(LiveHostWindows(), windowsBefore_ + 1);
  EXPECT_TRUE(WindowActivations(window).empty());

  // A second double-click in the Control Panel.
  std::unique_ptr<sim::PanelRun> second = program_->Start();
  ASSERT_NE(second, nullptr);
  ASSERT_TRUE(second->WaitForEnd(kWaitMs));
  EXPECT_EQ(second->Outcome(), PanelAppOutcome::ActivatedExisting);
  EXPECT_FALSE(second->MadeWindow());
  EXPECT_EQ(WindowActivations(window), (std::vector<int>{SW_SHOWNORMAL, -1}));
  EXPECT_EQ(LiveHostWindows(), windowsBefore_ + 1);

  // An ASIO host's control-panel button: the setup's "ControlPanel" value
  // names the same program, and the same rule holds.
  EXPECT_TRUE(SettingsStore::LaunchControlPanel(false));
  std::unique_ptr<sim::PanelRun> third = program_->WaitForRun(2, kWaitMs);
  ASSERT_NE(third, nullptr);
  ASSERT_TRUE(third->WaitForEnd(kWaitMs));
  EXPECT_EQ(third->Outcome(), PanelAppOutcome::ActivatedExisting);
  EXPECT_FALSE(third->MadeWindow());
  EXPECT_EQ(WindowActivations(window), (std::vector<int>{SW_SHOWNORMAL, -1, SW_SHOWNORMAL, -1}));

  // The first one still serves its user.
  EXPECT_TRUE(first->WaitIdle(kWaitMs));
  EXPECT_TRUE(first->Snapshot().dialogOpen);

  // Once it has closed, a start opens a dialog again.
  CloseAndWait(*first);
  EXPECT_EQ(LiveHostWindows(), windowsBefore_);
  std::unique_ptr<sim::PanelRun> fourth = Open();
  ASSERT_NE(fourth, nullptr);
  EXPECT_TRUE(fourth->MadeWindow());
  EXPECT_TRUE(fourth->Snapshot().dialogOpen);
  CloseAndWait(*fourth);
  EXPECT_EQ(fourth->Outcome(), PanelAppOutcome::RanDialog);
}

// A host's control-panel button: the ASIO driver starts the program the
// setup's value names, without waiting, and the dialog opens.
TEST_F(PanelProgramTest, AnAsioHostsControlPanelButtonOpensTheDialogThroughTheDriver) {
  Plug("default");
  sim::InstallAsioDriverModule();
  ASSERT_EQ(sim::RunRegsvr32(), S_OK);
  platform::ClientProcess* host = platform::CreateClientProcess("asio host");
  {
    platform::ProcessScope in(host);
    CoInitialize(nullptr);
    const HMODULE module = LoadLibraryW(L"C:\\Program Files\\Velmora\\vm_usbaudio_asio.dll");
    EXPECT_NE(module, nullptr);
    typedef HRESULT(STDAPICALLTYPE * GetClassObject)(REFCLSID, REFIID, LPVOID*);
    const auto get = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetClassObject")));
    void* factory = nullptr;
    void* made = nullptr;
    if (get != nullptr && SUCCEEDED(get(CLSID_KelAsioDriver, IID_IClassFactory, &factory))) {
      static_cast<IClassFactory*>(factory)->CreateInstance(nullptr, CLSID_KelAsioDriver, &made);
      static_cast<IClassFactory*>(factory)->Release();
    }
    EXPECT_NE(made, nullptr);
    if (made != nullptr) {
      IASIO* driver = static_cast<IASIO*>(made);
      EXPECT_EQ(driver->init(nullptr), ASIOTrue);
      EXPECT_EQ(driver->controlPanel(), ASE_OK);
      std::unique_ptr<sim::PanelRun> run = program_->WaitForRun(0, kWaitMs);
      EXPECT_NE(run, nullptr);
      if (run != nullptr) {
        EXPECT_TRUE(run->WaitForDialog(kWaitMs));
        EXPECT_TRUE(run->WaitIdle(kWaitMs));
        const sim::PanelRunSnapshot s = run->Snapshot();
        EXPECT_TRUE(s.dialogOpen);
        EXPECT_EQ(s.view.title, u"Velmora USB Audio Driver");
        EXPECT_EQ(s.view.Control(IDC_DEVICE_LIST).rows.size(), 1u);
        EXPECT_TRUE(run->Close());
        EXPECT_TRUE(run->WaitForEnd(kWaitMs));
        EXPECT_EQ(run->Outcome(), PanelAppOutcome::RanDialog);
      }
      driver->Release();
    }
    FreeLibrary(module);
    CoUninitialize();
  }
  platform::EndClientProcess(host);
}

TEST_F(PanelProgramTest, ClosingStopsEveryWatcherThreadAndLeavesNoHandleWindowOrRegistration) {
  ASSERT_TRUE(platform::win32::SetProcessorLayout(1, 2, 2));  // 4 logical processors: 5 watcher threads
  Plug("default");
  std::unique_ptr<sim::PanelRun> run = Open();
  ASSERT_NE(run, nullptr);
  const sim::PanelRunSnapshot open = run->Snapshot();
  ASSERT_TRUE(open.dialogOpen);
  EXPECT_EQ(open.dialog.watcherThreads, 5u);
  EXPECT_TRUE(open.dialog.deviceNotification);
  EXPECT_TRUE(open.dialog.presenceEvent);
  EXPECT_EQ(LiveHostWindows(), windowsBefore_ + 1);
  EXPECT_EQ(LiveDeviceNotifications(), notificationsBefore_ + 1);
  // The watch loops hold a key each and wait on it.
  EXPECT_TRUE(platform::RegistryWaitForPendingWatches(5, kWaitMs));
  EXPECT_GE(platform::win32::LiveWin32Objects(), open.beforeDialog.win32Objects + 5);

  CloseAndWait(*run);
  const sim::PanelRunSnapshot closed = run->Snapshot();
  EXPECT_FALSE(closed.dialogOpen);
  ASSERT_TRUE(closed.dialogGone);
  // Right after the dialog's WM_DESTROY handling.
  EXPECT_EQ(closed.dialog.watcherThreads, 0u);
  EXPECT_FALSE(closed.dialog.deviceNotification);
  // In the program's process once the dialog object was gone, before the
  // process ended (which would close whatever was left).
  EXPECT_EQ(closed.afterDialog.win32Objects, closed.beforeDialog.win32Objects) << "watcher threads still alive";
  EXPECT_EQ(closed.afterDialog.registryKeys, closed.beforeDialog.registryKeys) << "key handles left open";
  EXPECT_EQ(closed.afterDialog.events, closed.beforeDialog.events) << "event handles left open";
  EXPECT_EQ(platform::RegistryPendingWatches(), 0u);
  // And once the process ended.
  EXPECT_EQ(LiveHostWindows(), windowsBefore_);
  EXPECT_EQ(LiveDeviceNotifications(), notificationsBefore_);
  EXPECT_TRUE(platform::win32::WaitForLiveWin32Objects(objectsBefore_, kWaitMs));
}

TEST_F(PanelProgramTest, DevicesArrivingAndLeavingThroughPlugAndPlayRefreshTheList) {
  sim::SimulatedMachine* machine = Plug("default");
  const std::u16string firstId = InstanceIdOf(machine->Pdo());
  std::unique_ptr<sim::PanelRun> run = Open();
  ASSERT_NE(run, nullptr);
  sim::PanelRunSnapshot s = run->Snapshot();
  ASSERT_EQ(s.view.Control(IDC_DEVICE_LIST).rows.size(), 1u);
  EXPECT_EQ(s.view.Control(IDC_DEVICE_LIST).selectedRow, 0);
  EXPECT_EQ(s.dialog.activeIndex, 0);
  EXPECT_EQ(StoredSelected(), firstId);
  const std::u16string firstName = s.view.Control(IDC_DEVICE_LIST).rows[0];
  const uint64_t changes = s.deviceChanges;

  // Arrival: the window hears of it and the list grows; the stored device
  // stays the one shown heavy.
  PDEVICE_OBJECT second = PlugSecond();
  ASSERT_TRUE(run->WaitUntil(
      [](const sim::PanelRunSnapshot& r) { return r.view.Control(IDC_DEVICE_LIST).rows.size() == 2; }, kWaitMs));
  ASSERT_TRUE(run->WaitIdle(kWaitMs));
  s = run->Snapshot();
  EXPECT_GT(s.deviceChanges, changes);
  EXPECT_EQ(s.view.Control(IDC_DEVICE_LIST).rows[0], firstName);
  EXPECT_EQ(s.view.Control(IDC_DEVICE_LIST).selectedRow, 0);
  EXPECT_EQ(s.dialog.activeIndex, 0);
  EXPECT_EQ(s.view.Control(IDC_SETTING_GROUP).text, firstName);
  EXPECT_EQ(StoredSelected(), firstId);

  // The second one is pulled out: back to one row.
  const uint64_t beforeRemoval = s.deviceChanges;
  PullOut(second);
  ASSERT_TRUE(run->WaitUntil(
      [](const sim::PanelRunSnapshot& r) { return r.view.Control(IDC_DEVICE_LIST).rows.size() == 1; }, kWaitMs));
  ASSERT_TRUE(run->WaitIdle(kWaitMs));
  s = run->Snapshot();
  EXPECT_GT(s.deviceChanges, beforeRemoval);
  EXPECT_EQ(s.view.Control(IDC_DEVICE_LIST).rows[0], firstName);
  EXPECT_EQ(StoredSelected(), firstId);

  CloseAndWait(*run);
}

TEST_F(PanelProgramTest, UnpluggingTheLastDeviceEmptiesTheListStoresNoDeviceAndTheDialogSettles) {
  sim::SimulatedMachine* machine = Plug("default");
  std::unique_ptr<sim::PanelRun> run = Open();
  ASSERT_NE(run, nullptr);
  ASSERT_EQ(run->Snapshot().view.Control(IDC_DEVICE_LIST).rows.size(), 1u);
  EXPECT_EQ(StoredSelected(), InstanceIdOf(machine->Pdo()));

  // The list empties and "selected" is stored empty (one NUL).
  PullOut(machine->Pdo());
  ASSERT_TRUE(run->WaitUntil(
      [](const sim::PanelRunSnapshot& r) { return r.view.Control(IDC_DEVICE_LIST).rows.empty(); }, kWaitMs));
  DWORD type = 0;
  std::vector<BYTE> bytes;
  ASSERT_TRUE(ReadValue(L"selected", &type, &bytes));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(bytes, (std::vector<BYTE>{0, 0}));
  EXPECT_EQ(run->Snapshot().view.Control(IDC_DEVICE_LIST).selectedRow, -1);

  // Storing the empty "selected" is a change the watch loops see: a dialog
  // that stores it again on every refresh never stops refreshing (and on
  // Windows fills its queue). It must settle: every loop armed again and
  // nothing left to handle.
  ASSERT_TRUE(run->WaitIdle(kWaitMs)) << "the dialog never stopped refreshing";
  ASSERT_TRUE(platform::RegistryWaitForPendingWatches(run->Snapshot().dialog.watcherThreads, kWaitMs))
      << "the watch loops keep seeing changes";
  ASSERT_TRUE(run->WaitIdle(kWaitMs));
  const uint64_t settled = run->Snapshot().refreshes;
  ASSERT_TRUE(run->WaitIdle(kWaitMs));
  EXPECT_EQ(run->Snapshot().refreshes, settled);
  EXPECT_EQ(platform::RegistryPendingWatches(), run->Snapshot().dialog.watcherThreads);
  CloseAndWait(*run);
}

TEST_F(PanelProgramTest, AnExternalBufferSizeReachesTheDialogThroughEveryWatchLoopAndTheDisplaySettles) {
  ASSERT_TRUE(platform::win32::SetProcessorLayout(1, 2, 2));  // 5 watch loops
  Plug("default");
  std::unique_ptr<sim::PanelRun> run = Open();
  ASSERT_NE(run, nullptr);
  const sim::PanelRunSnapshot before = run->Snapshot();
  const ULONG loops = before.dialog.watcherThreads;
  ASSERT_EQ(loops, 5u);
  EXPECT_EQ(before.view.Control(IDC_BUFFER_SLIDER).sliderPosition, 64);  // the default 2048

  // Another program stores 512 while every loop waits on the key: each
  // loop posts its own refresh.
  ASSERT_TRUE(platform::RegistryWaitForPendingWatches(loops, kWaitMs));
  StoreDword(kAsioSettingBufferSize, 512);
  ASSERT_TRUE(run->WaitUntil(
      [&](const sim::PanelRunSnapshot& r) { return r.refreshes >= before.refreshes + loops; }, kWaitMs));
  ASSERT_TRUE(platform::RegistryWaitForPendingWatches(loops, kWaitMs));
  ASSERT_TRUE(run->WaitIdle(kWaitMs));
  const sim::PanelRunSnapshot after = run->Snapshot();
  EXPECT_EQ(after.refreshes, before.refreshes + loops);
  EXPECT_EQ(after.view.Control(IDC_BUFFER_SLIDER).sliderPosition, 16);
  EXPECT_EQ(after.view.Control(IDC_BUFFER_LABEL).text, u"512 Samples");
  EXPECT_EQ(StoredDword(L"buffer_size"), 512u);

  // The same value stored again: as many refreshes, and the same display.
  StoreDword(kAsioSettingBufferSize, 512);
  ASSERT_TRUE(run->WaitUntil(
      [&](const sim::PanelRunSnapshot& r) { return r.refreshes >= after.refreshes + loops; }, kWaitMs));
  ASSERT_TRUE(platform::RegistryWaitForPendingWatches(loops, kWaitMs));
  ASSERT_TRUE(run->WaitIdle(kWaitMs));
  const sim::PanelRunSnapshot again = run->Snapshot();
  EXPECT_EQ(again.refreshes, after.refreshes + loops);
  EXPECT_EQ(Shown(again), Shown(after));
  CloseAndWait(*run);
}

}  // namespace
}  // namespace paneltest
