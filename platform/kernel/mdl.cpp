// Memory descriptor lists over non-paged pool. An MDL is a host allocation
// (header plus page frame array, as in the DDK layout) tracked from
// IoAllocateMdl to IoFreeMdl, so a leaked or double-freed one is reported.
// A user-mode mapping maps the MDL's pages a second time (the pool arena's
// memfd), in the current client process, and is tracked until
// MmUnmapLockedPages in that process.
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>

#include "platform/kernel/client_process.h"
#include "platform/kernel/internal.h"
#include "platform/kernel/mdl_host.h"
#include "platform/kernel/verifier.h"

namespace {

using platform::detail::BugCheckAt;

struct MdlTable {
  std::mutex lock;
  std::map<PMDL, const void*> live;  // MDL -> allocating caller
};

MdlTable& Table() {
  static MdlTable* t = new MdlTable;
  return *t;
}

// A user view: the block's pages mapped again in a client process.
struct UserView {
  platform::ClientProcess* process;
  PMDL mdl;
  const void* kernel;  // the MDL's first byte in the system view
  char* base;          // page-aligned start of the view
  size_t bytes;        // whole pages
  const void* caller;
};

// An unmapped view's range stays reserved (no access) for a while, so a
// client address used after the unmap faults instead of reaching whatever
// the host maps there next.
constexpr size_t kRetiredViews = 256;

struct ViewTable {
  std::mutex lock;
  std::map<const void*, UserView> views;  // by the address the driver got
  std::deque<std::pair<void*, size_t>> retired;
  unsigned failNext = 0;
};

ViewTable& Views() {
  static ViewTable* t = new ViewTable;
  return *t;
}

std::string DescribeView(const void* address, const UserView& v) {
  char line[256];
  snprintf(line, sizeof line, "  user view %p (%zu bytes) of MDL %p (kernel address %p) in process %s, made by ",
           address, v.bytes, static_cast<void*>(v.mdl), v.kernel, platform::detail::ClientProcessName(v.process).c_str());
  return line + platform::detail::DescribeAddress(v.caller) + "\n";
}

void RetireView(void* base, size_t bytes) {
  void* reserved = mmap(base, bytes, PROT_NONE, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reserved == MAP_FAILED) {
    munmap(base, bytes);
    return;
  }
  ViewTable& t = Views();
  std::pair<void*, size_t> oldest{nullptr, 0};
  {
    std::lock_guard<std::mutex> lock(t.lock);
    t.retired.emplace_back(base, bytes);
    if (t.retired.size() > kRetiredViews) {
      oldest = t.retired.front();
      t.retired.pop_front();
    }
  }
  if (oldest.first) munmap(oldest.first, oldest.second);
}

PVOID MapForUser(PMDL mdl, const void* caller) {
  platform::detail::RequireIrqlAtMost(APC_LEVEL, caller, "IRQL_USER_MAPPING_ABOVE_APC",
                                      "MmMapLockedPagesSpecifyCache(UserMode)");
  platform::ClientProcess* process = platform::CurrentClientProcess();
  if (!process)
    BugCheckAt(caller, "MDL_USER_MAPPING_NO_PROCESS",
               "user-mode mapping of MDL %p requested in the system process: there is no client address space",
               static_cast<void*>(mdl));
  PVOID va = MmGetMdlVirtualAddress(mdl);
  const size_t bytes = static_cast<size_t>(ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, mdl->ByteCount)) * PAGE_SIZE;
  int fd;
  size_t offset, blockPages;
  if (!platform::detail::ArenaBlockAt(PAGE_ALIGN(va), &fd, &offset, &blockPages) || bytes > blockPages)
    BugCheckAt(caller, "MDL_USER_VIEW_EXPOSES_POOL",
               "user-mode mapping of MDL %p (%p, %u bytes): its pages are not all the pages of one pool block of a "
               "page or more starting at its first page, so the client would reach other kernel memory",
               static_cast<void*>(mdl), va, static_cast<unsigned>(mdl->ByteCount));
  ViewTable& t = Views();
  {
    std::lock_guard<std::mutex> lock(t.lock);
    if (t.failNext) {
      t.failNext--;
      return NULL;
    }
  }
  void* base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(offset));
  if (base == MAP_FAILED) return NULL;
  char* address = static_cast<char*>(base) + mdl->ByteOffset;
  std::lock_guard<std::mutex> lock(t.lock);
  t.views[address] = UserView{process, mdl, va, static_cast<char*>(base), bytes, caller};
  return address;
}

bool IsLive(PMDL mdl) {
  MdlTable& t = Table();
  std::lock_guard<std::mutex> lock(t.lock);
  return t.live.count(mdl) != 0;
}

}  // namespace

