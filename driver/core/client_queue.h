// A region of a client's cyclic buffer waiting to be played (render) or
// filled (capture), from the adapter's QueueEntryPool.
#pragma once

#include "driver/runtime/kernel_prelude.h"

struct ClientBufferEntry {
    LIST_ENTRY Link;
    PUCHAR Start;
    PUCHAR Current;
    ULONG Remaining;
};
static_assert(sizeof(ClientBufferEntry) == 40, "queue entries are 40 bytes");

// A queue of entries with its own executive spin lock, held for one
// insertion or removal only.
struct ClientBufferQueue {
    LIST_ENTRY Head;
    KSPIN_LOCK Lock;
};

inline VOID InitializeClientQueue(ClientBufferQueue* queue) {
    InitializeListHead(&queue->Head);
    KeInitializeSpinLock(&queue->Lock);
}

inline VOID PushClientEntry(ClientBufferQueue* queue, ClientBufferEntry* entry) {
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    InsertTailList(&queue->Head, &entry->Link);
    KeReleaseSpinLock(&queue->Lock, irql);
}

// The head entry, removed; NULL when the queue is empty.
inline ClientBufferEntry* PopClientEntry(ClientBufferQueue* queue) {
    ClientBufferEntry* entry = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    if (!IsListEmpty(&queue->Head)) {
        entry = CONTAINING_RECORD(RemoveHeadList(&queue->Head), ClientBufferEntry, Link);
    }
    KeReleaseSpinLock(&queue->Lock, irql);
    return entry;
}

// The head entry, left in the queue; NULL when the queue is empty. Only for
// a consumer that excludes every other remover (the render pump and the
// render flush share RenderLock).
inline ClientBufferEntry* PeekClientEntry(ClientBufferQueue* queue) {
    ClientBufferEntry* entry = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    if (!IsListEmpty(&queue->Head)) {
        entry = CONTAINING_RECORD(queue->Head.Flink, ClientBufferEntry, Link);
    }
    KeReleaseSpinLock(&queue->Lock, irql);
    return entry;
}

inline BOOLEAN IsClientQueueEmpty(ClientBufferQueue* queue) {
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    const BOOLEAN empty = IsListEmpty(&queue->Head);
    KeReleaseSpinLock(&queue->Lock, irql);
    return empty;
}
