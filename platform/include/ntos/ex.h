/* Executive part of <wdm.h>: pool allocations and non-paged lookaside
   lists. Every allocation is tracked by the verifier (tag, size, caller).
   Included by <wdm.h> only. */
#ifndef USBAUDIO_PLATFORM_NTOS_EX_H
#define USBAUDIO_PLATFORM_NTOS_EX_H

USBAUDIO_BEGIN_C

typedef enum _POOL_TYPE {
  NonPagedPool,
  NonPagedPoolExecute = NonPagedPool,
  PagedPool,
  NonPagedPoolMustSucceed,
  DontUseThisType,
  NonPagedPoolCacheAligned,
  PagedPoolCacheAligned,
  NonPagedPoolCacheAlignedMustS,
  MaxPoolType,
  NonPagedPoolBase = 0,
  NonPagedPoolBaseMustSucceed = 2,
  NonPagedPoolBaseCacheAligned = 4,
  NonPagedPoolBaseCacheAlignedMustS = 6,
  NonPagedPoolSession = 32,
  PagedPoolSession,
  NonPagedPoolMustSucceedSession,
  DontUseThisTypeSession,
  NonPagedPoolCacheAlignedSession,
  PagedPoolCacheAlignedSession,
  NonPagedPoolCacheAlignedMustSSession,
  NonPagedPoolNx = 512,
  NonPagedPoolNxCacheAligned = 516,
  NonPagedPoolSessionNx = 544
} POOL_TYPE;

#define POOL_RAISE_IF_ALLOCATION_FAILURE 16
#define POOL_COLD_ALLOCATION 256
#define POOL_NX_ALLOCATION 512
#define POOL_ZERO_ALLOCATION 1024

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);

/* Lookaside lists. */
typedef PVOID(NTAPI *PALLOCATE_FUNCTION)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef VOID(NTAPI *PFREE_FUNCTION)(PVOID Buffer);
struct _LOOKASIDE_LIST_EX;
typedef PVOID(NTAPI *PALLOCATE_FUNCTION_EX)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                            struct _LOOKASIDE_LIST_EX *Lookaside);
typedef VOID(NTAPI *PFREE_FUNCTION_EX)(PVOID Buffer, struct _LOOKASIDE_LIST_EX *Lookaside);

#define LOOKASIDE_ALIGN DECLSPEC_CACHEALIGN
#define LOOKASIDE_MINIMUM_BLOCK_SIZE (RTL_SIZEOF_THROUGH_FIELD(SLIST_ENTRY, Next))

typedef struct LOOKASIDE_ALIGN _GENERAL_LOOKASIDE {
  union {
    SLIST_HEADER ListHead;
    SINGLE_LIST_ENTRY SingleListHead;
  } DUMMYUNIONNAME;
  USHORT Depth;
  USHORT MaximumDepth;
  ULONG TotalAllocates;
  union {
    ULONG AllocateMisses;
    ULONG AllocateHits;
  } DUMMYUNIONNAME2;
  ULONG TotalFrees;
  union {
    ULONG FreeMisses;
    ULONG FreeHits;
  } DUMMYUNIONNAME3;
  POOL_TYPE Type;
  ULONG Tag;
  ULONG Size;
  union {
    PALLOCATE_FUNCTION_EX AllocateEx;
    PALLOCATE_FUNCTION Allocate;
  } DUMMYUNIONNAME4;
  union {
    PFREE_FUNCTION_EX FreeEx;
    PFREE_FUNCTION Free;
  } DUMMYUNIONNAME5;
  LIST_ENTRY ListEntry;
  ULONG LastTotalAllocates;
  union {
    ULONG LastAllocateMisses;
    ULONG LastAllocateHits;
  } DUMMYUNIONNAME6;
  ULONG Future[2];
} GENERAL_LOOKASIDE, *PGENERAL_LOOKASIDE;

typedef struct LOOKASIDE_ALIGN _NPAGED_LOOKASIDE_LIST {
  GENERAL_LOOKASIDE L;
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST;

/* Cached entries are pool allocations with the list's tag. The list keeps up
   to EX_MAXIMUM_LOOKASIDE_DEPTH_BASE freed entries, so a steady state that
   frees as much as it allocates does not touch the pool. */
#define EX_MAXIMUM_LOOKASIDE_DEPTH_BASE 256
#define EX_MAXIMUM_LOOKASIDE_DEPTH_LIMIT 1024

NTKERNELAPI VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside,
                                                       PALLOCATE_FUNCTION Allocate,
                                                       PFREE_FUNCTION Free, ULONG Flags,
                                                       SIZE_T Size, ULONG Tag, USHORT Depth);
NTKERNELAPI VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI PVOID NTAPI ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);

USBAUDIO_END_C

#endif
