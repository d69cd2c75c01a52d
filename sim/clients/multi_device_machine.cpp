#include "sim/clients/multi_device_machine.h"

#include <ks.h>
#include <ksmedia.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "driver/core/driver_entry.h"
#include "platform/kernel/device_interfaces.h"
#include "sim/clients/package_installation.h"
#include "sim/uac/audio_function_layout.h"

namespace sim {

namespace {

uint16_t Word(const std::vector<uint8_t>& bytes, size_t offset) {
  return bytes.size() >= offset + 2 ? static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8)) : 0;
}

// Windows derives the middle part of a USB function's instance id from its
// parent device, which differs per port: "6&<parent>&0&<interface>". The
// first port keeps what the hub reports, so one device looks as on a
// machine with one device.
void GiveOwnInstanceId(PDEVICE_OBJECT pdo, size_t port) {
  if (port == 0) return;
  platform::PhysicalDeviceInfo info;
  if (!platform::GetPhysicalDeviceInfo(pdo, &info)) return;
  const size_t first = info.instanceId.find(u'&');
  const size_t second = first == std::u16string::npos ? first : info.instanceId.find(u'&', first + 1);
  if (second == std::u16string::npos) return;
  char parent[16];
  std::snprintf(parent, sizeof parent, "%08x", static_cast<unsigned>(0x1a2b3c4du + port * 0x11111111u));
  std::u16string id = info.instanceId.substr(0, first + 1);
  for (const char* c = parent; *c; ++c) id.push_back(static_cast<char16_t>(*c));
  id += info.instanceId.substr(second);
  info.instanceId = id;
  platform::RegisterPhysicalDevice(pdo, info);
}

// The machines whose driver's create dispatch is wrapped, for the wrapper
// (a dispatch routine has no context of its own).
struct Machines {
  std::mutex lock;
  std::vector<MultiDeviceMachine*> live;
};
Machines& TheMachines() {
  static Machines* machines = new Machines;
  return *machines;
}

}  // namespace

MultiDeviceMachine::MultiDeviceMachine() : pnp_(std::make_unique<platform::PnpManager>()) {}

MultiDeviceMachine::~MultiDeviceMachine() { Shutdown(); }

size_t MultiDeviceMachine::Attach(const DescriptorSet& descriptors, const AudioFunctionConfig& audio,
                                  const StreamingOptions& streaming) {
  auto d = std::make_unique<Device>();
  d->function = std::make_unique<AudioFunctionModel>(descriptors, audio);
  d->streaming = std::make_unique<AudioStreaming>(descriptors, *d->function, streaming);
  d->device = std::make_unique<SimUsbDevice>(descriptors, d->function.get());
  d->device->SetEndpointHandler(d->streaming.get());
  const AudioFunctionLayout layout = ReadAudioFunctionLayout(descriptors.configuration);
  d->hub = std::make_unique<HubPort>(d->device->Pdo(), Word(descriptors.device, 8), Word(descriptors.device, 10),
                                     Word(descriptors.device, 12), layout.hasAudioControl ? layout.acInterface : 0);
  GiveOwnInstanceId(d->hub->Pdo(), devices_.size());
  InstallDriverPackage(d->hub->Pdo());
  devices_.push_back(std::move(d));
  return devices_.size() - 1;
}

NTSTATUS MultiDeviceMachine::Start() {
  const NTSTATUS status = pnp_->LoadDriver(DriverEntry);
  loaded_ = NT_SUCCESS(status);
  if (!loaded_) return status;
  {
    Machines& m = TheMachines();
    std::lock_guard<std::mutex> lock(m.lock);
    driverCreate_ = pnp_->Driver()->MajorFunction[IRP_MJ_CREATE];
    pnp_->Driver()->MajorFunction[IRP_MJ_CREATE] = CountingCreate;
    m.live.push_back(this);
  }
  for (auto& d : devices_) {
    const PDEVICE_OBJECT pdo = d->hub->Pdo();
    d->startStatus = pnp_->AddDevice(pdo);
    {
      Machines& m = TheMachines();
      std::lock_guard<std::mutex> lock(m.lock);
      d->functional = platform::PnpManager::FunctionalDevice(pdo);
    }
    if (NT_SUCCESS(d->startStatus)) d->startStatus = pnp_->StartDevice(pdo);
  }
  return status;
}

NTSTATUS NTAPI MultiDeviceMachine::CountingCreate(PDEVICE_OBJECT device, PIRP irp) {
  const PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  const bool filterOpen = sp->FileObject != nullptr && sp->FileObject->RelatedFileObject == nullptr;
  PDRIVER_DISPATCH next = nullptr;
  {
    Machines& m = TheMachines();
    std::lock_guard<std::mutex> lock(m.lock);
    for (MultiDeviceMachine* machine : m.live) {
      if (machine->pnp_->Driver() != device->DriverObject) continue;
      next = machine->driverCreate_;
      for (auto& d : machine->devices_) {
        if (filterOpen && d->functional == device) d->filterOpens.fetch_add(1);
      }
    }
  }
  if (next == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return next(device, irp);
}

void MultiDeviceMachine::Shutdown() {
  if (!pnp_) return;
  if (loaded_ && pnp_->Driver() != nullptr) {
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
      const PDEVICE_OBJECT pdo = (*it)->hub->Pdo();
      if (platform::PnpManager::FunctionalDevice(pdo) != nullptr) pnp_->RemoveDevice(pdo);
    }
    {
      Machines& m = TheMachines();
      std::lock_guard<std::mutex> lock(m.lock);
      pnp_->Driver()->MajorFunction[IRP_MJ_CREATE] = driverCreate_;
      m.live.erase(std::remove(m.live.begin(), m.live.end(), this), m.live.end());
      for (auto& d : devices_) d->functional = nullptr;
    }
    pnp_->UnloadDriver();
  }
  loaded_ = false;
  pnp_.reset();
  for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
    Device& d = **it;
    d.hub.reset();
    d.device.reset();  // its bus thread ends here: nothing calls the streaming side after this
    d.streaming.reset();
    d.function.reset();
  }
}

std::u16string MultiDeviceMachine::InstancePath(size_t index) const {
  platform::PhysicalDeviceInfo info;
  if (!platform::GetPhysicalDeviceInfo(devices_[index]->hub->Pdo(), &info)) return std::u16string();
  return platform::DeviceInstancePath(info);
}

std::u16string MultiDeviceMachine::WaveFilterPath(size_t index) const {
  for (const platform::DeviceInterface& i : platform::GetDeviceInterfaces(KSCATEGORY_AUDIO)) {
    if (i.pdo == devices_[index]->hub->Pdo() && platform::EqualNoCase(i.referenceString, u"Wave"))
      return i.symbolicLink;
  }
  return std::u16string();
}

}  // namespace sim
