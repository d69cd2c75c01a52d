// The streaming threads: one system thread per running direction hands out
// slots (permission to put one more transfer in flight), starts transfer
// chains and, for render, restarts the pipes after an error. The data itself
// moves in the render pump and the capture completions.
#include "driver/core/adapter.h"
#include "driver/runtime/trace.h"
#include "driver/core/tuning.h"

namespace {

constexpr ACCESS_MASK THREAD_ACCESS = 0x1FFFFF;
constexpr LONGLONG CLOCK_WAIT_RELATIVE = -1000000LL;    // 100 ms in 100 ns units
constexpr LONGLONG CLOCK_POLL_RELATIVE = -10000LL;      // 1 ms
constexpr LONGLONG STOP_WAIT_RELATIVE = -100000000LL;   // 10 s
constexpr LONGLONG ERROR_BACKOFF_RELATIVE = -10000LL;   // 1 ms

}  // namespace

BOOLEAN CAdapterUsbAudio::HasExplicitFeedback() {
    StreamingInterface* render = UsbAudio.GetRenderInterface();
    return render != NULL && render->FeedbackPipe != NULL;
}

// ---- Slots and in-flight accounting ---------------------------------------------

VOID CAdapterUsbAudio::GrantRenderSlot() {
    // RenderSlotsGranted counts the render chains plus the slots not yet
    // taken, so it never lets more than param2 chains exist.
    const LONG limit = (LONG)GetStreamTuning(FALSE).TransfersInFlight;
    if (InterlockedIncrement(&RenderSlotsGranted) <= limit) {
        KeReleaseSemaphore(&RenderSlots, IO_NO_INCREMENT, 1, FALSE);
    } else {
        InterlockedDecrement(&RenderSlotsGranted);
    }
}

VOID CAdapterUsbAudio::GrantRenderSlots(ULONG count) {
    for (ULONG i = 0; i < count; ++i) {
        GrantRenderSlot();
    }
}

