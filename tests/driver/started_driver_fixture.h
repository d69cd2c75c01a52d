// The driver loaded by the plug-and-play manager on a simulated device
// behind a hub port, with KS helpers for the "Wave" filter through the I/O
// manager. Tear-down removes the device and unloads the driver, whose leak
// check then covers everything the driver and the port library allocated.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/core/driver_entry.h"
#include "platform/kernel/debug_sink.h"
#include "platform/kernel/device_interfaces.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/pnp_manager.h"
#include "sim/profiles/device_profile.h"
#include "sim/uac/audio_function_model.h"
#include "sim/uac/audio_streaming.h"
#include "sim/usb/hub_port.h"
#include "sim/usb/sim_usb_device.h"
#include "tests/support/verifier_test.h"

namespace drivertest {

class DriverOnBusTest : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    platform::SetDebugPrintSink([this](const char* text) {
      std::lock_guard<std::mutex> lock(printLock_);
      printed_.emplace_back(text);
    });
    ASSERT_NO_FATAL_FAILURE(PlugIn("default"));
  }

  void TearDown() override {
    Unplug();
    platform::SetDebugPrintSink(nullptr);
    VerifiedTest::TearDown();
  }

  // withAudioControl false: a configuration with one vendor interface only.
  void PlugIn(const char* profile, bool withAudioControl = true) {
    sim::DeviceProfile p;
    ASSERT_TRUE(sim::MakeProfile(profile, p));
    if (!withAudioControl) {
      p.descriptors.configuration = {0x09, 0x02, 0x12, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
                                     0x09, 0x04, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00};
    }
    descriptors_ = p.descriptors;
    model_ = std::make_unique<sim::AudioFunctionModel>(p.descriptors, p.audio);
    device_ = std::make_unique<sim::SimUsbDevice>(p.descriptors, model_.get());
    hub_ = std::make_unique<sim::HubPort>(device_->Pdo(), 0x1FA7, 0x4D02, 0x0100, 0);
    pnp_ = std::make_unique<platform::PnpManager>();
  }

  void Unplug() {
    for (HANDLE h : handles_) platform::IoCloseHandle(h);
    handles_.clear();
    if (pnp_ && pnp_->Driver()) {
      if (platform::PnpManager::FunctionalDevice(Pdo())) {
        EXPECT_EQ(pnp_->RemoveDevice(Pdo()), STATUS_SUCCESS);
      }
      pnp_->UnloadDriver();
    }
    pnp_.reset();
    hub_.reset();
    if (device_) {
      EXPECT_EQ(device_->BusInterfaceReferences(), 0);
    }
    device_.reset();
    streaming_.reset();
    model_.reset();
  }

  // The device's audio side: real-time FIFO, feedback and capture signal.
  void AttachStreaming(const sim::StreamingOptions& options = {}) {
    streaming_ = std::make_unique<sim::AudioStreaming>(descriptors_, *model_, options);
    device_->SetEndpointHandler(streaming_.get());
  }

  NTSTATUS LoadAddStart() {
    NTSTATUS status = pnp_->LoadDriver(DriverEntry);
    if (NT_SUCCESS(status)) status = pnp_->AddDevice(Pdo());
    if (NT_SUCCESS(status)) status = pnp_->StartDevice(Pdo());
    return status;
  }

  PDEVICE_OBJECT Pdo() { return hub_->Pdo(); }

  bool Printed(const std::string& line) {
    std::lock_guard<std::mutex> lock(printLock_);
    for (const std::string& p : printed_)
      if (p == line) return true;
    return false;
  }

  std::vector<platform::DeviceInterface> AudioInterfaces() { return platform::GetDeviceInterfaces(KSCATEGORY_AUDIO); }

  HANDLE OpenFilter() {
    const auto interfaces = AudioInterfaces();
    if (interfaces.empty()) return nullptr;
    HANDLE h = nullptr;
    if (!NT_SUCCESS(platform::KsOpenFilter(interfaces[0].symbolicLink, &h))) return nullptr;
    handles_.push_back(h);
    return h;
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
  NTSTATUS Request(HANDLE h, const P& property, void* value, ULONG length, ULONG* bytes = nullptr) {
    ULONG n = 0;
    NTSTATUS status = platform::KsProperty(h, &property, sizeof property, value, length, &n);
    if (bytes) *bytes = n;
    return status;
  }

  std::mutex printLock_;
  std::vector<std::string> printed_;
  sim::DescriptorSet descriptors_;
  std::unique_ptr<sim::AudioFunctionModel> model_;
  std::unique_ptr<sim::AudioStreaming> streaming_;
  std::unique_ptr<sim::SimUsbDevice> device_;
  std::unique_ptr<sim::HubPort> hub_;
  std::unique_ptr<platform::PnpManager> pnp_;
  std::vector<HANDLE> handles_;
};

}  // namespace drivertest
