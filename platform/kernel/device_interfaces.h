// Host-only API of the plug-and-play device database: what a bus reports
// about its physical device objects (device id, instance id, hardware ids),
// and the device interfaces drivers register on them (class GUID, reference
// string, symbolic link), as clients find them through SetupAPI on Windows.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

struct PhysicalDeviceInfo {
  std::u16string deviceId;    // e.g. u"USB\\VID_1FA7&PID_4D02&MI_00"
  std::u16string instanceId;  // e.g. u"6&1a2b3c4d&0&0000"
  std::vector<std::u16string> hardwareIds;    // most specific first
  std::vector<std::u16string> compatibleIds;
  std::u16string description;
};

// What the USB hub reports for one function of a device: the device id
// "USB\VID_vvvv&PID_pppp[&MI_ii]", hardware ids with and without the
// revision, class compatible ids. interfaceNumber < 0: a whole device.
PhysicalDeviceInfo UsbDeviceInfo(uint16_t vendorId, uint16_t productId, uint16_t revision, int interfaceNumber,
                                 uint8_t interfaceClass = 0x01, uint8_t interfaceSubClass = 0x01,
                                 uint8_t interfaceProtocol = 0x20);

// A bus's physical device object: drivers can attach to it, query its
// properties and register interfaces on it. The bus keeps ownership; it
// unregisters the device (which drops its interfaces) before freeing it.
void RegisterPhysicalDevice(PDEVICE_OBJECT pdo, const PhysicalDeviceInfo& info);
void UnregisterPhysicalDevice(PDEVICE_OBJECT pdo);
bool GetPhysicalDeviceInfo(PDEVICE_OBJECT pdo, PhysicalDeviceInfo* info);
// "<device id>\<instance id>", the device instance path.
std::u16string DeviceInstancePath(const PhysicalDeviceInfo& info);

struct DeviceInterface {
  std::u16string symbolicLink;  // kernel form: \??\USB#VID_...#<instance>#{guid}\Ref
  GUID classGuid;
  std::u16string referenceString;
  bool enabled = false;
  PDEVICE_OBJECT pdo = nullptr;
  std::u16string deviceInstancePath;
  std::vector<std::u16string> hardwareIds;
};

// Interfaces of a class in registration order (only enabled ones by default).
std::vector<DeviceInterface> GetDeviceInterfaces(const GUID& classGuid, bool enabledOnly = true);
// Finds an interface by its symbolic link in the kernel ("\??\...") or the
// user-mode ("\\?\...") form, case-insensitively.
bool FindDeviceInterface(const std::u16string& path, DeviceInterface* found);

// Listeners hear every change of an interface's state: enabled (a disabled
// interface enabled by IoSetDeviceInterfaceState) or not (an enabled one
// disabled, or dropped with its physical device), with the interface as it
// was then. They run on the thread that made the change, outside the
// database lock but one change at a time, in order; a listener must not
// change interface states or remove listeners itself. Removing a listener
// waits for a call of it still running.
using DeviceInterfaceListener = std::function<void(const DeviceInterface& deviceInterface, bool enabled)>;
uint64_t AddDeviceInterfaceListener(DeviceInterfaceListener listener);
void RemoveDeviceInterfaceListener(uint64_t id);

// u"..." text of a WCHAR string (no host wide-character functions).
std::u16string ToU16(PCWSTR s);
std::u16string ToU16(PCUNICODE_STRING s);
bool EqualNoCase(const std::u16string& a, const std::u16string& b);

}  // namespace platform
