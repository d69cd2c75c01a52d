// Memory descriptor lists over non-paged pool. An MDL is a host allocation
// (header plus page frame array, as in the DDK layout) tracked from
// IoAllocateMdl to IoFreeMdl, so a leaked or double-freed one is reported.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

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
