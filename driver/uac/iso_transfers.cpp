// The isochronous URBs that carry audio: render transfers sized from explicit
// feedback, from the capture-driven credit of implicit feedback or from the
// nominal packet schedule; capture receives; the render pipe abort.
#include "driver/runtime/pool_tags.h"
#include "driver/runtime/trace.h"
#include "driver/uac/usbaudiocl.h"

namespace {

constexpr ULONG MICROFRAMES_PER_FRAME = 8;
constexpr USHORT LENGTH_PREFIX_VENDOR = 0x1686;
constexpr USHORT LENGTH_PREFIX_PRODUCT = 0x00DD;
constexpr ULONG LENGTH_PREFIX_BYTES = 4;
constexpr ULONG BULK_URB_BYTES = 128;

ULONG IsoUrbBytes(ULONG packets) {
    return (ULONG)(sizeof(struct _URB_ISOCH_TRANSFER) + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR));
}

ULONG Min(ULONG a, ULONG b) { return a < b ? a : b; }

// Implicit feedback: the capture side decided `bytes`; express the difference
// from nominal as whole frames spread over long (or short) packets. Padding
// up to whole milliseconds at high speed uses short packets.
VOID SplitImplicit(const StreamingInterface* render, ULONG bytes, ULONG framesPerTransfer, BOOLEAN highSpeed,
                   BOOLEAN shortAllowed, PULONG longCount, PULONG normalCount, PULONG shortCount) {
    *longCount = 0;
    *normalCount = 0;
    *shortCount = 0;
    const ULONG p = render->NominalPacketBytes;
    const ULONG frameBytes = render->BytesPerFrame;
    if (p == 0 || frameBytes == 0) {
        return;
    }
    const LONG n = (LONG)(framesPerTransfer * (highSpeed ? MICROFRAMES_PER_FRAME : 1));
    const LONG m = (LONG)(((LONGLONG)bytes - (LONGLONG)n * p) / (LONGLONG)frameBytes);
    if (m < 0 && m >= -n && shortAllowed) {
        *shortCount = (ULONG)-m;
        *normalCount = (ULONG)(n + m);
    } else if (m < 1 || m > n) {
        *normalCount = (bytes + p - 1) / p;
    } else {
        *longCount = (ULONG)m;
        *normalCount = (ULONG)(n - m);
    }
    if (highSpeed) {
        const ULONG total = *longCount + *normalCount + *shortCount;
        *shortCount += ((total + MICROFRAMES_PER_FRAME - 1) & ~(MICROFRAMES_PER_FRAME - 1)) - total;
    }
}

}  // namespace

BOOLEAN CUSBAudioCL::IsLengthPrefixMode() const {
    return DeviceDescriptor.idVendor == LENGTH_PREFIX_VENDOR && DeviceDescriptor.idProduct == LENGTH_PREFIX_PRODUCT &&
           renderInterface != NULL && renderInterface->FeedbackPipe == NULL && !ImplicitFeedbackMode;
}

ULONG CUSBAudioCL::NextRenderTransferBytes(ULONG framesPerTransfer, ULONG feedback) {
    StreamingInterface* render = renderInterface;
    if (render == NULL) {
        return 0;
    }
    const ULONG w = DataInterval == 0 ? 1 : DataInterval;
    const ULONG units = isHighSpeed ? framesPerTransfer * (MICROFRAMES_PER_FRAME / w) * w : framesPerTransfer;
    ULONGLONG frames = 0;
    if (render->FeedbackPipe != NULL) {
        frames = ((ULONGLONG)FeedbackRemainder + (ULONGLONG)units * feedback) >> 16;
    } else if (CurrentSchedule != NULL) {
        const PacketPattern& pattern = isHighSpeed ? CurrentSchedule->HighSpeed : CurrentSchedule->FullSpeed;
        ULONG index = SchedulePosition % pattern.Length;
        for (ULONG i = 0; i < units; ++i) {
            frames += pattern.Counts[index];
            if (++index == pattern.Length) index = 0;
        }
    }
    return (ULONG)(frames * render->BytesPerFrame);
}

PURB CUSBAudioCL::BuildIsoUrb(PUSBD_PIPE_INFORMATION pipe, ULONG flags, PVOID buffer, ULONG bytes, ULONG packets) {
    PURB urb = AllocateIsoUrb();
    if (urb == NULL) {
        return NULL;
    }
    const ULONG urbBytes = IsoUrbBytes(packets);
    RtlZeroMemory(urb, urbBytes);
    urb->UrbHeader.Length = (USHORT)urbBytes;
    urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    struct _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    iso.PipeHandle = pipe->PipeHandle;
    iso.TransferFlags = flags;
    iso.TransferBuffer = buffer;
    iso.TransferBufferLength = bytes;
    iso.NumberOfPackets = packets;
    return urb;
}

