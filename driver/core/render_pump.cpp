// The render pump: sizes each render transfer (explicit feedback, the
// nominal schedule or the implicit-feedback credit), converts client samples
// from the render queue into it and submits it. Completions hand the request
// to a worker thread, which runs the pump again at PASSIVE_LEVEL.
#include "driver/core/adapter.h"
#include "driver/core/sample_conversion.h"
#include "driver/runtime/trace.h"
#include "driver/core/tuning.h"
#include "driver/port/miniport_private.h"

namespace {

ULONG FrameBytesOf(ULONG channels, ULONG bits) {
    return channels * bits / 8;
}

}  // namespace

ULONG CAdapterUsbAudio::ClientBytes(BOOLEAN capture, ULONG deviceBytes) {
    const StreamFormat& client = capture ? CaptureFormat : RenderFormat;
    const StreamFormat& device = capture ? CaptureDeviceFormat : RenderDeviceFormat;
    const ULONG deviceFrame = FrameBytesOf(device.Channels, device.BitsPerSample);
    if (deviceFrame == 0) {
        UA_ERROR("%s device frame under one byte", capture ? "capture" : "render");
        return 0;
    }
    return deviceBytes / deviceFrame * FrameBytesOf(client.Channels, client.BitsPerSample);
}

ULONG CAdapterUsbAudio::DeviceBytes(BOOLEAN capture, ULONG clientBytes) {
    const StreamFormat& client = capture ? CaptureFormat : RenderFormat;
    const StreamFormat& device = capture ? CaptureDeviceFormat : RenderDeviceFormat;
    const ULONG clientFrame = FrameBytesOf(client.Channels, client.BitsPerSample);
    if (clientFrame == 0 || FrameBytesOf(device.Channels, device.BitsPerSample) == 0) {
        UA_ERROR("%s frame under one byte", capture ? "capture" : "render");
        return 0;
    }
    return clientBytes / clientFrame * FrameBytesOf(device.Channels, device.BitsPerSample);
}

// Gives a fresh request its size; FALSE when it is not to be filled now.
BOOLEAN CAdapterUsbAudio::SizeRenderTransfer(TRANSFER_REQUEST* request, BOOLEAN running) {
    if (request->TargetBytes != 0) {
        if (IsClientQueueEmpty(&RenderQueue) && !running && request->FilledBytes == 0) {
            request->TargetBytes = 0;
            return FALSE;
        }
        return TRUE;
    }
    if (!running) {
        return FALSE;
    }
    ULONG clientBytes;
    if (IsImplicitFeedbackMode()) {
        clientBytes = ClientBytes(FALSE, RenderBaseBytes);
        if (clientBytes != 0) {
            // Spend the frames capture counted beyond (or short of) nominal.
            KIRQL irql;
            KeAcquireSpinLock(&ImplicitLock, &irql);
            LONG take = ImplicitCredit;
            if (take < RenderMinExtraFrames) {
                take = RenderMinExtraFrames;
            } else if (take > RenderMaxExtraFrames) {
                take = RenderMaxExtraFrames;
            }
            ImplicitCredit -= take;
            KeReleaseSpinLock(&ImplicitLock, irql);
            const LONGLONG sized = (LONGLONG)clientBytes + (LONGLONG)take * (LONGLONG)RenderFormat.BytesPerFrame;
            clientBytes = sized > 0 ? (ULONG)sized : 0;
        }
        if (clientBytes == 0) {
            UA_ERROR("implicit-feedback render transfer of 0 bytes");
            KeSetEvent(&RenderErrorEvent, IO_NO_INCREMENT, FALSE);
            return FALSE;
        }
    } else {
        const ULONG feedback = HasExplicitFeedback() ? UsbAudio.LatchFeedback() : 0;
        request->FeedbackSnapshot = feedback;
        clientBytes =
            ClientBytes(FALSE, UsbAudio.NextRenderTransferBytes(GetStreamTuning(FALSE).FramesPerTransfer, feedback));
    }
    request->TargetBytes = DeviceBytes(FALSE, clientBytes);
    if (request->TargetBytes > RenderTransferBytes) {
        // Sized beyond what the transfer buffer holds (a reading far above
        // nominal): send what fits, in whole frames, rather than nothing.
        const ULONG clamped = DeviceBytes(FALSE, ClientBytes(FALSE, RenderTransferBytes));
        UA_ERROR("render transfer of %lu bytes clamped to %lu", (unsigned long)request->TargetBytes,
                 (unsigned long)clamped);
        request->TargetBytes = clamped;
        if (clamped == 0) {
            return FALSE;
        }
    }
    return TRUE;
}

