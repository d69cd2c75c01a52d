// The port library's kernel-mode COM base (CUnknown from <stdunk.h>: a
// reference count and an outer unknown) combined with the driver's pool
// operators, so `delete this` on the last Release returns the object to the
// tagged non-paged pool it came from.
#pragma once

#include "driver/runtime/kernel_prelude.h"
#include "driver/runtime/pool_object.h"

#if defined(__MINGW32__)
// mingw-w64's <stdunk.h> defines an unsized global operator delete; the
// driver's own allocation functions (kernel_runtime.cpp) cover both forms.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsized-deallocation"
#endif
#include <stdunk.h>
#if defined(__MINGW32__)
#pragma GCC diagnostic pop
#endif

// Base of every COM object of the driver: CUnknown's reference counting,
// allocation with a pool tag and a failing new-expression yielding null.
class CPoolUnknown : public CUnknown, public CPoolObject {
public:
    explicit CPoolUnknown(PUNKNOWN outerUnknown) : CUnknown(outerUnknown) {}
};

// Compares interface identifiers the same way on both builds.
inline BOOLEAN IsSameInterface(REFIID a, REFIID b) {
    return RtlCompareMemory(&a, &b, sizeof(GUID)) == sizeof(GUID);
}
