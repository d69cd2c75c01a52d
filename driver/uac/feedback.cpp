// The explicit feedback endpoint of the render stream: read continuously by
// up to three chains of isochronous IN transfers, each reading decoded,
// averaged, checked against the nominal value and published for the sizing
// of the next render transfers.
#include "driver/runtime/pool_tags.h"
#include "driver/runtime/trace.h"
#include "driver/uac/usbaudiocl.h"

namespace {

constexpr ULONG ONE_FRAME = 0x10000;
// A 10.14 value read as the upper 24 bits of 16.16 is 2^6 too large.
constexpr ULONG TEN_FOURTEEN_SHIFT = 6;
// ... and, sent per 1 ms frame, another 8 too large for a 125 us microframe.
constexpr ULONG TEN_FOURTEEN_PER_FRAME_SHIFT = TEN_FOURTEEN_SHIFT + 3;

BOOLEAN WithinWindow(ULONG value, ULONG nominal, ULONG ceiling) {
    return value >= ONE_FRAME && (ULONGLONG)value + ONE_FRAME >= nominal &&
           (ULONGLONG)value <= (ULONGLONG)nominal + ONE_FRAME && (ceiling == 0 || value <= ceiling);
}

}  // namespace

ULONG CUSBAudioCL::ValidateFeedback(ULONG value, ULONG nominal, BOOLEAN threeBytePackets, BOOLEAN highSpeed,
                                    ULONG ceiling) {
    if (value == 0) {
        return nominal;
    }
    if (WithinWindow(value, nominal, ceiling)) {
        return value;
    }
    if (threeBytePackets) {
        // Full-speed devices following the USB standard send 10.14 in 3 bytes;
        // class 1.0 devices keep doing so at high speed, per 1 ms frame.
        if (WithinWindow(value >> TEN_FOURTEEN_SHIFT, nominal, ceiling)) {
            return value >> TEN_FOURTEEN_SHIFT;
        }
        if (highSpeed && WithinWindow(value >> TEN_FOURTEEN_PER_FRAME_SHIFT, nominal, ceiling)) {
            return value >> TEN_FOURTEEN_PER_FRAME_SHIFT;
        }
    }
    UA_TRACE("feedback 0x%08lx outside the window around 0x%08lx (ceiling 0x%08lx), using nominal",
             (unsigned long)value, (unsigned long)nominal, (unsigned long)ceiling);
    return nominal;
}

ULONG CUSBAudioCL::DecodeFeedbackPackets(const struct _URB_ISOCH_TRANSFER* transfer, ULONG capacity,
                                         PBOOLEAN threeBytePackets) {
    *threeBytePackets = FALSE;
    const PUCHAR data = static_cast<PUCHAR>(transfer->TransferBuffer);
    if (data == NULL) {
        return 0;
    }
    ULONG sum = 0;
    ULONG count = 0;
    ULONG threes = 0;
    const ULONG packets =
        transfer->NumberOfPackets < USB_MAX_ISO_PACKETS ? transfer->NumberOfPackets : USB_MAX_ISO_PACKETS;
    for (ULONG i = 0; i < packets; ++i) {
        const USBD_ISO_PACKET_DESCRIPTOR& packet = transfer->IsoPacket[i];
        if (!USBD_SUCCESS(packet.Status) || (packet.Length != 3 && packet.Length != 4) ||
            (ULONGLONG)packet.Offset + packet.Length > capacity) {
            continue;
        }
        const PUCHAR p = data + packet.Offset;
        ULONG value;
        if (packet.Length == 4) {
            value = (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24);
        } else {
            value = ((ULONG)p[0] << 8) | ((ULONG)p[1] << 16) | ((ULONG)p[2] << 24);
            ++threes;
        }
        sum += value;
        ++count;
    }
    if (count == 0) {
        return 0;
    }
    *threeBytePackets = threes == count;
    return sum / count;
}

ULONG CUSBAudioCL::LatchFeedback() {
    StreamingInterface* render = renderInterface;
    if (render == NULL) {
        return 0;
    }
    KIRQL oldIrql;
    KeAcquireSpinLock(&render->Lock, &oldIrql);
    render->CurrentFeedback = render->LatestFeedback != 0 ? render->LatestFeedback : render->NominalFeedback;
    const ULONG value = render->CurrentFeedback;
    KeReleaseSpinLock(&render->Lock, oldIrql);
    return value;
}

ULONG CUSBAudioCL::GetLatestFeedback() {
    StreamingInterface* render = renderInterface;
    if (render == NULL) {
        return 0;
    }
    KIRQL oldIrql;
    KeAcquireSpinLock(&render->Lock, &oldIrql);
    const ULONG value = render->LatestFeedback;
    KeReleaseSpinLock(&render->Lock, oldIrql);
    return value;
}

