// Requests of the clock entities: sampling frequency, its ranges, validity,
// and the clock selector's input pin.
#include "driver/runtime/pool_tags.h"
#include "driver/runtime/trace.h"
#include "driver/uac/entities.h"
#include "driver/uac/uac_defs.h"
#include "driver/uac/usbaudiocl.h"

namespace {

constexpr UCHAR REQUEST_GET_ENTITY = 0xA1;
constexpr UCHAR REQUEST_SET_ENTITY = 0x21;
constexpr UCHAR REQUEST_CUR = 0x01;
constexpr UCHAR REQUEST_RANGE = 0x02;
constexpr UCHAR CS_SAM_FREQ_CONTROL = 0x01;
constexpr UCHAR CS_CLOCK_VALID_CONTROL = 0x02;
constexpr UCHAR CX_CLOCK_SELECTOR_CONTROL = 0x01;
constexpr ULONG RANGE_HEADER_BYTES = 2;
constexpr ULONG FREQUENCY_SUBRANGE_BYTES = 12;
constexpr ULONG FIRST_RANGE_READ_BYTES = 16;

}  // namespace

// Marks a selector as being walked for the lifetime of one request.
class SelectorWalk {
public:
    explicit SelectorWalk(CUSBAudioClockSelector* selector) : Selector(selector) { Selector->Busy = TRUE; }
    ~SelectorWalk() { Selector->Busy = FALSE; }

private:
    CUSBAudioClockSelector* Selector;
};

// Clock source -------------------------------------------------------------------

NTSTATUS CUSBAudioClockSource::GetSampleFrequency(PULONG frequency) {
    UCHAR value[4] = {0, 0, 0, 0};
    *frequency = 0;
    NTSTATUS status = Owner->AudioClassRequest(REQUEST_GET_ENTITY, REQUEST_CUR, CS_SAM_FREQ_CONTROL, 0, GetId(),
                                               sizeof(value), value);
    if (NT_SUCCESS(status)) {
        *frequency = uac::ReadU32(value);
    }
    return status;
}

