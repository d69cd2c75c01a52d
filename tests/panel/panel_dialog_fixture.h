// Fixture of the control panel tests: the kernel driver on a simulated
// machine for devices (Plug, PlugAnother, removal), an empty registry, the
// test body in a client process with a top-level window titled as the
// dialog, a view model of the dialog's controls on that window, and the
// dialog logic driven from the test thread as its UI thread. Helpers read
// and write the settings as other programs would, pump the window's queue
// as the dialog's message loop does, see whether the settings were written,
// and stand in for a running ASIO driver's settings events.
#pragma once

#include "tests/kslib/kslib_fixture.h"

#include <commctrl.h>
#include <dbt.h>
#include <winuser.h>

#include <memory>
#include <string>
#include <vector>

#include "asio/settings/settings_store.h"
#include "panel/control_panel_dialog.h"
#include "panel/panel_resources.h"
#include "panel/panel_tables.h"
#include "platform/win32/process_host.h"
#include "platform/win32/registry_host.h"
#include "platform/win32/window_host.h"
#include "sim/clients/panel_view_model.h"
#include "tests/support/settings_registry.h"

namespace paneltest {

// What a user sees of a text: UTF-16 as the view model keeps it.
inline std::u16string U16(const WCHAR* text) { return platform::ToU16(text); }

// A running ASIO driver as the control panel sees it: its settings event
// set (presence, changed, ...) created in a process of its own. Changes
// signalled to it are taken one at a time (the changed event is auto-reset).
class DriverPresence {
 public:
  DriverPresence() : process_(platform::CreateClientProcess("asio host")) {
    platform::ProcessScope in(process_);
    created_ = store_.CreateEvents();
  }
  ~DriverPresence() {
    {
      platform::ProcessScope in(process_);
      store_.CloseEvents();
    }
    platform::EndClientProcess(process_);
  }
  DriverPresence(const DriverPresence&) = delete;
  DriverPresence& operator=(const DriverPresence&) = delete;

  bool Created() const { return created_; }
  // True when the control panel signalled a change since the last call.
  bool TakeChange() {
    platform::ProcessScope in(process_);
    return WaitForSingleObject(store_.ChangedEvent(), 0) == WAIT_OBJECT_0;
  }

 private:
  platform::ClientProcess* process_;
  SettingsStore store_;
  bool created_ = false;
};

// Whether anything under the settings key was written (a value set or
// deleted, a subkey added or removed) since the last look: what wakes the
// control panel's registry watcher.
class SettingsWrites {
 public:
  SettingsWrites() {
    event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    opened_ = RegOpenKeyExW(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY, 0, KEY_NOTIFY | KEY_WOW64_64KEY, &key_) ==
                  ERROR_SUCCESS &&
              Arm();
  }
  ~SettingsWrites() {
    if (key_ != nullptr) RegCloseKey(key_);
    CloseHandle(event_);
  }
  SettingsWrites(const SettingsWrites&) = delete;
  SettingsWrites& operator=(const SettingsWrites&) = delete;

  bool Watching() const { return opened_; }
  // True when something was written since the last call (or construction).
  bool Take() {
    if (WaitForSingleObject(event_, 0) != WAIT_OBJECT_0) return false;
    Arm();
    return true;
  }

 private:
  bool Arm() {
    return RegNotifyChangeKeyValue(key_, TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, event_, TRUE) ==
           ERROR_SUCCESS;
  }
  HKEY key_ = nullptr;
  HANDLE event_ = nullptr;
  bool opened_ = false;
};

class PanelDialogTest : public kslibtest::MachineTest {
 protected:
  void SetUp() override {
    platform::win32::ResetRegistry();
    platform::win32::ClearStartedProcesses();
    kslibtest::MachineTest::SetUp();
    window_ = platform::win32::CreateHostWindow(u"Velmora USB Audio Driver");
    view_ = std::make_unique<sim::PanelViewModel>(window_);
  }
  void TearDown() override {
    CloseDialog();
    view_.reset();
    if (window_ != nullptr) platform::win32::DestroyHostWindow(window_);
    window_ = nullptr;
    kslibtest::MachineTest::TearDown();
    platform::win32::ClearStartedProcesses();
    platform::win32::ResetRegistry();
  }

  // ---- the dialog -----------------------------------------------------------

  // A new dialog, initialised as WM_INITDIALOG does, on fresh controls
  // (as the dialog template makes them) of the same window.
  CAsioControlPanelDlg& OpenDialog() {
    CloseDialog();
    view_ = std::make_unique<sim::PanelViewModel>(window_);
    dialog_ = std::make_unique<CAsioControlPanelDlg>(*view_);
    EXPECT_EQ(dialog_->OnInitDialog(), TRUE);
    return *dialog_;
  }
  // WM_DESTROY, then the dialog object goes (as the modal run ends).
  void CloseDialog() {
    if (dialog_ == nullptr) return;
    dialog_->OnDestroy();
    dialog_.reset();
  }
  CAsioControlPanelDlg& Dialog() { return *dialog_; }
  sim::PanelViewModel& View() { return *view_; }
  sim::PanelSnapshot Snapshot() const { return view_->Snapshot(); }
  HWND Window() const { return window_; }

