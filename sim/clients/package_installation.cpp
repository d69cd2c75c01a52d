#include "sim/clients/package_installation.h"

#include "driver/core/device_description.h"
#include "platform/kernel/device_interfaces.h"

namespace sim {

void InstallDriverPackage(PDEVICE_OBJECT pdo) {
  platform::PhysicalDeviceInfo info;
  if (!platform::GetPhysicalDeviceInfo(pdo, &info)) return;
  info.description = platform::ToU16(VM_USBAUDIO_DEVICE_DESCRIPTION);
  platform::RegisterPhysicalDevice(pdo, info);
}

}  // namespace sim
