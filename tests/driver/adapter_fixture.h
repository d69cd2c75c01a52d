// Shared setup of the adapter tests: a simulated device from a profile, the
// adapter object initialised on it, and a clean tuning key in the registry.
// The adapter is released before the device, and both before the verifier
// looks for leaks.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/core/adapter.h"
#include "driver/core/tuning.h"
#include "driver/uac/filter_topology.h"
#include "platform/kernel/registry.h"
#include "sim/profiles/device_profile.h"
#include "sim/uac/audio_function_model.h"
#include "sim/usb/sim_usb_device.h"
#include "tests/support/verifier_test.h"

namespace drivertest {

inline const std::u16string kTuningKey = u"\\Registry\\Machine\\SOFTWARE\\KEL\\Sample Device Performance";

class AdapterTest : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    platform::RegistryDeleteKey(kTuningKey);
  }

  void TearDown() override {
    ReleaseAdapter();
    if (fdo_ != nullptr) {
      IoDeleteDevice(fdo_);
      fdo_ = nullptr;
    }
    if (device_) {
      EXPECT_EQ(device_->BusInterfaceReferences(), 0) << "bus interface references leaked";
    }
    device_.reset();
    model_.reset();
    platform::RegistryDeleteKey(kTuningKey);
    VerifiedTest::TearDown();
  }

  // Creates the device of a profile and an adapter initialised on it.
  NTSTATUS StartAdapter(const char* profile = "default") {
    sim::DeviceProfile p;
    if (!sim::MakeProfile(profile, p)) return STATUS_UNSUCCESSFUL;
    return StartAdapterOn(p.descriptors, p.audio);
  }

  NTSTATUS StartAdapterOn(const sim::DescriptorSet& descriptors, const sim::AudioFunctionConfig& config) {
    ReleaseAdapter();
    device_.reset();
    model_ = std::make_unique<sim::AudioFunctionModel>(descriptors, config);
    device_ = std::make_unique<sim::SimUsbDevice>(descriptors, model_.get());
    PUNKNOWN unknown = nullptr;
    NTSTATUS status = CreateAdapterUsbAudio(&unknown, nullptr, NonPagedPoolNx);
    if (!NT_SUCCESS(status)) return status;
    status = unknown->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&adapter_));
    unknown->Release();
    if (!NT_SUCCESS(status)) return status;
    return adapter_->Init(device_->Pdo(), fdo_);
  }

  // Gives the adapter a functional device object, which its render
  // completions need for their work items; call before StartAdapter.
  void CreateFunctionalDevice() {
    driver_.Type = IO_TYPE_DRIVER;
    ASSERT_EQ(IoCreateDevice(&driver_, 0, NULL, FILE_DEVICE_KS, 0, FALSE, &fdo_), STATUS_SUCCESS);
  }

  void ReleaseAdapter() {
    if (adapter_ != nullptr) {
      adapter_->Release();
      adapter_ = nullptr;
    }
  }

  CAdapterUsbAudio* Adapter() { return static_cast<CAdapterUsbAudio*>(adapter_); }

  // The first node of the built filter with the type, or 0xFFFFFFFF when none.
  ULONG FindNode(const GUID& type) {
    const PCFILTER_DESCRIPTOR* filter = adapter_->GetFilterDescriptor();
    for (ULONG i = 0; i < filter->NodeCount; ++i) {
      if (IsEqualGUID(*FilterNodeElement(filter, i)->Node.Type, type)) return i;
    }
    return 0xFFFFFFFFu;
  }

  // Control requests the device saw, optionally only those with bRequest.
  std::vector<sim::ControlLogEntry> Requests() { return device_->ControlLog(); }

  static void SetTuning(const char16_t* name, uint32_t value) {
    platform::RegistrySetDword(kTuningKey, name, value);
  }

  std::unique_ptr<sim::AudioFunctionModel> model_;
  std::unique_ptr<sim::SimUsbDevice> device_;
  IAdapterCommon* adapter_ = nullptr;
  DRIVER_OBJECT driver_{};
  PDEVICE_OBJECT fdo_ = nullptr;
};

}  // namespace drivertest
