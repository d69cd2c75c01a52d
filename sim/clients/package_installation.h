// What installing the driver package on a device changes in the device
// database: the INF gives the device its description, which SetupAPI then
// reports as SPDRP_DEVICEDESC (VM_USBAUDIO_DEVICE_DESCRIPTION).
#pragma once

#include <wdm.h>

namespace sim {

// `pdo` must be a registered physical device.
void InstallDriverPackage(PDEVICE_OBJECT pdo);

}  // namespace sim
