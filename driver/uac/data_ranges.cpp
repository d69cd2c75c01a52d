// KS data ranges of the streaming interfaces, and summaries of what an
// interface can do.
#include "driver/runtime/pool_tags.h"
#include "driver/runtime/trace.h"
#include "driver/uac/format_descriptors.h"
#include "driver/uac/ks_guids.h"
#include "driver/uac/usbaudiocl.h"

namespace {

constexpr ULONG RANGE_STORAGE_BYTES_PER_ALTERNATE = sizeof(PKSDATARANGE_AUDIO) + sizeof(KSDATARANGE_AUDIO);
static_assert(RANGE_STORAGE_BYTES_PER_ALTERNATE == 96, "pointer plus range per alternate");

const GUID* SubFormatFromFormats(UCHAR formats) {
    if ((formats & 0x03) != 0) return &UA_KSDATAFORMAT_SUBTYPE_PCM;
    if ((formats & 0x04) != 0) return &UA_KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    if ((formats & 0x08) != 0) return &UA_KSDATAFORMAT_SUBTYPE_ALAW;
    if ((formats & 0x10) != 0) return &UA_KSDATAFORMAT_SUBTYPE_MULAW;
    return NULL;
}

const GUID* SubFormatFromTag(USHORT tag) {
    switch (tag) {
    case 1:
    case 2:
        return &UA_KSDATAFORMAT_SUBTYPE_PCM;
    case 3:
        return &UA_KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    case 4:
        return &UA_KSDATAFORMAT_SUBTYPE_ALAW;
    case 5:
        return &UA_KSDATAFORMAT_SUBTYPE_MULAW;
    default:
        return NULL;
    }
}

VOID MinMaxRates(const uac::Uac1Rates& rates, PULONG minimum, PULONG maximum) {
    if (rates.Continuous) {
        *minimum = rates.Lower;
        *maximum = rates.Upper;
        return;
    }
    *minimum = 0xFFFFFFFF;
    *maximum = 0;
    for (ULONG i = 0; i < rates.Count; ++i) {
        const ULONG rate = rates.Rate(i);
        if (rate < *minimum) *minimum = rate;
        if (rate > *maximum) *maximum = rate;
    }
}

}  // namespace

CUSBAudioClock* CUSBAudioCL::GetTerminalClock(CUSBAudioTerminal* terminal) {
    if (terminal == NULL) {
        return NULL;
    }
    if (terminal->GetKind() == UacEntityInputTerminal) {
        return static_cast<CUSBAudioInputTerminal*>(terminal)->Clock;
    }
    return static_cast<CUSBAudioOutputTerminal*>(terminal)->Clock;
}

