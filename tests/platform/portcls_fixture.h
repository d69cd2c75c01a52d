// Fixture for the port library tests: the fake adapter driver loaded by the
// plug-and-play manager on the fake bus and started, with helpers for KS
// property requests and pin creation through the I/O manager.
#pragma once

#include <wdm.h>
#include <portcls.h>
#include <ksmedia.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/device_interfaces.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/pnp_manager.h"
#include "tests/platform/fake_audio_driver.h"
#include "tests/support/ks_requests.h"
#include "tests/support/verifier_test.h"

namespace portcls_test {

inline KSPROPERTY Property(const GUID& set, ULONG id, ULONG flags = KSPROPERTY_TYPE_GET) {
  return ks_requests::Property(set, id, flags);
}

inline KSP_PIN PinProperty(ULONG id, ULONG pin, ULONG flags = KSPROPERTY_TYPE_GET) {
  KSP_PIN p{};
  p.Property = Property(KSPROPSETID_Pin, id, flags);
  p.PinId = pin;
  return p;
}

// A node property with a channel, as the audio stack sends volume requests.
inline KSNODEPROPERTY_AUDIO_CHANNEL NodeProperty(ULONG id, ULONG node, LONG channel,
                                                 ULONG flags = KSPROPERTY_TYPE_GET) {
  return ks_requests::NodeProperty(id, node, channel, flags);
}

// KSPIN_CONNECT followed by a KSDATAFORMAT_WAVEFORMATEX.
inline std::vector<UCHAR> RenderConnect(ULONG rate = 48000, WORD channels = 2, WORD bits = 16,
                                        ULONG pin = fake_audio::kRenderPin) {
  return ks_requests::PcmPinConnect(pin, channels, bits, rate);
}

class PortclsTest : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    fake_audio::ResetDriver();
    bus_ = std::make_unique<fake_audio::FakeBus>();
    pnp_ = std::make_unique<platform::PnpManager>();
    ASSERT_EQ(pnp_->LoadDriver(fake_audio::DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(pnp_->AddDevice(Pdo()), STATUS_SUCCESS);
  }

  void TearDown() override {
    for (HANDLE h : handles_) platform::IoCloseHandle(h);
    handles_.clear();
    if (pnp_ && pnp_->Driver()) {
      if (PortDevice()) {
        EXPECT_EQ(pnp_->RemoveDevice(Pdo()), STATUS_SUCCESS);
      }
      pnp_->UnloadDriver();
    }
    pnp_.reset();
    bus_.reset();
    VerifiedTest::TearDown();
  }

  PDEVICE_OBJECT Pdo() { return bus_->Pdo(); }
  PDEVICE_OBJECT PortDevice() { return platform::PnpManager::FunctionalDevice(Pdo()); }
  fake_audio::FakeDriver& Fake() { return fake_audio::Driver(); }

  std::u16string AudioInterfacePath() {
    auto found = platform::GetDeviceInterfaces(KSCATEGORY_AUDIO);
    return found.empty() ? std::u16string() : found[0].symbolicLink;
  }

  HANDLE OpenFilter() {
    HANDLE h = nullptr;
    EXPECT_EQ(platform::KsOpenFilter(AudioInterfacePath(), &h), STATUS_SUCCESS);
    if (h) handles_.push_back(h);
    return h;
  }

  NTSTATUS CreatePin(HANDLE filter, const std::vector<UCHAR>& connect, HANDLE* pin) {
    *pin = nullptr;
    NTSTATUS status = platform::KsCreatePin(filter, connect.data(), static_cast<ULONG>(connect.size()), pin);
    if (*pin) handles_.push_back(*pin);
    return status;
  }

  void Close(HANDLE h) {
    for (auto it = handles_.begin(); it != handles_.end(); ++it) {
      if (*it == h) {
        handles_.erase(it);
        break;
      }
    }
    EXPECT_EQ(platform::IoCloseHandle(h), STATUS_SUCCESS);
  }

  template <typename P>
  NTSTATUS Request(HANDLE h, const P& property, void* value, ULONG length, ULONG* bytes) {
    return platform::KsProperty(h, &property, sizeof property, value, length, bytes);
  }

  template <typename P, typename V>
  NTSTATUS Get(HANDLE h, const P& property, V* value, ULONG* bytes = nullptr) {
    ULONG n = 0;
    NTSTATUS status = Request(h, property, value, sizeof *value, &n);
    if (bytes) *bytes = n;
    return status;
  }

  // The whole variable-size answer: size query first, then the data.
  template <typename P>
  std::vector<UCHAR> GetAll(HANDLE h, const P& property, NTSTATUS* status = nullptr) {
    ULONG size = 0;
    NTSTATUS s = Request(h, property, nullptr, 0, &size);
    std::vector<UCHAR> out;
    if (s == STATUS_BUFFER_OVERFLOW) {
      out.resize(size);
      ULONG got = 0;
      s = Request(h, property, out.data(), size, &got);
      out.resize(got);
    }
    if (status) *status = s;
    return out;
  }

  KSSTATE PinState(HANDLE pin) {
    KSSTATE state = static_cast<KSSTATE>(-1);
    EXPECT_EQ(Get(pin, Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE), &state), STATUS_SUCCESS);
    return state;
  }

  NTSTATUS SetPinState(HANDLE pin, KSSTATE state) {
    KSPROPERTY p = Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET);
    ULONG bytes = 0;
    return Request(pin, p, &state, sizeof state, &bytes);
  }

  std::unique_ptr<fake_audio::FakeBus> bus_;
  std::unique_ptr<platform::PnpManager> pnp_;
  std::vector<HANDLE> handles_;
};

// Started, with the filter open.
class StartedPortclsTest : public PortclsTest {
 protected:
  void SetUp() override {
    PortclsTest::SetUp();
    ASSERT_EQ(pnp_->StartDevice(Pdo()), STATUS_SUCCESS);
    filter_ = OpenFilter();
    ASSERT_NE(filter_, nullptr);
    Fake().ClearLog();
  }
  HANDLE filter_ = nullptr;
};

}  // namespace portcls_test
