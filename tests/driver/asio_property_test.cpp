// The low-latency channel's private properties as a client process sends
// them: the driver started on the simulated machine, the "Wave" filter and
// its pins opened through the I/O manager from an unprivileged process, every
// request an IOCTL_KS_PROPERTY through the port library. Covers what the
// client can get wrong (sizes, order, handles, state) and that the kernel's
// block, mapping and event reference live exactly as long as the pin.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/asiochannel/asio_protocol.h"
#include "driver/uac/property_handlers.h"
#include "platform/kernel/client_process.h"
#include "tests/driver/streaming_fixture.h"
#include "tests/driver/asio_buffer_info.h"

namespace drivertest {
namespace {

constexpr uint32_t kInt16LSB = 16;
constexpr uint32_t kInt32LSB = 18;
constexpr uint32_t kDSDInt8MSB1 = 33;
constexpr ULONG kGet = KSPROPERTY_TYPE_GET;
constexpr ULONG kSet = KSPROPERTY_TYPE_SET;
const PcmFormat kFormat{2, 16, 48000};

// The request of id 0 as the client lays it out: count, frames, entries,
// padded to the 16·count bytes the client sends.
std::vector<uint8_t> BuffersInstance(uint32_t frames, std::vector<std::pair<uint32_t, uint32_t>> entries) {
  std::vector<uint32_t> words{static_cast<uint32_t>(entries.size()), frames};
  for (const auto& e : entries) {
    words.push_back(e.first);
    words.push_back(e.second);
  }
  words.resize(std::max<size_t>(words.size(), 4 * entries.size()), 0);
  std::vector<uint8_t> bytes(words.size() * 4);
  memcpy(bytes.data(), words.data(), bytes.size());
  return bytes;
}

using asiotest::Info;
using asiotest::Entry64;

class AsioPropertyTest : public StreamingTest {
 protected:
  void SetUp() override {
    StreamingTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(StartOn(Profile()));
    renderPinId_ = StreamingPin(false);
    capturePinId_ = StreamingPin(true);
    client_ = platform::CreateClientProcess("asio-client", Is32BitClient());
    platform::ProcessScope scope(client_);
    ASSERT_EQ(platform::KsOpenFilter(AudioInterfaces()[0].symbolicLink, &clientFilter_), STATUS_SUCCESS);
  }

  void TearDown() override {
    if (client_ != nullptr) {
      {
        platform::ProcessScope scope(client_);
        for (HANDLE pin : pins_) {
          EXPECT_EQ(platform::IoCloseHandle(pin), STATUS_SUCCESS);
        }
        pins_.clear();
        if (clientFilter_ != nullptr) {
          EXPECT_EQ(platform::IoCloseHandle(clientFilter_), STATUS_SUCCESS);
        }
      }
      EXPECT_EQ(platform::UserMappingCount(client_), 0u);
      platform::EndClientProcess(client_);
    }
    StreamingTest::TearDown();
  }

  virtual bool Is32BitClient() const { return false; }
  virtual const char* Profile() const { return "default"; }

  // A streaming pin opened by the client in the test format.
  HANDLE ClientPin(bool capture) {
    const std::vector<UCHAR> connect =
        ks_requests::PcmPinConnect(capture ? capturePinId_ : renderPinId_, kFormat.channels, kFormat.bits, kFormat.rate);
    platform::ProcessScope scope(client_);
    HANDLE pin = nullptr;
    EXPECT_EQ(platform::KsCreatePin(clientFilter_, connect.data(), ULONG(connect.size()), &pin), STATUS_SUCCESS);
    if (pin != nullptr) pins_.push_back(pin);
    return pin;
  }

  void ClosePin(HANDLE pin) {
    platform::ProcessScope scope(client_);
    pins_.erase(std::find(pins_.begin(), pins_.end(), pin));
    EXPECT_EQ(platform::IoCloseHandle(pin), STATUS_SUCCESS);
  }

