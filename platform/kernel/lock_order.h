// Lock-order verification: every spin lock and mutex acquisition is recorded
// against the locks the thread already holds, building one graph of "taken
// while holding" edges for the whole run. An acquisition that closes a cycle
// (the opposite order was seen before, directly or through other locks) is a
// LOCK_ORDER_INVERSION bug check naming the call sites of both orders, even
// when the two threads never actually deadlocked in this run.
//
// Locks are known by address: a lock initialised again, or pool memory freed,
// forgets the edges of the locks at those addresses, so a new lock at a
// reused address starts clean.
#pragma once

#include <cstddef>

namespace platform {

// Edges in the graph now (for tests).
size_t LockOrderEdges();

namespace detail {

// `caller` is the driver's call site. A try-acquire cannot deadlock: it is
// held (later acquisitions are ordered after it) but adds no edge itself.
void LockAcquired(const void* lock, const void* caller, bool tryAcquire);
void LockReleased(const void* lock);
// The lock at this address is (re)initialised: forget its edges.
void ForgetLock(const void* lock);
// Memory [begin, begin + size) is freed: forget the locks inside it.
void ForgetLocksIn(const void* begin, size_t size);

}  // namespace detail
}  // namespace platform
