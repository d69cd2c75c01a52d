// The host's plug-and-play manager: driver object, AddDevice, and the PnP
// and power IRPs of a device's life, at PASSIVE_LEVEL on the caller's
// thread (the PnP manager's system thread on Windows).
#include "platform/kernel/pnp_manager.h"

#include <set>
#include <vector>

#include "platform/kernel/device_interfaces.h"
#include "platform/kernel/internal.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/work_items.h"

namespace platform {

using detail::BugCheckAt;

struct PnpManager::DriverImage {
  DRIVER_OBJECT driver{};
  DRIVER_EXTENSION extension{};
  std::vector<WCHAR> name;
  std::vector<WCHAR> service;
  std::vector<WCHAR> registryPath;
  std::set<PDEVICE_OBJECT> surpriseRemoved;
};

namespace {

std::vector<WCHAR> Wide(const std::u16string& s) {
  std::vector<WCHAR> w(s.begin(), s.end());
  w.push_back(0);
  return w;
}

void InitString(UNICODE_STRING* u, std::vector<WCHAR>& storage) {
  u->Buffer = storage.data();
  u->Length = static_cast<USHORT>((storage.size() - 1) * sizeof(WCHAR));
  u->MaximumLength = static_cast<USHORT>(storage.size() * sizeof(WCHAR));
}

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device) {
  while (device->AttachedDevice) device = device->AttachedDevice;
  return device;
}

}  // namespace

PnpManager::~PnpManager() {
  if (driver_) UnloadDriver();
}

PDEVICE_OBJECT PnpManager::FunctionalDevice(PDEVICE_OBJECT pdo) { return pdo->AttachedDevice; }

NTSTATUS PnpManager::LoadDriver(PDRIVER_INITIALIZE driverEntry, const std::u16string& serviceName) {
  if (driver_) BugCheckAt(USBAUDIO_CALLER(), "PNP_DRIVER_LOADED_TWICE", "LoadDriver with a driver already loaded");
  image_ = new DriverImage;
  image_->name = Wide(u"\\Driver\\" + serviceName);
  image_->service = Wide(serviceName);
  image_->registryPath = Wide(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName);
  PDRIVER_OBJECT d = &image_->driver;
  d->Type = IO_TYPE_DRIVER;
  d->Size = sizeof(DRIVER_OBJECT);
  d->DriverExtension = &image_->extension;
  d->DriverInit = driverEntry;
  image_->extension.DriverObject = d;
  InitString(&d->DriverName, image_->name);
  InitString(&image_->extension.ServiceKeyName, image_->service);
  UNICODE_STRING registryPath;
  InitString(&registryPath, image_->registryPath);
  detail::RequireIrqlAtMost(PASSIVE_LEVEL, USBAUDIO_CALLER(), "IRQL_PNP_ABOVE_PASSIVE", "LoadDriver");
  NTSTATUS status = driverEntry(d, &registryPath);
  if (detail::CurrentIrql() != PASSIVE_LEVEL)
    BugCheckAt(reinterpret_cast<const void*>(driverEntry), "IRQL_NOT_RESTORED", "DriverEntry returned at IRQL %u",
               detail::CurrentIrql());
  if (!NT_SUCCESS(status)) {
    // Windows unloads the image without calling the unload routine.
    if (d->DeviceObject)
      BugCheckAt(reinterpret_cast<const void*>(driverEntry), "DRIVER_UNLOADED_WITH_DEVICES",
                 "DriverEntry failed (0x%08X) and left device objects", static_cast<unsigned>(status));
    delete image_;
    image_ = nullptr;
    return status;
  }
  driver_ = d;
  return status;
}

NTSTATUS PnpManager::AddDevice(PDEVICE_OBJECT pdo) {
  if (!driver_) BugCheckAt(USBAUDIO_CALLER(), "PNP_NO_DRIVER", "AddDevice without a loaded driver");
  if (!GetPhysicalDeviceInfo(pdo, nullptr))
    BugCheckAt(USBAUDIO_CALLER(), "PNP_DEVICE_NOT_REGISTERED", "AddDevice for %p, which no bus registered",
               static_cast<void*>(pdo));
  PDRIVER_ADD_DEVICE add = driver_->DriverExtension->AddDevice;
  if (!add) return STATUS_NOT_SUPPORTED;
  NTSTATUS status = add(driver_, pdo);
  if (detail::CurrentIrql() != PASSIVE_LEVEL)
    BugCheckAt(reinterpret_cast<const void*>(add), "IRQL_NOT_RESTORED", "AddDevice returned at IRQL %u",
               detail::CurrentIrql());
  if (NT_SUCCESS(status)) {
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    if (fdo && (fdo->Flags & DO_DEVICE_INITIALIZING))
      BugCheckAt(reinterpret_cast<const void*>(add), "PNP_DEVICE_STILL_INITIALIZING",
                 "AddDevice left DO_DEVICE_INITIALIZING set on %p", static_cast<void*>(fdo));
  }
  return status;
}

