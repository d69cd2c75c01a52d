// Fixture for tests of the Win32 stand-ins: the test body runs in a client
// process ("test"), which ends at tear-down (closing what the test left
// open); no kernel reference may be left on a client object.
#pragma once

#include <windows.h>

#include <memory>

#include "platform/kernel/client_process.h"
#include "tests/support/verifier_test.h"

class Win32Test : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    process_ = platform::CreateClientProcess("test");
    scope_ = std::make_unique<platform::ProcessScope>(process_);
  }
  void TearDown() override {
    scope_.reset();
    platform::EndClientProcess(process_);
    platform::VerifyNoLeaks("win32 test");
    VerifiedTest::TearDown();
  }

  platform::ClientProcess* process_ = nullptr;

 private:
  std::unique_ptr<platform::ProcessScope> scope_;
};
