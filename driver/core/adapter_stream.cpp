// Stream control, the client-buffer queues and the timing points of the
// low-latency handshake.
#include "driver/core/adapter.h"
#include "driver/runtime/pool_tags.h"
#include "driver/runtime/trace.h"
#include "driver/core/tuning.h"
#include "driver/port/miniport_private.h"

namespace {

constexpr LONGLONG ONE_SECOND_RELATIVE = -10000000LL;  // 100 ns units

ULONG Smaller(ULONG a, ULONG b) {
    return a < b ? a : b;
}

}  // namespace

VOID CAdapterUsbAudio::AcquireStreamMutex() {
    KeWaitForSingleObject(&StreamMutex, Executive, KernelMode, FALSE, NULL);
}

VOID CAdapterUsbAudio::ReleaseStreamMutex() {
    KeReleaseMutex(&StreamMutex, FALSE);
}

STDMETHODIMP_(NTSTATUS) CAdapterUsbAudio::StartStream(BOOLEAN Capture) {
    const BOOLEAN clientChannel = WaveMiniport != NULL && WaveMiniport->IsStreamActive(Capture);
    // What runs already decides what a start does: it is read, and the old
    // thread joined, under the mutex, so two pins starting together see
    // each other's start.
    AcquireStreamMutex();
    NTSTATUS status;
    if (IsImplicitFeedbackMode()) {
        status = StartLinkedStreams(Capture, clientChannel);
        ReleaseStreamMutex();
        return status;
    }
    WaitForStopStreamThread(Capture);
    status = PrepareTransport(Capture, clientChannel);
    if (!NT_SUCCESS(status)) {
        ReleaseStreamMutex();
        return status;
    }
    ReloadStreamTuning(Capture);
    if (Capture) {
        LastCaptureFrame = 0;
    }
    // A render start beside running capture must not move the schedule of
    // the receives in flight; with none in flight the next one starts it.
    RestartCaptureSchedule();
    status = OpenStreamPipes(Capture);
    if (!NT_SUCCESS(status)) {
        CloseStreamPipes(Capture);
        ReleaseStreamMutex();
        return status;
    }
    ReinitializeSlots(Capture);
    status = StartStreamThread(Capture);
    if (!NT_SUCCESS(status)) {
        UA_ERROR("%s thread start failed 0x%08lx", Capture ? "capture" : "render", (unsigned long)status);
        CloseStreamPipes(Capture);
    }
    ReleaseStreamMutex();
    return status;
}

