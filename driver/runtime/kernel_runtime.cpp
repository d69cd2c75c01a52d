// The C++ runtime a kernel image needs and no library provides: allocation
// functions over non-paged pool and the pure-virtual-call handler. Only for
// the Windows build; on the host every driver object uses the pool
// operators of CPoolObject and the host runtime serves the rest.
#if defined(__MINGW32__)

#include <stddef.h>

#include "driver/runtime/kernel_prelude.h"
#include "driver/runtime/pool_tags.h"

namespace {

// Nothing in the driver should reach these; a global new-expression still
// gets tagged, zero-filled memory, and a null result with -fcheck-new.
void* AllocateGlobal(size_t size) {
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, size != 0 ? size : 1, POOLTAG_USB);
    if (memory != NULL) {
        RtlZeroMemory(memory, size);
    }
    return memory;
}

void FreeGlobal(void* pointer) {
    if (pointer != NULL) {
        ExFreePoolWithTag(pointer, POOLTAG_USB);
    }
}

// Bug check code of a call through a pure virtual slot (an object used
// during its construction or destruction).
constexpr ULONG PURE_VIRTUAL_CALL_BUGCHECK = 0xDEADDEAD;

}  // namespace

void* operator new(size_t size) {
    return AllocateGlobal(size);
}

void* operator new[](size_t size) {
    return AllocateGlobal(size);
}

void operator delete(void* pointer) noexcept {
    FreeGlobal(pointer);
}

void operator delete[](void* pointer) noexcept {
    FreeGlobal(pointer);
}

void operator delete(void* pointer, size_t) noexcept {
    FreeGlobal(pointer);
}

void operator delete[](void* pointer, size_t) noexcept {
    FreeGlobal(pointer);
}

extern "C" void __cxa_pure_virtual() {
    KeBugCheckEx(PURE_VIRTUAL_CALL_BUGCHECK, 0, 0, 0, 0);
}

#endif