  // A private property from the client: KSPROPERTY + instance, value buffer.
  NTSTATUS Asio(HANDLE target, ULONG id, ULONG flags, const void* instance, size_t instanceBytes, void* value,
                ULONG valueBytes, ULONG* returned = nullptr) {
    std::vector<uint8_t> input(sizeof(KSPROPERTY) + instanceBytes);
    const KSPROPERTY property = ks_requests::Property(KSPROPSETID_AsioChannel, id, flags);
    memcpy(input.data(), &property, sizeof property);
    if (instanceBytes != 0) memcpy(input.data() + sizeof property, instance, instanceBytes);
    platform::ProcessScope scope(client_);
    ULONG n = 0;
    const NTSTATUS status = platform::KsProperty(target, input.data(), ULONG(input.size()), value, valueBytes, &n);
    if (returned) *returned = n;
    return status;
  }
  NTSTATUS SetBuffers(HANDLE pin, const std::vector<uint8_t>& instance, size_t bytes = SIZE_MAX) {
    return Asio(pin, KSPROPERTY_ASIO_BUFFERS, kSet, instance.data(), std::min(bytes, instance.size()), nullptr, 0);
  }
  NTSTATUS GetBuffers(HANDLE pin, std::vector<uint8_t>* value) {
    return Asio(pin, KSPROPERTY_ASIO_BUFFERS, kGet, nullptr, 0, value->data(), ULONG(value->size()));
  }
  // The handle as the client's bitness sends it.
  NTSTATUS EventRequest(HANDLE pin, ULONG id, HANDLE event) {
    const uint64_t value = reinterpret_cast<uintptr_t>(event);
    return Asio(pin, id, kSet, &value, Is32BitClient() ? 4 : 8, nullptr, 0);
  }

  NTSTATUS SetState(HANDLE pin, KSSTATE state) {
    const KSPROPERTY property =
        ks_requests::Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET);
    platform::ProcessScope scope(client_);
    ULONG n = 0;
    return platform::KsProperty(pin, &property, sizeof property, &state, sizeof state, &n);
  }

