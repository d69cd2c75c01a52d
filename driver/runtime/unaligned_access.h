// Unaligned little-endian loads and stores of sample words: device frames
// put samples at any address (3-byte containers, odd frame sizes). The
// fixed-size copies compile to single moves.
#pragma once

#include "driver/runtime/kernel_prelude.h"

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "sample words are little-endian in memory, as on every target Windows runs on"
#endif

inline USHORT Load16(const UCHAR* p) {
    USHORT v;
    RtlCopyMemory(&v, p, sizeof v);
    return v;
}
inline ULONG Load32(const UCHAR* p) {
    ULONG v;
    RtlCopyMemory(&v, p, sizeof v);
    return v;
}
inline ULONG64 Load64(const UCHAR* p) {
    ULONG64 v;
    RtlCopyMemory(&v, p, sizeof v);
    return v;
}
// Three bytes as a 16-bit and an 8-bit access: two memory operations instead
// of three, without touching the byte after the sample.
inline ULONG Load24(const UCHAR* p) { return static_cast<ULONG>(Load16(p)) | (static_cast<ULONG>(p[2]) << 16); }

inline VOID Store16(PUCHAR p, USHORT v) { RtlCopyMemory(p, &v, sizeof v); }
inline VOID Store32(PUCHAR p, ULONG v) { RtlCopyMemory(p, &v, sizeof v); }
inline VOID Store64(PUCHAR p, ULONG64 v) { RtlCopyMemory(p, &v, sizeof v); }
inline VOID Store24(PUCHAR p, ULONG v) {
    Store16(p, static_cast<USHORT>(v));
    p[2] = static_cast<UCHAR>(v >> 16);
}
