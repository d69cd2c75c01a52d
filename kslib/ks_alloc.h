// Allocation for the kernel-streaming client library: never throws, gives
// null on failure. Tests can make a chosen allocation of the calling thread
// fail to reach every out-of-memory path.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

#include "kslib/user_prelude.h"

namespace kslib {

// true when the calling thread's next allocation is to fail (consumes it).
bool AllocationRefused();

template <class T, class... Args>
T* New(Args&&... args) {
  if (AllocationRefused()) return nullptr;
  return new (std::nothrow) T(std::forward<Args>(args)...);
}

// A zeroed block of bytes (null on failure); freed with FreeBlock.
BYTE* AllocateBlock(size_t bytes);
void FreeBlock(void* block);

namespace testing {
// Makes the n-th allocation from now (1 = the next one) of the calling
// thread fail; 0 disarms.
void FailNthAllocation(unsigned n);
// Allocations the calling thread has made through this library so far.
unsigned long AllocationCount();
}  // namespace testing

}  // namespace kslib
