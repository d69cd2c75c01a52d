// Starting the control panel from the path the setup recorded in HKLM
// (64-bit view): a missing, mistyped or overlong value is a failure; a
// present one starts that program with flags 0x30, no command line and a
// zeroed STARTUPINFOW, waits for it when asked, closes both handles, and
// counts as success even when the program could not be started.
#include <atomic>
#include <thread>

#include "tests/asio/settings_fixture.h"
#include "tests/support/waitable_count.h"

namespace {

constexpr wchar_t kPanelPath[] = L"C:\\Program Files\\Velmora\\vm_usbaudio_cpl.exe";
constexpr char16_t kPanelPath16[] = u"C:\\Program Files\\Velmora\\vm_usbaudio_cpl.exe";

class ControlPanelLaunchTest : public SettingsTest {
 protected:
  void TearDown() override {
    platform::win32::UnregisterProgram(kPanelPath16);
    SettingsTest::TearDown();
  }

  // HKLM "...\Velmora ASIO Device Setup" "ControlPanel" in the given view.
  static void StoreSetupValue(DWORD type, const void* data, DWORD bytes, REGSAM view = KEY_WOW64_64KEY) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, VM_ASIO_SETUP_KEY, 0, nullptr, 0, KEY_WRITE | view, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, VM_ASIO_CONTROL_PANEL_VALUE, 0, type, static_cast<const BYTE*>(data), bytes),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  static void StorePanelPath(REGSAM view = KEY_WOW64_64KEY) {
    StoreSetupValue(REG_SZ, kPanelPath, sizeof kPanelPath, view);
  }

  // The one start that was asked for: application name only, flags 0x30,
  // no inherited handles, a zeroed STARTUPINFOW.
  static void ExpectOneStartOf(const std::u16string& path) {
    const auto started = platform::win32::StartedProcesses();
    ASSERT_EQ(started.size(), 1u);
    const platform::win32::StartedProcess& s = started[0];
    EXPECT_TRUE(s.hasApplicationName);
    EXPECT_EQ(s.applicationName, path);
    EXPECT_FALSE(s.hasCommandLine);
    EXPECT_FALSE(s.hasCurrentDirectory);
    EXPECT_EQ(s.creationFlags, 0x30u);
    EXPECT_FALSE(s.inheritHandles);
    ASSERT_TRUE(s.hasStartupInfo);
    const STARTUPINFOW zero{};
    EXPECT_EQ(memcmp(&s.startupInfo, &zero, sizeof zero), 0);
  }
};

TEST_F(ControlPanelLaunchTest, AMissingOrUnusableValueIsAFailureAndStartsNothing) {
  EXPECT_FALSE(SettingsStore::LaunchControlPanel(false)) << "no key";
  const DWORD number = 1;
  StoreSetupValue(REG_DWORD, &number, sizeof number);
  EXPECT_FALSE(SettingsStore::LaunchControlPanel(false)) << "not REG_SZ";
  StoreSetupValue(REG_EXPAND_SZ, kPanelPath, sizeof kPanelPath);
  EXPECT_FALSE(SettingsStore::LaunchControlPanel(false)) << "REG_EXPAND_SZ is not REG_SZ";
  wchar_t tooLong[130];
  for (wchar_t& c : tooLong) c = L'p';
  tooLong[129] = 0;
  StoreSetupValue(REG_SZ, tooLong, sizeof tooLong);
  EXPECT_FALSE(SettingsStore::LaunchControlPanel(false)) << "more than 256 bytes";
  // Only in the 32-bit view: a 64-bit lookup does not see it.
  platform::win32::ResetRegistry();
  StorePanelPath(KEY_WOW64_32KEY);
  EXPECT_FALSE(SettingsStore::LaunchControlPanel(false)) << "found in the 32-bit view";
  EXPECT_TRUE(platform::win32::StartedProcesses().empty());
}

TEST_F(ControlPanelLaunchTest, APresentPathCountsAsSuccessEvenWhenTheProgramIsMissing) {
  StorePanelPath();
  EXPECT_TRUE(SettingsStore::LaunchControlPanel(false));
  ExpectOneStartOf(kPanelPath16);
  EXPECT_EQ(platform::win32::StartedProcesses()[0].error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(ControlPanelLaunchTest, AThirtyTwoBitHostFindsThePathInTheSixtyFourBitView) {
  StorePanelPath();
  platform::ClientProcess* host32 = platform::CreateClientProcess("32-bit host", true);
  {
    platform::ProcessScope in(host32);
    EXPECT_TRUE(SettingsStore::LaunchControlPanel(false));
  }
  platform::EndClientProcess(host32);
  ExpectOneStartOf(kPanelPath16);
}

TEST_F(ControlPanelLaunchTest, AnUnterminatedPathOfTheFullSizeIsUsedTerminated) {
  wchar_t full[128];
  for (wchar_t& c : full) c = L'q';
  StoreSetupValue(REG_SZ, full, sizeof full);
  EXPECT_TRUE(SettingsStore::LaunchControlPanel(false));
  ExpectOneStartOf(std::u16string(128, u'q'));
}

TEST_F(ControlPanelLaunchTest, WaitingReturnsOnlyOnceTheProgramHasEnded) {
  StorePanelPath();
  WaitableCount started;
  std::atomic<bool> finished{false};
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"panel may end");
  ASSERT_NE(release, nullptr);
  platform::win32::RegisterProgram(kPanelPath16, [&](const std::u16string&) -> DWORD {
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, L"panel may end");
    started.Add();
    const DWORD waited = WaitForSingleObject(go, 10000);
    CloseHandle(go);
    finished = true;
    return waited;
  });
  const size_t objects = platform::win32::LiveWin32Objects();

  std::atomic<bool> launched{false};
  std::atomic<bool> finishedAtReturn{false};
  std::thread launcher([&] {
    platform::ProcessScope in(process_);
    launched = SettingsStore::LaunchControlPanel(true);
    finishedAtReturn = finished.load();
  });
  ASSERT_TRUE(started.WaitFor(1));
  ASSERT_TRUE(SetEvent(release));
  launcher.join();
  EXPECT_TRUE(launched);
  EXPECT_TRUE(finishedAtReturn) << "returned while the control panel still ran";
  ExpectOneStartOf(kPanelPath16);
  // The process and thread handles were closed: their objects go.
  EXPECT_TRUE(platform::win32::WaitForLiveWin32Objects(objects, 10000));
  CloseHandle(release);
}

TEST_F(ControlPanelLaunchTest, WithoutWaitingItReturnsWhileTheProgramRuns) {
  StorePanelPath();
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"panel may end");
  ASSERT_NE(release, nullptr);
  WaitableCount started;
  platform::win32::RegisterProgram(kPanelPath16, [&](const std::u16string&) -> DWORD {
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, L"panel may end");
    started.Add();
    const DWORD waited = WaitForSingleObject(go, 10000);
    CloseHandle(go);
    return waited;
  });
  const size_t objects = platform::win32::LiveWin32Objects();
  WaitableCount returned;
  std::thread launcher([&] {
    platform::ProcessScope in(process_);
    if (SettingsStore::LaunchControlPanel(false)) returned.Add();
  });
  // The program only ends once released, so returning first proves no wait.
  EXPECT_TRUE(returned.WaitFor(1)) << "waited for the control panel";
  ASSERT_TRUE(SetEvent(release));
  launcher.join();
  ASSERT_TRUE(started.WaitFor(1));
  ExpectOneStartOf(kPanelPath16);
  EXPECT_TRUE(platform::win32::WaitForLiveWin32Objects(objects, 10000));
  CloseHandle(release);
}

}  // namespace
