// Fixture for the Win32 system stand-in tests: the body runs in a client
// process, with every system setting (modules, version, processor layout,
// MMCSS and timer records) at its default before and after.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "platform/kernel/client_process.h"
#include "platform/win32/system_host.h"

class SystemStandInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::win32::ResetSystemStandIns();
    process_ = platform::CreateClientProcess("system-test");
    scope_ = std::make_unique<platform::ProcessScope>(process_);
  }
  void TearDown() override {
    scope_.reset();
    platform::EndClientProcess(process_);
    platform::win32::ResetSystemStandIns();
  }

  platform::ClientProcess* process_ = nullptr;

 private:
  std::unique_ptr<platform::ProcessScope> scope_;
};
