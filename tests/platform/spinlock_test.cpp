// IRQL tracking and spin locks: mutual exclusion under contention (also run
// under ThreadSanitizer) and the IRQL each lock form leaves behind.
#include <thread>
#include <vector>

#include "tests/support/verifier_test.h"

namespace {

class SpinLockTest : public VerifiedTest {};

TEST_F(SpinLockTest, IrqlRaisesAndLowersPerThread) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  KIRQL other = HIGH_LEVEL;
  std::thread([&] { other = KeGetCurrentIrql(); }).join();
  EXPECT_EQ(other, PASSIVE_LEVEL) << "IRQL belongs to the thread";
  EXPECT_EQ(KeRaiseIrqlToDpcLevel(), APC_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(APC_LEVEL);
  KeLowerIrql(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, EachFormRestoresTheIrqlItFound) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_NE(lock, 0u) << "a held lock is marked";
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(lock, 0u);

  KLOCK_QUEUE_HANDLE handle;
  KIRQL apc;
  KeRaiseIrql(APC_LEVEL, &apc);
  KeAcquireInStackQueuedSpinLock(&lock, &handle);
  EXPECT_EQ(handle.OldIrql, APC_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseInStackQueuedSpinLock(&handle);
  EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
  KeLowerIrql(apc);

  KIRQL dpc = KeRaiseIrqlToDpcLevel();
  KeAcquireSpinLockAtDpcLevel(&lock);
  EXPECT_FALSE(KeTryToAcquireSpinLockAtDpcLevel(&lock)) << "held";
  KeReleaseSpinLockFromDpcLevel(&lock);
  KeAcquireInStackQueuedSpinLockAtDpcLevel(&lock, &handle);
  KeReleaseInStackQueuedSpinLockFromDpcLevel(&handle);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "the DPC-level forms leave IRQL alone";
  KeLowerIrql(dpc);
}

// Two threads (the machine has two cores) increment a plain counter under
// the lock; lost updates or a data race report mean no mutual exclusion.
TEST_F(SpinLockTest, ExcludesUnderContentionInBothForms) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;
  long maxInside = 0;
  long inside = 0;
  constexpr int kPerThread = 50000;
  auto worker = [&](bool queued) {
    for (int i = 0; i < kPerThread; ++i) {
      if (queued) {
        KLOCK_QUEUE_HANDLE handle;
        KeAcquireInStackQueuedSpinLock(&lock, &handle);
        if (++inside > maxInside) maxInside = inside;
        counter++;
        --inside;
        KeReleaseInStackQueuedSpinLock(&handle);
      } else {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        if (++inside > maxInside) maxInside = inside;
        counter++;
        --inside;
        KeReleaseSpinLock(&lock, old);
      }
      EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
  };
  // One lock is never taken with both forms, so each form gets its own round.
  for (bool queued : {false, true}) {
    SCOPED_TRACE(queued ? "in-stack queued" : "plain");
    counter = 0;
    maxInside = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) threads.emplace_back(worker, queued);
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 3L * kPerThread);
    EXPECT_EQ(maxInside, 1);
  }
}

}  // namespace
