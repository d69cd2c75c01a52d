// Pool allocations with verifier bookkeeping: every block records tag, size,
// pool type and caller; frees are checked; new blocks that were not asked to
// be zeroed are filled with a pattern so reliance on zero-fill shows up.
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/kernel/internal.h"
#include "platform/kernel/lock_order.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define POOL_POISON(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace platform {
namespace {

constexpr unsigned char kNewPattern = 0xCD;
constexpr unsigned char kFreedPattern = 0xDD;
// Windows guarantees 16-byte alignment for small blocks (x64), the cache
// line for the cache-aligned pool types and the page for a page or more.
// Small blocks here sit 16 bytes past a cache line, so code that relies on
// more than 16 shows up as it would on Windows.
constexpr size_t kAlignment = 16;
constexpr size_t kCacheLine = 64;
constexpr size_t kPage = PAGE_SIZE;
constexpr size_t kRecentFrees = 8192;      // remembered to tell double frees from wild ones
constexpr ULONG kProtectedPoolBit = 0x80000000;

struct Block {
  void* base;  // what posix_memalign returned
  ULONG tag;
  SIZE_T size;
  POOL_TYPE type;
  const void* caller;
  uint64_t serial;
};

struct TagStats {
  size_t count = 0;
  size_t bytes = 0;
  uint64_t total = 0;
};

struct Fault {
  ULONG tag;
  long remaining;
};

struct Pool {
  std::mutex lock;
  std::unordered_map<const void*, Block> blocks;
  std::map<ULONG, TagStats> tags;
  // Recently freed addresses (with the serial of their free) in free order.
  std::unordered_map<const void*, uint64_t> recentFrees;
  std::deque<std::pair<const void*, uint64_t>> recentOrder;
  std::vector<Fault> faults;
  uint64_t serial = 0;
};

Pool& ThePool() {
  static Pool* pool = new Pool;  // never destroyed: threads may allocate during exit
  return *pool;
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }
bool IsCacheAligned(POOL_TYPE type) { return (type & NonPagedPoolBaseCacheAligned) != 0; }

// Alignment of the block and the offset of the caller's part in it.
void Placement(POOL_TYPE type, SIZE_T size, size_t* alignment, size_t* offset) {
  *alignment = size >= kPage ? kPage : kCacheLine;
  *offset = size >= kPage || IsCacheAligned(type) ? 0 : kAlignment;
}

// Called with the pool lock held.
bool ConsumeFault(Pool& pool, ULONG tag) {
  bool fail = false;
  for (auto it = pool.faults.begin(); it != pool.faults.end();) {
    if (it->tag == 0 || it->tag == tag) {
      if (it->remaining == 0) {
        fail = true;
        it = pool.faults.erase(it);
        continue;
      }
      --it->remaining;
    }
    ++it;
  }
  return fail;
}

}  // namespace

