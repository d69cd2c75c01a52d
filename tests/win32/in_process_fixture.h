// Fixture for tests of the Win32 stand-ins: the test body runs in a client
// process ("test"), which ends at tear-down (closing what the test left
// open); no kernel reference may be left on a client object, nor a mutex,
// thread or process object of the Win32 layer.
#pragma once

#include <windows.h>

#include <memory>

#include "platform/kernel/client_process.h"
#include "platform/win32/process_host.h"
#include "tests/support/verifier_test.h"

class Win32Test : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    objectBaseline_ = platform::win32::LiveWin32Objects();
    process_ = platform::CreateClientProcess("test");
    scope_ = std::make_unique<platform::ProcessScope>(process_);
  }
  void TearDown() override {
    scope_.reset();
    EXPECT_TRUE(platform::win32::WaitForThreadsToLeave(process_, 10000)) << "threads left running";
    platform::EndClientProcess(process_);
    platform::VerifyNoLeaks("win32 test");
    // Programs' process objects go just after their handles are signalled.
    EXPECT_TRUE(platform::win32::WaitForLiveWin32Objects(objectBaseline_, 10000))
        << platform::win32::LiveWin32Objects() - objectBaseline_ << " mutex, thread or process objects leaked";
    VerifiedTest::TearDown();
  }

  platform::ClientProcess* process_ = nullptr;
  size_t objectBaseline_ = 0;

 private:
  std::unique_ptr<platform::ProcessScope> scope_;
};
