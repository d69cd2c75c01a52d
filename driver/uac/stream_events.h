// What the isochronous and feedback code of CUSBAudioCL needs from the
// adapter that runs the streams: whether feedback reads should continue, the
// transfer requests that carry them, and where the outcome of every reading
// goes (error count, restarts, render slot grants). Kept as an interface so
// the model does not depend on the adapter.
#pragma once

#include "driver/runtime/kernel_prelude.h"

class CUSBAudioCL;

// One feedback read chain's record; the adapter's transfer requests are large
// enough to hold it.
struct FEEDBACK_REQUEST {
    CUSBAudioCL* Owner;
    PVOID Buffer;
    ULONG TargetBytes;
};

// Completion of a feedback read: IRP status, the decoded value (16.16, 0
// when nothing usable arrived), whether it was read from 3-byte packets.
typedef VOID (*PFEEDBACK_CALLBACK)(NTSTATUS status, ULONG value, BOOLEAN threeBytePackets, PVOID userContext);

struct IStreamEvents {
    // Render is running and neither stopping nor failed.
    virtual BOOLEAN FeedbackShouldRun() = 0;
    // Requests of the feedback chains; null on failure.
    virtual FEEDBACK_REQUEST* AllocateFeedbackRequest() = 0;
    virtual VOID FreeFeedbackRequest(FEEDBACK_REQUEST* request) = 0;
    // A chain ended: its feedback slot goes back.
    virtual VOID OnFeedbackChainEnded() = 0;
    // A read failed (count it; restart render after too many in a row).
    virtual VOID OnFeedbackReadFailed(NTSTATUS status) = 0;
    // A read succeeded and `value` was published as the latest feedback.
    virtual VOID OnFeedbackPublished(ULONG value) = 0;
    // Called after every reading, successful or not: top up render slots.
    virtual VOID GrantRenderSlots() = 0;

protected:
    ~IStreamEvents() {}
};
