// Host-only plug-and-play manager: loads a driver as plug and play loads it
// on Windows (DriverEntry, AddDevice for a bus's physical device, start,
// power changes, stop, removal, unload), sending the same IRPs in the same
// order. Physical devices must be registered first (RegisterPhysicalDevice
// in device_interfaces.h). Unload checks that the driver left nothing
// behind: pool, IRPs, device objects, work items, open handles.
#pragma once

#include <wdm.h>

#include <string>

namespace platform {

class PnpManager {
 public:
  PnpManager() = default;
  ~PnpManager();  // unloads a driver still loaded (with the leak check)
  PnpManager(const PnpManager&) = delete;
  PnpManager& operator=(const PnpManager&) = delete;

  // Creates the driver object and calls DriverEntry with the service key
  // "\Registry\Machine\System\CurrentControlSet\Services\<serviceName>".
  // A failing DriverEntry leaves the driver unloaded.
  NTSTATUS LoadDriver(PDRIVER_INITIALIZE driverEntry, const std::u16string& serviceName = u"vm_usbaudio");
  // The driver's AddDevice for a registered physical device object.
  NTSTATUS AddDevice(PDEVICE_OBJECT pdo);
  // IRP_MN_START_DEVICE to the top of the device's stack.
  NTSTATUS StartDevice(PDEVICE_OBJECT pdo);
  // IRP_MN_QUERY_CAPABILITIES (the bus's answer, then the drivers').
  NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities);
  // IRP_MN_QUERY_POWER, then (if nobody refused) IRP_MN_SET_POWER.
  NTSTATUS SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);
  NTSTATUS SetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
  // IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE (or the cancel when
  // the query was refused, whose status is returned).
  NTSTATUS StopDevice(PDEVICE_OBJECT pdo);
  // IRP_MN_QUERY_REMOVE_DEVICE (refused while files are open: the status is
  // returned and the device stays), then IRP_MN_REMOVE_DEVICE. After a
  // surprise removal only IRP_MN_REMOVE_DEVICE is sent.
  NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo);
  // IRP_MN_SURPRISE_REMOVAL: the device is gone; clients close their
  // handles, then RemoveDevice finishes the removal.
  NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo);
  // The driver's unload routine, then the leak check (bug check on leaks).
  void UnloadDriver();

  PDRIVER_OBJECT Driver() const { return driver_; }
  // The device the driver attached above the physical device (or null).
  static PDEVICE_OBJECT FunctionalDevice(PDEVICE_OBJECT pdo);

 private:
  NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, PDEVICE_CAPABILITIES capabilities = nullptr);
  NTSTATUS SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);

  struct DriverImage;
  DriverImage* image_ = nullptr;
  PDRIVER_OBJECT driver_ = nullptr;
};

}  // namespace platform
