// Format negotiation of the wave miniport: the intersection of a client's
// audio range with one of the pin's own ranges, narrowed to the rates the
// device offers, as a 104-byte WAVEFORMATEXTENSIBLE format.
#include "driver/runtime/trace.h"
#include "driver/port/miniport.h"
#include "driver/uac/filter_topology.h"
#include "driver/uac/uac_defs.h"

namespace {

struct ExtensibleFormat {
    KSDATAFORMAT DataFormat;
    WAVEFORMATEXTENSIBLE WaveFormat;
};
constexpr ULONG EXTENSIBLE_FORMAT_BYTES = 104;
static_assert(sizeof(ExtensibleFormat) == EXTENSIBLE_FORMAT_BYTES, "KS format with WAVEFORMATEXTENSIBLE");
static_assert(FIELD_OFFSET(ExtensibleFormat, WaveFormat) == sizeof(KSDATAFORMAT), "format follows the header");

constexpr USHORT EXTENSIBLE_EXTRA_BYTES = 22;
constexpr ULONG FRONT_LEFT_RIGHT = 0x3;

ULONG Larger(ULONG a, ULONG b) {
    return a > b ? a : b;
}

ULONG Smaller(ULONG a, ULONG b) {
    return a < b ? a : b;
}

VOID TraceRange(const char* which, const KSDATARANGE_AUDIO* range) {
    UA_TRACE("%s: DataRange.FormatSize %lu, MaximumChannels %lu, MinimumBitsPerSample %lu, MaximumBitsPerSample %lu, "
             "MinimumSampleFrequency %lu, MaximumSampleFrequency %lu",
             which, (unsigned long)range->DataRange.FormatSize, (unsigned long)range->MaximumChannels,
             (unsigned long)range->MinimumBitsPerSample, (unsigned long)range->MaximumBitsPerSample,
             (unsigned long)range->MinimumSampleFrequency, (unsigned long)range->MaximumSampleFrequency);
}

VOID TraceFormat(const WAVEFORMATEX* format) {
    UA_TRACE("intersection: wFormatTag 0x%04x, nChannels %u, nSamplesPerSec %lu, nAvgBytesPerSec %lu, "
             "nBlockAlign %u, wBitsPerSample %u, cbSize %u",
             format->wFormatTag, format->nChannels, (unsigned long)format->nSamplesPerSec,
             (unsigned long)format->nAvgBytesPerSec, format->nBlockAlign, format->wBitsPerSample, format->cbSize);
}

}  // namespace