namespace platform {

size_t UserMappingCount(const ClientProcess* process) {
  ViewTable& t = Views();
  std::lock_guard<std::mutex> lock(t.lock);
  size_t n = 0;
  for (auto& [address, v] : t.views) n += v.process == process;
  return n;
}

bool IsUserAddressOf(const ClientProcess* process, const void* address, size_t bytes) {
  ViewTable& t = Views();
  std::lock_guard<std::mutex> lock(t.lock);
  const char* p = static_cast<const char*>(address);
  for (auto& [key, v] : t.views) {
    if (v.process == process && p >= v.base && bytes <= v.bytes && p - v.base <= static_cast<ptrdiff_t>(v.bytes - bytes))
      return true;
  }
  return false;
}

void FailNextUserMappings(unsigned count) {
  ViewTable& t = Views();
  std::lock_guard<std::mutex> lock(t.lock);
  t.failNext = count;
}

namespace detail {

std::string DescribeUserMappings(const ClientProcess* process, size_t* count) {
  ViewTable& t = Views();
  std::lock_guard<std::mutex> lock(t.lock);
  std::string s;
  *count = 0;
  for (auto& [address, v] : t.views) {
    if (v.process != process) continue;
    ++*count;
    s += DescribeView(address, v);
  }
  return s;
}

std::string DescribeUserViewsOfBlock(const void* block) {
  ViewTable& t = Views();
  std::lock_guard<std::mutex> lock(t.lock);
  std::string s;
  for (auto& [address, v] : t.views)
    if (PAGE_ALIGN(v.kernel) == block) s += DescribeView(address, v);
  return s;
}

}  // namespace detail

size_t OutstandingMdls() {
  MdlTable& t = Table();
  std::lock_guard<std::mutex> lock(t.lock);
  return t.live.size();
}

std::string DescribeOutstandingMdls() {
  MdlTable& t = Table();
  std::lock_guard<std::mutex> lock(t.lock);
  std::string s;
  for (auto& [mdl, caller] : t.live) {
    char line[128];
    snprintf(line, sizeof line, "  MDL %p (%p, %u bytes) allocated by ", static_cast<void*>(mdl),
             MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
    s += line + detail::DescribeAddress(caller) + "\n";
  }
  return s;
}

void* MdlBufferForDma(PMDL mdl, ULONG length, const char* who) {
  // Looked up before the MDL is read: a freed one must not be touched.
  if (!IsLive(mdl))
    BugCheck("USB_MDL_NOT_LIVE", "%s: transfer buffer MDL %p is not a live MDL (never allocated, or freed)", who,
             static_cast<void*>(mdl));
  if (!(mdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_PAGES_LOCKED)))
    BugCheck("USB_MDL_PAGES_NOT_DESCRIBED",
             "%s: transfer buffer MDL %p (flags 0x%x) describes no pages: build it with "
             "MmBuildMdlForNonPagedPool or lock it before the controller can reach it",
             who, static_cast<void*>(mdl), static_cast<unsigned>(mdl->MdlFlags));
  if (mdl->ByteCount < length)
    BugCheck("USB_MDL_TOO_SHORT", "%s: transfer of %lu bytes through MDL %p of %lu bytes", who,
             static_cast<unsigned long>(length), static_cast<void*>(mdl), static_cast<unsigned long>(mdl->ByteCount));
  // Host page frames are virtual page numbers, one after the other for a
  // buffer in one allocation: the first frame and the offset name the buffer.
  const PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
  const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
  for (ULONG i = 1; i < pages; ++i) {
    if (pfns[i] != pfns[0] + i)
      BugCheck("USB_MDL_PAGES_NOT_DESCRIBED", "%s: MDL %p page frame %lu does not follow the one before", who,
               static_cast<void*>(mdl), static_cast<unsigned long>(i));
  }
  return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(pfns[0]) << PAGE_SHIFT) + mdl->ByteOffset;
}

}  // namespace platform

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
  (void)ChargeQuota;
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IRQL_MDL_ABOVE_DISPATCH", "IoAllocateMdl");
  if (Length == 0) return NULL;
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
  size_t size = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
  if (size > 0x7FFF) return NULL;  // MDL.Size is a CSHORT, as on Windows
  PMDL mdl = static_cast<PMDL>(calloc(1, size));
  if (!mdl) return NULL;
  mdl->Size = static_cast<CSHORT>(size);
  mdl->StartVa = PAGE_ALIGN(VirtualAddress);
  mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
  mdl->ByteCount = Length;
  {
    MdlTable& t = Table();
    std::lock_guard<std::mutex> lock(t.lock);
    t.live[mdl] = caller;
  }
  if (Irp) {
    if (!SecondaryBuffer || !Irp->MdlAddress) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL last = Irp->MdlAddress;
      while (last->Next) last = last->Next;
      last->Next = mdl;
    }
  }
  return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IRQL_MDL_ABOVE_DISPATCH", "IoFreeMdl");
  {
    ViewTable& v = Views();
    std::lock_guard<std::mutex> lock(v.lock);
    for (auto& [address, view] : v.views)
      if (view.mdl == Mdl)
        BugCheckAt(caller, "MDL_USER_MAPPING_LEFT", "IoFreeMdl of MDL %p while a user mapping of it exists:\n%s",
                   static_cast<void*>(Mdl), DescribeView(address, view).c_str());
  }
  {
    MdlTable& t = Table();
    std::lock_guard<std::mutex> lock(t.lock);
    if (!t.live.erase(Mdl))
      BugCheckAt(caller, "MDL_INVALID", "IoFreeMdl of %p, which is not a live MDL (double free?)",
                 static_cast<void*>(Mdl));
  }
  free(Mdl);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IRQL_MDL_ABOVE_DISPATCH", "MmBuildMdlForNonPagedPool");
  PMDL mdl = MemoryDescriptorList;
  if (!IsLive(mdl))
    BugCheckAt(caller, "MDL_INVALID", "MmBuildMdlForNonPagedPool on %p, which is not a live MDL",
               static_cast<void*>(mdl));
  if (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))
    BugCheckAt(caller, "MDL_INVALID", "MmBuildMdlForNonPagedPool on MDL %p with flags 0x%x",
               static_cast<void*>(mdl), static_cast<unsigned>(mdl->MdlFlags));
  PVOID va = MmGetMdlVirtualAddress(mdl);
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, mdl->ByteCount);
  // Host "page frames": the virtual page numbers, distinct per page.
  PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
  for (ULONG i = 0; i < pages; ++i)
    pfns[i] = (reinterpret_cast<ULONG_PTR>(mdl->StartVa) >> PAGE_SHIFT) + i;
  mdl->MappedSystemVa = va;
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority) {
  (void)CacheType;
  (void)RequestedAddress;
  (void)BugCheckOnFailure;
  (void)Priority;
  const void* caller = USBAUDIO_CALLER();
  PMDL mdl = MemoryDescriptorList;
  if (!IsLive(mdl))
    BugCheckAt(caller, "MDL_INVALID", "MmMapLockedPagesSpecifyCache on %p, which is not a live MDL",
               static_cast<void*>(mdl));
  if (!(mdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_PAGES_LOCKED)))
    BugCheckAt(caller, "MDL_NOT_LOCKED", "MmMapLockedPagesSpecifyCache on MDL %p whose pages are not locked",
               static_cast<void*>(mdl));
  if (AccessMode != KernelMode) return MapForUser(mdl, caller);
  mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return mdl->MappedSystemVa;
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  const void* caller = USBAUDIO_CALLER();
  ViewTable& t = Views();
  UserView view;
  {
    std::lock_guard<std::mutex> lock(t.lock);
    auto it = t.views.find(BaseAddress);
    if (it != t.views.end()) {
      view = it->second;
      platform::ClientProcess* current = platform::CurrentClientProcess();
      if (view.mdl != MemoryDescriptorList)
        BugCheckAt(caller, "MDL_UNMAP_UNKNOWN", "MmUnmapLockedPages(%p) with MDL %p, but the view belongs to:\n%s",
                   BaseAddress, static_cast<void*>(MemoryDescriptorList), DescribeView(BaseAddress, view).c_str());
      if (view.process != current)
        BugCheckAt(caller, "MDL_UNMAP_WRONG_PROCESS",
                   "MmUnmapLockedPages(%p) in process %s (attach to the mapping's process first):\n%s", BaseAddress,
                   platform::detail::ClientProcessName(current).c_str(), DescribeView(BaseAddress, view).c_str());
      platform::detail::RequireIrqlAtMost(APC_LEVEL, caller, "IRQL_USER_MAPPING_ABOVE_APC",
                                          "MmUnmapLockedPages of a user mapping");
      t.views.erase(it);
    } else {
      view.base = nullptr;
    }
  }
  if (view.base) {
    RetireView(view.base, view.bytes);
    return;
  }
  PMDL mdl = MemoryDescriptorList;
  if (IsLive(mdl) && (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) && BaseAddress == mdl->MappedSystemVa) {
    platform::detail::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IRQL_MDL_ABOVE_DISPATCH", "MmUnmapLockedPages");
    mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
    return;
  }
  BugCheckAt(caller, "MDL_UNMAP_UNKNOWN", "MmUnmapLockedPages(%p, MDL %p): not a live mapping of that MDL", BaseAddress,
             static_cast<void*>(mdl));
}

}  // extern "C"