namespace {

VOID CountStarted(PKSPIN_LOCK lock, PLONG inFlight, PKEVENT idle) {
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(lock, &handle);
    if ((*inFlight)++ == 0) {
        KeClearEvent(idle);
    }
    KeReleaseInStackQueuedSpinLock(&handle);
}

VOID CountDone(PKSPIN_LOCK lock, PLONG inFlight, PKEVENT idle, const char* direction) {
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(lock, &handle);
    if (*inFlight <= 0) {
        UA_ERROR("%s chain ended with none in flight", direction);
        *inFlight = 0;
    } else {
        --*inFlight;
    }
    if (*inFlight == 0) {
        KeSetEvent(idle, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseInStackQueuedSpinLock(&handle);
}

}  // namespace

VOID CAdapterUsbAudio::RenderRequestStarted() {
    CountStarted(&RenderInFlightLock, &RenderInFlight, &RenderIdleEvent);
}

VOID CAdapterUsbAudio::RenderRequestDone() {
    CountDone(&RenderInFlightLock, &RenderInFlight, &RenderIdleEvent, "render");
}

VOID CAdapterUsbAudio::CaptureRequestStarted() {
    CountStarted(&CaptureInFlightLock, &CaptureInFlight, &CaptureIdleEvent);
}

VOID CAdapterUsbAudio::CaptureRequestDone() {
    CountDone(&CaptureInFlightLock, &CaptureInFlight, &CaptureIdleEvent, "capture");
}

NTSTATUS CAdapterUsbAudio::WaitForIdle(BOOLEAN capture, PLARGE_INTEGER timeout) {
    PKSPIN_LOCK lock = capture ? &CaptureInFlightLock : &RenderInFlightLock;
    const NTSTATUS status =
        KeWaitForSingleObject(capture ? &CaptureIdleEvent : &RenderIdleEvent, Executive, KernelMode, FALSE, timeout);
    if (status == STATUS_SUCCESS) {
        // The last chain signals while it holds the counter's lock; passing
        // through the lock once means that chain no longer touches this
        // object when the caller goes on to tear things down.
        KLOCK_QUEUE_HANDLE handle;
        KeAcquireInStackQueuedSpinLock(lock, &handle);
        KeReleaseInStackQueuedSpinLock(&handle);
    }
    return status;
}

// ---- Start and stop ------------------------------------------------------------------

BOOLEAN CAdapterUsbAudio::IsClockStable(LONGLONG relativeTimeout) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = relativeTimeout;
    KeSetTimer(&timer, due, NULL);
    BOOLEAN valid;
    for (;;) {
        valid = TRUE;
        if (UsbAudio.IsUac2()) {
            StreamingInterface* render = UsbAudio.GetRenderInterface();
            CUSBAudioClock* clock =
                render != NULL && render->Terminal != NULL ? UsbAudio.GetTerminalClock(render->Terminal) : NULL;
            // Without a clock entity there is nothing to wait for.
            valid = clock == NULL || clock->IsValid();
        }
        if (valid || KeReadStateTimer(&timer)) {
            break;
        }
        LARGE_INTEGER pause;
        pause.QuadPart = CLOCK_POLL_RELATIVE;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    KeCancelTimer(&timer);
    return valid;
}

NTSTATUS CAdapterUsbAudio::StartStreamThread(BOOLEAN capture) {
    PKEVENT stop = StopEvent(capture);
    KeClearEvent(stop);
    if (!capture) {
        RaiseFlag(&FirstRenderCompletion);
        if (!IsClockStable(CLOCK_WAIT_RELATIVE)) {
            UA_ERROR("render clock not valid within 100 ms");
            KeSetEvent(stop, IO_NO_INCREMENT, FALSE);
            return STATUS_UNSUCCESSFUL;
        }
    }
    HANDLE handle = NULL;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ACCESS, NULL, NULL, NULL,
                                           capture ? CaptureThreadRoutine : RenderThreadRoutine, this);
    if (!NT_SUCCESS(status)) {
        UA_ERROR("%s thread not created: 0x%08lx", capture ? "capture" : "render", (unsigned long)status);
        KeSetEvent(stop, IO_NO_INCREMENT, FALSE);
        return status;
    }
    PVOID thread = NULL;
    status = ObReferenceObjectByHandle(handle, THREAD_ACCESS, NULL, KernelMode, &thread, NULL);
    ZwClose(handle);
    if (!NT_SUCCESS(status)) {
        // The thread runs but cannot be waited for; the stop ends it.
        UA_ERROR("%s thread not referenced: 0x%08lx", capture ? "capture" : "render", (unsigned long)status);
        KeSetEvent(stop, IO_NO_INCREMENT, FALSE);
        return status;
    }
    PVOID previous = InterlockedExchangePointer(capture ? &CaptureThread : &RenderThread, thread);
    if (previous != NULL) {
        // Every start waits for the direction's old thread first; should
        // one slip through, at least its object is not leaked.
        UA_ERROR("%s thread started over a thread not waited for", capture ? "capture" : "render");
        ObDereferenceObject(previous);
    }
    return STATUS_SUCCESS;
}

VOID CAdapterUsbAudio::StopStreamThread(BOOLEAN capture) {
    KeSetEvent(StopEvent(capture), IO_NO_INCREMENT, FALSE);
}

VOID CAdapterUsbAudio::StopStreamThreads() {
    if (RenderThread != NULL) {
        StopStreamThread(FALSE);
    }
    if (CaptureThread != NULL) {
        StopStreamThread(TRUE);
    }
}

VOID CAdapterUsbAudio::WaitForStopStreamThread(BOOLEAN capture) {
    // Taken with an exchange so a thread is waited for exactly once.
    PVOID thread = InterlockedExchangePointer(capture ? &CaptureThread : &RenderThread, NULL);
    if (thread == NULL) {
        return;
    }
    if (capture) {
        KeSetEvent(&CaptureStopEvent, IO_NO_INCREMENT, FALSE);
        ClearStreamRunning(TRUE);
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(thread);
        return;
    }
    KeSetEvent(&RenderStopEvent, IO_NO_INCREMENT, FALSE);
    const ULONG inFlight = GetStreamTuning(FALSE).TransfersInFlight;
    LARGE_INTEGER timeout;
    timeout.QuadPart = STOP_WAIT_RELATIVE;
    for (;;) {
        ClearStreamRunning(FALSE);
        // A thread blocked on RenderSlots wakes for these.
        GrantRenderSlots(inFlight);
        if (KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT) {
            break;
        }
        UA_ERROR("render thread still running 10 s after the stop");
    }
    ObDereferenceObject(thread);
}

// ---- Thread bodies ---------------------------------------------------------------------

VOID NTAPI CAdapterUsbAudio::RenderThreadRoutine(PVOID context) {
    static_cast<CAdapterUsbAudio*>(context)->RenderThreadMain();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID NTAPI CAdapterUsbAudio::CaptureThreadRoutine(PVOID context) {
    static_cast<CAdapterUsbAudio*>(context)->CaptureThreadMain();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID CAdapterUsbAudio::RenderThreadMain() {
    const BOOLEAN explicitFeedback = HasExplicitFeedback();
    CreateRenderRequests();
    for (;;) {
        // A render slot (index 0) is served before a feedback slot (index 1).
        BOOLEAN feedbackSlot = FALSE;
        if (explicitFeedback) {
            PVOID slots[2] = {&RenderSlots, &FeedbackSlots};
            feedbackSlot = KeWaitForMultipleObjects(2, slots, WaitAny, Executive, KernelMode, FALSE, NULL, NULL) ==
                           STATUS_WAIT_1;
        } else {
            KeWaitForSingleObject(&RenderSlots, Executive, KernelMode, FALSE, NULL);
        }
        PVOID events[3] = {&RenderStopEvent, &RenderErrorEvent, &RenderRunningEvent};
        const NTSTATUS which = KeWaitForMultipleObjects(3, events, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
        if (which == STATUS_WAIT_0) {
            if (feedbackSlot) {
                KeReleaseSemaphore(&FeedbackSlots, IO_NO_INCREMENT, 1, FALSE);
            } else if (explicitFeedback) {
                GrantRenderSlot();
            } else {
                KeReleaseSemaphore(&RenderSlots, IO_NO_INCREMENT, 1, FALSE);
            }
            break;
        }
        if (which == STATUS_WAIT_1) {
            KeReleaseSemaphore(feedbackSlot ? &FeedbackSlots : &RenderSlots, IO_NO_INCREMENT, 1, FALSE);
            RestartRender(explicitFeedback);
            continue;
        }
        RenderRequestStarted();
        if (feedbackSlot) {
            UsbAudio.ExplicitFeedbackStart(NULL, NULL);
        } else {
            SendRenderTransfer(NULL);
        }
    }
    WaitForIdle(FALSE, NULL);
    FreeRenderRequestList();
    CloseStreamPipes(FALSE);
    FlushClientQueue(FALSE);
}

VOID CAdapterUsbAudio::CaptureThreadMain() {
    const BOOLEAN implicitFeedback = IsImplicitFeedbackMode();
    for (;;) {
        KeWaitForSingleObject(&CaptureSlots, Executive, KernelMode, FALSE, NULL);
        if (IsSignalled(&CaptureStopEvent)) {
            break;
        }
        if (IsSignalled(&CaptureErrorEvent)) {
            KeReleaseSemaphore(&CaptureSlots, IO_NO_INCREMENT, 1, FALSE);
            KeClearEvent(&CaptureErrorEvent);
            // A device that keeps failing at once would otherwise own a CPU.
            LARGE_INTEGER pause;
            pause.QuadPart = ERROR_BACKOFF_RELATIVE;
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
            continue;
        }
        if (!implicitFeedback && !IsSignalled(&CaptureRunningEvent)) {
            // Nothing is received before capture runs: wait for that (or the
            // stop) instead of starting chains that end at once.
            PVOID events[2] = {&CaptureStopEvent, &CaptureRunningEvent};
            KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
            KeReleaseSemaphore(&CaptureSlots, IO_NO_INCREMENT, 1, FALSE);
            continue;
        }
        CaptureRequestStarted();
        ReceiveCaptureTransfer(NULL, NULL);
    }
    KeReleaseSemaphore(&CaptureSlots, IO_NO_INCREMENT, 1, FALSE);
    WaitForIdle(TRUE, NULL);
    CloseStreamPipes(TRUE);
}