// Converts queued client audio into the request; returns the client bytes
// still missing.
ULONG CAdapterUsbAudio::FillRenderTransfer(TRANSFER_REQUEST* request, BOOLEAN running) {
    ULONG need = ClientBytes(FALSE, request->TargetBytes - request->FilledBytes);
    PUCHAR write = static_cast<PUCHAR>(request->Buffer) + request->FilledBytes;
    PUCHAR last = NULL;
    while (running && need != 0) {
        ClientBufferEntry* entry = PeekClientEntry(&RenderQueue);
        if (entry == NULL) {
            break;
        }
        const ULONG take = entry->Remaining < need ? entry->Remaining : need;
        ConvertSamples(write, entry->Current, take, RenderDeviceFormat.Channels, RenderDeviceFormat.BitsPerSample,
                       RenderFormat.Channels, RenderFormat.BitsPerSample);
        const ULONG written = DeviceBytes(FALSE, take);
        request->FilledBytes += written;
        if (InterlockedExchangeAdd(&QueuedRenderBytes, -(LONG)take) < (LONG)take) {
            UA_ERROR("render queue count below the %lu bytes consumed", (unsigned long)take);
            InterlockedExchange(&QueuedRenderBytes, 0);
        }
        entry->Remaining -= take;
        entry->Current += take;
        last = entry->Current;
        if (entry->Remaining == 0) {
            ExFreeToNPagedLookasideList(&QueueEntryPool, PopClientEntry(&RenderQueue));
        }
        need -= take;
        write += written;
    }
    if (last != NULL && WaveMiniport != NULL) {
        WaveMiniport->SetRenderPosition(last);
        WaveMiniport->TimingNotification(FALSE);
    }
    return need;
}

VOID CAdapterUsbAudio::SendRenderTransfer(TRANSFER_REQUEST* completed) {
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&RenderLock, &lock);
    if (completed != NULL) {
        completed->TargetBytes = 0;
        completed->FilledBytes = 0;
        InsertTailList(&FreeRenderRequests, &completed->Link);
    }
    const BOOLEAN running = IsSignalled(&RenderRunningEvent);
    TRANSFER_REQUEST* request = NULL;
    if ((IsClientQueueEmpty(&RenderQueue) && IsSignalled(&RenderStopEvent)) || IsSignalled(&RenderErrorEvent)) {
        // The chain ends; its slot goes back to the render thread.
        InterlockedIncrement(&RenderSlotsGranted);
        KeReleaseSemaphore(&RenderSlots, IO_NO_INCREMENT, 1, FALSE);
    } else if (!IsListEmpty(&FreeRenderRequests)) {
        request = CONTAINING_RECORD(RemoveHeadList(&FreeRenderRequests), TRANSFER_REQUEST, Link);
        if (SizeRenderTransfer(request, running)) {
            if (request->TargetBytes > RenderTransferBytes || request->FilledBytes > RenderTransferBytes ||
                request->FilledBytes > request->TargetBytes) {
                // Only a partly filled request can get here; starting it afresh
                // loses its audio but keeps the stream going.
                UA_ERROR("render transfer of %lu bytes (%lu filled) does not fit %lu",
                         (unsigned long)request->TargetBytes, (unsigned long)request->FilledBytes,
                         (unsigned long)RenderTransferBytes);
                request->TargetBytes = 0;
                request->FilledBytes = 0;
            } else {
                const ULONG need = FillRenderTransfer(request, running);
                if (need != 0 && running) {
                    // Never a short transfer: this one waits for more client data.
                    UA_TRACE("render underrun: %lu bytes missing", (unsigned long)need);
                    if (WaveMiniport != NULL && WaveMiniport->IsStreamActive(FALSE)) {
                        KeClearEvent(&RenderRunningEvent);
                        if (!IsSignalled(&CaptureRunningEvent)) {
                            WaveMiniport->BufferToggle();
                        }
                    } else if (WaveMiniport != NULL) {
                        WaveMiniport->AdvanceRenderPosition(need);
                        WaveMiniport->TimingNotification(FALSE);
                    }
                } else {
                    // Trims the transfer only when the stream stopped running while it was filled.
                    request->TargetBytes -= DeviceBytes(FALSE, need);
                    if (request->TargetBytes == 0) {
                        // Nothing to send; an empty transfer would only come back as an error.
                        request->FilledBytes = 0;
                    } else {
                        request->Owner = this;
                        const NTSTATUS status =
                            UsbAudio.SendIsoOut(request->Mdl, request->TargetBytes, GetStreamTuning(FALSE).FramesPerTransfer,
                                                RenderTransferCompletion, request);
                        if (NT_SUCCESS(status)) {
                            KeReleaseInStackQueuedSpinLock(&lock);
                            return;
                        }
                        UA_ERROR("render transfer not submitted: 0x%08lx", (unsigned long)status);
                        KeSetEvent(&RenderErrorEvent, IO_NO_INCREMENT, FALSE);
                    }
                }
            }
        }
    }
    // Not submitted: the chain ends; a partly filled request is resumed first.
    InterlockedDecrement(&RenderSlotsGranted);
    if (request != NULL) {
        InsertHeadList(&FreeRenderRequests, &request->Link);
    }
    KeReleaseInStackQueuedSpinLock(&lock);
    RenderRequestDone();
}

