// The stream's own DMA channel: a non-paged cyclic buffer whose copies in and
// out are queued on the adapter for the USB transfers.
#include "driver/runtime/pool_object.h"
#include "driver/runtime/pool_tags.h"
#include "driver/runtime/trace.h"
#include "driver/port/miniport.h"
#include "driver/port/stream.h"

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclicStreamUsbAudio::AllocateBuffer(ULONG Size,
                                                                          PPHYSICAL_ADDRESS PhysicalAddressConstraint) {
    UNREFERENCED_PARAMETER(PhysicalAddressConstraint);  // no device ever reads it directly
    FreeBuffer();
    Buffer = static_cast<PUCHAR>(AllocateZeroedPool(Size, POOLTAG_USB));
    if (Buffer == NULL) {
        UA_ERROR("stream: no memory for a %lu-byte buffer", (unsigned long)Size);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    AllocatedBytes = Size;
    BufferBytes = Size;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CMiniportWaveCyclicStreamUsbAudio::FreeBuffer() {
    if (Buffer != NULL) {
        ExFreePoolWithTag(Buffer, POOLTAG_USB);
        Buffer = NULL;
    }
    AllocatedBytes = 0;
    BufferBytes = 0;
}

STDMETHODIMP_(ULONG) CMiniportWaveCyclicStreamUsbAudio::TransferCount() {
    return AllocatedBytes;
}

STDMETHODIMP_(ULONG) CMiniportWaveCyclicStreamUsbAudio::MaximumBufferSize() {
    return BufferBytesFor(SampleRate, BlockAlign);
}

STDMETHODIMP_(ULONG) CMiniportWaveCyclicStreamUsbAudio::AllocatedBufferSize() {
    return AllocatedBytes;
}

STDMETHODIMP_(ULONG) CMiniportWaveCyclicStreamUsbAudio::BufferSize() {
    return BufferBytes;
}

STDMETHODIMP_(void) CMiniportWaveCyclicStreamUsbAudio::SetBufferSize(ULONG Size) {
    if (Size <= AllocatedBytes) {
        BufferBytes = Size;
    } else {
        UA_ERROR("stream: buffer size %lu above the allocated %lu", (unsigned long)Size, (unsigned long)AllocatedBytes);
    }
}

STDMETHODIMP_(PVOID) CMiniportWaveCyclicStreamUsbAudio::SystemAddress() {
    return Buffer;
}

STDMETHODIMP_(PHYSICAL_ADDRESS) CMiniportWaveCyclicStreamUsbAudio::PhysicalAddress() {
    // The buffer is never seen by hardware; its virtual address stands in.
    PHYSICAL_ADDRESS address;
    address.QuadPart = (LONGLONG)(ULONG_PTR)Buffer;
    return address;
}

STDMETHODIMP_(PADAPTER_OBJECT) CMiniportWaveCyclicStreamUsbAudio::GetAdapterObject() {
    return NULL;
}

VOID CMiniportWaveCyclicStreamUsbAudio::SplitAtBufferEnd(PUCHAR at, ULONG bytes, PULONG first, PULONG rest) {
    const ULONG room = (ULONG)(Buffer + BufferBytes - at);
    *first = bytes < room ? bytes : room;
    *rest = bytes - *first;
    if (*rest > BufferBytes) {
        UA_ERROR("copy of %lu bytes exceeds the %lu-byte buffer", (unsigned long)bytes, (unsigned long)BufferBytes);
        *rest = BufferBytes;
    }
}

STDMETHODIMP_(void) CMiniportWaveCyclicStreamUsbAudio::CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) {
    PUCHAR destination = static_cast<PUCHAR>(Destination);
    const PUCHAR source = static_cast<PUCHAR>(Source);
    if (Buffer == NULL || destination < Buffer || destination > Buffer + BufferBytes) {
        UA_ERROR("render copy to %p outside the buffer at %p", Destination, Buffer);
        return;
    }
    // Up to the end of the buffer, then the rest from its start.
    ULONG first = 0;
    ULONG rest = 0;
    SplitAtBufferEnd(destination, ByteCount, &first, &rest);
    IAdapterCommon* adapter = Miniport->GetAdapter();
    if (first != 0) {
        RtlCopyMemory(destination, source, first);
        adapter->QueueRenderBuffer(destination, first);
    }
    if (rest != 0) {
        RtlCopyMemory(Buffer, source + first, rest);
        adapter->QueueRenderBuffer(Buffer, rest);
    }
    if (ReadState() == KSSTATE_RUN) {
        adapter->RenderNotify();
    }
}

STDMETHODIMP_(void) CMiniportWaveCyclicStreamUsbAudio::CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) {
    const PUCHAR destination = static_cast<PUCHAR>(Destination);
    PUCHAR source = static_cast<PUCHAR>(Source);
    if (Buffer == NULL || source < Buffer || source > Buffer + BufferBytes) {
        UA_ERROR("capture copy from %p outside the buffer at %p", Source, Buffer);
        return;
    }
    ULONG first = 0;
    ULONG rest = 0;
    SplitAtBufferEnd(source, ByteCount, &first, &rest);
    // What was read goes back to be filled again.
    IAdapterCommon* adapter = Miniport->GetAdapter();
    if (first != 0) {
        RtlCopyMemory(destination, source, first);
        adapter->QueueCaptureBuffer(source, first);
    }
    if (rest != 0) {
        RtlCopyMemory(destination + first, Buffer, rest);
        adapter->QueueCaptureBuffer(Buffer, rest);
    }
}
