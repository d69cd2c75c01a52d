// PCM frame conversion between client and device formats. Runs per transfer
// in the render pump and in capture completions at DISPATCH_LEVEL, so the
// common width changes with equal channel counts get their own tight loops;
// everything else goes through the generic byte loop, whose output the fast
// paths reproduce exactly.
#include "driver/core/sample_conversion.h"

#include "driver/runtime/unaligned_access.h"

namespace {

// What one call converts, after the arguments have been checked.
struct ConversionPlan {
    ULONG Frames;       // whole source frames
    ULONG SrcSample;    // bytes per source sample
    ULONG DstSample;    // bytes per destination sample
    ULONG OutputBytes;  // Frames x destination frame bytes
};

BOOLEAN FormatValid(ULONG channels, ULONG bits) {
    return (channels != 0 && bits != 0 && (bits % 8) == 0) ? TRUE : FALSE;
}

BOOLEAN PlanConversion(ULONG srcBytes, ULONG dstChannels, ULONG dstBits, ULONG srcChannels, ULONG srcBits,
                       ConversionPlan* plan) {
    if (!FormatValid(dstChannels, dstBits) || !FormatValid(srcChannels, srcBits)) {
        return FALSE;
    }
    // 64-bit products: channel counts and depths come from client formats.
    const ULONGLONG srcFrame = static_cast<ULONGLONG>(srcChannels) * (srcBits / 8);
    const ULONGLONG dstFrame = static_cast<ULONGLONG>(dstChannels) * (dstBits / 8);
    const ULONGLONG frames = srcBytes / srcFrame;
    if (frames == 0 || dstFrame > MAXULONG / frames) {
        return FALSE;
    }
    plan->Frames = static_cast<ULONG>(frames);
    plan->SrcSample = srcBits / 8;
    plan->DstSample = dstBits / 8;
    plan->OutputBytes = static_cast<ULONG>(frames * dstFrame);
    return TRUE;
}


// Fast paths: same channel count, both sides 16 bits or wider, so no byte is
// flipped and each sample converts on its own. The widening ones write the
// zero low bytes, the narrowing ones keep the high bytes.
VOID Widen16To24(PUCHAR __restrict out, const UCHAR* __restrict in, SIZE_T samples) {
    for (SIZE_T n = 0; n < samples; ++n, in += 2, out += 3) {
        out[0] = 0;
        out[1] = in[0];
        out[2] = in[1];
    }
}

// Indexed, one word per sample: the form compilers vectorize.
VOID Widen16To32(PUCHAR __restrict out, const UCHAR* __restrict in, SIZE_T samples) {
    for (SIZE_T n = 0; n < samples; ++n) {
        Store32(out + 4 * n, static_cast<ULONG>(Load16(in + 2 * n)) << 16);
    }
}

// Four samples (12 bytes in, 16 out) per step through 64-bit words, then
// the remainder byte by byte.
VOID Widen24To32(PUCHAR __restrict out, const UCHAR* __restrict in, SIZE_T samples) {
    SIZE_T n = 0;
    for (; n + 4 <= samples; n += 4, in += 12, out += 16) {
        const ULONG64 a = Load64(in);   // sample 0, sample 1, low 2 bytes of sample 2
        const ULONG64 b = Load32(in + 8);  // high byte of sample 2, sample 3
        Store64(out, ((a & 0xFFFFFFull) << 8) | ((a & 0xFFFFFF000000ull) << 16));
        Store64(out + 8, (((a >> 48) | ((b & 0xFFull) << 16)) << 8) | ((b >> 8) << 40));
    }
    for (; n < samples; ++n, in += 3, out += 4) {
        out[0] = 0;
        out[1] = in[0];
        out[2] = in[1];
        out[3] = in[2];
    }
}

VOID Narrow24To16(PUCHAR __restrict out, const UCHAR* __restrict in, SIZE_T samples) {
    for (SIZE_T n = 0; n < samples; ++n, in += 3, out += 2) {
        out[0] = in[1];
        out[1] = in[2];
    }
}

VOID Narrow32To16(PUCHAR __restrict out, const UCHAR* __restrict in, SIZE_T samples) {
    for (SIZE_T n = 0; n < samples; ++n) {
        Store16(out + 2 * n, static_cast<USHORT>(Load32(in + 4 * n) >> 16));
    }
}

VOID Narrow32To24(PUCHAR __restrict out, const UCHAR* __restrict in, SIZE_T samples) {
    for (SIZE_T n = 0; n < samples; ++n, in += 4, out += 3) {
        out[0] = in[1];
        out[1] = in[2];
        out[2] = in[3];
    }
}

typedef VOID (*SampleLoop)(PUCHAR __restrict, const UCHAR* __restrict, SIZE_T);

SampleLoop FindFastPath(ULONG srcSample, ULONG dstSample) {
    switch (srcSample * 8 + dstSample) {
    case 2 * 8 + 3: return Widen16To24;
    case 2 * 8 + 4: return Widen16To32;
    case 3 * 8 + 4: return Widen24To32;
    case 3 * 8 + 2: return Narrow24To16;
    case 4 * 8 + 2: return Narrow32To16;
    case 4 * 8 + 3: return Narrow32To24;
    default: return NULL;
    }
}

VOID ConvertFrames(PUCHAR __restrict out, const UCHAR* __restrict in, const ConversionPlan& plan,
                   ULONG dstChannels, ULONG srcChannels) {
    const ULONG s = plan.SrcSample;
    const ULONG d = plan.DstSample;
    // Unsigned 8-bit silence is 0x80; wider samples are signed.
    const UCHAR fill = (d == 1) ? 0x80 : 0x00;
    const UCHAR flip = ((s == 1) != (d == 1)) ? 0x80 : 0x00;
    const ULONG pad = (d > s) ? d - s : 0;     // fill bytes below a widened sample
    const ULONG skip = (s > d) ? s - d : 0;    // low bytes a narrowed sample loses
    const ULONG copied = d - pad;              // the most significant bytes carried over
    const ULONG shared = (srcChannels < dstChannels) ? srcChannels : dstChannels;
    const ULONG silentBytes = (dstChannels - shared) * d;
    // Fits: at least one source frame lies within the ULONG srcBytes.
    const SIZE_T surplusBytes = static_cast<SIZE_T>(srcChannels - shared) * s;

    for (ULONG frame = 0; frame < plan.Frames; ++frame) {
        for (ULONG channel = 0; channel < shared; ++channel) {
            in += skip;
            for (ULONG k = 0; k < pad; ++k) {
                *out++ = fill;
            }
            for (ULONG k = 0; k < copied; ++k) {
                *out++ = static_cast<UCHAR>(*in++ ^ flip);
            }
        }
        for (ULONG k = 0; k < silentBytes; ++k) {
            *out++ = fill;
        }
        in += surplusBytes;
    }
}

}  // namespace