  // The user clicks a row of the device list.
  void ChooseRow(LONG row) {
    view_->UserSelectsRow(IDC_DEVICE_LIST, row);
    dialog_->OnDeviceChoice();
  }

  // Dispatches what the window's queue holds as the dialog's message loop
  // would (WM_APP refreshes, WM_DEVICECHANGE); the number of refreshes run.
  int PumpMessages() {
    int refreshes = 0;
    platform::win32::WindowMessage m;
    while (platform::win32::TakeWindowMessage(window_, &m, 0)) refreshes += Dispatch(m);
    return refreshes;
  }
  // Dispatches messages until one of `message` (with `wParam` unless -1)
  // has been dispatched; false when none came within `timeoutMs`.
  bool PumpUntil(UINT message, WPARAM wParam, DWORD timeoutMs = 10000) {
    platform::win32::WindowMessage m;
    while (platform::win32::TakeWindowMessage(window_, &m, timeoutMs)) {
      Dispatch(m);
      if (m.message == message && (wParam == static_cast<WPARAM>(-1) || m.wParam == wParam)) return true;
    }
    return false;
  }
  int Dispatch(const platform::win32::WindowMessage& m) {
    if (dialog_ == nullptr) return 0;
    if (m.message == WM_APP) {
      dialog_->OnRefresh();
      return 1;
    }
    if (m.message == WM_DEVICECHANGE) dialog_->OnDeviceChange(m.wParam, m.lParam);
    return 0;
  }
  // Drops what the queue holds (refreshes the test runs itself).
  void DropMessages() {
    platform::win32::WindowMessage m;
    while (platform::win32::TakeWindowMessage(window_, &m, 0)) {
    }
  }

  // ---- devices --------------------------------------------------------------

  // A second supported device with its own instance id and name.
  PDEVICE_OBJECT PlugSecond(const char16_t* name = u"Velmora Second DAC") {
    return PlugAnother("default", [name](platform::PhysicalDeviceInfo& info) {
      info.instanceId = u"6&1a2b3c4d&0&0002";
      info.description = name;
    });
  }
  // The instance id the device list shows for a device.
  static std::u16string InstanceIdOf(PDEVICE_OBJECT pdo) { return platform::DeviceInstancePath(DeviceInfoOf(pdo)); }
  static std::u16string NameOf(PDEVICE_OBJECT pdo) { return DeviceInfoOf(pdo).description; }
  // The device is pulled out: its interfaces go at once, the removal ends
  // once every handle is closed (Finish).
  void PullOut(PDEVICE_OBJECT pdo) {
    ASSERT_EQ(machines_.front()->Pnp().SurpriseRemoveDevice(pdo), STATUS_SUCCESS);
  }
  NTSTATUS FinishRemoval(PDEVICE_OBJECT pdo) { return machines_.front()->Pnp().RemoveDevice(pdo); }

  // ---- settings as other programs see them ----------------------------------

  using Stored = settingsregistry::Stored;
  static Stored StoredValue(const wchar_t* name) { return settingsregistry::StoredValue(name); }
  // A REG_DWORD value; `fallback` when missing or of another type.
  static DWORD StoredDword(const wchar_t* name, DWORD fallback = 0xFFFFFFFFu) {
    const Stored s = StoredValue(name);
    if (!s.present || s.type != REG_DWORD || s.bytes.size() != 4) return fallback;
    return s.bytes[0] | (s.bytes[1] << 8) | (s.bytes[2] << 16) | (static_cast<DWORD>(s.bytes[3]) << 24);
  }
  static std::vector<BYTE> TextBytes(const std::u16string& text, bool terminator) {
    std::vector<BYTE> out;
    for (char16_t c : text) {
      out.push_back(static_cast<BYTE>(c));
      out.push_back(static_cast<BYTE>(c >> 8));
    }
    if (terminator) out.insert(out.end(), {0, 0});
    return out;
  }
  // Writes a value under the settings key, creating the key (empty) first
  // when it is missing.
  static void Store(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    ASSERT_TRUE(settingsregistry::StoreValue(name, type, data, bytes)) << "storing a setting";
  }
  static void StoreDword(const wchar_t* name, DWORD value) { Store(name, REG_DWORD, &value, sizeof value); }
  static void StoreFormat(BYTE format) { Store(L"format", REG_BINARY, &format, 1); }
  static void StoreSelected(const std::u16string& id, bool terminator = true) {
    const std::vector<BYTE> bytes = TextBytes(id, terminator);
    Store(L"selected", REG_SZ, bytes.data(), static_cast<DWORD>(bytes.size()));
  }
  // The settings as a first read leaves them: the key with its defaults.
  static void CreateDefaults() {
    SettingsStore store(SettingsBuild::ControlPanel);
    DWORD scratch = 0;
    EXPECT_EQ(store.Read(kAsioSettingBufferSize, &scratch, sizeof scratch), kSettingsOk);
  }
  static bool SettingsKeyExists() { return settingsregistry::SettingsKeyExists(); }
  static void DeleteSettingsKey() {
    ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY), ERROR_SUCCESS);
    RegDeleteKeyW(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY);
  }

  HWND window_ = nullptr;
  std::unique_ptr<sim::PanelViewModel> view_;
  std::unique_ptr<CAsioControlPanelDlg> dialog_;
};

}  // namespace paneltest