NTSTATUS CAdapterUsbAudio::PrepareTransport(BOOLEAN capture, BOOLEAN clientChannel) {
    if (UsbAudio.IsDsdCapable() && !clientChannel) {
        // A DSD device streams only for the low-latency client, which chooses
        // the transport itself.
        UA_ERROR("%s start refused: DSD device without a client channel", capture ? "capture" : "render");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (clientChannel) {
        return STATUS_SUCCESS;
    }
    // Only a change of transport needs both threads stopped; PCM sent again
    // must not silence the other direction's running stream.
    return IsDeviceMode(0) ? UsbAudio.SetDeviceMode(0) : SetDeviceMode(0);
}

VOID CAdapterUsbAudio::ReinitializeSlots(BOOLEAN capture) {
    if (capture) {
        const LONG count = (LONG)GetStreamTuning(TRUE).TransfersInFlight;
        KeInitializeSemaphore(&CaptureSlots, count, count);
        return;
    }
    const ULONG inFlight = GetStreamTuning(FALSE).TransfersInFlight;
    StreamingInterface* render = UsbAudio.GetRenderInterface();
    if (render != NULL && render->FeedbackPipe != NULL) {
        // Feedback reads come first; they decide how much each transfer carries.
        KeInitializeSemaphore(&FeedbackSlots, FEEDBACK_SLOT_LIMIT, FEEDBACK_SLOT_LIMIT);
        KeInitializeSemaphore(&RenderSlots, 0, (LONG)inFlight);
        InterlockedExchange(&RenderSlotsGranted, 0);
    } else {
        const ULONG burst = Smaller(inFlight, RENDER_SLOT_BURST);
        KeInitializeSemaphore(&FeedbackSlots, 0, FEEDBACK_SLOT_LIMIT);
        KeInitializeSemaphore(&RenderSlots, (LONG)burst, (LONG)inFlight);
        InterlockedExchange(&RenderSlotsGranted, (LONG)burst);
    }
    FeedbackErrorCount = 0;
}

NTSTATUS CAdapterUsbAudio::StartLinkedStreams(BOOLEAN capture, BOOLEAN clientChannel) {
    if (LinkedStartCount > 0) {
        // Both threads run for the other direction already, with the tuning
        // and slots as they are; this direction joins them.
        if (UsbAudio.IsDsdCapable() && !clientChannel) {
            UA_ERROR("%s start refused: DSD device without a client channel", capture ? "capture" : "render");
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        InterlockedIncrement(&LinkedStartCount);
        if (!capture) {
            // Render chains ended while this direction was paused or closed;
            // the thread waits for slots to start them again.
            GrantRenderSlots(GetStreamTuning(FALSE).TransfersInFlight);
        }
        return STATUS_SUCCESS;
    }
    // The threads of the last linked start were told to stop with it.
    WaitForStopStreamThread(TRUE);
    WaitForStopStreamThread(FALSE);
    NTSTATUS status = PrepareTransport(capture, clientChannel);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ReloadStreamTuning(FALSE);
    ReloadStreamTuning(TRUE);
    const ULONG renderInFlight = GetStreamTuning(FALSE).TransfersInFlight;
    const LONG captureInFlight = (LONG)GetStreamTuning(TRUE).TransfersInFlight;
    KeInitializeSemaphore(&CaptureSlots, captureInFlight, captureInFlight);
    StreamingInterface* render = UsbAudio.GetRenderInterface();
    const BOOLEAN explicitFeedback = render != NULL && render->FeedbackPipe != NULL;
    KeInitializeSemaphore(&FeedbackSlots, explicitFeedback ? FEEDBACK_SLOT_LIMIT : 0, FEEDBACK_SLOT_LIMIT);
    InterlockedExchange(&RenderSlotsGranted, (LONG)renderInFlight);
    KeInitializeSemaphore(&RenderSlots, (LONG)renderInFlight, (LONG)renderInFlight);
    LastCaptureFrame = 0;
    RestartCaptureSchedule();

    status = OpenStreamPipes(TRUE);
    if (NT_SUCCESS(status)) {
        status = OpenStreamPipes(FALSE);
    }
    if (NT_SUCCESS(status)) {
        status = StartStreamThread(TRUE);
        if (NT_SUCCESS(status)) {
            status = StartStreamThread(FALSE);
            if (!NT_SUCCESS(status)) {
                StopStreamThread(TRUE);
            }
        }
    }
    if (!NT_SUCCESS(status)) {
        UA_ERROR("linked start failed 0x%08lx", (unsigned long)status);
        CloseStreamPipes(FALSE);
        CloseStreamPipes(TRUE);
        return status;
    }
    InterlockedIncrement(&LinkedStartCount);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CAdapterUsbAudio::PauseStream(BOOLEAN Capture) {
    if (Capture) {
        FlushClientQueue(TRUE);
    }
    AcquireStreamMutex();
    if (IsImplicitFeedbackMode()) {
        if (LinkedStartCount > 0 && InterlockedDecrement(&LinkedStartCount) == 0) {
            StopStreamThreads();
        } else {
            // The threads go on for the other direction, which this one's
            // endpoint paces or is paced by; only this stream's data stops.
            StopStreamData(Capture);
        }
    } else {
        if (Capture) {
            // No delivery or timing notification reaches the capture stream
            // once it has paused: the chains still drain until the thread
            // ends, and a low-latency client may then reset its halves.
            StopStreamData(TRUE);
        }
        StopStreamThread(Capture);
    }
    ReleaseStreamMutex();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CAdapterUsbAudio::StopStream(BOOLEAN Capture) {
    if (!Capture) {
        InterlockedExchange(&QueuedRenderBytes, 0);
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CAdapterUsbAudio::SetStreamRunning(BOOLEAN Capture) {
    if (Capture) {
        RaiseFlag(&FirstCaptureCompletion);
        RestartCaptureSchedule();
        KeSetEvent(&CaptureRunningEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_SUCCESS;
    }
    KIRQL irql;
    KeAcquireSpinLock(&ImplicitLock, &irql);
    ImplicitCredit = 0;
    KeReleaseSpinLock(&ImplicitLock, irql);
    RaiseFlag(&FirstRenderCompletion);
    RestartCaptureSchedule();
    KeSetEvent(&RenderRunningEvent, IO_SOUND_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

VOID CAdapterUsbAudio::StopStreamData(BOOLEAN capture) {
    // Not waited for idle: feedback reads may keep render chains going. A
    // completion or pump run that saw the stream running still holds the
    // lock it checked that under; passing through the lock waits for it.
    KeClearEvent(capture ? &CaptureRunningEvent : &RenderRunningEvent);
    if (capture) {
        KIRQL irql;
        KeAcquireSpinLock(&CaptureDeliveryLock, &irql);
        KeReleaseSpinLock(&CaptureDeliveryLock, irql);
        return;
    }
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&RenderLock, &lock);
    KeReleaseInStackQueuedSpinLock(&lock);
}

VOID CAdapterUsbAudio::RestartCaptureSchedule() {
    // Receives already in flight (implicit feedback starts them before
    // either stream runs) keep their schedule: starting it again would put
    // two transfers on the same frames and interleave their audio.
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&CaptureInFlightLock, &lock);
    if (CaptureInFlight == 0) {
        RaiseFlag(&CaptureStartPending);
    }
    KeReleaseInStackQueuedSpinLock(&lock);
}

STDMETHODIMP_(VOID) CAdapterUsbAudio::ClearStreamRunning(BOOLEAN Capture) {
    if (Capture) {
        KeClearEvent(&CaptureRunningEvent);
        return;
    }
    KeClearEvent(&RenderRunningEvent);
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = ONE_SECOND_RELATIVE;
        if (WaitForIdle(FALSE, &timeout) == STATUS_TIMEOUT) {
            UA_ERROR("render transfers still in flight after 1 s");
        }
    }
}

// ---- Client-buffer queues -------------------------------------------------------

NTSTATUS CAdapterUsbAudio::QueueClientBuffer(BOOLEAN capture, PVOID address, ULONG length) {
    ClientBufferEntry* entry = static_cast<ClientBufferEntry*>(ExAllocateFromNPagedLookasideList(&QueueEntryPool));
    if (entry == NULL) {
        UA_ERROR("%s buffer of %lu bytes not queued: no entry", capture ? "capture" : "render", (unsigned long)length);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    entry->Start = static_cast<PUCHAR>(address);
    entry->Current = static_cast<PUCHAR>(address);
    entry->Remaining = length;
    if (!capture) {
        InterlockedExchangeAdd(&QueuedRenderBytes, (LONG)length);
    }
    PushClientEntry(capture ? &CaptureQueue : &RenderQueue, entry);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CAdapterUsbAudio::QueueRenderBuffer(PVOID Address, ULONG Length) {
    return QueueClientBuffer(FALSE, Address, Length);
}

STDMETHODIMP_(NTSTATUS) CAdapterUsbAudio::QueueCaptureBuffer(PVOID Address, ULONG Length) {
    return QueueClientBuffer(TRUE, Address, Length);
}

VOID CAdapterUsbAudio::FlushClientQueue(BOOLEAN capture) {
    ClientBufferEntry* entry;
    if (capture) {
        while ((entry = PopClientEntry(&CaptureQueue)) != NULL) {
            ExFreeToNPagedLookasideList(&QueueEntryPool, entry);
        }
        return;
    }
    // Under RenderLock, so a render pump never sees half a flush.
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&RenderLock, &lock);
    FlushRenderQueueLocked();
    KeReleaseInStackQueuedSpinLock(&lock);
}

VOID CAdapterUsbAudio::FlushRenderQueueLocked() {
    ClientBufferEntry* entry;
    while ((entry = PopClientEntry(&RenderQueue)) != NULL) {
        ExFreeToNPagedLookasideList(&QueueEntryPool, entry);
    }
}

// ---- Timing -------------------------------------------------------------------------

STDMETHODIMP_(VOID) CAdapterUsbAudio::BufferToggle() {
    // Written from the streaming context of either direction, read by the
    // output-ready request: interlocked on both sides.
    InterlockedExchange64(&ToggleTime, KeQueryPerformanceCounter(NULL).QuadPart);
    ULONG frame = 0;
    if (NT_SUCCESS(UsbAudio.QueryBusTime(&frame))) {
        InterlockedExchange(reinterpret_cast<volatile LONG*>(&ToggleFrame), static_cast<LONG>(frame));
    }
}

STDMETHODIMP_(VOID) CAdapterUsbAudio::OutputReady() {
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&RenderLock, &lock);
    ULONG frame = 0;
    if (NT_SUCCESS(UsbAudio.QueryBusTime(&frame))) {
        OutputReadyFrame = frame;
    }
    const ULONG toggleFrame =
        static_cast<ULONG>(InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&ToggleFrame), 0, 0));
    const ULONG lateness = OutputReadyFrame - toggleFrame;
    if (lateness > GetOutputDelayFrames()) {
        UA_TRACE("output ready %lu frames after the toggle (allowed %lu)", (unsigned long)lateness,
                 (unsigned long)GetOutputDelayFrames());
    }
    KeSetEvent(&RenderRunningEvent, IO_SOUND_INCREMENT, FALSE);
    if (WaveMiniport != NULL && !IsClientQueueEmpty(&RenderQueue)) {
        // The half is taken at its own notice (RenderNotify does so only
        // when nothing is queued): left to the next transfer, two notices
        // in between would hand over one half.
        WaveMiniport->TimingNotification(FALSE);
    }
    RenderNotify();
    OutputReadyTime = KeQueryPerformanceCounter(NULL).QuadPart;
    KeReleaseInStackQueuedSpinLock(&lock);
}

STDMETHODIMP_(VOID) CAdapterUsbAudio::RenderNotify() {
    if (IsClientQueueEmpty(&RenderQueue) && WaveMiniport != NULL) {
        WaveMiniport->TimingNotification(FALSE);
    }
    GrantRenderSlots(Smaller(GetStreamTuning(FALSE).TransfersInFlight, RENDER_SLOT_BURST));
}

STDMETHODIMP_(VOID) CAdapterUsbAudio::OutputDelay(ULONG Frames) {
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&RenderLock, &lock);
    SetOutputDelayFrames(Frames);
    KeReleaseInStackQueuedSpinLock(&lock);
}

BOOLEAN CAdapterUsbAudio::IsDeviceMode(USHORT mode) {
    for (StreamingInterface* streaming = UsbAudio.GetStreamingInterfaces(); streaming != NULL;
         streaming = streaming->Next) {
        if (streaming->DeviceMode != mode) {
            return FALSE;
        }
    }
    return TRUE;
}

STDMETHODIMP_(NTSTATUS) CAdapterUsbAudio::SetDeviceMode(USHORT Mode) {
    AcquireStreamMutex();
    WaitForStopStreamThread(TRUE);
    WaitForStopStreamThread(FALSE);
    const NTSTATUS status = UsbAudio.SetDeviceMode(Mode);
    ReleaseStreamMutex();
    return status;
}
