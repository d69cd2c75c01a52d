// The record every render, capture and feedback transfer chain carries from
// submission to completion. Render requests are made once per render-thread
// run with their buffer and MDL; capture and feedback chains take theirs
// from the adapter's RequestPool.
#pragma once

#include "driver/runtime/kernel_prelude.h"
#include "driver/uac/stream_events.h"

class CAdapterUsbAudio;

struct TRANSFER_REQUEST {
    PVOID Buffer;             // non-paged transfer buffer
    PMDL Mdl;                 // describes Buffer (render requests only)
    ULONG TargetBytes;        // render: device bytes to carry (0 = not sized yet); capture: buffer length
    ULONG FilledBytes;        // render: device bytes already written into Buffer
    CAdapterUsbAudio* Owner;
    ULONG FeedbackSnapshot;   // the 16.16 feedback value that sized this render transfer
    LIST_ENTRY Link;          // FreeRenderRequests
    PIO_WORKITEM WorkItem;    // render completion hand-off
};

// Size of the records in RequestPool; a feedback chain's record lives in one too.
constexpr ULONG TRANSFER_REQUEST_BYTES = 72;
static_assert(sizeof(TRANSFER_REQUEST) <= TRANSFER_REQUEST_BYTES, "transfer requests fit the pool records");
static_assert(sizeof(FEEDBACK_REQUEST) <= TRANSFER_REQUEST_BYTES, "feedback requests fit the pool records");
