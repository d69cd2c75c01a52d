// The adapter's streaming-thread entry points. The threads themselves, their
// slots and the render restart come with the streaming work, which fills in
// these hooks; until then no thread is ever started, so starting a stream
// fails cleanly after its pipes were opened and closed again.
#include "driver/core/adapter.h"
#include "driver/core/trace.h"

NTSTATUS CAdapterUsbAudio::StartStreamThread(BOOLEAN capture) {
    // The streaming threads plug in here: clear the stop event, create the
    // direction's system thread and keep a reference on its object.
    UA_TRACE("%s streaming thread not available", capture ? "capture" : "render");
    return STATUS_NOT_IMPLEMENTED;
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
    // Only StartStreamThread stores a thread object; the streaming work that
    // creates threads signals, waits for and dereferences it here.
    UA_ERROR("%s thread object without a streaming thread", capture ? "capture" : "render");
}

VOID CAdapterUsbAudio::GrantRenderSlots(ULONG count) {
    // Render slots wake the render thread; the streaming work grants them here.
    UNREFERENCED_PARAMETER(count);
}
