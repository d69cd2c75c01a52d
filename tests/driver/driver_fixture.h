// Shared setup of the driver tests: a simulated device on the bus and the
// driver's audio-function model on top of it, torn down in the right order
// before the verifier looks for leaks.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/runtime/pool_tags.h"
#include "driver/uac/usbaudiocl.h"
#include "sim/profiles/device_profile.h"
#include "sim/uac/audio_function_model.h"
#include "sim/uac/default_audio_config.h"
#include "sim/uac/descriptor_builder.h"
#include "sim/usb/sim_usb_device.h"
#include "tests/support/verifier_test.h"

namespace drivertest {

// Descriptor set around a configuration, with the DAC's identity by default.
inline sim::DescriptorSet MakeSet(std::vector<uint8_t> configuration, uint16_t vid = 0x1FA7, uint16_t pid = 0x4D02,
                                  bool highSpeed = true) {
  sim::DescriptorSet set;
  set.device = sim::MakeDeviceDescriptor(vid, pid);
  set.configuration = std::move(configuration);
  set.highSpeed = highSpeed;
  return set;
}

inline sim::DescriptorSet ProfileSet(const char* name) {
  sim::DeviceProfile profile;
  if (!sim::MakeProfile(name, profile)) return {};
  return profile.descriptors;
}

// Audio-control part of a class 2.0 playback function: clock 0x10, IT 1 (USB
// streaming) -> FU 2 (mute+volume on master, volume on two channels) -> OT 3.
inline sim::ConfigurationBuilder Uac2Control(uint8_t acString = 0) {
  sim::ConfigurationBuilder b;
  b.Interface(0, 0, 0, 0x01, 0x01, 0x20, acString)
      .AcHeader2(0x01)
      .ClockSource(0x10, 0x03, 0x07)
      .InputTerminal2(0x01, 0x0101, 0, 0x10, 2, 3)
      .FeatureUnit2(0x02, 0x01, {0x0F, 0x0C, 0x0C})
      .OutputTerminal2(0x03, 0x0301, 0, 0x02, 0x10);
  return b;
}

// A class 2.0 streaming interface with alternates 0 and 1 (2 ch, 16 bit).
inline void AddStreaming2(sim::ConfigurationBuilder& b, uint8_t number, uint8_t terminal, uint8_t dataEndpoint,
                          uint8_t feedbackEndpoint = 0) {
  b.Interface(number, 0, 0, 0x01, 0x02, 0x20);
  b.Interface(number, 1, feedbackEndpoint ? 2 : 1, 0x01, 0x02, 0x20)
      .AsGeneral2(terminal, 0, 1, 1, 2, 3)
      .FormatTypeI2(2, 16)
      .Endpoint(dataEndpoint, 0x05, 200, 1)
      .CsEndpoint2();
  if (feedbackEndpoint) b.Endpoint(feedbackEndpoint, 0x11, 4, 4);
}

// The KS data range the driver built for alternate setting `alternate` (1 … count − 1).
inline const KSDATARANGE_AUDIO* DataRange(StreamingInterface* streaming, ULONG alternate) {
  return reinterpret_cast<PKSDATARANGE_AUDIO*>(streaming->DataRangeStorage)[alternate];
}

class DriverTest : public VerifiedTest {
 protected:
  // Runs CUSBAudioCL::Init on a fresh simulated device.
  NTSTATUS Parse(const sim::DescriptorSet& set, sim::CompletionMode mode = sim::CompletionMode::Synchronous,
                 ULONG irpCount = 0) {
    return ParseWith(set, sim::DefaultAudioConfig(set), mode, irpCount);
  }

  // The same with the audio function answering class requests as configured.
  NTSTATUS ParseWith(const sim::DescriptorSet& set, const sim::AudioFunctionConfig& config,
                     sim::CompletionMode mode = sim::CompletionMode::Synchronous, ULONG irpCount = 0) {
    audio_.reset();
    device_.reset();
    model_ = std::make_unique<sim::AudioFunctionModel>(set, config);
    device_ = std::make_unique<sim::SimUsbDevice>(set, model_.get());
    device_->SetCompletionMode(mode);
    audio_.reset(new (NonPagedPoolNx, POOLTAG_USB) CUSBAudioCL());
    if (!audio_) return STATUS_INSUFFICIENT_RESOURCES;
    return audio_->Init(device_->Pdo(), irpCount);
  }

  NTSTATUS Parse(std::vector<uint8_t> configuration) { return Parse(MakeSet(std::move(configuration))); }

  NTSTATUS ParseProfile(const char* name, sim::AudioFunctionConfig* config = nullptr) {
    sim::DeviceProfile profile;
    if (!sim::MakeProfile(name, profile)) return STATUS_UNSUCCESSFUL;
    return ParseWith(profile.descriptors, config != nullptr ? *config : profile.audio);
  }

  static sim::AudioFunctionConfig ProfileConfig(const char* name) {
    sim::DeviceProfile profile;
    sim::MakeProfile(name, profile);
    return profile.audio;
  }

  void TearDown() override {
    audio_.reset();
    if (device_) {
      EXPECT_EQ(device_->BusInterfaceReferences(), 0) << "bus interface references leaked";
    }
    device_.reset();
    model_.reset();
    VerifiedTest::TearDown();
  }

  std::unique_ptr<sim::AudioFunctionModel> model_;
  std::unique_ptr<sim::SimUsbDevice> device_;
  std::unique_ptr<CUSBAudioCL> audio_;
};

}  // namespace drivertest
