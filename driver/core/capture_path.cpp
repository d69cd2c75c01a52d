// The capture path: receive transfers at explicit USB frame numbers, each
// re-submitted from the completion of the previous one, the received audio
// converted into the queued client buffers, and in implicit-feedback mode
// the frames counted for render.
#include "driver/core/adapter.h"
#include "driver/runtime/pool_tags.h"
#include "driver/core/sample_conversion.h"
#include "driver/runtime/trace.h"
#include "driver/core/tuning.h"
#include "driver/port/miniport_private.h"

namespace {

// Frames between "now" and the first receive of a (re)started schedule.
constexpr ULONG CAPTURE_START_LEAD_FRAMES = 7;
// The USB stack refuses a start frame less than a few frames ahead of the
// current one (USBD_STATUS_BAD_START_FRAME): a schedule closer than this has
// fallen behind too.
constexpr LONG CAPTURE_MIN_LEAD_FRAMES = 3;

}  // namespace

VOID CAdapterUsbAudio::ReceiveCaptureTransfer(PVOID buffer, TRANSFER_REQUEST* request) {
    BOOLEAN submit = !IsSignalled(&CaptureStopEvent) && !IsSignalled(&CaptureErrorEvent) &&
                     (IsImplicitFeedbackMode() || IsSignalled(&CaptureRunningEvent));
    if (submit && buffer == NULL) {
        buffer = CaptureTransferBytes != 0 ? ExAllocatePoolWithTag(NonPagedPoolNx, CaptureTransferBytes, POOLTAG_USB)
                                           : NULL;
        submit = buffer != NULL;
    }
    if (submit && request == NULL) {
        request = static_cast<TRANSFER_REQUEST*>(ExAllocateFromNPagedLookasideList(&RequestPool));
        if (request != NULL) {
            RtlZeroMemory(request, sizeof(*request));
        }
        submit = request != NULL;
    }
    if (submit) {
        request->Buffer = buffer;
        request->TargetBytes = CaptureTransferBytes;
        request->Owner = this;
        ULONG now = 0;
        UsbAudio.QueryBusTime(&now);
        // The capture thread starts chains while completions re-submit
        // theirs: each transfer must get a frame of its own.
        KIRQL irql;
        KeAcquireSpinLock(&CaptureScheduleLock, &irql);
        if (TakeFlag(&CaptureStartPending)) {
            NextCaptureFrame = now + CAPTURE_START_LEAD_FRAMES;
        } else {
            const ULONG next = NextCaptureFrame + GetStreamTuning(TRUE).FramesPerTransfer;
            if ((LONG)(next - now) < CAPTURE_MIN_LEAD_FRAMES) {
                UA_TRACE("capture schedule behind: frame %lu, now %lu", (unsigned long)next, (unsigned long)now);
                NextCaptureFrame = now + CAPTURE_START_LEAD_FRAMES;
            } else {
                NextCaptureFrame = next;
            }
        }
        const ULONG startFrame = NextCaptureFrame;
        KeReleaseSpinLock(&CaptureScheduleLock, irql);
        const NTSTATUS status =
            UsbAudio.ReceiveIsoIn(buffer, CaptureTransferBytes, CaptureTransferCompletion, request, startFrame);
        if (NT_SUCCESS(status)) {
            return;
        }
        UA_ERROR("capture transfer not submitted: 0x%08lx", (unsigned long)status);
        KeSetEvent(&CaptureErrorEvent, IO_NO_INCREMENT, FALSE);
    }
    // The chain ends: its slot goes back to the capture thread.
    KeReleaseSemaphore(&CaptureSlots, IO_NO_INCREMENT, 1, FALSE);
    if (request != NULL) {
        ExFreeToNPagedLookasideList(&RequestPool, request);
    }
    if (buffer != NULL) {
        ExFreePool(buffer);
    }
    CaptureRequestDone();
}

