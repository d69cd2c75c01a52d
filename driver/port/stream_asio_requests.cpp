// CMiniportWaveCyclicStreamUsbAudio: the low-latency channel's requests, at
// PASSIVE_LEVEL in the client's process. The block and the event are set up
// only while the pin is stopped or acquired: once it runs, the streaming
// context converts into the block and signals the event.
#include "driver/port/stream.h"

#include "driver/port/miniport.h"
#include "driver/runtime/trace.h"

namespace {

BOOLEAN IsSetUpState(KSSTATE state) {
    return state == KSSTATE_STOP || state == KSSTATE_ACQUIRE;
}

}  // namespace

NTSTATUS CMiniportWaveCyclicStreamUsbAudio::CreateAsioBuffers(const AsioBufferRequest* request, ULONG instanceBytes) {
    if (!IsSetUpState(ReadState()) || HasClientBuffers()) {
        UA_ERROR("asio buffers: refused in state %d", (int)ReadState());
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return AsioBuffers.AllocateAndMapForUserSpace(request, instanceBytes, GetChannels());
}

NTSTATUS CMiniportWaveCyclicStreamUsbAudio::DescribeAsioBuffers(PVOID value, ULONG valueBytes, BOOLEAN caller32Bit) {
    return AsioBuffers.DescribeChannels(value, valueBytes, caller32Bit);
}

NTSTATUS CMiniportWaveCyclicStreamUsbAudio::RegisterClientEvent(ULONGLONG handleValue) {
    if (!IsSetUpState(ReadState()) || handleValue == 0 || ClientEventHandle != 0 || ReadClientEvent() != NULL) {
        UA_ERROR("asio event: registration refused");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PVOID object = NULL;
    const NTSTATUS status =
        ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(handleValue)),
                                  SYNCHRONIZE | EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, NULL);
    if (!NT_SUCCESS(status)) {
        UA_ERROR("asio event: handle refused 0x%08lx", (unsigned long)status);
        return status;
    }
    // Two registrations racing: the first to store wins.
    BOOLEAN stored = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&ClientEventLock, &irql);
    if (ClientEventHandle == 0 && ReadClientEvent() == NULL) {
        ClientEventHandle = handleValue;
        InterlockedExchangePointer(const_cast<PVOID volatile*>(&ClientEventObject), object);
        stored = TRUE;
    }
    KeReleaseSpinLock(&ClientEventLock, irql);
    if (!stored) {
        ObDereferenceObject(object);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclicStreamUsbAudio::UnregisterClientEvent(ULONGLONG handleValue) {
    if (!IsSetUpState(ReadState()) || handleValue == 0) {
        UA_ERROR("asio event: clearing refused");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PVOID object = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&ClientEventLock, &irql);
    if (ClientEventHandle == handleValue) {
        object = InterlockedExchangePointer(const_cast<PVOID volatile*>(&ClientEventObject), NULL);
        ClientEventHandle = 0;
    }
    KeReleaseSpinLock(&ClientEventLock, irql);
    if (object == NULL) {
        UA_ERROR("asio event: handle not registered");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // No signal can be under way any more: it runs under the same lock.
    ObDereferenceObject(object);
    return STATUS_SUCCESS;
}

VOID CMiniportWaveCyclicStreamUsbAudio::SignalOutputReady() {
    InterlockedExchange(&OutputReadyFlag, 1);
    if (Miniport != NULL) {
        Miniport->OutputReady();
    }
}

VOID CMiniportWaveCyclicStreamUsbAudio::ReleaseLowLatency() {
    AsioBuffers.Free();
    PVOID object = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&ClientEventLock, &irql);
    object = InterlockedExchangePointer(const_cast<PVOID volatile*>(&ClientEventObject), NULL);
    ClientEventHandle = 0;
    KeReleaseSpinLock(&ClientEventLock, irql);
    if (object != NULL) {
        ObDereferenceObject(object);
    }
}
