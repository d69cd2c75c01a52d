// Driver entry, device addition and device start. StartDevice builds the
// adapter object, registers it for power management and installs the one
// wave subdevice "Wave"; each step's references are dropped in reverse order
// whether the start succeeds or not, so a failed start leaves nothing behind
// and a good one leaves only what the port library holds.
#include "driver/core/driver_entry.h"

#include "driver/core/adapter.h"
#include "driver/runtime/trace.h"
#include "driver/port/miniport.h"

namespace {

constexpr ULONG MAX_SUBDEVICES = 1;
constexpr ULONG DEVICE_EXTENSION_SIZE = 0;  // the port library's own

// The driver serves one device: AddDevice records its physical device
// object for StartDevice, which the plug-and-play manager serialises.
PDEVICE_OBJECT PhysicalDeviceObject = NULL;
PDRIVER_UNLOAD PortClassUnload = NULL;

WCHAR WaveSubdeviceName[] = L"Wave";

NTSTATUS InstallWaveSubdevice(PDEVICE_OBJECT deviceObject, PIRP irp, IAdapterCommon* adapter) {
    PPORT port = NULL;
    NTSTATUS status = PcNewPort(&port, CLSID_PortWaveCyclic);
    if (!NT_SUCCESS(status)) {
        UA_ERROR("wave port creation failed 0x%08lx", (unsigned long)status);
        return status;
    }
    PMINIPORTWAVECYCLIC miniport = NULL;
    status = CreateMiniportWaveCyclicUsbAudio(&miniport, NULL, NonPagedPoolNx);
    if (!NT_SUCCESS(status)) {
        UA_ERROR("wave miniport creation failed 0x%08lx", (unsigned long)status);
    } else {
        // The adapter is the port's adapter unknown: the miniport finds it there.
        status = port->Init(deviceObject, irp, miniport, adapter, NULL);
        if (!NT_SUCCESS(status)) {
            UA_ERROR("wave port initialisation failed 0x%08lx", (unsigned long)status);
        } else {
            status = PcRegisterSubdevice(deviceObject, WaveSubdeviceName, port);
            if (!NT_SUCCESS(status)) {
                UA_ERROR("wave subdevice registration failed 0x%08lx", (unsigned long)status);
            }
        }
        miniport->Release();
    }
    port->Release();
    return status;
}

}  // namespace

NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList) {
    UNREFERENCED_PARAMETER(ResourceList);  // a USB function has no hardware resources of its own
    PUNKNOWN adapterUnknown = NULL;
    NTSTATUS status = CreateAdapterUsbAudio(&adapterUnknown, NULL, NonPagedPoolNx);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    IAdapterCommon* adapter = NULL;
    status = adapterUnknown->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&adapter));
    if (NT_SUCCESS(status)) {
        status = adapter->Init(PhysicalDeviceObject, DeviceObject);
        if (NT_SUCCESS(status)) {
            status = PcRegisterAdapterPowerManagement(adapter, DeviceObject);
            if (!NT_SUCCESS(status)) {
                UA_ERROR("power management registration failed 0x%08lx", (unsigned long)status);
            }
        }
        if (NT_SUCCESS(status)) {
            status = InstallWaveSubdevice(DeviceObject, Irp, adapter);
        }
        adapter->Release();
    }
    adapterUnknown->Release();
    if (!NT_SUCCESS(status)) {
        UA_ERROR("device start failed 0x%08lx", (unsigned long)status);
    }
    return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDevice) {
    const NTSTATUS status =
        PcAddAdapterDevice(DriverObject, PhysicalDevice, StartDevice, MAX_SUBDEVICES, DEVICE_EXTENSION_SIZE);
    if (NT_SUCCESS(status)) {
        PhysicalDeviceObject = PhysicalDevice;
    } else {
        UA_ERROR("adapter device creation failed 0x%08lx", (unsigned long)status);
    }
    return status;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
    DbgPrint("UsbAudio!DriverUnload\n");
    if (PortClassUnload != NULL) {
        PortClassUnload(DriverObject);
    }
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    DbgPrint("UsbAudio!DriverEntry\n");
    const NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDevice);
    // The port library's unload routine runs after ours, whatever the status.
    PortClassUnload = DriverObject->DriverUnload;
    DriverObject->DriverUnload = DriverUnload;
    return status;
}
