// Memory descriptor lists over non-paged pool. An MDL is a host allocation
// (header plus page frame array, as in the DDK layout) tracked from
// IoAllocateMdl to IoFreeMdl, so a leaked or double-freed one is reported.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/kernel/internal.h"

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

bool IsLive(PMDL mdl) {
  MdlTable& t = Table();
  std::lock_guard<std::mutex> lock(t.lock);
  return t.live.count(mdl) != 0;
}

}  // namespace

namespace platform {

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
  if (AccessMode != KernelMode)
    BugCheckAt(caller, "MDL_USER_MAPPING_UNSUPPORTED", "user-mode mapping of MDL %p is not provided on the host",
               static_cast<void*>(mdl));
  if (!(mdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_PAGES_LOCKED)))
    BugCheckAt(caller, "MDL_NOT_LOCKED", "MmMapLockedPagesSpecifyCache on MDL %p whose pages are not locked",
               static_cast<void*>(mdl));
  mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return mdl->MappedSystemVa;
}

}  // extern "C"
