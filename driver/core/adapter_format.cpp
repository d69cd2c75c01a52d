// Client formats of the two directions and the pipes that carry them.
#include "driver/core/adapter.h"
#include "driver/runtime/trace.h"
#include "driver/core/tuning.h"

STDMETHODIMP_(NTSTATUS) CAdapterUsbAudio::SetStreamFormat(BOOLEAN Capture, ULONG Channels, ULONG BitsPerSample,
                                                          ULONG SampleRate) {
    return ChangeStreamFormat(Capture, Channels, BitsPerSample, SampleRate, TRUE);
}

STDMETHODIMP_(NTSTATUS) CAdapterUsbAudio::SetStreamFormatNoFlush(BOOLEAN Capture, ULONG Channels, ULONG BitsPerSample,
                                                                 ULONG SampleRate) {
    return ChangeStreamFormat(Capture, Channels, BitsPerSample, SampleRate, FALSE);
}

NTSTATUS CAdapterUsbAudio::ChangeStreamFormat(BOOLEAN capture, ULONG channels, ULONG bits, ULONG rate,
                                              BOOLEAN flush) {
    AcquireStreamMutex();
    const BOOLEAN implicitMode = IsImplicitFeedbackMode();
    const BOOLEAN streaming =
        !IsSignalled(StopEvent(capture)) || (implicitMode && !IsSignalled(StopEvent(!capture)));
    if (!streaming) {
        // A thread told to stop may still be pumping the queue or closing its
        // pipes (an alternate selection): it ends first, so the flush below
        // is final and the caller may free the buffers the queue pointed into.
        WaitForStopStreamThread(capture);
        if (implicitMode) {
            WaitForStopStreamThread(!capture);
        }
    }
    if (flush) {
        FlushClientQueue(capture);
    }
    StreamFormat& format = ClientFormat(capture);
    if (format.Channels == channels && format.BitsPerSample == bits && format.SampleRate == rate) {
        ReleaseStreamMutex();
        return STATUS_SUCCESS;
    }
    if (streaming) {
        UA_ERROR("%s format change while streaming", capture ? "capture" : "render");
        ReleaseStreamMutex();
        return STATUS_UNSUCCESSFUL;
    }
    ULONG deviceChannels = 0;
    ULONG deviceBits = 0;
    ULONG maxBytes = 0;
    NTSTATUS status = UsbAudio.SelectStreamingFormat(capture, channels, bits, rate,
                                                     GetStreamTuning(capture).FramesPerTransfer, &deviceChannels,
                                                     &deviceBits, &maxBytes);
    if (NT_SUCCESS(status) && implicitMode) {
        // Capture paces render: both directions always share one format.
        const BOOLEAN other = !capture;
        status = UsbAudio.SelectStreamingFormat(other, channels, bits, rate, GetStreamTuning(other).FramesPerTransfer,
                                                &deviceChannels, &deviceBits, &maxBytes);
        if (!NT_SUCCESS(status)) {
            UA_ERROR("linked %s format %lu/%lu/%lu failed 0x%08lx", other ? "capture" : "render",
                     (unsigned long)channels, (unsigned long)bits, (unsigned long)rate, (unsigned long)status);
            ReleaseStreamMutex();
            return status;
        }
        StreamFormat& linked = ClientFormat(other);
        linked.Channels = channels;
        linked.BitsPerSample = bits;
        linked.SampleRate = rate;
        linked.BytesPerFrame = channels * (bits / 8);
    }
    if (NT_SUCCESS(status)) {
        format.Channels = channels;
        format.BitsPerSample = bits;
        format.SampleRate = rate;
        format.BytesPerFrame = channels * (bits / 8);
    } else {
        UA_ERROR("%s format %lu/%lu/%lu failed 0x%08lx", capture ? "capture" : "render", (unsigned long)channels,
                 (unsigned long)bits, (unsigned long)rate, (unsigned long)status);
    }
    ReleaseStreamMutex();
    return status;
}

