#include "sim/clients/simulated_machine.h"

#include <ks.h>
#include <ksmedia.h>

#include "driver/core/driver_entry.h"
#include "platform/kernel/device_interfaces.h"
#include "sim/clients/package_installation.h"
#include "sim/uac/audio_function_layout.h"

namespace sim {

namespace {

uint16_t Word(const std::vector<uint8_t>& bytes, size_t offset) {
  return bytes.size() >= offset + 2 ? static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8)) : 0;
}

}  // namespace

SimulatedMachine::SimulatedMachine(const DescriptorSet& descriptors, const AudioFunctionConfig& audio,
                                   const StreamingOptions& streaming) {
  function_ = std::make_unique<AudioFunctionModel>(descriptors, audio);
  streaming_ = std::make_unique<AudioStreaming>(descriptors, *function_, streaming);
  device_ = std::make_unique<SimUsbDevice>(descriptors, function_.get());
  device_->SetEndpointHandler(streaming_.get());
  const AudioFunctionLayout layout = ReadAudioFunctionLayout(descriptors.configuration);
  hub_ = std::make_unique<HubPort>(device_->Pdo(), Word(descriptors.device, 8), Word(descriptors.device, 10),
                                   Word(descriptors.device, 12), layout.hasAudioControl ? layout.acInterface : 0);
  InstallDriverPackage(hub_->Pdo());
  pnp_ = std::make_unique<platform::PnpManager>();
}

SimulatedMachine::~SimulatedMachine() { Shutdown(); }

NTSTATUS SimulatedMachine::Start() {
  NTSTATUS status = pnp_->LoadDriver(DriverEntry);
  loaded_ = NT_SUCCESS(status);
  if (NT_SUCCESS(status)) status = pnp_->AddDevice(Pdo());
  if (NT_SUCCESS(status)) status = pnp_->StartDevice(Pdo());
  return status;
}

void SimulatedMachine::Shutdown() {
  if (!pnp_) return;
  if (loaded_ && pnp_->Driver() != nullptr) {
    if (platform::PnpManager::FunctionalDevice(Pdo()) != nullptr) pnp_->RemoveDevice(Pdo());
    pnp_->UnloadDriver();
  }
  loaded_ = false;
  pnp_.reset();
  hub_.reset();
  device_.reset();  // its bus thread ends here: nothing calls the streaming side after this
  streaming_.reset();
  function_.reset();
}

std::u16string SimulatedMachine::WaveFilterPath() const {
  for (const platform::DeviceInterface& i : platform::GetDeviceInterfaces(KSCATEGORY_AUDIO)) {
    if (platform::EqualNoCase(i.referenceString, u"Wave")) return i.symbolicLink;
  }
  return std::u16string();
}

}  // namespace sim
