// Power callbacks of the port library. The device forgets its transport mode
// while powered down, so returning to D0 sends every interface's mode again.
#include "driver/core/adapter.h"
#include "driver/runtime/trace.h"

namespace {

constexpr UCHAR VENDOR_INTERFACE_OUT = 0x41;
constexpr UCHAR VENDOR_SET_MODE = 0x00;

}  // namespace

STDMETHODIMP_(void) CAdapterUsbAudio::PowerChangeState(POWER_STATE NewState) {
    if (NewState.DeviceState == PowerState) {
        return;
    }
    UA_TRACE("power D%d -> D%d", (int)PowerState - 1, (int)NewState.DeviceState - 1);
    PowerState = NewState.DeviceState;
    if (NewState.DeviceState != PowerDeviceD0) {
        return;
    }
    for (StreamingInterface* streaming = UsbAudio.GetStreamingInterfaces(); streaming != NULL;
         streaming = streaming->Next) {
        const NTSTATUS status = UsbAudio.ControlRequest(VENDOR_INTERFACE_OUT, VENDOR_SET_MODE, streaming->DeviceMode,
                                                        streaming->InterfaceNumber, 0, NULL);
        if (!NT_SUCCESS(status)) {
            UA_ERROR("mode %u on interface %u after power-up failed 0x%08lx", streaming->DeviceMode,
                     streaming->InterfaceNumber, (unsigned long)status);
            break;
        }
    }
}

STDMETHODIMP_(NTSTATUS) CAdapterUsbAudio::QueryPowerChangeState(POWER_STATE NewStateQuery) {
    UNREFERENCED_PARAMETER(NewStateQuery);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CAdapterUsbAudio::QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps) {
    PowerDeviceCaps->SurpriseRemovalOK = TRUE;
    return STATUS_SUCCESS;
}