namespace detail {

PVOID AllocatePool(POOL_TYPE type, SIZE_T size, ULONG tag, bool zero, const void* caller) {
  RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IRQL_POOL_ABOVE_DISPATCH", "pool allocation");
  if (IsPaged(type)) RequireIrqlAtMost(APC_LEVEL, caller, "IRQL_PAGED_POOL_AT_DISPATCH", "paged pool allocation");
  if (tag == 0) BugCheckAt(caller, "POOL_TAG_ZERO", "pool allocation of %llu bytes without a tag", size);
  Pool& pool = ThePool();
  {
    std::lock_guard<std::mutex> lock(pool.lock);
    if (ConsumeFault(pool, tag)) return NULL;
  }
  size_t alignment, offset;
  Placement(type, size, &alignment, &offset);
  void* base = nullptr;
  if (posix_memalign(&base, alignment, offset + (size ? size : 1)) != 0) return NULL;
  void* p = static_cast<char*>(base) + offset;
  POOL_POISON(base, offset);
  memset(p, zero ? 0 : kNewPattern, size);
  std::lock_guard<std::mutex> lock(pool.lock);
  pool.blocks[p] = Block{base, tag, size, type, caller, ++pool.serial};
  pool.recentFrees.erase(p);  // its entry in recentOrder goes stale
  TagStats& stats = pool.tags[tag];
  stats.count++;
  stats.bytes += size;
  stats.total++;
  return p;
}

void FreePool(PVOID p, bool checkTag, ULONG tag, const void* caller) {
  if (!p) BugCheckAt(caller, "POOL_FREE_NULL", "pool free of a null pointer");
  Pool& pool = ThePool();
  Block block;
  {
    std::lock_guard<std::mutex> lock(pool.lock);
    auto it = pool.blocks.find(p);
    if (it == pool.blocks.end()) {
      if (pool.recentFrees.count(p)) BugCheckAt(caller, "POOL_DOUBLE_FREE", "pool block %p freed twice", p);
      BugCheckAt(caller, "POOL_FREE_UNKNOWN", "%p is not a pool allocation", p);
    }
    block = it->second;
    if (checkTag && (tag & ~kProtectedPoolBit) != (block.tag & ~kProtectedPoolBit)) {
      BugCheckAt(caller, "POOL_FREE_WRONG_TAG", "block %p of %llu bytes allocated with tag '%s' freed with tag '%s'",
                 p, block.size, TagToString(block.tag).c_str(), TagToString(tag).c_str());
    }
    if (IsPaged(block.type))
      RequireIrqlAtMost(APC_LEVEL, caller, "IRQL_PAGED_POOL_AT_DISPATCH", "paged pool free");
    RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IRQL_POOL_ABOVE_DISPATCH", "pool free");
    pool.blocks.erase(it);
    TagStats& stats = pool.tags[block.tag];
    stats.count--;
    stats.bytes -= block.size;
    uint64_t serial = ++pool.serial;
    pool.recentFrees[p] = serial;
    pool.recentOrder.emplace_back(p, serial);
    if (pool.recentOrder.size() > kRecentFrees) {
      auto oldest = pool.recentOrder.front();
      pool.recentOrder.pop_front();
      auto found = pool.recentFrees.find(oldest.first);
      if (found != pool.recentFrees.end() && found->second == oldest.second) pool.recentFrees.erase(found);
    }
  }
  // Locks in the block are gone: a later lock at these addresses has no
  // lock-order history.
  ForgetLocksIn(p, block.size);
  memset(p, kFreedPattern, block.size);
  POOL_UNPOISON(block.base, static_cast<char*>(p) - static_cast<char*>(block.base));
  free(block.base);
}

bool LookupPool(const void* p, ULONG* tag, SIZE_T* size) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.lock);
  auto it = pool.blocks.find(p);
  if (it == pool.blocks.end()) return false;
  if (tag) *tag = it->second.tag;
  if (size) *size = it->second.size;
  return true;
}

void ResetPoolFaults() {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.lock);
  pool.faults.clear();
}

}  // namespace detail

size_t OutstandingPoolAllocations() {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.lock);
  return pool.blocks.size();
}

size_t OutstandingPoolAllocations(ULONG tag) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.lock);
  auto it = pool.tags.find(tag);
  return it == pool.tags.end() ? 0 : it->second.count;
}

size_t OutstandingPoolBytes(ULONG tag) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.lock);
  auto it = pool.tags.find(tag);
  return it == pool.tags.end() ? 0 : it->second.bytes;
}

uint64_t TotalPoolAllocations(ULONG tag) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.lock);
  auto it = pool.tags.find(tag);
  return it == pool.tags.end() ? 0 : it->second.total;
}

std::string DescribeOutstandingPool() {
  Pool& pool = ThePool();
  std::vector<std::pair<ULONG, TagStats>> tags;
  std::vector<Block> blocks;
  {
    std::lock_guard<std::mutex> lock(pool.lock);
    for (const auto& t : pool.tags)
      if (t.second.count) tags.push_back(t);
    for (const auto& b : pool.blocks) blocks.push_back(b.second);
  }
  std::sort(blocks.begin(), blocks.end(), [](const Block& a, const Block& b) { return a.serial < b.serial; });
  std::string out;
  for (const auto& t : tags) {
    char line[128];
    snprintf(line, sizeof line, "  %s: %zu allocations, %zu bytes\n", TagToString(t.first).c_str(), t.second.count,
             t.second.bytes);
    out += line;
    int shown = 0;
    for (const Block& b : blocks) {
      if (b.tag != t.first || shown++ == 3) continue;
      snprintf(line, sizeof line, "    %llu bytes from ", b.size);
      out += line + detail::DescribeAddress(b.caller) + "\n";
    }
  }
  return out;
}

void FailPoolAllocation(ULONG tag, long nth) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.lock);
  pool.faults.push_back(Fault{tag, nth < 0 ? 0 : nth});
}

}  // namespace platform

using platform::detail::AllocatePool;
using platform::detail::FreePool;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return AllocatePool(PoolType, NumberOfBytes, Tag, false, USBAUDIO_CALLER());
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { FreePool(P, true, Tag, USBAUDIO_CALLER()); }

VOID NTAPI ExFreePool(PVOID P) { FreePool(P, false, 0, USBAUDIO_CALLER()); }

}  // extern "C"