  platform::ClientProcess* client_ = nullptr;
  HANDLE clientFilter_ = nullptr;
  std::vector<HANDLE> pins_;
  ULONG renderPinId_ = 0;
  ULONG capturePinId_ = 0;
};

class AsioProperty32BitTest : public AsioPropertyTest {
 protected:
  bool Is32BitClient() const override { return true; }
};

class AsioPropertyDsdTest : public AsioPropertyTest {
 protected:
  const char* Profile() const override { return "dsd"; }
};

TEST_F(AsioPropertyTest, MalformedBufferRequestsAreRefusedAndTheBuffersAreMadeOncePerPin) {
  HANDLE pin = ClientPin(false);
  ASSERT_NE(pin, nullptr);
  const size_t poolBefore = platform::OutstandingPoolAllocations();
  std::vector<uint8_t> none = BuffersInstance(256, {{kInt32LSB, 0}});
  none[0] = 0;  // count 0
  EXPECT_EQ(SetBuffers(pin, none), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(SetBuffers(pin, BuffersInstance(256, {{kInt32LSB, 0}}), 15), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(SetBuffers(pin, BuffersInstance(256, {{kInt32LSB, 0}, {kInt32LSB, 1}}), 23), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(SetBuffers(pin, BuffersInstance(256, {{kInt32LSB, 0}, {kInt32LSB, 2}})), STATUS_INVALID_DEVICE_REQUEST)
      << "channel 2 of a 2-channel pin";
  EXPECT_EQ(SetBuffers(pin, BuffersInstance(255, {{kInt32LSB, 0}})), STATUS_INVALID_DEVICE_REQUEST);
  std::vector<uint8_t> wrapping = BuffersInstance(256, {{kInt32LSB, 0}});
  const uint32_t hugeCount = 0x20000001u;
  memcpy(wrapping.data(), &hugeCount, 4);
  EXPECT_EQ(SetBuffers(pin, wrapping), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(platform::OutstandingPoolAllocations(), poolBefore);
  EXPECT_EQ(platform::UserMappingCount(client_), 0u);

  // 24 bytes for two entries is enough (8 + 8·count).
  EXPECT_EQ(SetBuffers(pin, BuffersInstance(256, {{kInt32LSB, 0}, {kInt32LSB, 1}}), 24), STATUS_SUCCESS);
  EXPECT_EQ(platform::UserMappingCount(client_), 1u);
  EXPECT_EQ(SetBuffers(pin, BuffersInstance(256, {{kInt32LSB, 0}})), STATUS_INVALID_DEVICE_REQUEST);
  ClosePin(pin);
  EXPECT_EQ(platform::UserMappingCount(client_), 0u) << "closing the pin removes the mapping";
  pin = ClientPin(false);
  EXPECT_EQ(SetBuffers(pin, BuffersInstance(256, {{kInt32LSB, 0}})), STATUS_SUCCESS);
}

TEST_F(AsioPropertyTest, DescriptionNeedsBuffersAndRoomForEveryEntryAndSilencesTheHalvesEachTime) {
  HANDLE pin = ClientPin(false);
  std::vector<uint8_t> value(2 * 44, 0xEE);
  EXPECT_EQ(GetBuffers(pin, &value), STATUS_INVALID_DEVICE_REQUEST) << "before any SET";
  ASSERT_EQ(SetBuffers(pin, BuffersInstance(64, {{kDSDInt8MSB1, 1}, {kInt16LSB, 0}})), STATUS_SUCCESS);
  std::vector<uint8_t> shortValue(2 * 44 - 1);
  EXPECT_EQ(GetBuffers(pin, &shortValue), STATUS_INVALID_DEVICE_REQUEST);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(GetBuffers(pin, &value), STATUS_SUCCESS);
    const Info dsd = Entry64(value, 0), pcm = Entry64(value, 1);
    EXPECT_EQ(dsd.channel, 1u);
    EXPECT_EQ(dsd.sampleType, kDSDInt8MSB1);
    EXPECT_EQ(pcm.halfFrames, 32u);
    EXPECT_EQ(pcm.clientHalf[0], dsd.clientHalf[0] + 64);
    auto* dsdHalves = reinterpret_cast<volatile uint8_t*>(dsd.clientHalf[0]);
    auto* pcmHalves = reinterpret_cast<volatile uint8_t*>(pcm.clientHalf[0]);
    ASSERT_TRUE(platform::IsUserAddressOf(client_, const_cast<uint8_t*>(dsdHalves), 64 + 128));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(dsdHalves[i], 0xAA) << round << ": DSD byte " << i;
    for (int i = 0; i < 128; ++i) ASSERT_EQ(pcmHalves[i], 0x00) << round << ": PCM byte " << i;
    // The client plays with its halves; the next GET silences them again.
    for (int i = 0; i < 64; ++i) dsdHalves[i] = 0x69;
    for (int i = 0; i < 128; ++i) pcmHalves[i] = 0x96;
  }
}

TEST_F(AsioPropertyTest, WhatTheClientWritesAtItsAddressTheKernelHasAtItsOwn) {
  HANDLE pin = ClientPin(false);
  ASSERT_EQ(SetBuffers(pin, BuffersInstance(256, {{kInt32LSB, 0}, {kInt32LSB, 1}})), STATUS_SUCCESS);
  std::vector<uint8_t> value(2 * 44);
  ASSERT_EQ(GetBuffers(pin, &value), STATUS_SUCCESS);
  const Info second = Entry64(value, 1);
  EXPECT_NE(second.clientHalf[1], second.kernelHalf[1]);
  EXPECT_FALSE(platform::IsUserAddressOf(client_, reinterpret_cast<void*>(second.kernelHalf[1]), 4))
      << "the kernel address is not the client's";
  ASSERT_TRUE(platform::IsUserAddressOf(client_, reinterpret_cast<void*>(second.clientHalf[1]), 512));
  reinterpret_cast<volatile uint32_t*>(second.clientHalf[1])[127] = 0xC0FFEE01;
  EXPECT_EQ(reinterpret_cast<volatile uint32_t*>(second.kernelHalf[1])[127], 0xC0FFEE01u);
  // The header sits 16 bytes before the first half, zeroed.
  const auto* header = reinterpret_cast<volatile AsioSharedHeader*>(Entry64(value, 0).clientHalf[0] - 16);
  EXPECT_EQ(AsioHeaderLoad(&header->currentHalf), 0u);
  EXPECT_EQ(AsioHeaderLoad(&header->toggleCount), 0u);
  EXPECT_EQ(AsioHeaderLoad(&header->streamError), 0u);
}

TEST_F(AsioProperty32BitTest, A32BitClientGets28ByteEntriesAndSends4ByteHandles) {
  HANDLE pin = ClientPin(false);
  ASSERT_EQ(SetBuffers(pin, BuffersInstance(256, {{kInt32LSB, 1}, {kInt16LSB, 0}})), STATUS_SUCCESS);
  std::vector<uint8_t> value(2 * 28 + 4, 0xEE);
  std::vector<uint8_t> exact(value.begin(), value.begin() + 2 * 28);
  ASSERT_EQ(GetBuffers(pin, &exact), STATUS_SUCCESS) << "28 bytes per entry are enough";
  ASSERT_EQ(GetBuffers(pin, &value), STATUS_SUCCESS);
  AsioBufferInfo32 e[2];
  memcpy(e, value.data(), sizeof e);
  EXPECT_EQ(e[0].channel, 1u);
  EXPECT_EQ(e[0].sampleType, kInt32LSB);
  EXPECT_EQ(e[0].halfFrames, 128u);
  EXPECT_EQ(e[1].channel, 0u);
  EXPECT_EQ(e[1].sampleType, kInt16LSB);
  EXPECT_EQ(e[1].halfFrames, 128u);
  // The addresses' low 32 bits: the page-aligned block's offsets.
  EXPECT_EQ(e[0].clientHalf[0] & 0xFFF, 16u);
  EXPECT_EQ(e[0].kernelHalf[0] & 0xFFF, 16u);
  EXPECT_EQ(uint32_t(e[0].clientHalf[1] - e[0].clientHalf[0]), 512u);
  EXPECT_EQ(uint32_t(e[1].clientHalf[0] - e[0].clientHalf[0]), 1024u);
  EXPECT_EQ(uint32_t(e[1].kernelHalf[1] - e[1].kernelHalf[0]), 256u);
  // The value comes back at the size the client gave: nothing of the
  // kernel's past the entries.
  for (size_t i = 2 * 28; i < value.size(); ++i) EXPECT_EQ(value[i], 0) << "byte " << i << " past the entries";

  HANDLE event = platform::CreateClientEvent(client_, false, false);
  EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_SET_EVENT, event), STATUS_SUCCESS);
  EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_CLEAR_EVENT, event), STATUS_SUCCESS);
  EXPECT_EQ(platform::CloseClientHandle(client_, event), STATUS_SUCCESS);
}