BOOLEAN CMiniportWaveCyclicUsbAudio::IsCapturePin(ULONG PinId) {
    const FilterElement* pin = FilterPinElement(FilterDescriptor, PinId);
    if (pin == NULL) {
        UA_ERROR("pin %lu out of range; taken as render", (unsigned long)PinId);
        return FALSE;
    }
    // The ring holds every element of the path once; the bound only guards
    // against links gone wrong.
    const ULONG limit = FilterDescriptor->PinCount + FilterDescriptor->NodeCount;
    const FilterElement* element = pin;
    for (ULONG steps = 0; element != NULL && steps <= limit; ++steps) {
        CUSBAudioEntity* entity = element->Entity;
        if (element->IsPin && entity != NULL && entity->IsTerminal() &&
            static_cast<CUSBAudioTerminal*>(entity)->GetTerminalType() == uac::TERMINAL_USB_STREAMING) {
            // An output terminal towards USB delivers data to the host.
            return entity->GetKind() == UacEntityOutputTerminal;
        }
        element = FilterChainNext(element);
        if (element == pin) {
            break;
        }
    }
    return FALSE;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclicUsbAudio::DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange,
                                                                           PKSDATARANGE MatchingDataRange,
                                                                           ULONG OutputBufferLength,
                                                                           PVOID ResultantFormat,
                                                                           PULONG ResultantFormatLength) {
    if (IsSameInterface(DataRange->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND)) {
        return STATUS_NOT_SUPPORTED;
    }
    if (OutputBufferLength == 0) {
        *ResultantFormatLength = EXTENSIBLE_FORMAT_BYTES;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (OutputBufferLength < EXTENSIBLE_FORMAT_BYTES) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    // A range without the audio fields (a wildcard) carries no channel count.
    if (DataRange->FormatSize < sizeof(KSDATARANGE_AUDIO) || MatchingDataRange->FormatSize < sizeof(KSDATARANGE_AUDIO)) {
        return STATUS_NO_MATCH;
    }
    const KSDATARANGE_AUDIO* client = reinterpret_cast<const KSDATARANGE_AUDIO*>(DataRange);
    const KSDATARANGE_AUDIO* own = reinterpret_cast<const KSDATARANGE_AUDIO*>(MatchingDataRange);
    TraceRange("client range", client);
    TraceRange("own range", own);
    if (client->MaximumChannels <= 1) {
        return STATUS_NO_MATCH;
    }

    const ULONG channels = Smaller(client->MaximumChannels, own->MaximumChannels);
    ULONG minRate = Larger(client->MinimumSampleFrequency, own->MinimumSampleFrequency);
    ULONG maxRate = Smaller(client->MaximumSampleFrequency, own->MaximumSampleFrequency);
    const ULONG minBits = Larger(client->MinimumBitsPerSample, own->MinimumBitsPerSample);
    const ULONG maxBits = Smaller(client->MaximumBitsPerSample, own->MaximumBitsPerSample);

    if (maxRate < minRate || maxBits < minBits) {
        return STATUS_NO_MATCH;
    }
    // The device narrows the interval to the rates it offers; a clock's
    // answer can reach outside the bounds it was given, so it is held inside.
    ULONG deviceMinRate = minRate;
    ULONG deviceMaxRate = maxRate;
    const NTSTATUS rateStatus = Adapter->GetPinRateRange(PinId, IsCapturePin(PinId), channels, minBits, maxBits,
                                                         &deviceMinRate, &deviceMaxRate);
    if (!NT_SUCCESS(rateStatus)) {
        UA_TRACE("pin %lu rate range 0x%08lx: %lu..%lu Hz", (unsigned long)PinId, (unsigned long)rateStatus,
                 (unsigned long)deviceMinRate, (unsigned long)deviceMaxRate);
    }
    minRate = Larger(minRate, deviceMinRate);
    maxRate = Smaller(maxRate, deviceMaxRate);
    if (maxRate < minRate || maxRate == 0 || maxBits == 0 || channels == 0) {
        return STATUS_NO_MATCH;
    }

    ExtensibleFormat* result = static_cast<ExtensibleFormat*>(ResultantFormat);
    const USHORT blockAlign = (USHORT)(maxBits * channels / 8);
    RtlCopyMemory(&result->DataFormat, &own->DataRange, sizeof(KSDATAFORMAT));
    result->DataFormat.FormatSize = EXTENSIBLE_FORMAT_BYTES;
    result->DataFormat.SampleSize = blockAlign;
    WAVEFORMATEXTENSIBLE& wave = result->WaveFormat;
    wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wave.Format.nChannels = (WORD)channels;
    wave.Format.nSamplesPerSec = maxRate;
    wave.Format.nBlockAlign = blockAlign;
    wave.Format.nAvgBytesPerSec = maxRate * blockAlign;
    wave.Format.wBitsPerSample = (WORD)maxBits;
    wave.Format.cbSize = EXTENSIBLE_EXTRA_BYTES;
    wave.Samples.wValidBitsPerSample = (WORD)maxBits;
    wave.dwChannelMask = channels == 2 ? FRONT_LEFT_RIGHT : 0;
    wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    TraceFormat(&wave.Format);
    *ResultantFormatLength = EXTENSIBLE_FORMAT_BYTES;
    return STATUS_SUCCESS;
}
