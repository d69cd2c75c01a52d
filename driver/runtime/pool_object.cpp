#include "driver/runtime/pool_object.h"

void* AllocateZeroedPool(SIZE_T size, ULONG tag) {
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, size, tag);
    if (memory != NULL) {
        RtlZeroMemory(memory, size);
    }
    return memory;
}

void* CPoolObject::operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept {
    // Objects embed lookaside lists, which are cache-line aligned types;
    // plain pool blocks are only 16-byte aligned.
    const POOL_TYPE aligned = static_cast<POOL_TYPE>(poolType | NonPagedPoolBaseCacheAligned);
    void* memory = ExAllocatePoolWithTag(aligned, size, tag);
    if (memory != NULL) {
        RtlZeroMemory(memory, size);
    }
    return memory;
}

void CPoolObject::operator delete(void* pointer) noexcept {
    if (pointer != NULL) {
        ExFreePool(pointer);
    }
}

void CPoolObject::operator delete(void* pointer, POOL_TYPE, ULONG) noexcept {
    if (pointer != NULL) {
        ExFreePool(pointer);
    }
}
