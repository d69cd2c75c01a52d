#include "kslib/ks_alloc.h"

#include <cstring>

namespace kslib {
namespace {
thread_local unsigned failCountdown = 0;
thread_local unsigned long allocationCount = 0;
}  // namespace

bool AllocationRefused() {
  ++allocationCount;
  if (failCountdown == 0) return false;
  return --failCountdown == 0;
}

BYTE* AllocateBlock(size_t bytes) {
  if (AllocationRefused()) return nullptr;
  BYTE* block = new (std::nothrow) BYTE[bytes == 0 ? 1 : bytes];
  if (block != nullptr) std::memset(block, 0, bytes == 0 ? 1 : bytes);
  return block;
}

void FreeBlock(void* block) { delete[] static_cast<BYTE*>(block); }

namespace testing {
void FailNthAllocation(unsigned n) { failCountdown = n; }
unsigned long AllocationCount() { return allocationCount; }
}  // namespace testing

}  // namespace kslib
