// Shared internals of the DPC queue (dpc_queue.cpp), for the timer thread.
#pragma once

#include <wdm.h>

#include <cstddef>

namespace platform::detail {

// Queues an expired timer's DPC; false when it is still queued from before.
bool QueueTimerDpc(PKDPC dpc, PVOID arg1, PVOID arg2);

// DPCs queued or running.
size_t PendingDpcs();

}  // namespace platform::detail