NTSTATUS CUSBAudioCL::BuildDataRanges(StreamingInterface* streaming) {
    const ULONG count = streaming->AlternateCount;
    const SIZE_T bytes = (SIZE_T)count * RANGE_STORAGE_BYTES_PER_ALTERNATE;
    PUCHAR storage = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, POOLTAG_USB));
    if (storage == NULL) {
        UA_ERROR("interface %u: no memory for %lu data ranges", streaming->InterfaceNumber, (unsigned long)count);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(storage, bytes);
    PKSDATARANGE_AUDIO* pointers = reinterpret_cast<PKSDATARANGE_AUDIO*>(storage);
    PKSDATARANGE_AUDIO ranges = reinterpret_cast<PKSDATARANGE_AUDIO>(storage + count * sizeof(PKSDATARANGE_AUDIO));
    if (streaming->DataRangeStorage != NULL) {
        ExFreePoolWithTag(streaming->DataRangeStorage, POOLTAG_USB);
    }
    streaming->DataRangeStorage = storage;
    streaming->DataRangeCount = count;

    CUSBAudioClock* clock = isUac2 ? GetTerminalClock(streaming->Terminal) : NULL;
    for (ULONG i = 1; i < count; ++i) {
        pointers[i] = &ranges[i];
        const AlternateSetting& setting = streaming->Alternates[i];
        const PUCHAR general = setting.AsGeneral;
        const PUCHAR format = setting.FormatType;
        if (general == NULL || format == NULL) {
            continue;
        }
        uac::FormatTypeI type;
        if (!uac::ReadFormatTypeI(general, format, isUac2, &type)) {
            UA_TRACE("interface %u alternate %lu: not format type I", streaming->InterfaceNumber, (unsigned long)i);
            continue;
        }
        KSDATARANGE_AUDIO& range = ranges[i];
        const GUID* subFormat = isUac2 ? SubFormatFromFormats(general[6]) : SubFormatFromTag(uac::ReadU16(general + 5));
        if (subFormat == NULL) {
            UA_TRACE("interface %u alternate %lu: no known sample format", streaming->InterfaceNumber,
                     (unsigned long)i);
        }
        ULONG minimumRate = 0;
        ULONG maximumRate = 0;
        if (isUac2) {
            if (clock == NULL || !NT_SUCCESS(clock->GetSampleFrequencyRange(&minimumRate, &maximumRate, 0, 0xFFFFFFFF))) {
                UA_ERROR("interface %u alternate %lu: clock range unavailable", streaming->InterfaceNumber,
                         (unsigned long)i);
            }
        } else {
            uac::Uac1Rates rates;
            if (uac::ReadUac1Rates(format, &rates)) {
                MinMaxRates(rates, &minimumRate, &maximumRate);
            }
        }
        range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
        range.DataRange.MajorFormat = UA_KSDATAFORMAT_TYPE_AUDIO;
        if (subFormat != NULL) {
            range.DataRange.SubFormat = *subFormat;
        }
        range.DataRange.Specifier = UA_KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        range.MaximumChannels = type.Channels;
        range.MinimumBitsPerSample = type.BitResolution;
        range.MaximumBitsPerSample = type.BitResolution;
        range.MinimumSampleFrequency = minimumRate;
        range.MaximumSampleFrequency = maximumRate;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::GetFormatCapabilities(StreamingInterface* streaming, PULONG maxChannels, PULONG minContainerBits,
                                            PULONG maxContainerBits, PULONG minRate, PULONG maxRate) {
    *maxChannels = *minContainerBits = *maxContainerBits = *minRate = *maxRate = 0;
    if (streaming == NULL) {
        return STATUS_SUCCESS;
    }
    if (isUac2) {
        CUSBAudioClock* clock = GetTerminalClock(streaming->Terminal);
        if (clock != NULL) {
            clock->GetSampleFrequencyRange(minRate, maxRate, 0, 0xFFFFFFFF);
        }
    }
    BOOLEAN first = TRUE;
    for (ULONG i = 0; i < streaming->AlternateCount; ++i) {
        const AlternateSetting& setting = streaming->Alternates[i];
        uac::FormatTypeI type;
        if (!uac::ReadFormatTypeI(setting.AsGeneral, setting.FormatType, isUac2, &type)) {
            continue;
        }
        const ULONG container = type.SubslotBytes * 8;
        if (type.Channels > *maxChannels) *maxChannels = type.Channels;
        if (first || container < *minContainerBits) *minContainerBits = container;
        if (container > *maxContainerBits) *maxContainerBits = container;
        if (!isUac2) {
            uac::Uac1Rates rates;
            if (uac::ReadUac1Rates(setting.FormatType, &rates)) {
                ULONG low = 0;
                ULONG high = 0;
                MinMaxRates(rates, &low, &high);
                if (first || low < *minRate) *minRate = low;
                if (high > *maxRate) *maxRate = high;
            }
        }
        first = FALSE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::GetUac1RateBounds(StreamingInterface* streaming, PULONG lower, PULONG upper) {
    const ULONG boundLower = *lower;
    const ULONG boundUpper = *upper;
    ULONG outLower = boundUpper;
    ULONG outUpper = boundLower;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 1; streaming != NULL && i < streaming->AlternateCount; ++i) {
        const PUCHAR format = streaming->Alternates[i].FormatType;
        if (format == NULL) {
            continue;
        }
        if (format[3] != uac::FORMAT_TYPE_I) {
            UA_ERROR("interface %u alternate %lu: format type %u has no rate list", streaming->InterfaceNumber,
                     (unsigned long)i, format[3]);
            status = STATUS_INVALID_PARAMETER;
            continue;
        }
        uac::Uac1Rates rates;
        if (!uac::ReadUac1Rates(format, &rates)) {
            continue;
        }
        const ULONG offers = rates.Continuous ? 2 : rates.Count;
        for (ULONG r = 0; r < offers; ++r) {
            const ULONG forLower = rates.Continuous ? rates.Lower : rates.Rate(r);
            const ULONG forUpper = rates.Continuous ? rates.Upper : rates.Rate(r);
            if (forLower >= boundLower && forLower <= outLower) outLower = forLower;
            if (forUpper >= outUpper && forUpper <= boundUpper) outUpper = forUpper;
        }
    }
    *lower = outLower;
    *upper = outUpper;
    return status;
}
