// Entities of the audio-control interface: one object per class-specific AC
// descriptor the driver understands, linked by their source and clock IDs.
// Descriptor pointers point into the configuration copy of CUSBCL.
#pragma once

#include "driver/runtime/kernel_prelude.h"
#include "driver/runtime/pool_object.h"

class CUSBAudioCL;

constexpr ULONG UAC_NO_SOURCE = 0xFFFFFFFF;

// What an entity is, derived from its descriptor subtype and class version.
enum UacEntityKind {
    UacEntityClockSource,
    UacEntityClockSelector,
    UacEntityInputTerminal,
    UacEntityOutputTerminal,
    UacEntityFeatureUnit,
    UacEntityProcessingUnit,
};

class CUSBAudioEntity : public CPoolObject {
public:
    CUSBAudioEntity(CUSBAudioCL* owner, PUCHAR descriptor) : Next(NULL), Descriptor(descriptor), Owner(owner) {}
    virtual ~CUSBAudioEntity() {}

    virtual NTSTATUS Link() = 0;
    virtual VOID TraceDescriptor();
    virtual UCHAR GetId();
    virtual NTSTATUS GetName(PCHAR buffer, SIZE_T size) = 0;
    virtual ULONG GetSourceId(ULONG inputIndex) = 0;

    UCHAR GetSubtype() const { return Descriptor[2]; }
    UCHAR GetLength() const { return Descriptor[0]; }
    PUCHAR GetDescriptor() const { return Descriptor; }
    UacEntityKind GetKind() const;
    BOOLEAN IsTerminal() const;
    BOOLEAN IsClock() const;

    CUSBAudioEntity* Next;

protected:
    NTSTATUS FormatName(PCHAR buffer, SIZE_T size, const char* kind);

    PUCHAR Descriptor;
    CUSBAudioCL* Owner;
};

class CUSBAudioClock : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;
    virtual NTSTATUS GetSampleFrequency(PULONG frequency) = 0;
    virtual NTSTATUS GetSampleFrequencyRange(PULONG lowest, PULONG highest, ULONG lowerBound, ULONG upperBound) = 0;
    virtual NTSTATUS IsSampleFrequencySupported(ULONG frequency) = 0;
    virtual NTSTATUS SetSampleFrequency(ULONG frequency) = 0;
    virtual BOOLEAN IsValid() = 0;
};

class CUSBAudioClockSource : public CUSBAudioClock {
public:
    using CUSBAudioClock::CUSBAudioClock;
    NTSTATUS Link() override;
    NTSTATUS GetName(PCHAR buffer, SIZE_T size) override;
    ULONG GetSourceId(ULONG inputIndex) override;
    NTSTATUS GetSampleFrequency(PULONG frequency) override;
    NTSTATUS GetSampleFrequencyRange(PULONG lowest, PULONG highest, ULONG lowerBound, ULONG upperBound) override;
    NTSTATUS IsSampleFrequencySupported(ULONG frequency) override;
    NTSTATUS SetSampleFrequency(ULONG frequency) override;
    BOOLEAN IsValid() override;

    BOOLEAN HasValidityControl() const { return (Descriptor[5] & 0x04) != 0; }

private:
    // Reads the RANGE block of the sampling-frequency control: the caller
    // frees *block (tag USBA); *count sub-ranges follow the 2-byte header.
    NTSTATUS ReadFrequencyRanges(PUCHAR* block, ULONG* count);
};

class CUSBAudioClockSelector : public CUSBAudioClock {
public:
    using CUSBAudioClock::CUSBAudioClock;
    NTSTATUS Link() override;
    NTSTATUS GetName(PCHAR buffer, SIZE_T size) override;
    ULONG GetSourceId(ULONG inputIndex) override;
    NTSTATUS GetSampleFrequency(PULONG frequency) override;
    NTSTATUS GetSampleFrequencyRange(PULONG lowest, PULONG highest, ULONG lowerBound, ULONG upperBound) override;
    NTSTATUS IsSampleFrequencySupported(ULONG frequency) override;
    NTSTATUS SetSampleFrequency(ULONG frequency) override;
    BOOLEAN IsValid() override;

    NTSTATUS GetSelectorInput(PUCHAR pin);
    UCHAR GetInputCount() const;

private:
    CUSBAudioClock* InputClock(ULONG index);

    // Set while a request walks through this selector; a selector graph with
    // a cycle then ends instead of recursing without end.
    BOOLEAN Busy = FALSE;
    friend class SelectorWalk;
};

class CUSBAudioTerminal : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;
    virtual ULONG GetClockSourceId() = 0;
    USHORT GetTerminalType() const;
};

class CUSBAudioInputTerminal : public CUSBAudioTerminal {
public:
    using CUSBAudioTerminal::CUSBAudioTerminal;
    NTSTATUS Link() override;
    NTSTATUS GetName(PCHAR buffer, SIZE_T size) override;
    ULONG GetSourceId(ULONG inputIndex) override;
    ULONG GetClockSourceId() override;

    CUSBAudioClock* Clock = NULL;
};

class CUSBAudioOutputTerminal : public CUSBAudioTerminal {
public:
    using CUSBAudioTerminal::CUSBAudioTerminal;
    NTSTATUS Link() override;
    NTSTATUS GetName(PCHAR buffer, SIZE_T size) override;
    ULONG GetSourceId(ULONG inputIndex) override;
    ULONG GetClockSourceId() override;

    CUSBAudioClock* Clock = NULL;
    CUSBAudioEntity* Source = NULL;
};

class CUSBAudioFeatureUnit : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;
    NTSTATUS Link() override;
    NTSTATUS GetName(PCHAR buffer, SIZE_T size) override;
    ULONG GetSourceId(ULONG inputIndex) override;

    CUSBAudioEntity* Source = NULL;
};

class CUSBAudioProcessingUnit : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;
    NTSTATUS Link() override;
    NTSTATUS GetName(PCHAR buffer, SIZE_T size) override;
    ULONG GetSourceId(ULONG inputIndex) override;
};