STDMETHODIMP_(NTSTATUS) CAdapterUsbAudio::ClearStreamFormat(BOOLEAN Capture) {
    AcquireStreamMutex();
    if (IsImplicitFeedbackMode() && LinkedStartCount > 0) {
        // The other direction still streams on the linked start, on the
        // threads and the one format both directions share: they stay, and
        // this direction can be opened on that format again. Only its
        // client buffers go away.
        StopStreamData(Capture);
        FlushClientQueue(Capture);
    } else if (IsImplicitFeedbackMode()) {
        // Both threads are ending and close their pipes: wait for both.
        WaitForStopStreamThread(Capture);
        WaitForStopStreamThread(!Capture);
        RtlZeroMemory(&CaptureFormat, sizeof(CaptureFormat));
        RtlZeroMemory(&RenderFormat, sizeof(RenderFormat));
    } else {
        WaitForStopStreamThread(Capture);
        RtlZeroMemory(&ClientFormat(Capture), sizeof(StreamFormat));
    }
    ReleaseStreamMutex();
    return STATUS_SUCCESS;
}

NTSTATUS CAdapterUsbAudio::OpenStreamPipes(BOOLEAN capture) {
    const StreamFormat& format = ClientFormat(capture);
    const ULONG milliseconds = GetStreamTuning(capture).FramesPerTransfer;
    ULONG channels = 0;
    ULONG bits = 0;
    ULONG maxBytes = 0;
    NTSTATUS status;
    if (IsImplicitFeedbackMode()) {
        ULONG baseBytes = 0;
        LONG minExtra = 0;
        LONG maxExtra = 0;
        status = UsbAudio.SelectStreamingFormat(capture, format.Channels, format.BitsPerSample, format.SampleRate,
                                                milliseconds, &channels, &bits, &baseBytes, &minExtra, &maxExtra,
                                                &maxBytes);
        if (NT_SUCCESS(status)) {
            (capture ? CaptureBaseBytes : RenderBaseBytes) = baseBytes;
            (capture ? CaptureMinExtraFrames : RenderMinExtraFrames) = minExtra;
            (capture ? CaptureMaxExtraFrames : RenderMaxExtraFrames) = maxExtra;
        }
    } else {
        status = UsbAudio.SelectStreamingFormat(capture, format.Channels, format.BitsPerSample, format.SampleRate,
                                                milliseconds, &channels, &bits, &maxBytes);
    }
    if (!NT_SUCCESS(status)) {
        UA_ERROR("%s pipes: format %lu/%lu/%lu failed 0x%08lx", capture ? "capture" : "render",
                 (unsigned long)format.Channels, (unsigned long)format.BitsPerSample, (unsigned long)format.SampleRate,
                 (unsigned long)status);
        return status;
    }
    if (!capture) {
        // Render packets are sized from the capture side's counts in this mode.
        StreamingInterface* render = UsbAudio.GetRenderInterface();
        UsbAudio.SetImplicitFeedbackMode(IsImplicitFeedbackMode(), render != NULL && render->WholeFrames);
    }
    (capture ? CaptureTransferBytes : RenderTransferBytes) = maxBytes;
    StreamFormat& device = capture ? CaptureDeviceFormat : RenderDeviceFormat;
    device.Channels = channels;
    device.BitsPerSample = bits;
    device.SampleRate = format.SampleRate;
    device.BytesPerFrame = channels * (bits / 8);
    return STATUS_SUCCESS;
}

VOID CAdapterUsbAudio::CloseStreamPipes(BOOLEAN capture) {
    ULONG channels = 0;
    ULONG bits = 0;
    ULONG maxBytes = 0;
    // The zero format is alternate setting 0: no bandwidth, no pipes.
    const NTSTATUS status = UsbAudio.SelectStreamingFormat(capture, 0, 0, 0, 0, &channels, &bits, &maxBytes);
    if (!NT_SUCCESS(status)) {
        UA_ERROR("%s pipes: closing failed 0x%08lx", capture ? "capture" : "render", (unsigned long)status);
    }
}
