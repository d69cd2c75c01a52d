// Non-paged lookaside lists. Entries are pool blocks with the list's tag;
// freed entries are cached (up to EX_MAXIMUM_LOOKASIDE_DEPTH_BASE) and, under
// AddressSanitizer, poisoned while cached so use after "free" is caught.
#include <mutex>

#include "platform/kernel/internal.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define POISON(p, n) ((void)(p), (void)(n))
#define UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

using platform::detail::BugCheckAt;

constexpr ULONG kMagic = 0x4c6b4153;  // marks an initialized list (in L.Future[1])
std::mutex g_lock;                    // guards every list's cache and counters

// Cached entry count lives in L.Future[0]; the cache is L.SingleListHead.
ULONG& Cached(PNPAGED_LOOKASIDE_LIST list) { return list->L.Future[0]; }

void RequireInitialized(PNPAGED_LOOKASIDE_LIST list, const void* caller, const char* what) {
  if (list->L.Future[1] != kMagic)
    BugCheckAt(caller, "LOOKASIDE_NOT_INITIALIZED", "%s on %p, which is not an initialized lookaside list", what,
               static_cast<void*>(list));
}

bool DefaultAllocator(PNPAGED_LOOKASIDE_LIST list) { return list->L.Allocate == &ExAllocatePoolWithTag; }

void ReleaseEntry(PNPAGED_LOOKASIDE_LIST list, PVOID entry, const void* caller) {
  if (list->L.Free == &ExFreePool)
    platform::detail::FreePool(entry, true, list->L.Tag, caller);
  else
    list->L.Free(entry);
}

}  // namespace

extern "C" {

VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                           PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                           USHORT Depth) {
  (void)Depth;  // the system sizes lookaside lists itself
  platform::detail::RequireIrqlAtMost(DISPATCH_LEVEL, USBAUDIO_CALLER(), "IRQL_POOL_ABOVE_DISPATCH",
                                      "ExInitializeNPagedLookasideList");
  if (Tag == 0) BugCheckAt(USBAUDIO_CALLER(), "POOL_TAG_ZERO", "lookaside list without a tag");
  memset(Lookaside, 0, sizeof *Lookaside);
  Lookaside->L.Type = (Flags & POOL_NX_ALLOCATION) ? NonPagedPoolNx : NonPagedPool;
  Lookaside->L.Tag = Tag;
  Lookaside->L.Size = static_cast<ULONG>(Size < sizeof(SINGLE_LIST_ENTRY) ? sizeof(SINGLE_LIST_ENTRY) : Size);
  Lookaside->L.Allocate = Allocate ? Allocate : &ExAllocatePoolWithTag;
  Lookaside->L.Free = Free ? Free : &ExFreePool;
  Lookaside->L.Depth = 4;
  Lookaside->L.MaximumDepth = EX_MAXIMUM_LOOKASIDE_DEPTH_BASE;
  InitializeListHead(&Lookaside->L.ListEntry);
  std::lock_guard<std::mutex> lock(g_lock);
  Lookaside->L.Future[1] = kMagic;
}

VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
  const void* caller = USBAUDIO_CALLER();
  PSINGLE_LIST_ENTRY entries;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    RequireInitialized(Lookaside, caller, "ExDeleteNPagedLookasideList");
    entries = Lookaside->L.SingleListHead.Next;
    Lookaside->L.SingleListHead.Next = NULL;
    Cached(Lookaside) = 0;
    Lookaside->L.Future[1] = 0;
  }
  while (entries) {
    PSINGLE_LIST_ENTRY next = entries->Next;
    UNPOISON(entries, Lookaside->L.Size);
    ReleaseEntry(Lookaside, entries, caller);
    entries = next;
  }
}

PVOID NTAPI ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IRQL_POOL_ABOVE_DISPATCH",
                                      "ExAllocateFromNPagedLookasideList");
  {
    std::lock_guard<std::mutex> lock(g_lock);
    RequireInitialized(Lookaside, caller, "ExAllocateFromNPagedLookasideList");
    Lookaside->L.TotalAllocates++;
    PSINGLE_LIST_ENTRY entry = Lookaside->L.SingleListHead.Next;
    if (entry) {
      UNPOISON(entry, Lookaside->L.Size);
      Lookaside->L.SingleListHead.Next = entry->Next;
      Cached(Lookaside)--;
      return entry;
    }
    Lookaside->L.AllocateMisses++;
  }
  if (DefaultAllocator(Lookaside))
    return platform::detail::AllocatePool(Lookaside->L.Type, Lookaside->L.Size, Lookaside->L.Tag, false, caller);
  return Lookaside->L.Allocate(Lookaside->L.Type, Lookaside->L.Size, Lookaside->L.Tag);
}

VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
  const void* caller = USBAUDIO_CALLER();
  platform::detail::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IRQL_POOL_ABOVE_DISPATCH",
                                      "ExFreeToNPagedLookasideList");
  if (!Entry) BugCheckAt(caller, "LOOKASIDE_FOREIGN_ENTRY", "null entry freed to lookaside list %p", Lookaside);
  if (DefaultAllocator(Lookaside)) {
    ULONG tag;
    SIZE_T size;
    if (!platform::detail::LookupPool(Entry, &tag, &size) || tag != Lookaside->L.Tag || size < Lookaside->L.Size)
      BugCheckAt(caller, "LOOKASIDE_FOREIGN_ENTRY", "%p freed to lookaside list %p (tag '%s') is not one of its entries",
                 Entry, static_cast<void*>(Lookaside), platform::TagToString(Lookaside->L.Tag).c_str());
  }
  {
    std::lock_guard<std::mutex> lock(g_lock);
    RequireInitialized(Lookaside, caller, "ExFreeToNPagedLookasideList");
    Lookaside->L.TotalFrees++;
    if (Cached(Lookaside) < Lookaside->L.MaximumDepth) {
      PSINGLE_LIST_ENTRY entry = static_cast<PSINGLE_LIST_ENTRY>(Entry);
      entry->Next = Lookaside->L.SingleListHead.Next;
      Lookaside->L.SingleListHead.Next = entry;
      Cached(Lookaside)++;
      POISON(static_cast<char*>(Entry) + sizeof(SINGLE_LIST_ENTRY), Lookaside->L.Size - sizeof(SINGLE_LIST_ENTRY));
      return;
    }
    Lookaside->L.FreeMisses++;
  }
  ReleaseEntry(Lookaside, Entry, caller);
}

}  // extern "C"
