// The adapter's side of the explicit feedback chains: when they may read,
// their requests, the error count that restarts render, and the render slots
// every reading releases.
#include "driver/core/adapter.h"
#include "driver/runtime/trace.h"
#include "driver/core/tuning.h"
#include "driver/port/miniport_private.h"

namespace {

// Consecutive failed reads tolerated before the pipes are restarted.
constexpr LONG FEEDBACK_ERRORS_TOLERATED = 2;

}  // namespace

BOOLEAN CAdapterUsbAudio::FeedbackShouldRun() {
    return !IsSignalled(&RenderErrorEvent) && !IsSignalled(&RenderStopEvent) && IsSignalled(&RenderRunningEvent);
}

FEEDBACK_REQUEST* CAdapterUsbAudio::AllocateFeedbackRequest() {
    PVOID record = ExAllocateFromNPagedLookasideList(&RequestPool);
    if (record != NULL) {
        RtlZeroMemory(record, TRANSFER_REQUEST_BYTES);
    }
    return static_cast<FEEDBACK_REQUEST*>(record);
}

VOID CAdapterUsbAudio::FreeFeedbackRequest(FEEDBACK_REQUEST* request) {
    ExFreeToNPagedLookasideList(&RequestPool, request);
}

VOID CAdapterUsbAudio::OnFeedbackChainEnded() {
    KeReleaseSemaphore(&FeedbackSlots, IO_NO_INCREMENT, 1, FALSE);
    RenderRequestDone();
}

VOID CAdapterUsbAudio::OnFeedbackReadFailed(NTSTATUS status) {
    if (IsDeviceGoneStatus(status) && WaveMiniport != NULL) {
        // The feedback endpoint belongs to render.
        WaveMiniport->ReportStreamError(FALSE, status);
    }
    if (InterlockedIncrement(&FeedbackErrorCount) > FEEDBACK_ERRORS_TOLERATED) {
        UA_ERROR("%lu feedback reads failed in a row: restarting render", (unsigned long)FeedbackErrorCount);
        KeSetEvent(&RenderErrorEvent, IO_NO_INCREMENT, FALSE);
    }
}

VOID CAdapterUsbAudio::OnFeedbackPublished(ULONG value) {
    UNREFERENCED_PARAMETER(value);
    InterlockedExchange(&FeedbackErrorCount, 0);
}

VOID CAdapterUsbAudio::GrantRenderSlots() {
    // Every reading tops the render pipeline up to param2 transfers.
    GrantRenderSlots(GetStreamTuning(FALSE).TransfersInFlight);
}