NTSTATUS CUSBAudioCL::RecvFeedback(PVOID buffer, ULONG bytes, PFEEDBACK_CALLBACK callback, PVOID request) {
    StreamingInterface* render = renderInterface;
    if (render == NULL || render->FeedbackPipe == NULL ||
        render->FeedbackPipe->PipeType != UsbdPipeTypeIsochronous) {
        UA_ERROR("no isochronous feedback pipe to read");
        return STATUS_INVALID_PARAMETER;
    }
    PUSBD_PIPE_INFORMATION pipe = render->FeedbackPipe;
    const ULONG packetBytes = pipe->MaximumPacketSize;
    if (packetBytes == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG packets = bytes <= packetBytes ? 1 : (bytes + packetBytes - 1) / packetBytes;
    if (packets > USB_MAX_ISO_PACKETS) {
        // A read never asks for more than one URB carries.
        packets = USB_MAX_ISO_PACKETS;
        bytes = packets * packetBytes;
    }
    USB_TRANSFER_CONTEXT* context = AllocateTransferContext();
    if (context == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PURB urb = BuildIsoUrb(pipe, USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP, buffer, bytes, packets);
    if (urb == NULL) {
        FreeTransferContext(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < packets; ++i) {
        urb->UrbIsochronousTransfer.IsoPacket[i].Offset = i * packetBytes;
    }
    PIRP irp = TakeIrp();
    if (irp == NULL) {
        UA_ERROR("no IRP for a feedback read");
        FreeIsoUrb(urb);
        FreeTransferContext(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The transfer context has one callback slot; this routine knows its type.
    context->Callback = reinterpret_cast<PUSB_TRANSFER_CALLBACK>(reinterpret_cast<void (*)(void)>(callback));
    context->UserContext = request;
    SendUrbIrp(irp, urb, bytes, RecvFeedbackCompletionRoutine, context);
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::RecvFeedbackCompletionRoutine(PDEVICE_OBJECT, PIRP irp, PVOID contextPointer) {
    USB_TRANSFER_CONTEXT* context = static_cast<USB_TRANSFER_CONTEXT*>(contextPointer);
    CUSBAudioCL* self = static_cast<CUSBAudioCL*>(context->Owner);
    PURB urb = context->Urb;
    const struct _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    const NTSTATUS status = irp->IoStatus.Status;
    ULONG value = 0;
    BOOLEAN threeBytePackets = FALSE;
    if (!NT_SUCCESS(status)) {
        UA_ERROR("feedback read failed 0x%08lx: URB status 0x%08lx, flags 0x%lx, length %lu, start frame %lu, "
                 "packets %lu",
                 (unsigned long)status, (unsigned long)urb->UrbHeader.Status, (unsigned long)iso.TransferFlags,
                 (unsigned long)iso.TransferBufferLength, (unsigned long)iso.StartFrame,
                 (unsigned long)iso.NumberOfPackets);
    } else if (iso.TransferBufferLength == 0) {
        UA_TRACE("feedback read returned no data");
    } else {
        value = DecodeFeedbackPackets(&iso, context->BufferBytes, &threeBytePackets);
    }
    PFEEDBACK_CALLBACK callback =
        reinterpret_cast<PFEEDBACK_CALLBACK>(reinterpret_cast<void (*)(void)>(context->Callback));
    PVOID userContext = context->UserContext;
    self->FreeIsoUrb(urb);
    context->Urb = NULL;
    self->FreeTransferContext(context);
    self->ReturnIrp(irp);
    if (callback != NULL) {
        callback(status, value, threeBytePackets, userContext);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID CUSBAudioCL::RecvFeedbackCompletion(NTSTATUS status, ULONG value, BOOLEAN threeBytePackets, PVOID requestPointer) {
    FEEDBACK_REQUEST* request = static_cast<FEEDBACK_REQUEST*>(requestPointer);
    CUSBAudioCL* self = request->Owner;
    IStreamEvents* events = self->StreamEvents;
    StreamingInterface* render = self->renderInterface;
    if (!NT_SUCCESS(status)) {
        if (IsDeviceGoneStatus(status)) {
            UA_ERROR("feedback read: device gone (0x%08lx)", (unsigned long)status);
        } else {
            UA_ERROR("feedback read failed 0x%08lx", (unsigned long)status);
        }
        events->OnFeedbackReadFailed(status);
    } else if (render != NULL) {
        KIRQL oldIrql;
        KeAcquireSpinLock(&render->Lock, &oldIrql);
        const ULONG published = ValidateFeedback(value, render->NominalFeedback, threeBytePackets,
                                                 self->isHighSpeed, render->FeedbackCeiling);
        render->LatestFeedback = published;
        KeReleaseSpinLock(&render->Lock, oldIrql);
        events->OnFeedbackPublished(published);
    }
    // Slots first: once the chain has ended, the stream may be torn down.
    events->GrantRenderSlots();
    self->ExplicitFeedbackStart(request->Buffer, request);
}

VOID CUSBAudioCL::ExplicitFeedbackStart(PVOID buffer, FEEDBACK_REQUEST* request) {
    IStreamEvents* events = StreamEvents;
    if (events == NULL) {
        return;
    }
    if (events->FeedbackShouldRun()) {
        const ULONG bytes = GetFeedbackBufferBytes();
        if (buffer == NULL && bytes != 0) {
            buffer = ExAllocatePoolWithTag(NonPagedPoolNx, bytes, POOLTAG_USB);
        }
        if (buffer != NULL) {
            if (request == NULL) {
                request = events->AllocateFeedbackRequest();
                if (request == NULL) {
                    ExFreePool(buffer);
                    events->OnFeedbackChainEnded();
                    return;
                }
            }
            request->Owner = this;
            request->Buffer = buffer;
            request->TargetBytes = bytes;
            const NTSTATUS status = RecvFeedback(buffer, bytes, RecvFeedbackCompletion, request);
            if (NT_SUCCESS(status)) {
                return;
            }
            UA_ERROR("feedback read not submitted: 0x%08lx", (unsigned long)status);
        }
    }
    if (request != NULL) {
        events->FreeFeedbackRequest(request);
    }
    if (buffer != NULL) {
        ExFreePool(buffer);
    }
    events->OnFeedbackChainEnded();
}
