// The whole life of an adapter driver under the port library, as plug and
// play drives it: load, add, start (subdevice -> device interface), filter
// and pin, state walk, service, power, removal, unload -- with nothing left
// behind. Also the start failure, query-remove veto and surprise removal.
#include "tests/platform/portcls_fixture.h"

namespace {

using namespace portcls_test;
using fake_audio::kRenderPin;
using platform::IoCloseHandle;
using Lines = std::vector<std::string>;

TEST_F(PortclsTest, LoadStartStreamPowerRemoveUnloadLeavesNothingBehind) {
  ASSERT_EQ(pnp_->StartDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(Fake().Log(), (Lines{"driver entry", "add device", "start", "miniport init resources 0"}));

  // The filter is a KSCATEGORY_AUDIO interface "Wave" of the USB function.
  auto interfaces = platform::GetDeviceInterfaces(KSCATEGORY_AUDIO);
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_EQ(interfaces[0].referenceString, u"Wave");
  EXPECT_EQ(interfaces[0].symbolicLink.substr(0, 32), u"\\??\\USB#VID_1FA7&PID_4D02&MI_00#");
  std::u16string tail = u"#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\Wave";
  EXPECT_EQ(interfaces[0].symbolicLink.substr(interfaces[0].symbolicLink.size() - tail.size()), tail);
  EXPECT_EQ(interfaces[0].hardwareIds.at(1), u"USB\\VID_1FA7&PID_4D02&MI_00");
  EXPECT_EQ(platform::GetDeviceInterfaces(KSCATEGORY_RENDER).size(), 1u);

  // Opened the way SetupAPI hands the path to user mode: "\\?\", lower case.
  std::u16string userPath = u"\\\\?\\" + interfaces[0].symbolicLink.substr(4);
  for (auto& c : userPath)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  HANDLE filter = nullptr;
  ASSERT_EQ(platform::KsOpenFilter(userPath, &filter), STATUS_SUCCESS);
  handles_.push_back(filter);

  ULONG pins = 0;
  EXPECT_EQ(Get(filter, Property(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES), &pins), STATUS_SUCCESS);
  EXPECT_EQ(pins, fake_audio::kPinCount);

  Fake().ClearLog();
  HANDLE pin = nullptr;
  ASSERT_EQ(CreatePin(filter, RenderConnect(48000), &pin), STATUS_SUCCESS);
  // The port had the stream allocate its cyclic buffer and set the interval.
  EXPECT_EQ(Fake().Log(), (Lines{"new stream pin 0 render 48000", "allocate 19200", "notification 10"}));

  // STOP -> RUN in one request reaches the stream one state at a time.
  Fake().ClearLog();
  ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(PinState(pin), KSSTATE_RUN);
  EXPECT_EQ(Fake().Log(), (Lines{"state 0->1", "state 1->2", "state 2->3"}));

  // The miniport's Notify through its service group services the pin (in
  // the group's DPC), which reads the stream position.
  Fake().position = 1234;
  int reads = Fake().positionReads;
  Fake().port->Notify(Fake().serviceGroup);
  KeFlushQueuedDpcs();
  EXPECT_EQ(Fake().positionReads, reads + 1);
  KSAUDIO_POSITION position{};
  EXPECT_EQ(Get(pin, Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION), &position), STATUS_SUCCESS);
  EXPECT_EQ(position.PlayOffset, 1234u);

  // Power: each query goes to the adapter, then the bus; going down tells
  // the miniport and the adapter before the bus, going up the bus first.
  Fake().ClearLog();
  ASSERT_EQ(pnp_->SetDevicePower(Pdo(), PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(pnp_->SetDevicePower(Pdo(), PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Fake().Log(), (Lines{"adapter query D3", "bus power", "miniport power D3", "adapter power D3", "bus power",
                                  "adapter query D0", "bus power", "bus power", "adapter power D0",
                                  "miniport power D0"}));
  DEVICE_CAPABILITIES caps;
  ASSERT_EQ(pnp_->QueryCapabilities(Pdo(), &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.Removable, 1u);          // the bus's answer
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);  // and the adapter's

  // Closing the running pin steps it back down and releases the stream.
  Fake().ClearLog();
  Close(pin);
  EXPECT_EQ(Fake().Log(), (Lines{"state 3->2", "state 2->1", "state 1->0", "stream destroyed"}));
  EXPECT_EQ(Fake().liveStreams, 0);
  Close(filter);

  Fake().ClearLog();
  ASSERT_EQ(pnp_->RemoveDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(Fake().Log(), (Lines{"miniport destroyed"}));
  EXPECT_EQ(Fake().liveMiniports, 0);
  EXPECT_EQ(Fake().liveAdapters, 0);  // the power registration's reference is gone too
  EXPECT_TRUE(platform::GetDeviceInterfaces(KSCATEGORY_AUDIO).empty());
  EXPECT_EQ(PortDevice(), nullptr);
  pnp_->UnloadDriver();  // bug checks on any leak
  EXPECT_EQ(Fake().Log().back(), "unload");
  EXPECT_EQ(platform::OutstandingDeviceObjects(), 0u);
  EXPECT_EQ(platform::OutstandingPoolAllocations(), 0u) << platform::DescribeOutstandingPool();
}

TEST_F(PortclsTest, FailedStartReleasesThePowerRegistrationAndRegistersNothing) {
  Fake().failStartAfterPowerRegistration = true;
  EXPECT_EQ(pnp_->StartDevice(Pdo()), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(Fake().liveAdapters, 0);
  EXPECT_TRUE(platform::GetDeviceInterfaces(KSCATEGORY_AUDIO, false).empty());
  HANDLE h = nullptr;
  // The device is not started: nothing to open on it.
  EXPECT_EQ(platform::IoOpenDeviceInterface(u"\\??\\USB#VID_1FA7&PID_4D02&MI_00#x#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\Wave", &h),
            STATUS_OBJECT_NAME_NOT_FOUND);

  // A second start (after the cause went away) builds everything anew.
  Fake().failStartAfterPowerRegistration = false;
  ASSERT_EQ(pnp_->StartDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(Fake().liveAdapters, 1);
  EXPECT_EQ(platform::GetDeviceInterfaces(KSCATEGORY_AUDIO).size(), 1u);
}

TEST_F(StartedPortclsTest, OpenFilesVetoQueryRemoveAndStop) {
  EXPECT_EQ(pnp_->RemoveDevice(Pdo()), STATUS_DEVICE_BUSY);
  EXPECT_EQ(pnp_->StopDevice(Pdo()), STATUS_DEVICE_BUSY);
  // Still fully working.
  ULONG pins = 0;
  EXPECT_EQ(Get(filter_, Property(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES), &pins), STATUS_SUCCESS);
  Close(filter_);
  // Stop releases what start built; a new start builds it again.
  ASSERT_EQ(pnp_->StopDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(Fake().liveMiniports, 0);
  EXPECT_EQ(Fake().liveAdapters, 0);
  EXPECT_TRUE(platform::GetDeviceInterfaces(KSCATEGORY_AUDIO).empty());
  ASSERT_EQ(pnp_->StartDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(Fake().liveMiniports, 1);
  EXPECT_EQ(platform::GetDeviceInterfaces(KSCATEGORY_AUDIO).size(), 1u);
}

TEST_F(StartedPortclsTest, SurpriseRemovalHidesTheFilterUntilHandlesClose) {
  std::u16string path = AudioInterfacePath();
  HANDLE pin = nullptr;
  ASSERT_EQ(CreatePin(filter_, RenderConnect(), &pin), STATUS_SUCCESS);
  ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);

  ASSERT_EQ(pnp_->SurpriseRemoveDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_TRUE(platform::GetDeviceInterfaces(KSCATEGORY_AUDIO).empty());
  HANDLE again = nullptr;
  EXPECT_EQ(platform::KsOpenFilter(path, &again), STATUS_OBJECT_NAME_NOT_FOUND);
  // A new pin on the old filter is refused; the open pin still closes cleanly.
  HANDLE second = nullptr;
  EXPECT_EQ(CreatePin(filter_, RenderConnect(), &second), STATUS_DELETE_PENDING);
  Close(pin);
  Close(filter_);
  EXPECT_EQ(Fake().liveStreams, 0);
  ASSERT_EQ(pnp_->RemoveDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(Fake().liveMiniports, 0);
}

TEST_F(StartedPortclsTest, FilterStaysOpenUntilItsLastPinCloses) {
  HANDLE pin = nullptr;
  ASSERT_EQ(CreatePin(filter_, RenderConnect(), &pin), STATUS_SUCCESS);
  Close(filter_);  // the pin keeps the filter object
  EXPECT_EQ(PinState(pin), KSSTATE_STOP);
  ASSERT_EQ(SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(pnp_->RemoveDevice(Pdo()), STATUS_DEVICE_BUSY);
  Close(pin);
  EXPECT_EQ(platform::OpenHandleCount(), 0u);
}

class PortclsRules : public VerifierDeathTest {};

TEST_F(PortclsRules, RemovalWithAFileStillOpenStops) {
  EXPECT_DEATH(
      {
        fake_audio::FakeBus bus;
        platform::PnpManager pnp;
        pnp.LoadDriver(fake_audio::DriverEntry);
        pnp.AddDevice(bus.Pdo());
        pnp.StartDevice(bus.Pdo());
        HANDLE filter = nullptr;
        platform::KsOpenFilter(platform::GetDeviceInterfaces(KSCATEGORY_AUDIO).at(0).symbolicLink, &filter);
        pnp.SurpriseRemoveDevice(bus.Pdo());
        pnp.RemoveDevice(bus.Pdo());  // the client never closed its handle
      },
      "BUGCHECK PORTCLS_REMOVE_WITH_OPEN_FILES");
}

}  // namespace
