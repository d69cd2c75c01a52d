// Spin locks. The lock word holds the owning thread's token (plus bit 0 for
// the in-stack queued form), so recursion, foreign releases and mixed
// acquire/release forms are detected. Acquire/release ordering on the word
// is what ThreadSanitizer sees.
#include <sched.h>

#include "platform/kernel/internal.h"
#include "platform/kernel/lock_order.h"

namespace {

using platform::detail::BugCheckAt;
using platform::detail::CurrentIrql;
using platform::detail::SetIrql;

constexpr ULONG_PTR kQueuedBit = 1;

ULONG_PTR ThreadToken() {
  alignas(8) static thread_local char token;
  return reinterpret_cast<ULONG_PTR>(&token);
}

void Acquire(PKSPIN_LOCK lock, bool queued, const void* caller) {
  const ULONG_PTR mine = ThreadToken() | (queued ? kQueuedBit : 0);
  ULONG_PTR current = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if ((current & ~kQueuedBit) == ThreadToken())
    BugCheckAt(caller, "SPIN_LOCK_ALREADY_OWNED", "spin lock %p acquired again by its owner (deadlock)",
               static_cast<void*>(lock));
  for (unsigned spins = 0;; ++spins) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, mine, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
      platform::detail::LockAcquired(lock, caller, false);
      return;
    }
    // The owner may be preempted on the host (no real raised IRQL): yield
    // instead of burning the other core.
    if (spins % 64 == 63)
      sched_yield();
    else
      __builtin_ia32_pause();
  }
}

bool TryAcquire(PKSPIN_LOCK lock, const void* caller) {
  ULONG_PTR expected = 0;
  if (!__atomic_compare_exchange_n(lock, &expected, ThreadToken(), false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
    return false;
  platform::detail::LockAcquired(lock, caller, true);
  return true;
}

void Release(PKSPIN_LOCK lock, bool queued, const void* caller) {
  ULONG_PTR current = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if ((current & ~kQueuedBit) != ThreadToken())
    BugCheckAt(caller, "SPIN_LOCK_NOT_OWNED", "spin lock %p released by a thread that does not hold it",
               static_cast<void*>(lock));
  if (((current & kQueuedBit) != 0) != queued)
    BugCheckAt(caller, "SPIN_LOCK_MIXED_FORMS", "spin lock %p acquired %s but released %s",
               static_cast<void*>(lock), queued ? "plainly" : "in-stack queued",
               queued ? "in-stack queued" : "plainly");
  platform::detail::LockReleased(lock);
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

KIRQL RaiseForLock(const void* caller) {
  KIRQL old = CurrentIrql();
  if (old > DISPATCH_LEVEL)
    BugCheckAt(caller, "IRQL_SPIN_LOCK_ABOVE_DISPATCH", "spin lock acquired at IRQL %u", old);
  SetIrql(DISPATCH_LEVEL, caller, "spin lock");
  return old;
}

void RequireDispatch(const void* caller, const char* what) {
  if (CurrentIrql() < DISPATCH_LEVEL)
    BugCheckAt(caller, "IRQL_SPIN_LOCK_DPC_BELOW_DISPATCH", "%s at IRQL %u", what, CurrentIrql());
}

void LowerAfterRelease(KIRQL newIrql, const void* caller) {
  if (newIrql > CurrentIrql())
    BugCheckAt(caller, "IRQL_LOWER_TO_HIGHER", "spin lock release to IRQL %u from %u", newIrql, CurrentIrql());
  SetIrql(newIrql);
}

}  // namespace

extern "C" {

// Out of line (inline in the DDK) so a lock at a reused address starts with
// no lock-order history.
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
  platform::detail::ForgetLock(SpinLock);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  KIRQL old = RaiseForLock(USBAUDIO_CALLER());
  Acquire(SpinLock, false, USBAUDIO_CALLER());
  return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  RequireDispatch(USBAUDIO_CALLER(), "KeReleaseSpinLock");
  Release(SpinLock, false, USBAUDIO_CALLER());
  LowerAfterRelease(NewIrql, USBAUDIO_CALLER());
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  RequireDispatch(USBAUDIO_CALLER(), "KeAcquireSpinLockAtDpcLevel");
  Acquire(SpinLock, false, USBAUDIO_CALLER());
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  RequireDispatch(USBAUDIO_CALLER(), "KeReleaseSpinLockFromDpcLevel");
  Release(SpinLock, false, USBAUDIO_CALLER());
}

BOOLEAN FASTCALL KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  RequireDispatch(USBAUDIO_CALLER(), "KeTryToAcquireSpinLockAtDpcLevel");
  return TryAcquire(SpinLock, USBAUDIO_CALLER()) ? TRUE : FALSE;
}

VOID FASTCALL KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  KIRQL old = RaiseForLock(USBAUDIO_CALLER());
  Acquire(SpinLock, true, USBAUDIO_CALLER());
  LockHandle->LockQueue.Next = NULL;
  LockHandle->LockQueue.Lock = SpinLock;
  LockHandle->OldIrql = old;
}

VOID FASTCALL KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
  PKSPIN_LOCK lock = LockHandle->LockQueue.Lock;
  if (!lock) BugCheckAt(USBAUDIO_CALLER(), "SPIN_LOCK_NOT_OWNED", "release of an unused lock queue handle");
  RequireDispatch(USBAUDIO_CALLER(), "KeReleaseInStackQueuedSpinLock");
  Release(lock, true, USBAUDIO_CALLER());
  LockHandle->LockQueue.Lock = NULL;
  LowerAfterRelease(LockHandle->OldIrql, USBAUDIO_CALLER());
}

VOID FASTCALL KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  RequireDispatch(USBAUDIO_CALLER(), "KeAcquireInStackQueuedSpinLockAtDpcLevel");
  Acquire(SpinLock, true, USBAUDIO_CALLER());
  LockHandle->LockQueue.Next = NULL;
  LockHandle->LockQueue.Lock = SpinLock;
  LockHandle->OldIrql = DISPATCH_LEVEL;
}

VOID FASTCALL KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle) {
  PKSPIN_LOCK lock = LockHandle->LockQueue.Lock;
  if (!lock) BugCheckAt(USBAUDIO_CALLER(), "SPIN_LOCK_NOT_OWNED", "release of an unused lock queue handle");
  RequireDispatch(USBAUDIO_CALLER(), "KeReleaseInStackQueuedSpinLockFromDpcLevel");
  Release(lock, true, USBAUDIO_CALLER());
  LockHandle->LockQueue.Lock = NULL;
}

}  // extern "C"
