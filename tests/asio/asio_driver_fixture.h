// Fixture of the ASIO driver tests: the kernel driver on a simulated
// machine (Plug), a client process the test body runs in (the host's
// process), an empty registry, and the driver object created through its
// class table row as a host gets it, released at tear-down if the test
// did not.
#pragma once

#include "tests/kslib/kslib_fixture.h"

#include "asio/com/class_factory.h"
#include "asio/com/dll_entry.h"
#include "asio/driver/kel_asio_driver.h"
#include "platform/win32/process_host.h"
#include "platform/win32/registry_host.h"
#include "tests/asio/asio_driver_access.h"

namespace asiotest {

using Access = CKelAsioDriverTestAccess;

class AsioDriverTest : public kslibtest::MachineTest {
 protected:
  void SetUp() override {
    platform::win32::ResetRegistry();
    platform::win32::ClearStartedProcesses();
    kslibtest::MachineTest::SetUp();
  }
  void TearDown() override {
    ReleaseDriver();
    kslibtest::MachineTest::TearDown();
    platform::win32::ClearStartedProcesses();
    platform::win32::ResetRegistry();
  }

  // A new driver object through the creation function, as the class factory
  // makes it; null when the process already has one.
  IASIO* CreateDriver() {
    HRESULT result = S_OK;
    CUnknown* unknown = CKelAsioDriver::CreateInstance(nullptr, &result);
    if (unknown == nullptr || FAILED(result)) return nullptr;
    void* asio = nullptr;
    if (FAILED(unknown->NonDelegatingQueryInterface(CLSID_KelAsioDriver, &asio))) return nullptr;
    driver_ = static_cast<IASIO*>(asio);
    return driver_;
  }
  CKelAsioDriver& Driver() { return *static_cast<CKelAsioDriver*>(driver_); }
  void ReleaseDriver() {
    if (driver_ != nullptr) driver_->Release();
    driver_ = nullptr;
  }

  // Stores a DWORD setting as the control panel would (the key is created
  // with its defaults first).
  static void StoreSetting(int id, DWORD value) {
    SettingsStore store;
    DWORD scratch[64] = {};
    store.Read(id, scratch, sizeof(scratch));
    store.Write(id, &value, sizeof(value));
  }

  IASIO* driver_ = nullptr;
};

}  // namespace asiotest
