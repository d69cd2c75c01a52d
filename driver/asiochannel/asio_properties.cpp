// The low-latency channel's pin property handler (ids 0 to 4 of
// KSPROPSETID_AsioChannel on the two streaming pins). Every byte of these
// requests comes from an unprivileged client: sizes are checked here, the
// contents in the stream and the shared block. A refused request changes
// nothing.
#include "driver/port/basic_support.h"
#include "driver/port/miniport.h"
#include "driver/port/stream.h"
#include "driver/runtime/trace.h"
#include "driver/uac/property_handlers.h"

namespace {

constexpr ULONG GET_SET_ACCESS = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
constexpr ULONG SET_ACCESS = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;

// The stream behind a pin request, with a reference the caller drops.
CMiniportWaveCyclicStreamUsbAudio* RequestStream(PPCPROPERTY_REQUEST request) {
    if (request->MinorTarget == NULL) {
        return NULL;
    }
    PVOID stream = NULL;
    if (!NT_SUCCESS(request->MinorTarget->QueryInterface(IID_IMiniportWaveCyclicStream, &stream)) || stream == NULL) {
        return NULL;
    }
    // Every stream of this filter is one the miniport created.
    return static_cast<CMiniportWaveCyclicStreamUsbAudio*>(static_cast<IMiniportWaveCyclicStream*>(stream));
}

VOID DropStream(CMiniportWaveCyclicStreamUsbAudio* stream) {
    static_cast<IMiniportWaveCyclicStream*>(stream)->Release();
}

// A 32-bit process on the 64-bit system: 4-byte handles, 28-byte entries.
BOOLEAN IsCaller32Bit(PPCPROPERTY_REQUEST request) {
    return request->Irp != NULL && IoIs32bitProcess(request->Irp);
}

// The event handle of a SET/CLEAR_EVENT instance; 0 when it is too short.
ULONGLONG EventHandleOf(PPCPROPERTY_REQUEST request, BOOLEAN caller32Bit) {
    const ULONG bytes = caller32Bit ? sizeof(ULONG) : sizeof(ULONGLONG);
    if (request->Instance == NULL || request->InstanceSize < bytes) {
        return 0;
    }
    if (caller32Bit) {
        ULONG handle;
        RtlCopyMemory(&handle, request->Instance, sizeof(handle));
        return handle;
    }
    ULONGLONG handle;
    RtlCopyMemory(&handle, request->Instance, sizeof(handle));
    return handle;
}

NTSTATUS BuffersProperty(PPCPROPERTY_REQUEST request, CMiniportWaveCyclicStreamUsbAudio* stream, BOOLEAN caller32Bit) {
    const BOOLEAN set = (request->Verb & KSPROPERTY_TYPE_SET) != 0;
    const BOOLEAN get = (request->Verb & KSPROPERTY_TYPE_GET) != 0;
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (set) {
        if (request->Instance != NULL) {
            status = stream->CreateAsioBuffers(static_cast<const AsioBufferRequest*>(request->Instance),
                                               request->InstanceSize);
        } else {
            UA_ERROR("asio buffers: no instance");
        }
    }
    if (get) {
        // The returned value size stays as the caller gave it.
        const NTSTATUS described = stream->DescribeAsioBuffers(request->Value, request->ValueSize, caller32Bit);
        if (NT_SUCCESS(described)) {
            status = STATUS_SUCCESS;
        }
    }
    return status;
}

NTSTATUS OutputDelayProperty(PPCPROPERTY_REQUEST request) {
    if (request->Instance == NULL || request->InstanceSize < sizeof(ULONG) || request->MajorTarget == NULL) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PVOID privateInterface = NULL;
    if (!NT_SUCCESS(request->MajorTarget->QueryInterface(IID_IMiniportWaveCyclicUsbAudio, &privateInterface)) ||
        privateInterface == NULL) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    IMiniportWaveCyclicUsbAudio* miniport = static_cast<IMiniportWaveCyclicUsbAudio*>(privateInterface);
    ULONG milliseconds;
    RtlCopyMemory(&milliseconds, request->Instance, sizeof(milliseconds));
    // The adapter counts 1 ms USB frames and clamps the value itself.
    miniport->OutputDelay(milliseconds);
    miniport->Release();
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI PropertyHandler_AsioChannel(PPCPROPERTY_REQUEST request) {
    if (request == NULL || request->PropertyItem == NULL ||
        !IsSameInterface(*request->PropertyItem->Set, KSPROPSETID_AsioChannel)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const ULONG id = request->PropertyItem->Id;
    if ((request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        switch (id) {
            case KSPROPERTY_ASIO_BUFFERS:
            case KSPROPERTY_ASIO_SET_EVENT:
            case KSPROPERTY_ASIO_CLEAR_EVENT:
                return PropertyBasicSupportReply(request, GET_SET_ACCESS);
            case KSPROPERTY_ASIO_OUTPUT_READY:
            case KSPROPERTY_ASIO_OUTPUT_DELAY:
                return PropertyBasicSupportReply(request, SET_ACCESS);
            default:
                return STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    const BOOLEAN set = (request->Verb & KSPROPERTY_TYPE_SET) != 0;
    if (id > KSPROPERTY_ASIO_OUTPUT_DELAY || (id != KSPROPERTY_ASIO_BUFFERS && !set)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    CMiniportWaveCyclicStreamUsbAudio* stream = RequestStream(request);
    if (stream == NULL) {
        UA_ERROR("asio property %lu without a stream", (unsigned long)id);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const BOOLEAN caller32Bit = IsCaller32Bit(request);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    switch (id) {
        case KSPROPERTY_ASIO_BUFFERS:
            status = BuffersProperty(request, stream, caller32Bit);
            break;
        case KSPROPERTY_ASIO_SET_EVENT: {
            const ULONGLONG handle = EventHandleOf(request, caller32Bit);
            status = handle != 0 ? stream->RegisterClientEvent(handle) : STATUS_INVALID_DEVICE_REQUEST;
            break;
        }
        case KSPROPERTY_ASIO_CLEAR_EVENT: {
            const ULONGLONG handle = EventHandleOf(request, caller32Bit);
            status = handle != 0 ? stream->UnregisterClientEvent(handle) : STATUS_INVALID_DEVICE_REQUEST;
            break;
        }
        case KSPROPERTY_ASIO_OUTPUT_READY:
            stream->SignalOutputReady();
            status = STATUS_SUCCESS;
            break;
        case KSPROPERTY_ASIO_OUTPUT_DELAY:
            status = OutputDelayProperty(request);
            break;
        default:
            break;
    }
    DropStream(stream);
    return status;
}