TEST_F(AsioPropertyTest, OneEventPerPinClearedOnlyWithItsOwnHandle) {
  HANDLE pin = ClientPin(true);
  HANDLE event = platform::CreateClientEvent(client_, false, false);
  HANDLE other = platform::CreateClientEvent(client_, false, false);
  const uint64_t zero = 0;
  EXPECT_EQ(Asio(pin, KSPROPERTY_ASIO_SET_EVENT, kSet, &zero, 8, nullptr, 0), STATUS_INVALID_DEVICE_REQUEST);
  const uint64_t handle = reinterpret_cast<uintptr_t>(event);
  EXPECT_EQ(Asio(pin, KSPROPERTY_ASIO_SET_EVENT, kSet, &handle, 7, nullptr, 0), STATUS_INVALID_DEVICE_REQUEST)
      << "7-byte handle from a 64-bit client";
  EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_CLEAR_EVENT, event), STATUS_INVALID_DEVICE_REQUEST) << "none set";
  EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_SET_EVENT, event), STATUS_SUCCESS);
  EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_SET_EVENT, event), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_SET_EVENT, other), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_CLEAR_EVENT, other), STATUS_INVALID_DEVICE_REQUEST);
  // The client may close its handle: the kernel holds its own reference,
  // and the handle value is what names the registration.
  EXPECT_EQ(platform::CloseClientHandle(client_, event), STATUS_SUCCESS);
  EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_CLEAR_EVENT, event), STATUS_SUCCESS);
  EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_CLEAR_EVENT, event), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_SET_EVENT, other), STATUS_SUCCESS);
  EXPECT_EQ(platform::CloseClientHandle(client_, other), STATUS_SUCCESS);
  // Closing the pin releases the reference (the unload leak check sees it).
}

