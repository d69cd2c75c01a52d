// Fixture of the control panel program's tests: the kernel driver on a
// simulated machine (Plug, PlugAnother), an empty registry, the test body
// in a client process of its own (which has no window: the program's
// single-instance search must find only the program's), and the program
// installed at its Windows path. Runs are started as the applet starts
// them and driven through PanelRun; at tear-down every dialog still open is
// closed and every Win32 object the runs made must be gone.
#pragma once

#include "tests/kslib/kslib_fixture.h"

#include <memory>
#include <string>
#include <vector>

#include "asio/settings/settings_store.h"
#include "panel/panel_resources.h"
#include "platform/win32/process_host.h"
#include "platform/win32/registry_host.h"
#include "platform/win32/window_host.h"
#include "sim/clients/control_panel_program.h"

namespace paneltest {

// Generous: a loaded 2-core machine runs several suites at once.
constexpr DWORD kWaitMs = 20000;

class PanelProgramTest : public kslibtest::MachineTest {
 protected:
  void SetUp() override {
    platform::win32::ResetRegistry();
    platform::win32::ClearStartedProcesses();
    kslibtest::MachineTest::SetUp();
    windowsBefore_ = platform::win32::LiveHostWindows();
    notificationsBefore_ = platform::win32::LiveDeviceNotifications();
    objectsBefore_ = platform::win32::LiveWin32Objects();
    program_ = std::make_unique<sim::ControlPanelProgram>();
    program_->CountObjectsAfterDialog(true);
  }
  void TearDown() override {
    program_.reset();  // closes what a failed test left open
    EXPECT_TRUE(platform::win32::WaitForLiveWin32Objects(objectsBefore_, kWaitMs))
        << platform::win32::LiveWin32Objects() << " Win32 objects alive, " << objectsBefore_ << " before";
    EXPECT_EQ(platform::win32::LiveHostWindows(), windowsBefore_);
    EXPECT_EQ(platform::win32::LiveDeviceNotifications(), notificationsBefore_);
    kslibtest::MachineTest::TearDown();
    platform::win32::ClearStartedProcesses();
    platform::win32::ResetRegistry();
  }

  // Starts the program as the applet does and waits until its dialog is
  // initialised and has handled what the start set off.
  std::unique_ptr<sim::PanelRun> Open() {
    std::unique_ptr<sim::PanelRun> run = program_->Start();
    EXPECT_NE(run, nullptr);
    if (run == nullptr) return nullptr;
    EXPECT_TRUE(run->WaitForDialog(kWaitMs));
    EXPECT_TRUE(run->WaitIdle(kWaitMs));
    return run;
  }
  // WM_CLOSE, then the process ends.
  static void CloseAndWait(sim::PanelRun& run) {
    EXPECT_TRUE(run.Close());
    EXPECT_TRUE(run.WaitForEnd(kWaitMs));
  }

  // A second device on the machine's bus with its own instance id and name.
  PDEVICE_OBJECT PlugSecond() {
    return PlugAnother("default", [](platform::PhysicalDeviceInfo& info) {
      info.instanceId = u"6&1a2b3c4d&0&0002";
      info.description = u"Velmora Second DAC";
    });
  }
  // The device is pulled out (plug and play's surprise removal; the
  // removal ends once nothing holds it).
  void PullOut(PDEVICE_OBJECT pdo) {
    ASSERT_EQ(machines_.front()->Pnp().SurpriseRemoveDevice(pdo), STATUS_SUCCESS);
  }
  static std::u16string InstanceIdOf(PDEVICE_OBJECT pdo) { return platform::DeviceInstancePath(DeviceInfoOf(pdo)); }

  // ---- the settings as other programs see them ------------------------------

  static bool ReadValue(const wchar_t* name, DWORD* type, std::vector<BYTE>* bytes) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
      return false;
    BYTE data[1024];
    DWORD size = sizeof data;
    const bool ok = RegQueryValueExW(key, name, nullptr, type, data, &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (ok) bytes->assign(data, data + size);
    return ok;
  }
  static DWORD StoredDword(const wchar_t* name) {
    DWORD type = 0;
    std::vector<BYTE> b;
    if (!ReadValue(name, &type, &b) || type != REG_DWORD || b.size() != 4) return 0xFFFFFFFFu;
    return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<DWORD>(b[3]) << 24);
  }
  // "selected" up to its first NUL.
  static std::u16string StoredSelected() {
    DWORD type = 0;
    std::vector<BYTE> b;
    if (!ReadValue(L"selected", &type, &b)) return u"<missing>";
    std::u16string text;
    for (size_t i = 0; i + 1 < b.size(); i += 2) {
      const char16_t c = static_cast<char16_t>(b[i] | (b[i + 1] << 8));
      if (c == 0) break;
      text.push_back(c);
    }
    return text;
  }
  // Another program stores a DWORD setting (the key with its defaults first).
  static void StoreDword(int id, DWORD value) {
    SettingsStore store(SettingsBuild::ControlPanel);
    DWORD scratch[64] = {};
    store.Read(id, scratch, sizeof scratch);
    ASSERT_EQ(store.Write(id, &value, sizeof value), 0);
  }

  std::unique_ptr<sim::ControlPanelProgram> program_;
  size_t windowsBefore_ = 0;
  size_t notificationsBefore_ = 0;
  size_t objectsBefore_ = 0;
};

}  // namespace paneltest