// The packet walk of a render transfer sized from feedback or from the
// nominal schedule, starting where the previous transfer ended.
PacketWalk CUSBAudioCL::RenderPacketWalk(StreamingInterface* render, BOOLEAN explicitFeedback, ULONG feedback) {
    const ULONG w = DataInterval == 0 ? 1 : DataInterval;
    const ULONG stepsPerPacket = isHighSpeed ? w : 1;
    if (explicitFeedback) {
        return PacketWalk::FromFeedback(feedback, FeedbackRemainder, render->BytesPerFrame, stepsPerPacket);
    }
    const PacketPattern& pattern = isHighSpeed ? CurrentSchedule->HighSpeed : CurrentSchedule->FullSpeed;
    return PacketWalk::FromPattern(pattern, SchedulePosition, render->BytesPerFrame, stepsPerPacket);
}

// Packets of a render transfer of `bytes` in the current sizing mode; does
// not change any state.
ULONG CUSBAudioCL::CountRenderPackets(StreamingInterface* render, ULONG bytes, ULONG framesPerTransfer,
                                      ULONG feedback) {
    if (ImplicitFeedbackMode) {
        ULONG longCount, normalCount, shortCount;
        SplitImplicit(render, bytes, framesPerTransfer, isHighSpeed, ShortPacketsAllowed, &longCount, &normalCount,
                      &shortCount);
        return longCount + normalCount + shortCount;
    }
    if (render->BytesPerFrame == 0) {
        return 0;
    }
    const BOOLEAN explicitFeedback = render->FeedbackPipe != NULL;
    if (!explicitFeedback && CurrentSchedule == NULL) {
        return 0;
    }
    ULONG packets = RenderPacketWalk(render, explicitFeedback, feedback).PacketsFor(bytes, USB_MAX_ISO_PACKETS);
    if (isHighSpeed && packets <= USB_MAX_ISO_PACKETS) {
        // High-speed transfers span whole frames; trailing packets stay empty.
        const ULONG w = DataInterval == 0 ? 1 : DataInterval;
        const ULONG perMillisecond = w >= MICROFRAMES_PER_FRAME ? 1 : MICROFRAMES_PER_FRAME / w;
        packets = (packets + perMillisecond - 1) / perMillisecond * perMillisecond;
    }
    return packets;
}

