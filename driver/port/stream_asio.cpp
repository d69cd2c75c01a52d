// CMiniportWaveCyclicStreamUsbAudio: the low-latency channel's streaming side.
// At each timing notification the stream moves one client half between the
// shared block and the cyclic buffer, toggles halves and wakes the client.
// Runs in the streaming context (up to DISPATCH_LEVEL): nothing here
// allocates or waits.
//
// Cyclic-buffer bookkeeping: the write position names the last frame
// written (inclusive), the read position the next frame to be taken. The
// buffer is empty when read = write + one frame, so one frame still queued
// (read = write) is never mistaken for an empty buffer and overwritten.
#include "driver/port/miniport.h"
#include "driver/port/stream.h"
#include "driver/runtime/trace.h"

namespace {

BOOLEAN IsDsdType(ULONG sampleType) {
    return sampleType == ASIOSTDSDInt8LSB1 || sampleType == ASIOSTDSDInt8MSB1;
}

}  // namespace

BOOLEAN CMiniportWaveCyclicStreamUsbAudio::SignalClientEvent() {
    // The lock keeps an unregistration from dereferencing the event while it
    // is being set.
    KIRQL irql;
    KeAcquireSpinLock(&ClientEventLock, &irql);
    const PKEVENT event = ReadClientEvent();
    if (event != NULL) {
        KeSetEvent(event, IO_SOUND_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&ClientEventLock, irql);
    return event != NULL;
}

VOID CMiniportWaveCyclicStreamUsbAudio::RecordStreamError(NTSTATUS status) {
    AsioBuffers.RecordStreamError(status);
}

ULONG CMiniportWaveCyclicStreamUsbAudio::ClientEmptyWritePosition(ULONG read) const {
    return read >= BlockAlign ? read - BlockAlign : read + BufferBytes - BlockAlign;
}

VOID CMiniportWaveCyclicStreamUsbAudio::ResetClientPositions() {
    InterlockedExchange(&ReadPosition, 0);
    InterlockedExchange(&WritePosition, (LONG)ClientEmptyWritePosition(0));
}

ULONG CMiniportWaveCyclicStreamUsbAudio::QueuedBytes() const {
    const ULONG size = BufferBytes;
    const ULONG write = (ULONG)InterlockedCompareExchange(const_cast<volatile LONG*>(&WritePosition), 0, 0);
    const ULONG read = (ULONG)InterlockedCompareExchange(const_cast<volatile LONG*>(&ReadPosition), 0, 0);
    if (size == 0 || write >= size || read >= size) {
        return 0;
    }
    // From the read position to just past the last written frame, wrapping.
    ULONGLONG queued = (ULONGLONG)write + BlockAlign + (read > write ? size : 0) - read;
    if (queued >= size) {
        queued -= size;  // read = write + one frame: nothing left
    }
    return (ULONG)queued;
}

ULONG CMiniportWaveCyclicStreamUsbAudio::DeviceFramesPerHalf() const {
    // A 32-bit device frame carries four DSD bytes of a channel.
    const ULONG halfFrames = AsioBuffers.GetHalfFrames();
    if (IsDsdType(AsioBuffers.FirstSampleType()) && BitsPerSample / 8 == 4) {
        return halfFrames / 4;
    }
    return halfFrames;
}

VOID CMiniportWaveCyclicStreamUsbAudio::CopyFromAsioBuffer(PUCHAR address, ULONG bytes) {
    if (bytes > BufferBytes) {
        UA_ERROR("render stream: a %lu-byte half does not fit the %lu-byte buffer", (unsigned long)bytes,
                 (unsigned long)BufferBytes);
        bytes = 0;
    }
    IAdapterCommon* adapter = Adapter();
    const ULONG room = (ULONG)(Buffer + BufferBytes - address);
    const ULONG first = bytes < room ? bytes : room;
    if (first > 0) {
        AsioBuffers.CopyRender(address, first / BlockAlign, BlockAlign, BitsPerSample);
        adapter->QueueRenderBuffer(address, first);
    }
    if (bytes > first) {
        AsioBuffers.CopyRender(Buffer, (bytes - first) / BlockAlign, BlockAlign, BitsPerSample);
        adapter->QueueRenderBuffer(Buffer, bytes - first);
    }
}

VOID CMiniportWaveCyclicStreamUsbAudio::CopyToAsioBuffer(PUCHAR address, ULONG bytes) {
    IAdapterCommon* adapter = Adapter();
    const ULONG room = (ULONG)(Buffer + BufferBytes - address);
    const ULONG first = bytes < room ? bytes : room;
    if (first > 0) {
        AsioBuffers.CopyCapture(address, first / BlockAlign, BlockAlign, BitsPerSample);
        adapter->QueueCaptureBuffer(address, first);
    }
    if (bytes > first) {
        AsioBuffers.CopyCapture(Buffer, (bytes - first) / BlockAlign, BlockAlign, BitsPerSample);
        adapter->QueueCaptureBuffer(Buffer, bytes - first);
    }
}

VOID CMiniportWaveCyclicStreamUsbAudio::AsioTimingNotification() {
    if (Buffer == NULL || BufferBytes == 0 || BlockAlign == 0) {
        return;
    }
    if (Capture) {
        AsioCaptureTiming();
    } else {
        AsioRenderTiming();
    }
}

VOID CMiniportWaveCyclicStreamUsbAudio::AsioCaptureTiming() {
    const ULONG queued = QueuedBytes();
    const ULONG framesPerHalf = DeviceFramesPerHalf();
    const ULONG position = AsioBuffers.GetPosition();
    // In 64 bits: a huge frames value must not wrap into a small need.
    const ULONGLONG need = position < framesPerHalf ? (ULONGLONG)BlockAlign * (framesPerHalf - position) : 0;
    const ULONG take = need < queued ? (ULONG)need : queued;
    const ULONG read = (ULONG)InterlockedCompareExchange(&ReadPosition, 0, 0);
    CopyToAsioBuffer(Buffer + read, take);
    if (take < need) {
        UA_TRACE("capture stream: %lu of %llu bytes for the half", (unsigned long)take, (unsigned long long)need);
    } else {
        // The half is complete: the client takes it.
        AsioBuffers.Toggle();
        Miniport->BufferToggle();
        SignalClientEvent();
    }
    ULONG next = read + take;
    if (next >= BufferBytes) {
        next -= BufferBytes;
    }
    InterlockedExchange(&ReadPosition, (LONG)next);
}

ULONG CMiniportWaveCyclicStreamUsbAudio::RenderLeadCapBytes(ULONG halfBytes) const {
    // The client is asked for another half only while what is queued stays
    // within this lead: enough to ride out a late wake-up, not the whole
    // cyclic buffer (which would only add latency). Two halves at least, so
    // one can be filled while the other is played.
    const ULONGLONG lead = (ULONGLONG)BlockAlign * (SampleRate / RENDER_LEAD_PER_SECOND);
    const ULONGLONG twoHalves = 2ull * halfBytes;
    const ULONGLONG cap = lead > twoHalves ? lead : twoHalves;
    return cap < BufferBytes ? (ULONG)cap : BufferBytes;
}

BOOLEAN CMiniportWaveCyclicStreamUsbAudio::RoomForAnotherHalf(ULONG queued, ULONG halfBytes) const {
    // Bounded by the cyclic buffer's room and by the lead cap.
    const ULONGLONG after = (ULONGLONG)queued + halfBytes;
    return after <= BufferBytes && after <= RenderLeadCapBytes(halfBytes);
}

VOID CMiniportWaveCyclicStreamUsbAudio::AsioRenderTiming() {
    if (ReadState() != KSSTATE_RUN) {
        UA_TRACE("render stream: timing notification while not running");
        return;
    }
    const ULONG size = BufferBytes;
    // In 64 bits: a huge frames value must not wrap into a small half.
    const ULONGLONG halfBytes64 = (ULONGLONG)BlockAlign * DeviceFramesPerHalf();
    const BOOLEAN fits = halfBytes64 <= size;
    const ULONG halfBytes = fits ? (ULONG)halfBytes64 : size;
    const ULONG queued = QueuedBytes();
    const BOOLEAN event = HasClientEvent();
    if (InterlockedExchange(&OutputReadyFlag, 0) == 1) {
        // Header word 0 now names the half the client has just filled.
        AsioBuffers.Toggle();
        if (!fits) {
            UA_ERROR("render stream: a %llu-byte half does not fit the %lu-byte buffer", (unsigned long long)halfBytes64,
                     (unsigned long)size);
            return;
        }
        const ULONG write = (ULONG)InterlockedCompareExchange(&WritePosition, 0, 0);
        const ULONG start = (ULONG)(((ULONGLONG)write + BlockAlign) % size);
        CopyFromAsioBuffer(Buffer + start, halfBytes);
        const ULONG last = (ULONG)(((ULONGLONG)start + halfBytes + size - BlockAlign) % size);
        InterlockedExchange(&WritePosition, (LONG)last);
        if (!event) {
            return;
        }
        if (!RoomForAnotherHalf(queued + halfBytes, halfBytes)) {
            UA_TRACE("render stream: no room for another half (%lu bytes queued)", (unsigned long)queued);
            return;
        }
        Miniport->BufferToggle();
        return;
    }
    // No half given yet: ask for one while there is room (the miniport's
    // guard lets one wake-up through per output-ready notice).
    if (event && fits && RoomForAnotherHalf(queued, halfBytes)) {
        Miniport->BufferToggle();
    } else {
        UA_TRACE("render stream: waiting for output ready (%lu bytes queued)", (unsigned long)queued);
    }
}

VOID CMiniportWaveCyclicStreamUsbAudio::StartAsioRender() {
    // The adapter's queue was flushed when the stream paused: nothing stays
    // queued from an earlier run.
    const ULONG read = (ULONG)InterlockedCompareExchange(&ReadPosition, 0, 0);
    if (read < BufferBytes) {
        InterlockedExchange(&WritePosition, (LONG)ClientEmptyWritePosition(read));
    } else {
        ResetClientPositions();
    }
    if (!HasClientEvent()) {
        // The capture side paces the client.
        QueueRenderLead();
        return;
    }
    // Ask the client for half 0 at once.
    AsioBuffers.Toggle();
    Miniport->BufferToggle();
}

VOID CMiniportWaveCyclicStreamUsbAudio::QueueRenderLead() {
    // Paced by capture, each output half is handed over when the capture
    // side completes a half, which is just when the device would need it:
    // without a lead the render pump runs dry at every half's tail (it never
    // sends a short transfer), its underrun ends every transfer chain, and
    // the chains restart late from the next output ready, with only the
    // device's FIFO to cover the gap. Whole halves of silence ahead of the
    // first client half give every later half the same lead; it covers the
    // pump's transfers in flight plus one transfer (8 x 4 ms + 4 ms) and a
    // margin for late wake-ups, so the pump finds each half queued before it
    // needs it. Only halves that leave room for two client halves.
    const ULONG size = BufferBytes;
    const ULONGLONG halfBytes = (ULONGLONG)BlockAlign * DeviceFramesPerHalf();
    if (halfBytes == 0 || 2 * halfBytes > size) {
        return;
    }
    const ULONGLONG leadBytes = (ULONGLONG)BlockAlign * (SampleRate / CAPTURE_PACED_LEAD_PER_SECOND);
    ULONGLONG halves = (leadBytes + halfBytes - 1) / halfBytes;
    if (halves == 0) {
        halves = 1;
    }
    while (halves > 0 && (halves + 2) * halfBytes > size) {
        --halves;
    }
    const ULONG bytes = (ULONG)(halves * halfBytes);
    if (bytes == 0) {
        return;
    }
    IAdapterCommon* adapter = Adapter();
    const ULONG write = (ULONG)InterlockedCompareExchange(&WritePosition, 0, 0);
    const ULONG start = (ULONG)(((ULONGLONG)write + BlockAlign) % size);
    const ULONG room = size - start;
    const ULONG first = bytes < room ? bytes : room;
    Silence(Buffer + start, first);
    adapter->QueueRenderBuffer(Buffer + start, first);
    if (bytes > first) {
        Silence(Buffer, bytes - first);
        adapter->QueueRenderBuffer(Buffer, bytes - first);
    }
    InterlockedExchange(&WritePosition, (LONG)(((ULONGLONG)start + bytes + size - BlockAlign) % size));
    UA_TRACE("render stream: %lu bytes of silence lead", (unsigned long)bytes);
}
