// Device objects and device stacks. Devices are not pool allocations (the
// I/O manager owns them); they are counted separately. Physical device
// objects of simulated buses are not created here but adopted, so drivers
// can attach to them; they are not counted as outstanding.
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/kernel/internal.h"

namespace {

using platform::detail::BugCheckAt;

struct Devices {
  std::mutex lock;
  // Every live device, with the device it is attached to (or null).
  std::unordered_map<PDEVICE_OBJECT, PDEVICE_OBJECT> lower;
  std::unordered_set<PDEVICE_OBJECT> adopted;
};

Devices& TheDevices() {
  static Devices* devices = new Devices;
  return *devices;
}

size_t AlignUp(size_t n, size_t a) { return (n + a - 1) & ~(a - 1); }

}  // namespace

namespace platform {
size_t OutstandingDeviceObjects() {
  Devices& d = TheDevices();
  std::lock_guard<std::mutex> lock(d.lock);
  return d.lower.size() - d.adopted.size();
}

namespace detail {

void AdoptDevice(PDEVICE_OBJECT device) {
  Devices& d = TheDevices();
  std::lock_guard<std::mutex> lock(d.lock);
  if (d.lower.count(device)) return;
  d.lower[device] = NULL;
  d.adopted.insert(device);
}

void ReleaseAdoptedDevice(PDEVICE_OBJECT device) {
  Devices& d = TheDevices();
  std::lock_guard<std::mutex> lock(d.lock);
  if (!d.adopted.erase(device)) return;
  if (device->AttachedDevice)
    BugCheckAt(USBAUDIO_CALLER(), "DEVICE_DELETE_ATTACHED", "physical device %p removed while %p is attached to it",
               static_cast<void*>(device), static_cast<void*>(device->AttachedDevice));
  d.lower.erase(device);
}

bool IsLiveDevice(PDEVICE_OBJECT device) {
  Devices& d = TheDevices();
  std::lock_guard<std::mutex> lock(d.lock);
  return d.lower.count(device) > 0;
}

}  // namespace detail
}  // namespace platform

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  (void)DeviceName;  // no object namespace yet
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(PASSIVE_LEVEL, caller, "IRQL_CREATE_DEVICE", "IoCreateDevice");
  if (!DriverObject || !DeviceObject) BugCheckAt(caller, "DEVICE_CREATE_INVALID", "IoCreateDevice without a driver");
  size_t extensionOffset = AlignUp(sizeof(DEVICE_OBJECT), 16);
  size_t devobjOffset = AlignUp(extensionOffset + DeviceExtensionSize, 16);
  size_t total = devobjOffset + sizeof(DEVOBJ_EXTENSION);
  void* memory = nullptr;
  if (posix_memalign(&memory, 64, total) != 0) {
    *DeviceObject = NULL;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  memset(memory, 0, total);
  PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(memory);
  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension = DeviceExtensionSize ? static_cast<char*>(memory) + extensionOffset : NULL;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  InitializeListHead(&device->Queue.ListEntry);
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  PDEVOBJ_EXTENSION devobj = reinterpret_cast<PDEVOBJ_EXTENSION>(static_cast<char*>(memory) + devobjOffset);
  devobj->Type = IO_TYPE_DEVICE;
  devobj->Size = sizeof(DEVOBJ_EXTENSION);
  devobj->DeviceObject = device;
  device->DeviceObjectExtension = devobj;
  Devices& d = TheDevices();
  std::lock_guard<std::mutex> lock(d.lock);
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  d.lower[device] = NULL;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(PASSIVE_LEVEL, caller, "IRQL_CREATE_DEVICE", "IoDeleteDevice");
  Devices& d = TheDevices();
  {
    std::lock_guard<std::mutex> lock(d.lock);
    auto it = d.lower.find(DeviceObject);
    if (it == d.lower.end() || d.adopted.count(DeviceObject))
      BugCheckAt(caller, "DEVICE_UNKNOWN", "IoDeleteDevice of %p, not a live device of this driver", DeviceObject);
    if (it->second)
      BugCheckAt(caller, "DEVICE_DELETE_ATTACHED", "device %p deleted while attached to %p (IoDetachDevice first)",
                 DeviceObject, static_cast<void*>(it->second));
    if (DeviceObject->AttachedDevice)
      BugCheckAt(caller, "DEVICE_DELETE_ATTACHED", "device %p deleted while %p is attached to it", DeviceObject,
                 static_cast<void*>(DeviceObject->AttachedDevice));
    PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
    while (*link && *link != DeviceObject) link = &(*link)->NextDevice;
    if (*link) *link = DeviceObject->NextDevice;
    d.lower.erase(it);
  }
  memset(DeviceObject, 0xDD, sizeof *DeviceObject);
  free(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  const void* caller = USBAUDIO_CALLER();
  Devices& d = TheDevices();
  std::lock_guard<std::mutex> lock(d.lock);
  if (!d.lower.count(SourceDevice) || !d.lower.count(TargetDevice))
    BugCheckAt(caller, "DEVICE_UNKNOWN", "IoAttachDeviceToDeviceStack(%p, %p) with a device that is not live",
               SourceDevice, TargetDevice);
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice) top = top->AttachedDevice;
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement)
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  d.lower[SourceDevice] = top;
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  const void* caller = USBAUDIO_CALLER();
  Devices& d = TheDevices();
  std::lock_guard<std::mutex> lock(d.lock);
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (!above) BugCheckAt(caller, "DEVICE_NOT_ATTACHED", "IoDetachDevice(%p): nothing is attached to it", TargetDevice);
  TargetDevice->AttachedDevice = NULL;
  auto it = d.lower.find(above);
  if (it != d.lower.end()) it->second = NULL;
}

}  // extern "C"