VOID CAdapterUsbAudio::RenderTransferCompletion(NTSTATUS status, ULONG bytes, PVOID context) {
    TRANSFER_REQUEST* request = static_cast<TRANSFER_REQUEST*>(context);
    CAdapterUsbAudio* self = request->Owner;
    ULONG frame = 0;
    self->UsbAudio.QueryBusTime(&frame);
    // Completions of different transfers can run at once on two processors.
    const ULONG last = (ULONG)InterlockedExchange(&self->LastRenderFrame, (LONG)frame);
    if (!TakeFlag(&self->FirstRenderCompletion)) {
        const StreamTuning tuning = GetStreamTuning(FALSE);
        const ULONG gap = frame - last;
        if (gap >= tuning.TransfersInFlight * tuning.FramesPerTransfer) {
            UA_TRACE("render pipeline drained: %lu frames since the last completion", (unsigned long)gap);
        } else if (gap > tuning.FramesPerTransfer) {
            UA_TRACE("late render completion: %lu frames", (unsigned long)gap);
        }
    }
    if (!NT_SUCCESS(status) || bytes == 0) {
        if (IsDeviceGoneStatus(status)) {
            UA_ERROR("render transfer: device gone (0x%08lx)", (unsigned long)status);
            // For the low-latency client; the transfer is still counted in
            // flight, so the stream cannot be closing under it.
            if (self->WaveMiniport != NULL) {
                self->WaveMiniport->ReportStreamError(FALSE, status);
            }
        } else {
            UA_ERROR("render transfer failed 0x%08lx, %lu bytes", (unsigned long)status, (unsigned long)bytes);
        }
        KeSetEvent(&self->RenderErrorEvent, IO_NO_INCREMENT, FALSE);
    }
    // The next transfer is prepared at PASSIVE_LEVEL, not in the completion.
    request->WorkItem = IoAllocateWorkItem(self->FunctionalDeviceObject);
    if (request->WorkItem != NULL) {
        IoQueueWorkItem(request->WorkItem, RenderWorkItem, DelayedWorkQueue, request);
        return;
    }
    UA_ERROR("render completion: no work item");
    // A completion can run inside the pump's own submission, which holds
    // RenderLock: the request waits on a list of its own until the restart
    // this error starts takes it back.
    KeSetEvent(&self->RenderErrorEvent, IO_NO_INCREMENT, FALSE);
    InterlockedDecrement(&self->RenderSlotsGranted);
    request->TargetBytes = 0;
    request->FilledBytes = 0;
    KIRQL irql;
    KeAcquireSpinLock(&self->ReturnedRenderLock, &irql);
    InsertTailList(&self->ReturnedRenderRequests, &request->Link);
    KeReleaseSpinLock(&self->ReturnedRenderLock, irql);
    self->RenderRequestDone();
}

VOID NTAPI CAdapterUsbAudio::RenderWorkItem(PDEVICE_OBJECT, PVOID context) {
    TRANSFER_REQUEST* request = static_cast<TRANSFER_REQUEST*>(context);
    IoFreeWorkItem(request->WorkItem);
    request->WorkItem = NULL;
    request->Owner->SendRenderTransfer(request);
}
