// CMiniportWaveCyclicStreamUsbAudio: the low-latency channel's requests.
#include "driver/port/stream.h"

NTSTATUS CMiniportWaveCyclicStreamUsbAudio::CreateAsioBuffers(const AsioBufferRequest*, ULONG) {
    return STATUS_INVALID_DEVICE_REQUEST;
}
NTSTATUS CMiniportWaveCyclicStreamUsbAudio::DescribeAsioBuffers(PVOID, ULONG, BOOLEAN) {
    return STATUS_INVALID_DEVICE_REQUEST;
}
NTSTATUS CMiniportWaveCyclicStreamUsbAudio::RegisterClientEvent(ULONGLONG) { return STATUS_INVALID_DEVICE_REQUEST; }
NTSTATUS CMiniportWaveCyclicStreamUsbAudio::UnregisterClientEvent(ULONGLONG) { return STATUS_INVALID_DEVICE_REQUEST; }
VOID CMiniportWaveCyclicStreamUsbAudio::SignalOutputReady() {}
VOID CMiniportWaveCyclicStreamUsbAudio::ReleaseLowLatency() {}
