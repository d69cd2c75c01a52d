#include "driver/uac/entities.h"

#include "driver/runtime/trace.h"
#include "driver/uac/uac_defs.h"
#include "driver/uac/usbaudiocl.h"

VOID CUSBAudioEntity::TraceDescriptor() {
    UA_TRACE("  bLength %u bDescriptorType 0x%02x bDescriptorSubtype 0x%02x bUnitID %u", Descriptor[0], Descriptor[1],
             Descriptor[2], Descriptor[3]);
}

UCHAR CUSBAudioEntity::GetId() {
    return Descriptor[3];
}

UacEntityKind CUSBAudioEntity::GetKind() const {
    switch (GetSubtype()) {
    case uac::AC_CLOCK_SOURCE:
        return UacEntityClockSource;
    case uac::AC_CLOCK_SELECTOR:
        return UacEntityClockSelector;
    case uac::AC_INPUT_TERMINAL:
        return UacEntityInputTerminal;
    case uac::AC_OUTPUT_TERMINAL:
        return UacEntityOutputTerminal;
    case uac::AC_FEATURE_UNIT:
        return UacEntityFeatureUnit;
    default:
        return UacEntityProcessingUnit;
    }
}

BOOLEAN CUSBAudioEntity::IsTerminal() const {
    const UacEntityKind kind = GetKind();
    return kind == UacEntityInputTerminal || kind == UacEntityOutputTerminal;
}

BOOLEAN CUSBAudioEntity::IsClock() const {
    const UacEntityKind kind = GetKind();
    return kind == UacEntityClockSource || kind == UacEntityClockSelector;
}

NTSTATUS CUSBAudioEntity::FormatName(PCHAR buffer, SIZE_T size, const char* kind) {
    if (buffer == NULL || size == 0 || size > 0x7FFFFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    return RtlStringCchPrintfA(buffer, size, "%s(%ld)", kind, (long)GetId());
}

// Looks up an ID that must name a clock; anything else cannot be asked clock
// requests and is treated like a missing entity.
static CUSBAudioClock* FindClock(CUSBAudioCL* owner, ULONG id) {
    CUSBAudioEntity* entity = owner->FindEntity(id);
    if (entity == NULL || !entity->IsClock()) {
        return NULL;
    }
    return static_cast<CUSBAudioClock*>(entity);
}

// Clock source ---------------------------------------------------------------

NTSTATUS CUSBAudioClockSource::Link() {
    return Owner->IsUac2() ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

NTSTATUS CUSBAudioClockSource::GetName(PCHAR buffer, SIZE_T size) {
    return FormatName(buffer, size, "ClockSource");
}

ULONG CUSBAudioClockSource::GetSourceId(ULONG) {
    return UAC_NO_SOURCE;
}

// Clock selector --------------------------------------------------------------

NTSTATUS CUSBAudioClockSelector::Link() {
    return Owner->IsUac2() ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

NTSTATUS CUSBAudioClockSelector::GetName(PCHAR buffer, SIZE_T size) {
    return FormatName(buffer, size, "ClockSelector");
}

UCHAR CUSBAudioClockSelector::GetInputCount() const {
    // Inputs the descriptor actually holds (bNrInPins may claim more); the
    // source IDs are followed by bmControls and iClockSelector.
    const UCHAR declared = Descriptor[4];
    const UCHAR room = (UCHAR)(GetLength() > 7 ? GetLength() - 7 : 0);
    return declared < room ? declared : room;
}

ULONG CUSBAudioClockSelector::GetSourceId(ULONG inputIndex) {
    if (inputIndex < GetInputCount()) {
        return Descriptor[5 + inputIndex];
    }
    return UAC_NO_SOURCE;
}

CUSBAudioClock* CUSBAudioClockSelector::InputClock(ULONG index) {
    CUSBAudioClock* clock = FindClock(Owner, GetSourceId(index));
    // A selector already being walked (a cycle) counts as a missing input.
    if (clock != NULL && clock->GetKind() == UacEntityClockSelector &&
        static_cast<CUSBAudioClockSelector*>(clock)->Busy) {
        return NULL;
    }
    return clock;
}

// Terminals ------------------------------------------------------------------

USHORT CUSBAudioTerminal::GetTerminalType() const {
    return uac::ReadU16(Descriptor + 4);
}

NTSTATUS CUSBAudioInputTerminal::Link() {
    if (!Owner->IsUac2()) {
        Clock = NULL;
        return STATUS_SUCCESS;
    }
    Clock = FindClock(Owner, Descriptor[7]);
    if (Clock == NULL) {
        UA_ERROR("input terminal %u: clock %u not found", GetId(), Descriptor[7]);
        return STATUS_NOT_SUPPORTED;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioInputTerminal::GetName(PCHAR buffer, SIZE_T size) {
    return FormatName(buffer, size, "IT");
}

ULONG CUSBAudioInputTerminal::GetSourceId(ULONG) {
    return UAC_NO_SOURCE;
}

ULONG CUSBAudioInputTerminal::GetClockSourceId() {
    return Owner->IsUac2() ? Descriptor[7] : UAC_NO_SOURCE;
}

NTSTATUS CUSBAudioOutputTerminal::Link() {
    Source = Owner->FindEntity(Descriptor[7]);
    if (Source == NULL) {
        UA_ERROR("output terminal %u: source %u not found", GetId(), Descriptor[7]);
        return STATUS_NOT_SUPPORTED;
    }
    if (!Owner->IsUac2()) {
        Clock = NULL;
        return STATUS_SUCCESS;
    }
    Clock = FindClock(Owner, Descriptor[8]);
    if (Clock == NULL) {
        UA_ERROR("output terminal %u: clock %u not found", GetId(), Descriptor[8]);
        return STATUS_NOT_SUPPORTED;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioOutputTerminal::GetName(PCHAR buffer, SIZE_T size) {
    return FormatName(buffer, size, "OT");
}

ULONG CUSBAudioOutputTerminal::GetSourceId(ULONG) {
    return Descriptor[7];
}

ULONG CUSBAudioOutputTerminal::GetClockSourceId() {
    return Owner->IsUac2() ? Descriptor[8] : UAC_NO_SOURCE;
}

// Units ------------------------------------------------------------------------

NTSTATUS CUSBAudioFeatureUnit::Link() {
    Source = Owner->FindEntity(Descriptor[4]);
    if (Source == NULL) {
        UA_ERROR("feature unit %u: source %u not found", GetId(), Descriptor[4]);
        return STATUS_NOT_SUPPORTED;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioFeatureUnit::GetName(PCHAR buffer, SIZE_T size) {
    return FormatName(buffer, size, "Feature");
}

ULONG CUSBAudioFeatureUnit::GetSourceId(ULONG) {
    return Descriptor[4];
}

NTSTATUS CUSBAudioProcessingUnit::Link() {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CUSBAudioProcessingUnit::GetName(PCHAR buffer, SIZE_T size) {
    return FormatName(buffer, size, "Processing");
}

ULONG CUSBAudioProcessingUnit::GetSourceId(ULONG) {
    return UAC_NO_SOURCE;
}