NTSTATUS CUSBAudioCL::SendIsoOut(PMDL mdl, ULONG bytes, ULONG framesPerTransfer,
                                 PUSB_TRANSFER_CALLBACK callback, PVOID request) {
    StreamingInterface* render = renderInterface;
    if (render == NULL || render->DataPipe == NULL) {
        return STATUS_NOT_SUPPORTED;
    }
    USB_TRANSFER_CONTEXT* context = AllocateTransferContext();
    if (context == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->Callback = callback;
    context->UserContext = request;
    if (bytes == 0) {
        UA_TRACE("render transfer of 0 bytes");
    }
    if (IsLengthPrefixMode()) {
        // The audio is copied behind length words, so it needs a system address.
        PVOID audio = mdl != NULL ? MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) : NULL;
        if (audio == NULL && bytes != 0) {
            FreeTransferContext(context);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        return SendLengthPrefixed(render, audio, bytes, context);
    }

    const BOOLEAN explicitFeedback = render->FeedbackPipe != NULL && !ImplicitFeedbackMode;
    ULONG feedback = 0;
    if (explicitFeedback) {
        KIRQL oldIrql;
        KeAcquireSpinLock(&render->Lock, &oldIrql);
        feedback = render->CurrentFeedback != 0 ? render->CurrentFeedback : render->NominalFeedback;
        KeReleaseSpinLock(&render->Lock, oldIrql);
        if (feedback == 0) {
            FreeTransferContext(context);
            return STATUS_INVALID_DEVICE_STATE;
        }
    } else if (!ImplicitFeedbackMode && CurrentSchedule == NULL) {
        FreeTransferContext(context);
        return STATUS_INVALID_DEVICE_STATE;
    }
    const ULONG packets = CountRenderPackets(render, bytes, framesPerTransfer, feedback);
    if (packets > USB_MAX_ISO_PACKETS) {
        UA_ERROR("render transfer of %lu bytes needs %lu packets", (unsigned long)bytes, (unsigned long)packets);
        FreeTransferContext(context);
        return STATUS_INVALID_PARAMETER;
    }
    PURB urb = BuildIsoUrb(render->DataPipe, USBD_START_ISO_TRANSFER_ASAP, NULL, bytes, packets);
    if (urb == NULL) {
        FreeTransferContext(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    struct _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    iso.TransferBufferMDL = mdl;
    const ULONG frameBytes = render->BytesPerFrame;
    ULONG offset = 0;
    ULONG left = bytes;
    if (ImplicitFeedbackMode) {
        const ULONG p = render->NominalPacketBytes;
        const ULONG shortSize = ShortPacketsAllowed ? p - frameBytes : p;
        const ULONG longSize = p + frameBytes;
        ULONG longCount, normalCount, shortCount;
        SplitImplicit(render, bytes, framesPerTransfer, isHighSpeed, ShortPacketsAllowed, &longCount, &normalCount,
                      &shortCount);
        for (ULONG i = 0; i < packets; ++i) {
            ULONG size = shortSize;
            if (i < longCount) {
                size = longSize;
            } else if (i < longCount + normalCount) {
                size = p;
            }
            const ULONG length = Min(size, left);
            iso.IsoPacket[i].Offset = offset;
            iso.IsoPacket[i].Length = length;
            offset += length;
            left -= length;
        }
    } else {
        // The walk stops with the audio: padding packets up to a whole frame
        // neither carry a fraction nor advance the schedule.
        PacketWalk walk = RenderPacketWalk(render, explicitFeedback, feedback);
        for (ULONG i = 0; i < packets; ++i) {
            const ULONG length = left != 0 ? Min(walk.NextPacket(), left) : 0;
            iso.IsoPacket[i].Offset = offset;
            iso.IsoPacket[i].Length = length;
            offset += length;
            left -= length;
        }
        if (explicitFeedback) {
            FeedbackRemainder = walk.Remainder();
        } else {
            SchedulePosition = walk.Position();
        }
    }

    const NTSTATUS status = SubmitUrbAsync(urb, context);
    if (!NT_SUCCESS(status)) {
        FreeIsoUrb(urb);
        FreeTransferContext(context);
    }
    return status;
}

// Device 0x1686/0x00DD wants every packet to start with its audio length.
NTSTATUS CUSBAudioCL::SendLengthPrefixed(StreamingInterface* render, PVOID transferBuffer, ULONG bytes,
                                         USB_TRANSFER_CONTEXT* context) {
    const ULONG frameBytes = render->BytesPerFrame;
    if (CurrentSchedule == NULL || frameBytes == 0) {
        FreeTransferContext(context);
        return STATUS_INVALID_DEVICE_STATE;
    }
    PacketWalk walk = RenderPacketWalk(render, FALSE, 0);
    const ULONG packets = walk.PacketsFor(bytes, USB_MAX_ISO_PACKETS);
    if (packets > USB_MAX_ISO_PACKETS) {
        FreeTransferContext(context);
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG total = bytes + LENGTH_PREFIX_BYTES * packets;
    PUCHAR extra = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, total == 0 ? 1 : total,
                                                             POOLTAG_PACKET_PREFIX));
    if (extra == NULL) {
        FreeTransferContext(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->ExtraBuffer = extra;
    PURB urb = BuildIsoUrb(render->DataPipe, USBD_START_ISO_TRANSFER_ASAP, extra, total, packets);
    if (urb == NULL) {
        FreeTransferContext(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    struct _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    const PUCHAR audio = static_cast<PUCHAR>(transferBuffer);
    ULONG source = 0;
    ULONG offset = 0;
    for (ULONG i = 0; i < packets; ++i) {
        const ULONG length = Min(walk.NextPacket(), bytes - source);
        extra[offset + 0] = (UCHAR)(length & 0xFF);
        extra[offset + 1] = (UCHAR)((length >> 8) & 0xFF);
        extra[offset + 2] = (UCHAR)((length >> 16) & 0xFF);
        extra[offset + 3] = (UCHAR)((length >> 24) & 0xFF);
        if (length != 0) {
            RtlCopyMemory(extra + offset + LENGTH_PREFIX_BYTES, audio + source, length);
        }
        iso.IsoPacket[i].Offset = offset;
        iso.IsoPacket[i].Length = length + LENGTH_PREFIX_BYTES;
        offset += length + LENGTH_PREFIX_BYTES;
        source += length;
    }
    SchedulePosition = walk.Position();
    const NTSTATUS status = SubmitUrbAsync(urb, context);
    if (!NT_SUCCESS(status)) {
        FreeIsoUrb(urb);
        FreeTransferContext(context);
    }
    return status;
}

NTSTATUS CUSBAudioCL::ReceiveIsoIn(PVOID buffer, ULONG bytes, PUSB_TRANSFER_CALLBACK callback, PVOID request,
                                   ULONG startFrame) {
    StreamingInterface* capture = captureInterface;
    if (capture == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PUSBD_PIPE_INFORMATION pipe = capture->DataPipe;
    if (pipe == NULL) {
        return STATUS_NOT_SUPPORTED;
    }
    USB_TRANSFER_CONTEXT* context = AllocateTransferContext();
    if (context == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->Callback = callback;
    context->UserContext = request;
    PURB urb;
    if (pipe->PipeType == UsbdPipeTypeIsochronous) {
        const ULONG packetBytes = pipe->MaximumPacketSize;
        if (packetBytes == 0) {
            FreeTransferContext(context);
            return STATUS_INVALID_PARAMETER;
        }
        ULONG packets = (bytes + packetBytes - 1) / packetBytes;
        if (isHighSpeed && pipe->Interval >= 1 && pipe->Interval <= 4) {
            const ULONG multiple = MICROFRAMES_PER_FRAME >> (pipe->Interval - 1);
            packets = (packets + multiple - 1) / multiple * multiple;
        }
        if (packets > USB_MAX_ISO_PACKETS) {
            FreeTransferContext(context);
            return STATUS_INVALID_PARAMETER;
        }
        urb = BuildIsoUrb(pipe, USBD_TRANSFER_DIRECTION_IN, buffer, bytes, packets);
        if (urb == NULL) {
            FreeTransferContext(context);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        urb->UrbIsochronousTransfer.StartFrame = startFrame;
        for (ULONG i = 0; i < packets; ++i) {
            urb->UrbIsochronousTransfer.IsoPacket[i].Offset = i * packetBytes;
        }
    } else {
        const ULONG urbBytes = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) > BULK_URB_BYTES
                                   ? (ULONG)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)
                                   : BULK_URB_BYTES;
        urb = AllocateUrb(urbBytes, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
        if (urb == NULL) {
            FreeTransferContext(context);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        struct _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb->UrbBulkOrInterruptTransfer;
        bulk.PipeHandle = pipe->PipeHandle;
        bulk.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        bulk.TransferBuffer = buffer;
        bulk.TransferBufferLength = bytes;
    }
    const NTSTATUS status = SubmitUrbAsync(urb, context);
    if (!NT_SUCCESS(status)) {
        if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
            FreeIsoUrb(urb);
        } else {
            ExFreePool(urb);
        }
        FreeTransferContext(context);
    }
    return status;
}

NTSTATUS CUSBAudioCL::StreamOutPipeAbortCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), 8, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CUSBAudioCL::RenderPipeAbort() {
    StreamingInterface* render = renderInterface;
    if (render == NULL || render->DataPipe == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    PUSBD_PIPE_INFORMATION pipes[2] = {render->DataPipe, NULL};
    if (render->FeedbackPipe != NULL && render->FeedbackPipe->PipeHandle != NULL) {
        pipes[1] = render->FeedbackPipe;
    }
    struct _URB_PIPE_REQUEST urbs[2];
    KEVENT events[2];
    PIRP irps[2] = {NULL, NULL};
    for (ULONG i = 0; i < 2; ++i) {
        if (pipes[i] == NULL) {
            continue;
        }
        RtlZeroMemory(&urbs[i], sizeof(urbs[i]));
        urbs[i].Hdr.Length = sizeof(urbs[i]);
        urbs[i].Hdr.Function = URB_FUNCTION_ABORT_PIPE;
        urbs[i].PipeHandle = pipes[i]->PipeHandle;
        irps[i] = IoAllocateIrp(TargetDevice->StackSize, FALSE);
        if (irps[i] == NULL) {
            UA_ERROR("no IRP to abort pipe 0x%02x", pipes[i]->EndpointAddress);
            continue;
        }
        KeInitializeEvent(&events[i], NotificationEvent, FALSE);
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irps[i]);
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        stack->Parameters.Others.Argument1 = &urbs[i];
        IoSetCompletionRoutine(irps[i], StreamOutPipeAbortCompletion, &events[i], TRUE, TRUE, TRUE);
        IoCallDriver(TargetDevice, irps[i]);
    }
    NTSTATUS result = STATUS_SUCCESS;
    for (ULONG i = 0; i < 2; ++i) {
        if (irps[i] == NULL) {
            continue;
        }
        KeWaitForSingleObject(&events[i], Executive, KernelMode, FALSE, NULL);
        if (NT_SUCCESS(result) && !NT_SUCCESS(irps[i]->IoStatus.Status)) {
            result = irps[i]->IoStatus.Status;
        }
        IoFreeIrp(irps[i]);
    }
    return result;
}
