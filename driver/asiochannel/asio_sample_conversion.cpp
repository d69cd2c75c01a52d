// One channel's run between an ASIO channel buffer and interleaved device
// frames. Each routine is a single strided loop with fixed-size loads and
// stores (no per-sample branch); which routine runs is decided once per
// channel per copy by the table lookup.
#include "driver/asiochannel/asio_sample_conversion.h"

#include "driver/runtime/trace.h"
#include "driver/runtime/unaligned_access.h"

// Samples are laid out as little-endian integers on both sides, as on every
// target Windows runs on; the word loads below rely on it.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "ASIO sample conversion assumes little-endian memory"
#endif

namespace {


// ---- Render: contiguous ASIO run -> strided device containers ----

// 2-byte containers: the upper 16 bits of the sample.
VOID Render16To2(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict s = static_cast<const UCHAR*>(source);
    UCHAR* __restrict d = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, s += 2, d += stride) Store16(d, Load16(s));
}
VOID Render24To2(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict s = static_cast<const UCHAR*>(source);
    UCHAR* __restrict d = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, s += 3, d += stride) Store16(d, Load16(s + 1));
}
VOID Render32To2(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict s = static_cast<const UCHAR*>(source);
    UCHAR* __restrict d = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, s += 4, d += stride) Store16(d, Load16(s + 2));
}

// 3-byte containers.
VOID Render16To3(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict s = static_cast<const UCHAR*>(source);
    UCHAR* __restrict d = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, s += 2, d += stride) Store24(d, static_cast<ULONG>(Load16(s)) << 8);
}
VOID Render24To3(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict s = static_cast<const UCHAR*>(source);
    UCHAR* __restrict d = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, s += 3, d += stride) Store24(d, Load24(s));
}
VOID Render32To3(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict s = static_cast<const UCHAR*>(source);
    UCHAR* __restrict d = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, s += 4, d += stride) Store24(d, Load32(s) >> 8);
}

// 4-byte containers: the sample in the most significant bytes.
VOID Render16To4(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict s = static_cast<const UCHAR*>(source);
    UCHAR* __restrict d = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, s += 2, d += stride) Store32(d, static_cast<ULONG>(Load16(s)) << 16);
}
VOID Render24To4(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict s = static_cast<const UCHAR*>(source);
    UCHAR* __restrict d = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, s += 3, d += stride) Store32(d, Load24(s) << 8);
}
VOID Render32To4(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict s = static_cast<const UCHAR*>(source);
    UCHAR* __restrict d = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, s += 4, d += stride) Store32(d, Load32(s));
}

// DSD in 4-byte containers: four DSD bytes per device frame, unchanged.
VOID RenderDsdTo4(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    if (source == nullptr || destination == nullptr) {
        return;
    }
    const UCHAR* __restrict s = static_cast<const UCHAR*>(source);
    UCHAR* __restrict d = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, s += 4, d += stride) Store32(d, Load32(s));
}

// Float channels are accepted at the supported widths but carry nothing to
// the device (and nothing back); unlike the unsupported cells they are not an
// error.
VOID RenderNothing(PVOID, PVOID, ULONG, ULONG) {}
VOID CaptureNothing(PVOID, PVOID, ULONG, ULONG) {}

// ---- Capture: strided device containers -> contiguous ASIO run ----

VOID Capture2To16(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict d = static_cast<const UCHAR*>(source);
    UCHAR* __restrict s = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, d += stride, s += 2) Store16(s, Load16(d));
}
VOID Capture2To24(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict d = static_cast<const UCHAR*>(source);
    UCHAR* __restrict s = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, d += stride, s += 3) Store24(s, static_cast<ULONG>(Load16(d)) << 8);
}
VOID Capture2To32(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict d = static_cast<const UCHAR*>(source);
    UCHAR* __restrict s = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, d += stride, s += 4) Store32(s, static_cast<ULONG>(Load16(d)) << 16);
}
VOID Capture3To16(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict d = static_cast<const UCHAR*>(source);
    UCHAR* __restrict s = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, d += stride, s += 2) Store16(s, Load16(d + 1));
}
VOID Capture3To24(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict d = static_cast<const UCHAR*>(source);
    UCHAR* __restrict s = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, d += stride, s += 3) Store24(s, Load24(d));
}
VOID Capture3To32(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict d = static_cast<const UCHAR*>(source);
    UCHAR* __restrict s = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, d += stride, s += 4) Store32(s, Load24(d) << 8);
}
VOID Capture4To16(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict d = static_cast<const UCHAR*>(source);
    UCHAR* __restrict s = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, d += stride, s += 2) Store16(s, Load16(d + 2));
}
VOID Capture4To24(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict d = static_cast<const UCHAR*>(source);
    UCHAR* __restrict s = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, d += stride, s += 3) Store24(s, Load32(d) >> 8);
}
VOID Capture4To32(PVOID source, PVOID destination, ULONG frames, ULONG stride) {
    const UCHAR* __restrict d = static_cast<const UCHAR*>(source);
    UCHAR* __restrict s = static_cast<UCHAR*>(destination);
    for (ULONG i = 0; i < frames; ++i, d += stride, s += 4) Store32(s, Load32(d));
}

}  // namespace

