// Host-only API of the system work queue behind IoQueueWorkItem.
#pragma once

#include <cstddef>

namespace platform {

// Waits until every queued work item has run (the queue is empty and no
// worker is busy). Returns false when that did not happen within the
// timeout, so a test fails instead of hanging.
bool WaitForWorkItems(unsigned timeoutMilliseconds = 10000);

// Work items queued and not yet finished.
size_t PendingWorkItems();

}  // namespace platform