VOID CAdapterUsbAudio::DeliverCapturedAudio(PUCHAR source, ULONG bytes) {
    ULONG left = ClientBytes(TRUE, bytes);
    PUCHAR last = NULL;
    while (left != 0) {
        // The queue lock is held while one entry is filled, so a flush never
        // frees the entry being written.
        KIRQL irql;
        KeAcquireSpinLock(&CaptureQueue.Lock, &irql);
        if (IsListEmpty(&CaptureQueue.Head)) {
            KeReleaseSpinLock(&CaptureQueue.Lock, irql);
            break;
        }
        ClientBufferEntry* entry = CONTAINING_RECORD(CaptureQueue.Head.Flink, ClientBufferEntry, Link);
        const ULONG take = entry->Remaining < left ? entry->Remaining : left;
        const ULONG used = DeviceBytes(TRUE, take);
        ConvertSamples(entry->Current, source, used, CaptureFormat.Channels, CaptureFormat.BitsPerSample,
                       CaptureDeviceFormat.Channels, CaptureDeviceFormat.BitsPerSample);
        entry->Current += take;
        entry->Remaining -= take;
        last = entry->Current;
        if (entry->Remaining == 0) {
            RemoveEntryList(&entry->Link);
        } else {
            entry = NULL;
        }
        KeReleaseSpinLock(&CaptureQueue.Lock, irql);
        if (entry != NULL) {
            ExFreeToNPagedLookasideList(&QueueEntryPool, entry);
        }
        left -= take;
        source += used;
    }
    if (last != NULL && WaveMiniport != NULL) {
        WaveMiniport->SetCapturePosition(last);
    }
}

VOID CAdapterUsbAudio::CaptureTransferCompletion(NTSTATUS status, ULONG bytes, PVOID context) {
    TRANSFER_REQUEST* request = static_cast<TRANSFER_REQUEST*>(context);
    CAdapterUsbAudio* self = request->Owner;
    ULONG frame = 0;
    self->UsbAudio.QueryBusTime(&frame);
    // Completions of the capture chains may run at once on two processors.
    const ULONG last = (ULONG)InterlockedExchange(reinterpret_cast<volatile LONG*>(&self->LastCaptureFrame), (LONG)frame);
    // The first completion has nothing to be compared with.
    if (!TakeFlag(&self->FirstCaptureCompletion) && frame - last > GetStreamTuning(TRUE).FramesPerTransfer) {
        UA_TRACE("late capture completion: %lu frames", (unsigned long)(frame - last));
    }
    if (!NT_SUCCESS(status)) {
        UA_ERROR("capture transfer failed 0x%08lx", (unsigned long)status);
        if (IsDeviceGoneStatus(status) && self->WaveMiniport != NULL) {
            // For the low-latency client, under the delivery lock like every
            // other call into a running capture stream.
            KIRQL irql;
            KeAcquireSpinLock(&self->CaptureDeliveryLock, &irql);
            if (self->IsSignalled(&self->CaptureRunningEvent)) {
                self->WaveMiniport->ReportStreamError(TRUE, status);
            }
            KeReleaseSpinLock(&self->CaptureDeliveryLock, irql);
        }
        if (status == STATUS_DEVICE_NOT_CONNECTED) {
            self->ClearStreamRunning(TRUE);
        }
        KeSetEvent(&self->CaptureErrorEvent, IO_NO_INCREMENT, FALSE);
    } else {
        if (bytes == 0) {
            UA_TRACE("capture transfer without data");
        }
        const LONG frameBytes = (LONG)self->CaptureDeviceFormat.BytesPerFrame;
        if (frameBytes != 0 && self->IsImplicitFeedbackMode() && self->IsSignalled(&self->RenderRunningEvent)) {
            // The device's capture packets follow its clock; render spends the difference.
            const LONG extra = ((LONG)bytes - (LONG)self->CaptureBaseBytes) / frameBytes;
            if (extra >= self->CaptureMinExtraFrames && extra <= self->CaptureMaxExtraFrames) {
                KIRQL irql;
                KeAcquireSpinLock(&self->ImplicitLock, &irql);
                self->ImplicitCredit += extra;
                KeReleaseSpinLock(&self->ImplicitLock, irql);
            }
        }
        // Under the delivery lock, so a stream that stops its data (and is
        // then closed) is never written or notified after that.
        KIRQL irql;
        KeAcquireSpinLock(&self->CaptureDeliveryLock, &irql);
        if (self->IsSignalled(&self->CaptureRunningEvent)) {
            if (bytes > 0) {
                self->DeliverCapturedAudio(static_cast<PUCHAR>(request->Buffer), bytes);
            }
            if (self->WaveMiniport != NULL) {
                self->WaveMiniport->TimingNotification(TRUE);
            }
        }
        KeReleaseSpinLock(&self->CaptureDeliveryLock, irql);
    }
    self->ReceiveCaptureTransfer(request->Buffer, request);
}
