// Fixture of the registry tests: an empty registry, the test body in a
// client process ("registry test") that ends at tear-down (closing the keys
// the test left open, which completes their notifications), and no kernel
// reference left on a client event or pending notification afterwards.
#pragma once

#include "platform/kernel/client_process.h"
#include "platform/kernel/registry.h"
#include "tests/support/verifier_test.h"
// The kernel headers first: <windows.h> leaves their definitions alone.
#include <windows.h>

#include <memory>
#include <string>

#include "platform/win32/registry_host.h"

class RegistryTest : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    platform::win32::ResetRegistry();
    process_ = platform::CreateClientProcess("registry test");
    scope_ = std::make_unique<platform::ProcessScope>(process_);
  }
  void TearDown() override {
    scope_.reset();
    platform::EndClientProcess(process_);
    EXPECT_EQ(platform::RegistryPendingWatches(), 0u) << "a notification outlived its process";
    platform::win32::ResetRegistry();
    platform::VerifyNoLeaks("registry test");
    VerifiedTest::TearDown();
  }

  // An auto-reset event of the test's process.
  HANDLE NewEvent() { return platform::CreateClientEvent(process_, false, false); }
  // Whether the event is signalled now (consuming the signal).
  bool Signalled(HANDLE event, uint32_t timeoutMs = 0) {
    return platform::WaitClientEvent(process_, event, timeoutMs) == STATUS_SUCCESS;
  }

  static std::u16string User(const std::u16string& tail) {
    return platform::win32::CurrentUserRegistryPath() + u"\\" + tail;
  }

  platform::ClientProcess* process_ = nullptr;

 private:
  std::unique_ptr<platform::ProcessScope> scope_;
};

// A key the test creates below a root and closes at the end of the scope.
class ScopedKey {
 public:
  ScopedKey(HKEY root, const wchar_t* path, REGSAM sam = KEY_ALL_ACCESS) {
    DWORD disposition = 0;
    status_ = RegCreateKeyExW(root, path, 0, nullptr, 0, sam, nullptr, &key_, &disposition);
  }
  ~ScopedKey() {
    if (key_) RegCloseKey(key_);
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  HKEY get() const { return key_; }
  LSTATUS status() const { return status_; }

 private:
  HKEY key_ = nullptr;
  LSTATUS status_ = ERROR_SUCCESS;
};
