// Pins of the port library's filter: the connect request checks (pin id,
// communication, interface, medium, format size and range), instance
// limits, state stepping and its failures, data format changes, and pin
// properties reaching the driver with the stream as minor target.
#include "tests/platform/portcls_fixture.h"

namespace {

using namespace portcls_test;
using fake_audio::kBridgePin;
using fake_audio::kPrivateSet;
using fake_audio::kRenderPin;
using fake_audio::kVolumeNode;
using Lines = std::vector<std::string>;

class Pins : public StartedPortclsTest {
 protected:
  ULONG CurrentInstances(ULONG pin) {
    KSPIN_CINSTANCES c{};
    EXPECT_EQ(Get(filter_, PinProperty(KSPROPERTY_PIN_CINSTANCES, pin), &c), STATUS_SUCCESS);
    return c.CurrentCount;
  }
  // Asserts that a refused connect changed nothing.
  void ExpectRefused(const std::vector<UCHAR>& connect, NTSTATUS expected) {
    size_t handles = platform::OpenHandleCount();
    HANDLE pin = nullptr;
    EXPECT_EQ(CreatePin(filter_, connect, &pin), expected);
    EXPECT_EQ(pin, nullptr);
    EXPECT_EQ(platform::OpenHandleCount(), handles);
    EXPECT_EQ(Fake().newStreams, 0);
    EXPECT_EQ(CurrentInstances(kRenderPin), 0u);
  }
};

std::vector<UCHAR> WithFormatSize(std::vector<UCHAR> connect, ULONG size) {
  memcpy(connect.data() + sizeof(KSPIN_CONNECT), &size, sizeof size);
  return connect;
}

TEST_F(Pins, BadConnectRequestsAreRefusedBeforeTheMiniport) {
  ExpectRefused(RenderConnect(48000, 2, 16, 5), STATUS_INVALID_PARAMETER);                 // no such pin
  ExpectRefused(RenderConnect(48000, 2, 16, kBridgePin), STATUS_INVALID_DEVICE_REQUEST);    // bridge pin
  ExpectRefused(RenderConnect(8000), STATUS_NO_MATCH);                                      // rate out of range
  ExpectRefused(RenderConnect(48000, 6), STATUS_NO_MATCH);                                  // too many channels
  ExpectRefused(RenderConnect(48000, 2, 8), STATUS_NO_MATCH);                               // too few bits
  auto connect = RenderConnect();
  ExpectRefused(WithFormatSize(connect, 200), STATUS_INVALID_BUFFER_SIZE);  // claims more than it brings
  ExpectRefused(WithFormatSize(connect, 40), STATUS_INVALID_BUFFER_SIZE);   // less than a KSDATAFORMAT
  ExpectRefused(std::vector<UCHAR>(connect.begin(), connect.begin() + sizeof(KSPIN_CONNECT)),
                STATUS_INVALID_BUFFER_SIZE);
  // A wave format whose extra bytes run past the format.
  auto extra = connect;
  WORD cbSize = 22;
  memcpy(extra.data() + sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + offsetof(WAVEFORMATEX, cbSize), &cbSize,
         sizeof cbSize);
  ExpectRefused(extra, STATUS_INVALID_BUFFER_SIZE);
  // An interface the pin does not offer.
  auto looped = connect;
  ULONG id = KSINTERFACE_STANDARD_LOOPED_STREAMING;
  memcpy(looped.data() + offsetof(KSPIN_CONNECT, Interface) + offsetof(KSIDENTIFIER, Id), &id, sizeof id);
  ExpectRefused(looped, STATUS_NO_MATCH);
}

TEST_F(Pins, InstanceLimitsHoldAcrossCreateAndClose) {
  HANDLE first = nullptr, second = nullptr;
  ASSERT_EQ(CreatePin(filter_, RenderConnect(), &first), STATUS_SUCCESS);
  EXPECT_EQ(CurrentInstances(kRenderPin), 1u);
  EXPECT_EQ(CreatePin(filter_, RenderConnect(44100), &second), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Fake().newStreams, 1);
  KSPIN_CINSTANCES global{};
  EXPECT_EQ(Get(filter_, PinProperty(KSPROPERTY_PIN_GLOBALCINSTANCES, kRenderPin), &global), STATUS_SUCCESS);
  EXPECT_EQ(global.PossibleCount, 1u);
  EXPECT_EQ(global.CurrentCount, 1u);
  // The global limit covers a second filter instance too.
  HANDLE otherFilter = OpenFilter();
  EXPECT_EQ(CreatePin(otherFilter, RenderConnect(), &second), STATUS_INSUFFICIENT_RESOURCES);
  Close(first);
  EXPECT_EQ(CurrentInstances(kRenderPin), 0u);
  ASSERT_EQ(CreatePin(otherFilter, RenderConnect(44100), &second), STATUS_SUCCESS);
  EXPECT_EQ(Fake().newStreams, 2);
}

TEST_F(Pins, StateChangesStepOneStateAtATime) {
  HANDLE pin = nullptr;
  ASSERT_EQ(CreatePin(filter_, RenderConnect(), &pin), STATUS_SUCCESS);
  Fake().ClearLog();
  ULONG bytes = 0;
  ULONG seven = 7;
  EXPECT_EQ(Request(pin, Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET), &seven,
                    sizeof seven, &bytes),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(PinState(pin), KSSTATE_STOP);
  USHORT shortState = 1;
  EXPECT_EQ(Request(pin, Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET),
                    &shortState, sizeof shortState, &bytes),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(Fake().Log().empty());

  // A stream that cannot run stops the walk where it failed.
  Fake().failRun = true;
  EXPECT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(PinState(pin), KSSTATE_PAUSE);
  EXPECT_EQ(Fake().Log(), (Lines{"state 0->1", "state 1->2"}));
  Fake().failRun = false;
  ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(Fake().Log(), (Lines{"state 0->1", "state 1->2", "state 2->3", "state 3->2", "state 2->1"}));
  EXPECT_EQ(PinState(pin), KSSTATE_ACQUIRE);
}

TEST_F(Pins, DataFormatChangesGoThroughTheStream) {
  HANDLE pin = nullptr;
  ASSERT_EQ(CreatePin(filter_, RenderConnect(48000), &pin), STATUS_SUCCESS);
  KSDATAFORMAT_WAVEFORMATEX format{};
  ULONG bytes = 0;
  KSPROPERTY get = Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT);
  KSPROPERTY set = Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_SET);
  ASSERT_EQ(Get(pin, get, &format, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(bytes, sizeof format);
  EXPECT_EQ(format.WaveFormatEx.nSamplesPerSec, 48000u);

  Fake().ClearLog();
  std::vector<UCHAR> newer = RenderConnect(96000);
  KSDATAFORMAT_WAVEFORMATEX wanted;
  memcpy(&wanted, newer.data() + sizeof(KSPIN_CONNECT), sizeof wanted);
  ASSERT_EQ(Request(pin, set, &wanted, sizeof wanted, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(Fake().Log(), (Lines{"set format 96000"}));
  ASSERT_EQ(Get(pin, get, &format), STATUS_SUCCESS);
  EXPECT_EQ(format.WaveFormatEx.nSamplesPerSec, 96000u);

  // Outside the pin's ranges: refused by the port, the stream never sees it.
  memcpy(&wanted, RenderConnect(8000).data() + sizeof(KSPIN_CONNECT), sizeof wanted);
  EXPECT_EQ(Request(pin, set, &wanted, sizeof wanted, &bytes), STATUS_NO_MATCH);
  // Refused by the stream while running: the old format stays.
  ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  memcpy(&wanted, RenderConnect(44100).data() + sizeof(KSPIN_CONNECT), sizeof wanted);
  EXPECT_EQ(Request(pin, set, &wanted, sizeof wanted, &bytes), STATUS_INVALID_DEVICE_REQUEST);
  ASSERT_EQ(Get(pin, get, &format), STATUS_SUCCESS);
  EXPECT_EQ(format.WaveFormatEx.nSamplesPerSec, 96000u);
}

TEST_F(Pins, PinAndNodePropertiesNameTheStream) {
  HANDLE pin = nullptr;
  ASSERT_EQ(CreatePin(filter_, RenderConnect(), &pin), STATUS_SUCCESS);
  LONG value = 0;
  ASSERT_EQ(Get(pin, Property(kPrivateSet, fake_audio::kPrivatePinId), &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x1009);
  ASSERT_EQ(Fake().requests.size(), 1u);
  EXPECT_EQ(Fake().requests[0].minor, static_cast<PUNKNOWN>(Fake().lastStream));
  EXPECT_EQ(Fake().requests[0].node, KSFILTER_NODE);
  ASSERT_EQ(Get(pin, NodeProperty(KSPROPERTY_AUDIO_VOLUMELEVEL, kVolumeNode, 0), &value), STATUS_SUCCESS);
  EXPECT_EQ(Fake().requests.back().minor, static_cast<PUNKNOWN>(Fake().lastStream));
  EXPECT_EQ(Fake().requests.back().node, kVolumeNode);
  // The filter's own table is not the pin's.
  EXPECT_EQ(Get(pin, Property(kPrivateSet, fake_audio::kPrivateFilterId), &value), STATUS_NOT_FOUND);
  EXPECT_EQ(Get(pin, Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_PRIORITY), &value), STATUS_NOT_FOUND);
}

}  // namespace
