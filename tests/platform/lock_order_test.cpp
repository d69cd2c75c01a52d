// Lock-order verification: spin locks and mutexes taken in opposite orders
// anywhere in the run stop with both call sites, even without a deadlock;
// freed or re-initialised locks forget their history.
#include <thread>

#include "platform/kernel/lock_order.h"
#include "tests/support/verifier_test.h"

namespace {

using platform::PoolTag;

constexpr ULONG kTag = PoolTag("TsLo");

class LockOrderTest : public VerifierDeathTest {};

// Takes `first`, then `second`, and releases both.
void __attribute__((noinline)) Nested(PKSPIN_LOCK first, PKSPIN_LOCK second) {
  KIRQL old;
  KeAcquireSpinLock(first, &old);
  KeAcquireSpinLockAtDpcLevel(second);
  KeReleaseSpinLockFromDpcLevel(second);
  KeReleaseSpinLock(first, old);
}

void __attribute__((noinline)) NestedQueued(PKSPIN_LOCK first, PKSPIN_LOCK second) {
  KLOCK_QUEUE_HANDLE a, b;
  KeAcquireInStackQueuedSpinLock(first, &a);
  KeAcquireInStackQueuedSpinLockAtDpcLevel(second, &b);
  KeReleaseInStackQueuedSpinLockFromDpcLevel(&b);
  KeReleaseInStackQueuedSpinLock(&a);
}

void TakeMutexes(PKMUTEX first, PKMUTEX second) {
  KeWaitForSingleObject(first, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(second, Executive, KernelMode, FALSE, nullptr);
  KeReleaseMutex(second, FALSE);
  KeReleaseMutex(first, FALSE);
}

// The two orders on different threads, one after the other: no deadlock
// happens, the inversion is still reported.
void OppositeOrdersOnTwoThreads() {
  KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  std::thread([&] { Nested(&a, &b); }).join();
  std::thread([&] { NestedQueued(&b, &a); }).join();
}

// a -> b, b -> c, then c -> a.
void CycleThroughAThirdLock() {
  KSPIN_LOCK a, b, c;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  KeInitializeSpinLock(&c);
  Nested(&a, &b);
  Nested(&b, &c);
  Nested(&c, &a);
}

void OppositeMutexOrders() {
  KMUTEX m1, m2;
  KeInitializeMutex(&m1, 0);
  KeInitializeMutex(&m2, 0);
  TakeMutexes(&m1, &m2);
  TakeMutexes(&m2, &m1);
}

TEST_F(LockOrderTest, OppositeOrdersStopWithBothCallSitesWithoutADeadlock) {
  EXPECT_DEATH(OppositeOrdersOnTwoThreads(),
               "BUGCHECK LOCK_ORDER_INVERSION: .*holding .*NestedQueued.*taking .*NestedQueued.*opposite order.*"
               "holding .*Nested.*taking .*Nested");
  EXPECT_DEATH(CycleThroughAThirdLock(), "BUGCHECK LOCK_ORDER_INVERSION");
  // Mutexes join the same graph.
  EXPECT_DEATH(OppositeMutexOrders(), "BUGCHECK LOCK_ORDER_INVERSION: .*TakeMutexes");
}

TEST_F(LockOrderTest, ConsistentOrdersTryAcquiresAndRecursionPass) {
  KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  std::thread t1([&] {
    for (int i = 0; i < 1000; ++i) Nested(&a, &b);
  });
  std::thread t2([&] {
    for (int i = 0; i < 1000; ++i) NestedQueued(&a, &b);
  });
  t1.join();
  t2.join();
  // A try-acquire cannot deadlock: holding b, trying a adds no edge b -> a.
  KIRQL old;
  KeAcquireSpinLock(&b, &old);
  if (KeTryToAcquireSpinLockAtDpcLevel(&a)) KeReleaseSpinLockFromDpcLevel(&a);
  KeReleaseSpinLock(&b, old);
  // A mutex entered again by its owner is no new order.
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr);
  KeReleaseMutex(&m, FALSE);
  KeReleaseMutex(&m, FALSE);
}

TEST_F(LockOrderTest, FreedAndReinitialisedLocksForgetTheirOrder) {
  // Locks in a pool block: freeing the block drops their edges, so a new
  // lock at the same address starts clean.
  auto* pair = static_cast<KSPIN_LOCK*>(ExAllocatePoolWithTag(NonPagedPoolNx, 2 * sizeof(KSPIN_LOCK), kTag));
  KeInitializeSpinLock(&pair[0]);
  KeInitializeSpinLock(&pair[1]);
  const size_t before = platform::LockOrderEdges();
  Nested(&pair[0], &pair[1]);
  EXPECT_EQ(platform::LockOrderEdges(), before + 1);
  ExFreePoolWithTag(pair, kTag);
  EXPECT_EQ(platform::LockOrderEdges(), before) << "the freed block's locks still have edges";

  // Re-initialised (a lock on the stack, a reused object): the opposite
  // order is fine afterwards.
  KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  Nested(&a, &b);
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  Nested(&b, &a);
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  KMUTEX m1, m2;
  KeInitializeMutex(&m1, 0);
  KeInitializeMutex(&m2, 0);
  TakeMutexes(&m1, &m2);
  KeInitializeMutex(&m1, 0);
  KeInitializeMutex(&m2, 0);
  TakeMutexes(&m2, &m1);
  KeInitializeMutex(&m1, 0);
  KeInitializeMutex(&m2, 0);
}

}  // namespace
