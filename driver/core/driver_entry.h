// Entry points of the adapter driver. The port library owns the driver
// object's dispatch table; it calls AddDevice for each device and StartDevice
// on IRP_MN_START_DEVICE.
#pragma once

#include "driver/runtime/kernel_prelude.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