NTSTATUS CUSBAudioClockSource::ReadFrequencyRanges(PUCHAR* block, ULONG* count) {
    *block = NULL;
    *count = 0;
    UCHAR first[FIRST_RANGE_READ_BYTES];
    RtlZeroMemory(first, sizeof(first));
    ULONG firstBytes = 0;
    NTSTATUS status = Owner->AudioClassRequest(REQUEST_GET_ENTITY, REQUEST_RANGE, CS_SAM_FREQ_CONTROL, 0, GetId(),
                                               sizeof(first), first, &firstBytes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG declared = firstBytes >= RANGE_HEADER_BYTES ? uac::ReadU16(first) : 0;
    // wLength is 16 bits: a larger claim cannot be read in one request.
    const ULONG maxSubRanges = (0xFFFF - RANGE_HEADER_BYTES) / FREQUENCY_SUBRANGE_BYTES;
    if (declared > maxSubRanges) {
        declared = maxSubRanges;
    }
    const ULONG length = declared * FREQUENCY_SUBRANGE_BYTES + RANGE_HEADER_BYTES;
    PUCHAR ranges = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, length, POOLTAG_USB));
    if (ranges == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(ranges, length);
    ULONG transferred = 0;
    status = Owner->AudioClassRequest(REQUEST_GET_ENTITY, REQUEST_RANGE, CS_SAM_FREQ_CONTROL, 0, GetId(),
                                      (USHORT)length, ranges, &transferred);
    if (!NT_SUCCESS(status)) {
        UA_ERROR("clock %u: RANGE read of %lu bytes failed 0x%08lx", GetId(), (unsigned long)length,
                 (unsigned long)status);
        ExFreePoolWithTag(ranges, POOLTAG_USB);
        return status;
    }
    // Only sub-ranges the device really sent are looked at.
    ULONG received = transferred > RANGE_HEADER_BYTES ? (transferred - RANGE_HEADER_BYTES) / FREQUENCY_SUBRANGE_BYTES : 0;
    if (received < declared) {
        UA_ERROR("clock %u: RANGE claims %lu sub-ranges, sent %lu", GetId(), (unsigned long)declared,
                 (unsigned long)received);
        declared = received;
    }
    *block = ranges;
    *count = declared;
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioClockSource::GetSampleFrequencyRange(PULONG lowest, PULONG highest, ULONG lowerBound,
                                                       ULONG upperBound) {
    *lowest = 0;
    *highest = 0;
    PUCHAR ranges = NULL;
    ULONG count = 0;
    NTSTATUS status = ReadFrequencyRanges(&ranges, &count);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (ULONG i = 0; i < count; ++i) {
        const PUCHAR subRange = ranges + RANGE_HEADER_BYTES + i * FREQUENCY_SUBRANGE_BYTES;
        const ULONG minimum = uac::ReadU32(subRange);
        const ULONG maximum = uac::ReadU32(subRange + 4);
        UA_TRACE("clock %u sub-range %lu: %lu..%lu step %lu", GetId(), (unsigned long)i, (unsigned long)minimum,
                 (unsigned long)maximum, (unsigned long)uac::ReadU32(subRange + 8));
        if (*lowest == 0 || (minimum < *lowest && minimum >= lowerBound)) {
            *lowest = minimum;
        }
        if (*highest == 0 || (maximum > *highest && maximum <= upperBound)) {
            *highest = maximum;
        }
    }
    ExFreePoolWithTag(ranges, POOLTAG_USB);
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioClockSource::IsSampleFrequencySupported(ULONG frequency) {
    PUCHAR ranges = NULL;
    ULONG count = 0;
    NTSTATUS status = ReadFrequencyRanges(&ranges, &count);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = STATUS_NOT_SUPPORTED;
    for (ULONG i = 0; i < count; ++i) {
        const PUCHAR subRange = ranges + RANGE_HEADER_BYTES + i * FREQUENCY_SUBRANGE_BYTES;
        const ULONG minimum = uac::ReadU32(subRange);
        const ULONG maximum = uac::ReadU32(subRange + 4);
        const ULONG resolution = uac::ReadU32(subRange + 8);
        if (frequency < minimum || frequency > maximum) {
            continue;
        }
        if (maximum == minimum || (resolution != 0 && (frequency - minimum) % resolution == 0)) {
            status = STATUS_SUCCESS;
            break;
        }
    }
    ExFreePoolWithTag(ranges, POOLTAG_USB);
    return status;
}

NTSTATUS CUSBAudioClockSource::SetSampleFrequency(ULONG frequency) {
    UCHAR value[4] = {(UCHAR)frequency, (UCHAR)(frequency >> 8), (UCHAR)(frequency >> 16), (UCHAR)(frequency >> 24)};
    return Owner->AudioClassRequest(REQUEST_SET_ENTITY, REQUEST_CUR, CS_SAM_FREQ_CONTROL, 0, GetId(), sizeof(value),
                                    value);
}

BOOLEAN CUSBAudioClockSource::IsValid() {
    if (!HasValidityControl()) {
        return TRUE;
    }
    UCHAR valid = 0;
    NTSTATUS status = Owner->AudioClassRequest(REQUEST_GET_ENTITY, REQUEST_CUR, CS_CLOCK_VALID_CONTROL, 0, GetId(),
                                               sizeof(valid), &valid);
    return NT_SUCCESS(status) && valid != 0;
}

// Clock selector -------------------------------------------------------------------

NTSTATUS CUSBAudioClockSelector::GetSelectorInput(PUCHAR pin) {
    *pin = 0;
    const UCHAR inputs = Descriptor[4];
    if (inputs == 0) {
        UA_ERROR("clock selector %u has no inputs", GetId());
        return STATUS_UNSUCCESSFUL;
    }
    if (inputs == 1) {
        *pin = 1;
        return STATUS_SUCCESS;
    }
    return Owner->AudioClassRequest(REQUEST_GET_ENTITY, REQUEST_CUR, CX_CLOCK_SELECTOR_CONTROL, 0, GetId(), 1, pin);
}

NTSTATUS CUSBAudioClockSelector::GetSampleFrequency(PULONG frequency) {
    *frequency = 0;
    UCHAR pin = 0;
    NTSTATUS status = GetSelectorInput(&pin);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (pin < 1 || pin > GetInputCount()) {
        UA_ERROR("clock selector %u reports pin %u of %u", GetId(), pin, GetInputCount());
        return STATUS_NOT_SUPPORTED;
    }
    CUSBAudioClock* clock = InputClock(pin - 1U);
    if (clock == NULL) {
        return STATUS_NOT_SUPPORTED;
    }
    SelectorWalk walk(this);
    return clock->GetSampleFrequency(frequency);
}

NTSTATUS CUSBAudioClockSelector::GetSampleFrequencyRange(PULONG lowest, PULONG highest, ULONG lowerBound,
                                                         ULONG upperBound) {
    *lowest = 0;
    *highest = 0;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < GetInputCount(); ++i) {
        CUSBAudioClock* clock = InputClock(i);
        if (clock == NULL) {
            return STATUS_NOT_SUPPORTED;
        }
        ULONG inputLowest = 0;
        ULONG inputHighest = 0;
        SelectorWalk walk(this);
        status = clock->GetSampleFrequencyRange(&inputLowest, &inputHighest, lowerBound, upperBound);
        if (*lowest == 0 || inputLowest < *lowest) {
            *lowest = inputLowest;
        }
        if (*highest == 0 || inputHighest > *highest) {
            *highest = inputHighest;
        }
    }
    return status;
}

NTSTATUS CUSBAudioClockSelector::IsSampleFrequencySupported(ULONG frequency) {
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    for (ULONG i = 0; i < GetInputCount(); ++i) {
        CUSBAudioClock* clock = InputClock(i);
        if (clock == NULL) {
            UA_ERROR("clock selector %u: input %lu is not a clock", GetId(), (unsigned long)i);
            return STATUS_NOT_SUPPORTED;
        }
        SelectorWalk walk(this);
        status = clock->IsSampleFrequencySupported(frequency);
        if (NT_SUCCESS(status)) {
            return status;
        }
    }
    return status;
}

NTSTATUS CUSBAudioClockSelector::SetSampleFrequency(ULONG frequency) {
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    for (ULONG i = 0; i < GetInputCount(); ++i) {
        CUSBAudioClock* clock = InputClock(i);
        if (clock == NULL) {
            return STATUS_NOT_SUPPORTED;
        }
        {
            SelectorWalk walk(this);
            status = clock->IsSampleFrequencySupported(frequency);
            if (NT_SUCCESS(status)) {
                status = clock->SetSampleFrequency(frequency);
            }
        }
        if (!NT_SUCCESS(status)) {
            continue;
        }
        UCHAR pin = (UCHAR)(i + 1);
        status = Owner->AudioClassRequest(REQUEST_SET_ENTITY, REQUEST_CUR, CX_CLOCK_SELECTOR_CONTROL, 0, GetId(), 1,
                                          &pin);
        if (NT_SUCCESS(status)) {
            break;
        }
    }
    return status;
}

BOOLEAN CUSBAudioClockSelector::IsValid() {
    UCHAR pin = 0;
    if (!NT_SUCCESS(GetSelectorInput(&pin)) || pin < 1 || pin > GetInputCount()) {
        return FALSE;
    }
    CUSBAudioClock* clock = InputClock(pin - 1U);
    if (clock == NULL) {
        return FALSE;
    }
    SelectorWalk walk(this);
    return clock->IsValid();
}