NTSTATUS PnpManager::SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, PDEVICE_CAPABILITIES capabilities) {
  return detail::SendIrpAndWait(TopOf(pdo), nullptr, [&](PIRP irp, PIO_STACK_LOCATION sp) {
    irp->RequestorMode = KernelMode;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // what nobody handles stays unsupported
    sp->MajorFunction = IRP_MJ_PNP;
    sp->MinorFunction = minor;
    if (capabilities) sp->Parameters.DeviceCapabilities.Capabilities = capabilities;
  });
}

NTSTATUS PnpManager::SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  return detail::SendIrpAndWait(TopOf(pdo), nullptr, [&](PIRP irp, PIO_STACK_LOCATION sp) {
    irp->RequestorMode = KernelMode;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = minor;
    sp->Parameters.Power.Type = type;
    sp->Parameters.Power.State = state;
    sp->Parameters.Power.ShutdownType = PowerActionNone;
  });
}

NTSTATUS PnpManager::StartDevice(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_START_DEVICE); }

NTSTATUS PnpManager::QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities) {
  memset(capabilities, 0, sizeof *capabilities);
  capabilities->Size = sizeof *capabilities;
  capabilities->Version = 1;
  capabilities->Address = capabilities->UINumber = 0xFFFFFFFF;
  return SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, capabilities);
}

NTSTATUS PnpManager::SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
  POWER_STATE ps;
  ps.DeviceState = state;
  NTSTATUS status = SendPower(pdo, IRP_MN_QUERY_POWER, DevicePowerState, ps);
  if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED) return status;
  return SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, ps);
}

NTSTATUS PnpManager::SetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
  POWER_STATE ps;
  ps.SystemState = state;
  NTSTATUS status = SendPower(pdo, IRP_MN_QUERY_POWER, SystemPowerState, ps);
  if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED) return status;
  return SendPower(pdo, IRP_MN_SET_POWER, SystemPowerState, ps);
}

NTSTATUS PnpManager::StopDevice(PDEVICE_OBJECT pdo) {
  NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(status)) {
    SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
    return status;
  }
  return SendPnp(pdo, IRP_MN_STOP_DEVICE);
}

NTSTATUS PnpManager::SurpriseRemoveDevice(PDEVICE_OBJECT pdo) {
  if (image_) image_->surpriseRemoved.insert(pdo);
  return SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
}

NTSTATUS PnpManager::RemoveDevice(PDEVICE_OBJECT pdo) {
  bool surprise = image_ && image_->surpriseRemoved.erase(pdo);
  if (!surprise) {
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
      SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
      return status;
    }
  }
  NTSTATUS status = SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
  if (pdo->AttachedDevice)
    BugCheckAt(USBAUDIO_CALLER(), "PNP_REMOVE_LEFT_DEVICE", "after IRP_MN_REMOVE_DEVICE %p is still attached to %p",
               static_cast<void*>(pdo->AttachedDevice), static_cast<void*>(pdo));
  return status;
}

void PnpManager::UnloadDriver() {
  if (!driver_) return;
  if (driver_->DeviceObject)
    BugCheckAt(USBAUDIO_CALLER(), "DRIVER_UNLOADED_WITH_DEVICES", "unload with device %p still present",
               static_cast<void*>(driver_->DeviceObject));
  if (driver_->DriverUnload) driver_->DriverUnload(driver_);
  driver_ = nullptr;
  delete image_;
  image_ = nullptr;
  if (!WaitForWorkItems())
    BugCheckAt(USBAUDIO_CALLER(), "WORK_ITEM_LEAK", "work items still queued or running at driver unload");
  if (OpenHandleCount())
    BugCheckAt(USBAUDIO_CALLER(), "HANDLE_LEAK", "%zu handles still open at driver unload", OpenHandleCount());
  if (OutstandingDeviceObjects())
    BugCheckAt(USBAUDIO_CALLER(), "DEVICE_OBJECT_LEAK", "%zu device objects left at driver unload",
               OutstandingDeviceObjects());
  VerifyNoLeaks("driver unload");
}

}  // namespace platform
