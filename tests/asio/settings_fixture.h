// Fixture of the settings store tests: an empty registry, no recorded
// process starts, the test body in a client process ("settings test") that
// ends at tear-down, and nothing left behind in the kernel afterwards.
#pragma once

#include "platform/kernel/client_process.h"
#include "platform/kernel/registry.h"
#include "tests/support/verifier_test.h"
// The kernel headers first: <windows.h> leaves their definitions alone.
#include "asio/settings/settings_store.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/process_host.h"
#include "platform/win32/registry_host.h"
#include "tests/support/settings_registry.h"

class SettingsTest : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    platform::win32::ResetRegistry();
    platform::win32::ClearStartedProcesses();
    process_ = platform::CreateClientProcess("settings test");
    scope_ = std::make_unique<platform::ProcessScope>(process_);
  }
  void TearDown() override {
    scope_.reset();
    platform::EndClientProcess(process_);
    platform::win32::ClearStartedProcesses();
    platform::win32::ResetRegistry();
    platform::VerifyNoLeaks("settings test");
    VerifiedTest::TearDown();
  }

  // The settings key, created empty by the test (64-bit view).
  static void CreateSettingsKey() {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  // A value stored under the settings key as someone else might store it.
  static void StoreValue(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    EXPECT_TRUE(settingsregistry::StoreValue(name, type, data, bytes)) << "storing a setting";
  }
  using Stored = settingsregistry::Stored;
  // What the settings key holds under `name`, read through the registry.
  static Stored StoredValue(const wchar_t* name) { return settingsregistry::StoredValue(name); }
  static bool SettingsKeyExists() { return settingsregistry::SettingsKeyExists(); }
  static std::vector<BYTE> Bytes(DWORD value, size_t size = 4) {
    std::vector<BYTE> out;
    for (size_t i = 0; i < size; ++i) out.push_back(static_cast<BYTE>(value >> (8 * i)));
    return out;
  }

  platform::ClientProcess* process_ = nullptr;

 private:
  std::unique_ptr<platform::ProcessScope> scope_;
};
