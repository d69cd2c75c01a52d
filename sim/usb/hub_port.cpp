#include "sim/usb/hub_port.h"

#include "platform/kernel/device_interfaces.h"

namespace sim {

HubPort::HubPort(PDEVICE_OBJECT device, uint16_t vendorId, uint16_t productId, uint16_t revision, int interfaceNumber)
    : device_(device) {
  driver_.Type = IO_TYPE_DRIVER;
  driver_.Size = sizeof driver_;
  driver_.MajorFunction[IRP_MJ_PNP] = Pnp;
  driver_.MajorFunction[IRP_MJ_POWER] = Power;
  driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PassOn;
  pdo_.Type = IO_TYPE_DEVICE;
  pdo_.Size = sizeof pdo_;
  pdo_.DriverObject = &driver_;
  pdo_.StackSize = static_cast<CCHAR>(device->StackSize + 1);
  pdo_.DeviceExtension = this;
  platform::RegisterPhysicalDevice(&pdo_, platform::UsbDeviceInfo(vendorId, productId, revision, interfaceNumber));
}

HubPort::~HubPort() { platform::UnregisterPhysicalDevice(&pdo_); }

NTSTATUS NTAPI HubPort::PassOn(PDEVICE_OBJECT pdo, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(static_cast<HubPort*>(pdo->DeviceExtension)->device_, irp);
}

NTSTATUS NTAPI HubPort::Pnp(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_CAPABILITIES:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      return PassOn(pdo, irp);
  }
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI HubPort::Power(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

}  // namespace sim
