// Loading the driver and starting it on the simulated device through the
// plug-and-play manager and the port library: the debugger lines, the one
// "Wave" subdevice, and a start that fails at any step leaving nothing
// behind (the manager's unload bug-checks on any leak).
#include <gtest/gtest.h>

#include "driver/runtime/pool_tags.h"
#include "tests/driver/started_driver_fixture.h"

namespace drivertest {
namespace {

using DriverStartTest = DriverOnBusTest;

TEST_F(DriverStartTest, StartsWithOneWaveSubdevice) {
  ASSERT_EQ(pnp_->LoadDriver(DriverEntry), STATUS_SUCCESS);
  EXPECT_TRUE(Printed("UsbAudio!DriverEntry\n"));
  ASSERT_EQ(pnp_->AddDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_TRUE(AudioInterfaces().empty()) << "nothing before the start";
  ASSERT_EQ(pnp_->StartDevice(Pdo()), STATUS_SUCCESS);

  const auto interfaces = AudioInterfaces();
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_EQ(interfaces[0].referenceString, u"Wave");
  EXPECT_EQ(interfaces[0].pdo, Pdo());
  // The filter opens: the miniport gave the port its description.
  HANDLE filter = nullptr;
  ASSERT_EQ(platform::KsOpenFilter(interfaces[0].symbolicLink, &filter), STATUS_SUCCESS);
  EXPECT_EQ(platform::IoCloseHandle(filter), STATUS_SUCCESS);
  // The device was configured and put in PCM mode by the adapter.
  EXPECT_TRUE(device_->IsConfigured());
  EXPECT_EQ(model_->InterfaceMode(1), 0);

  // The port library's references keep adapter and miniport alive until removal.
  EXPECT_EQ(platform::OutstandingPoolAllocations(POOLTAG_ADAPTER), 2u);
  EXPECT_EQ(pnp_->RemoveDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(platform::OutstandingPoolAllocations(POOLTAG_ADAPTER), 0u);
  pnp_->UnloadDriver();
  EXPECT_TRUE(Printed("UsbAudio!DriverUnload\n"));
}

TEST_F(DriverStartTest, PowerCapabilitiesAllowSurpriseRemoval) {
  ASSERT_EQ(pnp_->LoadDriver(DriverEntry), STATUS_SUCCESS);
  ASSERT_EQ(pnp_->AddDevice(Pdo()), STATUS_SUCCESS);
  ASSERT_EQ(pnp_->StartDevice(Pdo()), STATUS_SUCCESS);
  DEVICE_CAPABILITIES caps = {};
  ASSERT_EQ(pnp_->QueryCapabilities(Pdo(), &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
  // Back to D0 the device gets its transport mode again.
  device_->ClearControlLog();
  ASSERT_EQ(pnp_->SetDevicePower(Pdo(), PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(pnp_->SetDevicePower(Pdo(), PowerDeviceD0), STATUS_SUCCESS);
  size_t modes = 0;
  for (const sim::ControlLogEntry& e : device_->ControlLog()) {
    if (e.setup.bmRequestType == 0x41 && e.setup.bRequest == 0) ++modes;
  }
  EXPECT_EQ(modes, 2u);
}

TEST_F(DriverStartTest, AFailedInitFailsTheStart) {
  Unplug();
  ASSERT_NO_FATAL_FAILURE(PlugIn("default", false));
  ASSERT_EQ(pnp_->LoadDriver(DriverEntry), STATUS_SUCCESS);
  ASSERT_EQ(pnp_->AddDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(pnp_->StartDevice(Pdo()), STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(AudioInterfaces().empty());
  EXPECT_EQ(platform::OutstandingPoolAllocations(POOLTAG_ADAPTER), 0u);
  EXPECT_EQ(platform::OutstandingPoolAllocations(POOLTAG_USB), 0u);
}

// Each step of the start failing in turn: the status of that step comes
// back, no subdevice is registered, and the driver's objects are gone at
// once (the unload after removal checks everything else).
TEST_F(DriverStartTest, EveryFailingStepReleasesEverything) {
  struct Injection {
    const char* what;
    ULONG tag;
    long nth;
    NTSTATUS expected;
  };
  const Injection injections[] = {
      {"adapter object", POOLTAG_ADAPTER, 0, STATUS_INSUFFICIENT_RESOURCES},
      {"adapter Init", POOLTAG_USB, 0, STATUS_INSUFFICIENT_RESOURCES},
      {"wave port", platform::PoolTag("PcPt"), 0, STATUS_INSUFFICIENT_RESOURCES},
      {"wave miniport", POOLTAG_ADAPTER, 1, STATUS_INSUFFICIENT_RESOURCES},
      {"service group", platform::PoolTag("PcSg"), 0, STATUS_INSUFFICIENT_RESOURCES},
      {"subdevice registration", platform::PoolTag("IoDi"), 0, STATUS_INSUFFICIENT_RESOURCES},
  };
  for (const Injection& injection : injections) {
    SCOPED_TRACE(injection.what);
    Unplug();
    ASSERT_NO_FATAL_FAILURE(PlugIn("default"));
    ASSERT_EQ(pnp_->LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(pnp_->AddDevice(Pdo()), STATUS_SUCCESS);
    platform::FailPoolAllocation(injection.tag, injection.nth);
    EXPECT_EQ(pnp_->StartDevice(Pdo()), injection.expected);
    platform::ResetFaultInjection();
    EXPECT_TRUE(AudioInterfaces().empty());
    EXPECT_EQ(platform::OutstandingPoolAllocations(POOLTAG_ADAPTER), 0u);
    EXPECT_EQ(platform::OutstandingPoolAllocations(POOLTAG_USB), 0u);
  }
  // Any USB-layer allocation of the start failing, one after the other: the
  // start fails cleanly, or goes on without what it could do without. The
  // unload after each removal finds nothing left.
  Unplug();
  ASSERT_NO_FATAL_FAILURE(PlugIn("default"));
  ASSERT_EQ(pnp_->LoadDriver(DriverEntry), STATUS_SUCCESS);
  ASSERT_EQ(pnp_->AddDevice(Pdo()), STATUS_SUCCESS);
  const uint64_t before = platform::TotalPoolAllocations(POOLTAG_USB);
  ASSERT_EQ(pnp_->StartDevice(Pdo()), STATUS_SUCCESS);
  const long allocations = static_cast<long>(platform::TotalPoolAllocations(POOLTAG_USB) - before);
  ASSERT_GT(allocations, 20);
  long failedStarts = 0;
  for (long nth = 0; nth < allocations; ++nth) {
    Unplug();
    ASSERT_NO_FATAL_FAILURE(PlugIn("default"));
    ASSERT_EQ(pnp_->LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(pnp_->AddDevice(Pdo()), STATUS_SUCCESS);
    platform::FailPoolAllocation(POOLTAG_USB, nth);
    const NTSTATUS status = pnp_->StartDevice(Pdo());
    platform::ResetFaultInjection();
    if (!NT_SUCCESS(status)) {
      ++failedStarts;
      ASSERT_TRUE(AudioInterfaces().empty()) << "allocation " << nth;
      ASSERT_EQ(platform::OutstandingPoolAllocations(POOLTAG_USB), 0u) << "allocation " << nth;
      ASSERT_EQ(platform::OutstandingPoolAllocations(POOLTAG_ADAPTER), 0u) << "allocation " << nth;
    } else {
      ASSERT_EQ(AudioInterfaces().size(), 1u) << "allocation " << nth;
    }
  }
  EXPECT_GT(failedStarts, allocations / 2);
}

}  // namespace
}  // namespace drivertest
