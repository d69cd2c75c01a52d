// Pool allocations with verifier bookkeeping: every block records tag, size,
// pool type and caller; frees are checked; new blocks that were not asked to
// be zeroed are filled with a pattern so reliance on zero-fill shows up.
// Blocks of a page or more come from one shared-memory file (memfd) mapped
// once, page-aligned with a poisoned guard page behind each, so a user-mode
// mapping can map the same pages again.
#include <sys/mman.h>
#include <unistd.h>

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
#include <sanitizer/lsan_interface.h>
#define POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
// The leak checker scans arena blocks for pointers as it scans the heap.
#define POOL_ROOT(p, n) __lsan_register_root_region(p, n)
#define POOL_UNROOT(p, n) __lsan_unregister_root_region(p, n)
#else
#define POOL_POISON(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#define POOL_ROOT(p, n) ((void)(p), (void)(n))
#define POOL_UNROOT(p, n) ((void)(p), (void)(n))
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
// Address space of the arena (its file is sparse: only used pages cost
// memory). Freed ranges wait in quarantine before they are handed out again.
constexpr size_t kArenaBytes = size_t(1) << 30;
constexpr size_t kQuarantineRanges = 64;
constexpr size_t kQuarantineBytes = size_t(32) << 20;

struct Arena {
  bool tried = false;
  int fd = -1;
  char* base = nullptr;
  size_t top = 0;                          // never handed out above
  std::map<size_t, size_t> free;           // offset -> bytes, coalesced
  std::deque<std::pair<size_t, size_t>> quarantine;
  size_t quarantined = 0;
  std::map<const void*, size_t> blocks;    // live block -> its whole pages
};

struct Block {
  void* base;  // what posix_memalign returned (null: an arena block)
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
  Arena arena;
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

size_t PageRound(size_t n) { return (n + kPage - 1) & ~(kPage - 1); }

// Called with the pool lock. A range of `pages` bytes plus the guard page,
// or null when the arena is full or unavailable.
char* ArenaTake(Arena& a, size_t pages) {
  if (!a.tried) {
    a.tried = true;
    int fd = memfd_create("usbaudio-pool", MFD_CLOEXEC);
    if (fd >= 0 && ftruncate(fd, static_cast<off_t>(kArenaBytes)) == 0) {
      void* base = mmap(nullptr, kArenaBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, fd, 0);
      if (base != MAP_FAILED) {
        a.fd = fd;
        a.base = static_cast<char*>(base);
      }
    }
    if (!a.base && fd >= 0) close(fd);
  }
  if (!a.base) return nullptr;
  const size_t need = pages + kPage;
  for (auto it = a.free.begin(); it != a.free.end(); ++it) {
    if (it->second < need) continue;
    size_t offset = it->first, left = it->second - need;
    a.free.erase(it);
    if (left) a.free[offset + need] = left;
    return a.base + offset;
  }
  if (kArenaBytes - a.top < need) return nullptr;
  char* p = a.base + a.top;
  a.top += need;
  return p;
}

// Called with the pool lock: the range (block pages and guard) goes into
// quarantine; the oldest ones leave it for the free list.
void ArenaGive(Arena& a, const char* p, size_t pages) {
  a.quarantine.emplace_back(static_cast<size_t>(p - a.base), pages + kPage);
  a.quarantined += pages + kPage;
  while (a.quarantine.size() > kQuarantineRanges || a.quarantined > kQuarantineBytes) {
    auto [offset, bytes] = a.quarantine.front();
    a.quarantine.pop_front();
    a.quarantined -= bytes;
    auto next = a.free.lower_bound(offset);
    if (next != a.free.end() && offset + bytes == next->first) {
      bytes += next->second;
      next = a.free.erase(next);
    }
    if (next != a.free.begin()) {
      auto prev = std::prev(next);
      if (prev->first + prev->second == offset) {
        prev->second += bytes;
        continue;
      }
    }
    a.free[offset] = bytes;
  }
}

}  // namespace

namespace detail {

bool ArenaBlockAt(const void* address, int* fd, size_t* offset, size_t* blockPages) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.lock);
  auto it = pool.arena.blocks.find(address);
  if (it == pool.arena.blocks.end()) return false;
  *fd = pool.arena.fd;
  *offset = static_cast<size_t>(static_cast<const char*>(address) - pool.arena.base);
  *blockPages = it->second;
  return true;
}

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
  void* p = nullptr;
  if (size >= kPage) {
    const size_t pages = PageRound(size);
    char* block;
    {
      std::lock_guard<std::mutex> lock(pool.lock);
      block = ArenaTake(pool.arena, pages);
    }
    if (block) {
      // Slack to the page end and the guard page stay poisoned.
      POOL_UNPOISON(block, size);
      POOL_POISON(block + size, pages - size + kPage);
      POOL_ROOT(block, size);
      p = block;
    }
  }
  if (!p) {
    if (posix_memalign(&base, alignment, offset + (size ? size : 1)) != 0) return NULL;
    p = static_cast<char*>(base) + offset;
    POOL_POISON(base, offset);
  }
  memset(p, zero ? 0 : kNewPattern, size);
  std::lock_guard<std::mutex> lock(pool.lock);
  if (!base) pool.arena.blocks[p] = PageRound(size);
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
  std::string views = DescribeUserViewsOfBlock(p);
  if (!views.empty())
    BugCheckAt(caller, "MDL_USER_MAPPING_LEFT", "pool block %p freed while a user mapping of it exists:\n%s", p,
               views.c_str());
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
    if (!block.base) pool.arena.blocks.erase(p);
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
  if (!block.base) {
    const size_t pages = PageRound(block.size);
    POOL_UNROOT(p, block.size);
    POOL_POISON(p, pages);
    std::lock_guard<std::mutex> lock(pool.lock);
    ArenaGive(pool.arena, static_cast<char*>(p), pages);
    return;
  }
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