ULONG ConvertSamplesGeneric(PVOID dst, const VOID* src, ULONG srcBytes, ULONG dstChannels, ULONG dstBits,
                            ULONG srcChannels, ULONG srcBits) {
    ConversionPlan plan;
    if (!PlanConversion(srcBytes, dstChannels, dstBits, srcChannels, srcBits, &plan)) {
        return 0;
    }
    ConvertFrames(static_cast<PUCHAR>(dst), static_cast<const UCHAR*>(src), plan, dstChannels, srcChannels);
    return plan.OutputBytes;
}

ULONG ConvertSamples(PVOID dst, const VOID* src, ULONG srcBytes, ULONG dstChannels, ULONG dstBits,
                     ULONG srcChannels, ULONG srcBits) {
    if (dstChannels == srcChannels && dstBits == srcBits) {
        if (!FormatValid(srcChannels, srcBits)) {
            return 0;
        }
        RtlCopyMemory(dst, src, srcBytes);
        return srcBytes;
    }
    ConversionPlan plan;
    if (!PlanConversion(srcBytes, dstChannels, dstBits, srcChannels, srcBits, &plan)) {
        return 0;
    }
    const SampleLoop fast = (dstChannels == srcChannels) ? FindFastPath(plan.SrcSample, plan.DstSample) : NULL;
    if (fast != NULL) {
        fast(static_cast<PUCHAR>(dst), static_cast<const UCHAR*>(src),
             static_cast<SIZE_T>(plan.Frames) * srcChannels);
    } else {
        ConvertFrames(static_cast<PUCHAR>(dst), static_cast<const UCHAR*>(src), plan, dstChannels, srcChannels);
    }
    return plan.OutputBytes;
}