TEST_F(AsioPropertyTest, EventHandlesTheClientMayNotUseAreRefusedWithThePlatformsStatus) {
  HANDLE pin = ClientPin(false);
  // A handle of the system process (the test's own filter handle).
  EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_SET_EVENT, filter_), STATUS_INVALID_HANDLE);
  // The client's own handle, of a file rather than an event.
  EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_SET_EVENT, clientFilter_), STATUS_OBJECT_TYPE_MISMATCH);
  // An event that may be waited on but not signalled.
  HANDLE waitOnly = platform::CreateClientEvent(client_, false, false, SYNCHRONIZE);
  EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_SET_EVENT, waitOnly), STATUS_ACCESS_DENIED);
  // Another process's event.
  platform::ClientProcess* stranger = platform::CreateClientProcess("stranger");
  HANDLE foreign = platform::CreateClientEvent(stranger, false, false);
  HANDLE mine = platform::CreateClientEvent(client_, false, false);
  if (foreign != mine) {
    EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_SET_EVENT, foreign), STATUS_INVALID_HANDLE);
  }
  EXPECT_EQ(platform::CloseClientHandle(stranger, foreign), STATUS_SUCCESS);
  platform::EndClientProcess(stranger);
  // None of those stayed registered.
  EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_SET_EVENT, mine), STATUS_SUCCESS);
  EXPECT_EQ(platform::CloseClientHandle(client_, waitOnly), STATUS_SUCCESS);
  EXPECT_EQ(platform::CloseClientHandle(client_, mine), STATUS_SUCCESS);
}

TEST_F(AsioPropertyTest, BlockAndEventAreSetUpOnlyWhileThePinIsStoppedOrAcquired) {
  HANDLE pin = ClientPin(false);
  HANDLE event = platform::CreateClientEvent(client_, false, false);
  // Paused and running without either: neither can be set up.
  for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
    ASSERT_EQ(SetState(pin, state), STATUS_SUCCESS);
    if (state == KSSTATE_ACQUIRE) continue;
    EXPECT_EQ(SetBuffers(pin, BuffersInstance(256, {{kInt32LSB, 0}})), STATUS_INVALID_DEVICE_REQUEST) << state;
    EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_SET_EVENT, event), STATUS_INVALID_DEVICE_REQUEST) << state;
  }
  EXPECT_EQ(platform::UserMappingCount(client_), 0u);
  // Registered while acquired: not cleared while paused or running.
  for (KSSTATE state : {KSSTATE_PAUSE, KSSTATE_ACQUIRE}) ASSERT_EQ(SetState(pin, state), STATUS_SUCCESS);
  EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_SET_EVENT, event), STATUS_SUCCESS);
  for (KSSTATE state : {KSSTATE_PAUSE, KSSTATE_RUN}) {
    ASSERT_EQ(SetState(pin, state), STATUS_SUCCESS);
    EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_CLEAR_EVENT, event), STATUS_INVALID_DEVICE_REQUEST) << state;
  }
  for (KSSTATE state : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}) ASSERT_EQ(SetState(pin, state), STATUS_SUCCESS);
  EXPECT_EQ(EventRequest(pin, KSPROPERTY_ASIO_CLEAR_EVENT, event), STATUS_SUCCESS);
  EXPECT_EQ(SetBuffers(pin, BuffersInstance(256, {{kInt32LSB, 0}})), STATUS_SUCCESS);
  EXPECT_EQ(platform::CloseClientHandle(client_, event), STATUS_SUCCESS);
}

