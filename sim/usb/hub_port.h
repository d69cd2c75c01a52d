// The hub's port in front of a simulated device, as plug and play sees it: a
// physical device object that answers the plug-and-play and power requests a
// bus driver answers (start, stop, removal, capabilities, power) and passes
// everything else, URBs and the bus-interface query included, on to the
// simulated device. It registers the device's hardware ids
// ("USB\VID_vvvv&PID_pppp&MI_ii" for the audio function's first interface).
#pragma once

#include <wdm.h>

#include <cstdint>

namespace sim {

class HubPort {
 public:
  HubPort(PDEVICE_OBJECT device, uint16_t vendorId, uint16_t productId, uint16_t revision, int interfaceNumber);
  ~HubPort();
  HubPort(const HubPort&) = delete;
  HubPort& operator=(const HubPort&) = delete;

  PDEVICE_OBJECT Pdo() { return &pdo_; }

 private:
  static NTSTATUS NTAPI PassOn(PDEVICE_OBJECT pdo, PIRP irp);
  static NTSTATUS NTAPI Pnp(PDEVICE_OBJECT pdo, PIRP irp);
  static NTSTATUS NTAPI Power(PDEVICE_OBJECT pdo, PIRP irp);

  PDEVICE_OBJECT device_;
  DRIVER_OBJECT driver_{};
  DEVICE_OBJECT pdo_{};
};

}  // namespace sim
