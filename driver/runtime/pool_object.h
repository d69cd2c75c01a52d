// Base for kernel objects that live in non-paged pool. Allocation is
// zero-filled, tagged, and may fail (the new-expression then yields null,
// since the allocation function is noexcept).
#pragma once

#include <stddef.h>

#include "driver/runtime/kernel_prelude.h"

void* AllocateZeroedPool(SIZE_T size, ULONG tag);

class CPoolObject {
public:
    static void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept;
    static void operator delete(void* pointer) noexcept;
    // Matches the placement form; only used if a constructor could throw.
    static void operator delete(void* pointer, POOL_TYPE poolType, ULONG tag) noexcept;
};
