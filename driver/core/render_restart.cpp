// The render thread's transfer requests (made once per thread run, so the
// pump never allocates) and the restart of the render pipes after an error.
#include "driver/core/adapter.h"
#include "driver/runtime/pool_tags.h"
#include "driver/runtime/trace.h"
#include "driver/core/tuning.h"
#include "driver/port/miniport_private.h"

namespace {

constexpr LONGLONG DEVICE_GONE_PAUSE_RELATIVE = -1000000LL;  // 100 ms in 100 ns units

}  // namespace

VOID CAdapterUsbAudio::CreateRenderRequests() {
    const ULONG count = GetStreamTuning(FALSE).TransfersInFlight;
    const ULONG bytes = RenderTransferBytes;
    if (bytes == 0) {
        UA_ERROR("render requests: no transfer size");
        return;
    }
    for (ULONG i = 0; i < count; ++i) {
        TRANSFER_REQUEST* request = static_cast<TRANSFER_REQUEST*>(ExAllocateFromNPagedLookasideList(&RequestPool));
        if (request == NULL) {
            UA_ERROR("render request %lu: no record", (unsigned long)i);
            continue;
        }
        RtlZeroMemory(request, sizeof(*request));
        request->Buffer = ExAllocatePoolWithTag(NonPagedPoolNx, bytes, POOLTAG_USB);
        if (request->Buffer != NULL) {
            request->Mdl = IoAllocateMdl(request->Buffer, bytes, FALSE, FALSE, NULL);
        }
        if (request->Mdl == NULL) {
            UA_ERROR("render request %lu: no buffer or MDL", (unsigned long)i);
            if (request->Buffer != NULL) {
                ExFreePool(request->Buffer);
            }
            ExFreeToNPagedLookasideList(&RequestPool, request);
            continue;
        }
        MmBuildMdlForNonPagedPool(request->Mdl);
        request->Owner = this;
        InsertTailList(&FreeRenderRequests, &request->Link);
    }
}

VOID CAdapterUsbAudio::ReclaimReturnedRenderRequests() {
    KIRQL irql;
    KeAcquireSpinLock(&ReturnedRenderLock, &irql);
    while (!IsListEmpty(&ReturnedRenderRequests)) {
        InsertTailList(&FreeRenderRequests, RemoveHeadList(&ReturnedRenderRequests));
    }
    KeReleaseSpinLock(&ReturnedRenderLock, irql);
}

VOID CAdapterUsbAudio::FreeRenderRequestList() {
    // Every chain has ended (RenderIdleEvent), so all requests are on the
    // two lists.
    ReclaimReturnedRenderRequests();
    while (!IsListEmpty(&FreeRenderRequests)) {
        TRANSFER_REQUEST* request = CONTAINING_RECORD(RemoveHeadList(&FreeRenderRequests), TRANSFER_REQUEST, Link);
        IoFreeMdl(request->Mdl);
        ExFreePool(request->Buffer);
        ExFreeToNPagedLookasideList(&RequestPool, request);
    }
}

VOID CAdapterUsbAudio::RestartRender(BOOLEAN explicitFeedback) {
    StreamingInterface* render = UsbAudio.GetRenderInterface();
    UA_TRACE("render restart");
    // 1. Abort: pending transfers complete as cancelled and end their chains.
    NTSTATUS status = STATUS_SUCCESS;
    if (explicitFeedback) {
        status = UsbAudio.RenderPipeAbort();
    } else if (KeGetCurrentIrql() == PASSIVE_LEVEL && render != NULL && render->DataPipe != NULL) {
        status = UsbAudio.AbortPipe(render->DataPipe);
    }
    if (IsDeviceGoneStatus(status)) {
        // Nothing will succeed until the device is back or the stream stops;
        // pace the retries.
        UA_ERROR("render restart: device gone (0x%08lx)", (unsigned long)status);
        LARGE_INTEGER pause;
        pause.QuadPart = DEVICE_GONE_PAUSE_RELATIVE;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    // 2. Every render and feedback chain has ended.
    WaitForIdle(FALSE, NULL);
    // 3. Reset the pipes (a stalled endpoint is cleared here).
    if (render != NULL && render->DataPipe != NULL) {
        status = UsbAudio.ResetPipe(render->DataPipe);
        if (!NT_SUCCESS(status)) {
            UA_ERROR("render restart: data pipe reset failed 0x%08lx", (unsigned long)status);
        }
    }
    if (explicitFeedback && render != NULL && render->FeedbackPipe != NULL) {
        status = UsbAudio.ResetPipe(render->FeedbackPipe);
        if (!NT_SUCCESS(status)) {
            UA_ERROR("render restart: feedback pipe reset failed 0x%08lx", (unsigned long)status);
        }
        FeedbackErrorCount = 0;
    }
    // 4. Accept errors again.
    KeClearEvent(&RenderErrorEvent);
    // 5. The low-latency client's stream starts over from its next toggle.
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&RenderLock, &lock);
    // Requests that a completion could not hand to a work item.
    ReclaimReturnedRenderRequests();
    RaiseFlag(&FirstRenderCompletion);
    if (WaveMiniport != NULL && WaveMiniport->IsStreamActive(FALSE)) {
        FlushRenderQueueLocked();
        // After the flush: a capture-paced stream queues its lead again here.
        WaveMiniport->ClearBuffer(FALSE);
        KeClearEvent(&RenderRunningEvent);
        if (!IsSignalled(&CaptureRunningEvent)) {
            WaveMiniport->BufferToggle();
        }
    }
    KeReleaseInStackQueuedSpinLock(&lock);
}