VOID AsioRenderUnsupported(PVOID, PVOID, ULONG frames, ULONG stride) {
    UA_ERROR("ASIO render: no conversion for this sample type and container (%lu frames, stride %lu)",
             static_cast<unsigned long>(frames), static_cast<unsigned long>(stride));
}

VOID AsioCaptureUnsupported(PVOID, PVOID, ULONG frames, ULONG stride) {
    UA_ERROR("ASIO capture: no conversion for this sample type and container (%lu frames, stride %lu)",
             static_cast<unsigned long>(frames), static_cast<unsigned long>(stride));
}

ULONG AsioSampleBytes(ULONG sampleType) {
    switch (sampleType) {
        case 0:
        case 16:
            return 2;
        case 1:
        case 17:
            return 3;
        case 2:
        case 3:
        case 8:
        case 9:
        case 10:
        case 11:
        case 18:
        case 19:
        case 24:
        case 25:
        case 26:
        case 27:
            return 4;
        case 4:
        case 20:
            return 8;
        case 32:
        case 33:
            return 1;
        default:
            return 0;
    }
}

// Table rows are written out column by column: types 0-15, 16-20, 21-41.
#define UA_R AsioRenderUnsupported
#define UA_C AsioCaptureUnsupported
#define UA_X4(u) u, u, u, u
#define UA_X8(u) UA_X4(u), UA_X4(u)
#define UA_X16(u) UA_X8(u), UA_X8(u)
#define UA_X42(u) UA_X16(u), UA_X16(u), UA_X8(u), u, u

const PASIO_CONVERT AsioRenderConversions[ASIO_CONTAINER_WIDTHS][ASIO_SAMPLE_TYPE_COLUMNS] = {
    {UA_X42(UA_R)},
    {UA_X16(UA_R), Render16To2, Render24To2, Render32To2, RenderNothing, RenderNothing, UA_X16(UA_R), UA_X4(UA_R),
     UA_R},
    {UA_X16(UA_R), Render16To3, Render24To3, Render32To3, RenderNothing, RenderNothing, UA_X16(UA_R), UA_X4(UA_R),
     UA_R},
    // Type 33 (DSDInt8MSB1) sits at column 33, after types 21 to 32.
    {UA_X16(UA_R), Render16To4, Render24To4, Render32To4, RenderNothing, RenderNothing, UA_X8(UA_R), UA_X4(UA_R),
     RenderDsdTo4, UA_X8(UA_R)},
};

const PASIO_CONVERT AsioCaptureConversions[ASIO_CONTAINER_WIDTHS][ASIO_SAMPLE_TYPE_COLUMNS] = {
    {UA_X42(UA_C)},
    {UA_X16(UA_C), Capture2To16, Capture2To24, Capture2To32, CaptureNothing, CaptureNothing, UA_X16(UA_C),
     UA_X4(UA_C), UA_C},
    {UA_X16(UA_C), Capture3To16, Capture3To24, Capture3To32, CaptureNothing, CaptureNothing, UA_X16(UA_C),
     UA_X4(UA_C), UA_C},
    {UA_X16(UA_C), Capture4To16, Capture4To24, Capture4To32, CaptureNothing, CaptureNothing, UA_X16(UA_C),
     UA_X4(UA_C), UA_C},
};

#undef UA_X42
#undef UA_X16
#undef UA_X8
#undef UA_X4
#undef UA_C
#undef UA_R

PASIO_CONVERT AsioRenderConversion(ULONG widthBytes, ULONG sampleType) {
    if (widthBytes < 1 || widthBytes > ASIO_CONTAINER_WIDTHS || sampleType >= ASIO_SAMPLE_TYPE_COLUMNS) {
        return AsioRenderUnsupported;
    }
    return AsioRenderConversions[widthBytes - 1][sampleType];
}

PASIO_CONVERT AsioCaptureConversion(ULONG widthBytes, ULONG sampleType) {
    if (widthBytes < 1 || widthBytes > ASIO_CONTAINER_WIDTHS || sampleType >= ASIO_SAMPLE_TYPE_COLUMNS) {
        return AsioCaptureUnsupported;
    }
    return AsioCaptureConversions[widthBytes - 1][sampleType];
}