TEST_F(AsioPropertyTest, RenderOnlyIdsAndTheFilterIdAreRefusedWhereTheyAreNotListed) {
  HANDLE capture = ClientPin(true);
  HANDLE render = ClientPin(false);
  const uint32_t delay = 64;
  EXPECT_FALSE(NT_SUCCESS(Asio(capture, KSPROPERTY_ASIO_OUTPUT_READY, kSet, nullptr, 0, nullptr, 0)));
  EXPECT_FALSE(NT_SUCCESS(Asio(capture, KSPROPERTY_ASIO_OUTPUT_DELAY, kSet, &delay, 4, nullptr, 0)));
  uint16_t mode = 0;
  EXPECT_FALSE(NT_SUCCESS(Asio(render, KSPROPERTY_ASIO_DSD_MODE, kSet, nullptr, 0, &mode, sizeof mode)));
  EXPECT_FALSE(NT_SUCCESS(Asio(capture, KSPROPERTY_ASIO_DSD_MODE, kSet, nullptr, 0, &mode, sizeof mode)));
  // On the render pin: output ready needs nothing, output delay four bytes.
  EXPECT_EQ(Asio(render, KSPROPERTY_ASIO_OUTPUT_READY, kSet, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(Asio(render, KSPROPERTY_ASIO_OUTPUT_DELAY, kSet, &delay, 3, nullptr, 0), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Asio(render, KSPROPERTY_ASIO_OUTPUT_DELAY, kSet, &delay, 4, nullptr, 0), STATUS_SUCCESS);
  // Basic support of the pin ids, from the driver's own reply.
  ULONG access = 0;
  EXPECT_EQ(Asio(render, KSPROPERTY_ASIO_BUFFERS, KSPROPERTY_TYPE_BASICSUPPORT, nullptr, 0, &access, 4),
            STATUS_SUCCESS);
  EXPECT_EQ(access, 0x203u);
  EXPECT_EQ(Asio(render, KSPROPERTY_ASIO_OUTPUT_READY, KSPROPERTY_TYPE_BASICSUPPORT, nullptr, 0, &access, 4),
            STATUS_SUCCESS);
  EXPECT_EQ(access, 0x202u);
}

TEST_F(AsioPropertyTest, DsdModeTakesATwoByteValueAndIgnoresModesAboveOne) {
  device_->ClearControlLog();
  uint16_t mode = 2;
  EXPECT_EQ(Asio(clientFilter_, KSPROPERTY_ASIO_DSD_MODE, kSet, nullptr, 0, &mode, sizeof mode), STATUS_SUCCESS);
  EXPECT_TRUE(device_->ControlLog().empty()) << "mode 2 changes nothing on the device";
  uint8_t shortMode = 1;
  EXPECT_EQ(Asio(clientFilter_, KSPROPERTY_ASIO_DSD_MODE, kSet, nullptr, 0, &shortMode, 1), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(device_->ControlLog().empty());
  EXPECT_EQ(model_->DeviceMode(), 0u);
}

TEST_F(AsioPropertyDsdTest, DsdModeZeroAndOneSwitchTheDeviceTransport) {
  uint16_t mode = 1;
  EXPECT_EQ(Asio(clientFilter_, KSPROPERTY_ASIO_DSD_MODE, kSet, nullptr, 0, &mode, sizeof mode), STATUS_SUCCESS);
  EXPECT_EQ(model_->DeviceMode(), 1u);
  mode = 7;
  EXPECT_EQ(Asio(clientFilter_, KSPROPERTY_ASIO_DSD_MODE, kSet, nullptr, 0, &mode, sizeof mode), STATUS_SUCCESS);
  EXPECT_EQ(model_->DeviceMode(), 1u);
  mode = 0;
  EXPECT_EQ(Asio(clientFilter_, KSPROPERTY_ASIO_DSD_MODE, kSet, nullptr, 0, &mode, sizeof mode), STATUS_SUCCESS);
  EXPECT_EQ(model_->DeviceMode(), 0u);
}

// Requests the port library would not build, straight to the handlers: a
// handler must not take them for something it serves.
TEST(AsioPropertyHandlerTest, RequestsWithoutTheirTargetOrForOtherIdsAreRefused) {
  PCPROPERTY_ITEM item{&KSPROPSETID_AsioChannel, 0, KSPROPERTY_TYPE_SET, PropertyHandler_AsioChannel};
  uint8_t value[64] = {};
  PCPROPERTY_REQUEST request{};
  request.PropertyItem = &item;
  request.Value = value;
  request.ValueSize = sizeof value;
  for (ULONG id : {0u, 1u, 2u, 3u, 4u, 5u, 256u}) {
    item.Id = id;
    for (ULONG verb : {kGet, kSet, kGet | kSet}) {
      request.Verb = verb;
      EXPECT_EQ(PropertyHandler_AsioChannel(&request), STATUS_INVALID_DEVICE_REQUEST) << id << "/" << verb;
    }
  }
  item.Id = 5;
  request.Verb = KSPROPERTY_TYPE_BASICSUPPORT;
  EXPECT_EQ(PropertyHandler_AsioChannel(&request), STATUS_INVALID_DEVICE_REQUEST);
  // The filter's DSD switch: no basic support of its own, a value of two
  // bytes, and modes above 1 accepted without touching anything.
  item.Id = KSPROPERTY_ASIO_DSD_MODE;
  item.Handler = PropertyHandler_Filter;
  request.Verb = KSPROPERTY_TYPE_BASICSUPPORT;
  EXPECT_EQ(PropertyHandler_Filter(&request), STATUS_INVALID_DEVICE_REQUEST);
  request.Verb = kSet;
  request.ValueSize = 1;
  EXPECT_EQ(PropertyHandler_Filter(&request), STATUS_INVALID_PARAMETER);
  request.ValueSize = 2;
  value[0] = 2;
  EXPECT_EQ(PropertyHandler_Filter(&request), STATUS_SUCCESS);
  value[0] = 1;
  EXPECT_EQ(PropertyHandler_Filter(&request), STATUS_INVALID_DEVICE_REQUEST) << "no miniport to switch";
}

TEST_F(AsioPropertyTest, ClosingThePinReleasesBlockMappingAndEventReference) {
  const size_t poolBefore = platform::OutstandingPoolAllocations();
  HANDLE pin = ClientPin(false);
  HANDLE event = platform::CreateClientEvent(client_, false, false);
  ASSERT_EQ(SetBuffers(pin, BuffersInstance(256, {{kInt32LSB, 0}, {kInt32LSB, 1}})), STATUS_SUCCESS);
  ASSERT_EQ(EventRequest(pin, KSPROPERTY_ASIO_SET_EVENT, event), STATUS_SUCCESS);
  EXPECT_EQ(platform::UserMappingCount(client_), 1u);
  EXPECT_EQ(platform::CloseClientHandle(client_, event), STATUS_SUCCESS);
  ClosePin(pin);
  EXPECT_EQ(platform::UserMappingCount(client_), 0u);
  EXPECT_EQ(platform::OutstandingPoolAllocations(), poolBefore) << platform::DescribeOutstandingPool();
}

TEST_F(AsioPropertyTest, AClientProcessEndingWithItsPinOpenTakesTheMappingWithIt) {
  HANDLE pin = ClientPin(false);
  HANDLE event = platform::CreateClientEvent(client_, false, false);
  ASSERT_EQ(SetBuffers(pin, BuffersInstance(256, {{kInt32LSB, 0}})), STATUS_SUCCESS);
  ASSERT_EQ(EventRequest(pin, KSPROPERTY_ASIO_SET_EVENT, event), STATUS_SUCCESS);
  // The process ends without closing anything: its handles are closed in
  // its context, the pin's first, and no mapping may be left behind.
  pins_.clear();
  clientFilter_ = nullptr;
  platform::EndClientProcess(client_);
  client_ = nullptr;
  // The driver is idle again: a new client can make its buffers.
  platform::ClientProcess* next = platform::CreateClientProcess("next");
  {
    platform::ProcessScope scope(next);
    HANDLE filter = nullptr;
    ASSERT_EQ(platform::KsOpenFilter(AudioInterfaces()[0].symbolicLink, &filter), STATUS_SUCCESS);
    const std::vector<UCHAR> connect =
        ks_requests::PcmPinConnect(renderPinId_, kFormat.channels, kFormat.bits, kFormat.rate);
    HANDLE again = nullptr;
    EXPECT_EQ(platform::KsCreatePin(filter, connect.data(), ULONG(connect.size()), &again), STATUS_SUCCESS);
  }
  platform::EndClientProcess(next);
}

}  // namespace
}  // namespace drivertest
