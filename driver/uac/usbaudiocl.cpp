#include "driver/uac/usbaudiocl.h"

#include "driver/runtime/pool_tags.h"
#include "driver/runtime/trace.h"
#include "driver/uac/uac_defs.h"

namespace {

constexpr USHORT QUIRK_VENDOR_CLASS_VID = 0x1686;
constexpr USHORT QUIRK_VENDOR_CLASS_PID = 0x00DD;
constexpr USHORT QUIRK_FULL_LIST_VID = 0x20B1;
constexpr USHORT QUIRK_FULL_LIST_PID = 0x0002;

PUCHAR Bytes(PVOID pointer) {
    return static_cast<PUCHAR>(pointer);
}

BOOLEAN IsIsochronous(PUSB_ENDPOINT_DESCRIPTOR endpoint) {
    return (endpoint->bmAttributes & 0x03) == 0x01;
}

UCHAR UsageType(PUSB_ENDPOINT_DESCRIPTOR endpoint) {
    return (UCHAR)((endpoint->bmAttributes >> 4) & 0x03);
}

}  // namespace

CUSBAudioCL::CUSBAudioCL()
    : AcInterface(NULL),
      AcHeader(NULL),
      isUac2(FALSE),
      dsdCapable(FALSE),
      InterfaceClass(uac::CLASS_AUDIO),
      Entities(NULL),
      StreamingInterfaces(NULL),
      StreamingInterfaceCount(0),
      renderInterface(NULL),
      captureInterface(NULL),
      CurrentSchedule(NULL),
      SchedulePosition(0),
      DataInterval(1) {
    KeInitializeMutex(&SelectionLock, 0);
}

CUSBAudioCL::~CUSBAudioCL() {
    FreeStreamingInterfaces();
    FreeEntities();
}

VOID CUSBAudioCL::OnTransferComplete(NTSTATUS irpStatus, PURB urb, USB_TRANSFER_CONTEXT*) {
    if (!NT_SUCCESS(irpStatus)) {
        UA_TRACE("transfer (function 0x%04x) completed 0x%08lx", urb->UrbHeader.Function, (unsigned long)irpStatus);
    }
}

PUCHAR CUSBAudioCL::GetConfigurationEnd() const {
    return Bytes(ConfigurationDescriptor) + ConfigurationDescriptor->wTotalLength;
}

BOOLEAN CUSBAudioCL::IsQuirkVendorClassDevice() const {
    return DeviceDescriptor.idVendor == QUIRK_VENDOR_CLASS_VID && DeviceDescriptor.idProduct == QUIRK_VENDOR_CLASS_PID;
}

BOOLEAN CUSBAudioCL::UsesFullInterfaceList() const {
    return IsQuirkVendorClassDevice() ||
           (DeviceDescriptor.idVendor == QUIRK_FULL_LIST_VID && DeviceDescriptor.idProduct == QUIRK_FULL_LIST_PID);
}

PUSB_INTERFACE_DESCRIPTOR CUSBAudioCL::FindInterface(LONG number, LONG alternate, LONG subclass) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, number, alternate,
                                               InterfaceClass, subclass, -1);
}

PUCHAR CUSBAudioCL::NextInterfaceOrEnd(PUCHAR from) {
    PUCHAR start = from + from[0];
    PUCHAR end = GetConfigurationEnd();
    if (start >= end) {
        return end;
    }
    PUSB_COMMON_DESCRIPTOR next = USBD_ParseDescriptors(ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength,
                                                        start, USB_INTERFACE_DESCRIPTOR_TYPE);
    return next != NULL ? Bytes(next) : end;
}

NTSTATUS CUSBAudioCL::Init(PDEVICE_OBJECT physicalDevice, ULONG irpCount) {
    NTSTATUS status = CUSBCL::Init(physicalDevice, irpCount);
    if (!NT_SUCCESS(status)) {
        UA_ERROR("USB layer initialisation failed 0x%08lx", (unsigned long)status);
        return status;
    }

    InterfaceClass = IsQuirkVendorClassDevice() ? uac::CLASS_VENDOR_SPECIFIC : uac::CLASS_AUDIO;

    AcInterface = FindInterface(-1, 0, uac::SUBCLASS_AUDIOCONTROL);
    if (AcInterface == NULL) {
        UA_ERROR("no audio-control interface");
        return STATUS_NOT_SUPPORTED;
    }

    DetectDsdSupport();

    PUCHAR acEnd = NextInterfaceOrEnd(Bytes(AcInterface));
    PUCHAR header = Bytes(AcInterface) + AcInterface->bLength;
    if (header >= acEnd || header[1] != uac::CS_INTERFACE || header[2] != uac::AC_HEADER || header[0] < 5) {
        UA_ERROR("audio-control header missing or misplaced");
        return STATUS_NOT_SUPPORTED;
    }
    isUac2 = uac::ReadU16(header + 3) == uac::BCD_ADC_2_0;
    if (header[0] < (isUac2 ? uac::MIN_AC_HEADER_V2 : uac::MIN_AC_HEADER_V1)) {
        UA_ERROR("audio-control header is %u bytes", header[0]);
        return STATUS_NOT_SUPPORTED;
    }
    const ULONG headerTotal = uac::ReadU16(header + (isUac2 ? 6 : 5));
    if (headerTotal > (ULONG)(acEnd - header)) {
        UA_ERROR("audio-control header length %lu reaches past the interface", (unsigned long)headerTotal);
        return STATUS_NOT_SUPPORTED;
    }
    AcHeader = header;
    UA_TRACE("audio class %s, DSD %s", isUac2 ? "2.0" : "1.0", dsdCapable ? "Yes" : "No");

    status = ParseEntities(header);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = BuildStreamingInterfaceList();
    if (!NT_SUCCESS(status)) {
        return status;
    }

    for (StreamingInterface* streaming = StreamingInterfaces; streaming != NULL; streaming = streaming->Next) {
        PUCHAR general = streaming->Alternates[1].AsGeneral;
        if (general == NULL) {
            UA_ERROR("streaming interface %u has no AS general descriptor", streaming->InterfaceNumber);
            return STATUS_NOT_SUPPORTED;
        }
        CUSBAudioEntity* terminal = FindEntity(general[3]);
        // Only a terminal can be the end of a streaming interface.
        if (terminal == NULL || !terminal->IsTerminal()) {
            UA_ERROR("streaming interface %u links to terminal %u, which does not exist", streaming->InterfaceNumber,
                     general[3]);
            return STATUS_NOT_SUPPORTED;
        }
        streaming->Terminal = static_cast<CUSBAudioTerminal*>(terminal);
    }

    for (StreamingInterface* streaming = StreamingInterfaces; streaming != NULL; streaming = streaming->Next) {
        if (streaming->IsInput == 0 && renderInterface == NULL) {
            renderInterface = streaming;
        } else if (streaming->IsInput != 0 && captureInterface == NULL) {
            captureInterface = streaming;
        }
    }

    if (renderInterface != NULL) {
        status = BuildDataRanges(renderInterface);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (captureInterface != NULL) {
        status = BuildDataRanges(captureInterface);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::Configure() {
    ULONG count = 0;
    PUSBD_INTERFACE_LIST_ENTRY list = NULL;
    if (UsesFullInterfaceList()) {
        list = CreateInterfaceList(&count);
    } else {
        count = StreamingInterfaceCount + 1;
        const SIZE_T bytes = (SIZE_T)(count + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
        list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, POOLTAG_USB));
        if (list != NULL) {
            RtlZeroMemory(list, bytes);
            list[0].InterfaceDescriptor = AcInterface;
            ULONG index = 1;
            for (StreamingInterface* streaming = StreamingInterfaces; streaming != NULL; streaming = streaming->Next) {
                list[index++].InterfaceDescriptor = streaming->Alternates[0].Interface;
            }
        }
    }
    if (list == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS status = ConfigurationRequest(list, count);
    if (NT_SUCCESS(status)) {
        for (StreamingInterface* streaming = StreamingInterfaces; streaming != NULL; streaming = streaming->Next) {
            streaming->CurrentAlternate = 0;
            SelectAlternate(streaming->InterfaceNumber, 0);
        }
        status = ResolvePipes();
    } else {
        UA_ERROR("select configuration failed 0x%08lx", (unsigned long)status);
    }
    ExFreePoolWithTag(list, POOLTAG_USB);
    return status;
}

CUSBAudioEntity* CUSBAudioCL::FindEntity(ULONG id) {
    for (CUSBAudioEntity* entity = Entities; entity != NULL; entity = entity->Next) {
        if (entity->GetId() == id) {
            return entity;
        }
    }
    return NULL;
}

VOID CUSBAudioCL::FreeEntities() {
    while (Entities != NULL) {
        CUSBAudioEntity* next = Entities->Next;
        delete Entities;
        Entities = next;
    }
}

NTSTATUS CUSBAudioCL::ParseEntities(PUCHAR header) {
    FreeEntities();
    PUCHAR limit = header + uac::ReadU16(header + (isUac2 ? 6 : 5));
    CUSBAudioEntity** tail = &Entities;
    PUCHAR position = header + header[0];

    for (;;) {
        if (position >= GetConfigurationEnd()) {
            break;
        }
        PUCHAR descriptor = Bytes(USBD_ParseDescriptors(ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength,
                                                        position, uac::CS_INTERFACE));
        if (descriptor == NULL || descriptor >= limit) {
            break;
        }
        const UCHAR length = descriptor[0];
        const UCHAR subtype = descriptor[2];
        UCHAR minimum = uac::MIN_UNIT;
        BOOLEAN endOfWalk = FALSE;
        NTSTATUS unsupported = STATUS_SUCCESS;

        switch (subtype) {
        case uac::AC_INPUT_TERMINAL:
            minimum = isUac2 ? uac::MIN_INPUT_TERMINAL_V2 : uac::MIN_INPUT_TERMINAL_V1;
            break;
        case uac::AC_OUTPUT_TERMINAL:
            minimum = isUac2 ? uac::MIN_OUTPUT_TERMINAL_V2 : uac::MIN_OUTPUT_TERMINAL_V1;
            break;
        case uac::AC_FEATURE_UNIT:
            minimum = isUac2 ? uac::MIN_FEATURE_UNIT_V2 : uac::MIN_FEATURE_UNIT_V1;
            break;
        case uac::AC_MIXER_UNIT:
        case uac::AC_SELECTOR_UNIT:
        case uac::AC_EXTENSION_UNIT_V1:
            unsupported = STATUS_NOT_IMPLEMENTED;
            break;
        case uac::AC_PROCESSING_UNIT_V1:
            if (isUac2) {
                unsupported = STATUS_NOT_IMPLEMENTED;
            }
            break;
        case uac::AC_EXTENSION_UNIT_V2:
        case uac::AC_CLOCK_SOURCE:
        case uac::AC_CLOCK_SELECTOR:
        case uac::AC_CLOCK_MULTIPLIER:
        case uac::AC_SAMPLE_RATE_CONVERTER:
            if (!isUac2) {
                endOfWalk = TRUE;
            } else if (subtype == uac::AC_CLOCK_SOURCE) {
                minimum = uac::MIN_CLOCK_SOURCE;
            } else if (subtype == uac::AC_CLOCK_SELECTOR) {
                minimum = uac::MIN_CLOCK_SELECTOR;
            } else {
                unsupported = STATUS_NOT_IMPLEMENTED;
            }
            break;
        default:  // undefined, a second header, and subtypes from 0x0E on
            endOfWalk = TRUE;
            break;
        }
        if (endOfWalk) {
            break;
        }
        if (unsupported != STATUS_SUCCESS) {
            UA_ERROR("audio-control unit subtype 0x%02x (ID %u) is not supported", subtype, length > 3 ? descriptor[3] : 0);
            return unsupported;
        }
        if (length < minimum) {
            UA_ERROR("audio-control descriptor subtype 0x%02x is %u bytes, at least %u needed", subtype, length, minimum);
            return STATUS_NOT_SUPPORTED;
        }

        CUSBAudioEntity* entity = NULL;
        switch (subtype) {
        case uac::AC_INPUT_TERMINAL:
            entity = new (NonPagedPoolNx, POOLTAG_USB) CUSBAudioInputTerminal(this, descriptor);
            break;
        case uac::AC_OUTPUT_TERMINAL:
            entity = new (NonPagedPoolNx, POOLTAG_USB) CUSBAudioOutputTerminal(this, descriptor);
            break;
        case uac::AC_FEATURE_UNIT:
            entity = new (NonPagedPoolNx, POOLTAG_USB) CUSBAudioFeatureUnit(this, descriptor);
            break;
        case uac::AC_PROCESSING_UNIT_V1:
            entity = new (NonPagedPoolNx, POOLTAG_USB) CUSBAudioProcessingUnit(this, descriptor);
            break;
        case uac::AC_CLOCK_SOURCE:
            entity = new (NonPagedPoolNx, POOLTAG_USB) CUSBAudioClockSource(this, descriptor);
            break;
        default:
            entity = new (NonPagedPoolNx, POOLTAG_USB) CUSBAudioClockSelector(this, descriptor);
            break;
        }
        if (entity == NULL) {
            // Linking what was made so far would refuse the device as malformed,
            // or worse accept it without the entities that did not fit.
            UA_ERROR("entity allocation failed");
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        entity->TraceDescriptor();
        *tail = entity;
        tail = &entity->Next;
        position = descriptor + length;
    }

    for (CUSBAudioEntity* entity = Entities; entity != NULL; entity = entity->Next) {
        NTSTATUS status = entity->Link();
        if (!NT_SUCCESS(status)) {
            UA_ERROR("linking entity %u failed 0x%08lx", entity->GetId(), (unsigned long)status);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

VOID CUSBAudioCL::FreeStreamingInterface(StreamingInterface* record) {
    if (record->DataRangeStorage != NULL) {
        ExFreePoolWithTag(record->DataRangeStorage, POOLTAG_USB);
    }
    if (record->Alternates != NULL) {
        ExFreePoolWithTag(record->Alternates, POOLTAG_USB);
    }
    ExFreePoolWithTag(record, POOLTAG_USB);
}

VOID CUSBAudioCL::FreeStreamingInterfaces() {
    while (StreamingInterfaces != NULL) {
        StreamingInterface* next = StreamingInterfaces->Next;
        FreeStreamingInterface(StreamingInterfaces);
        StreamingInterfaces = next;
    }
    StreamingInterfaceCount = 0;
    renderInterface = NULL;
    captureInterface = NULL;
}

NTSTATUS CUSBAudioCL::BuildStreamingInterfaceList() {
    FreeStreamingInterfaces();
    StreamingInterface** tail = &StreamingInterfaces;
    for (LONG number = AcInterface->bInterfaceNumber + 1; number <= 0xFF; ++number) {
        if (FindInterface(number, 0, uac::SUBCLASS_AUDIOSTREAMING) == NULL) {
            break;
        }
        StreamingInterface* record = static_cast<StreamingInterface*>(
            ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(StreamingInterface), POOLTAG_USB));
        if (record == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(record, sizeof(StreamingInterface));
        record->InterfaceNumber = (UCHAR)number;
        record->DeviceMode = 0;
        KeInitializeSpinLock(&record->Lock);
        NTSTATUS status = ParseStreamingInterface(record);
        if (!NT_SUCCESS(status)) {
            FreeStreamingInterface(record);
            return status;
        }
        *tail = record;
        tail = &record->Next;
        ++StreamingInterfaceCount;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::ParseStreamingInterface(StreamingInterface* record) {
    const LONG number = record->InterfaceNumber;
    PUSB_INTERFACE_DESCRIPTOR first = FindInterface(number, 1, uac::SUBCLASS_AUDIOSTREAMING);
    if (first == NULL || first->bNumEndpoints == 0) {
        UA_ERROR("streaming interface %ld: alternate setting 1 missing or without endpoints", (long)number);
        return STATUS_NOT_SUPPORTED;
    }
    PUCHAR firstEnd = NextInterfaceOrEnd(Bytes(first));
    PUCHAR endpoint = Bytes(USBD_ParseDescriptors(ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength,
                                                  Bytes(first) + first->bLength, USB_ENDPOINT_DESCRIPTOR_TYPE));
    if (endpoint == NULL || endpoint >= firstEnd) {
        UA_ERROR("streaming interface %ld: alternate setting 1 has no endpoint descriptor", (long)number);
        return STATUS_NOT_SUPPORTED;
    }
    record->IsInput = (endpoint[2] & 0x80) != 0 ? 1 : 0;

    ULONG count = 2;
    while (count <= 0xFF && FindInterface(number, (LONG)count, uac::SUBCLASS_AUDIOSTREAMING) != NULL) {
        ++count;
    }
    const SIZE_T bytes = (SIZE_T)count * sizeof(AlternateSetting);
    AlternateSetting* alternates = static_cast<AlternateSetting*>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, POOLTAG_USB));
    if (alternates == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(alternates, bytes);

    for (ULONG i = 0; i < count; ++i) {
        AlternateSetting* setting = &alternates[i];
        setting->Interface = FindInterface(number, (LONG)i, uac::SUBCLASS_AUDIOSTREAMING);
        if (setting->Interface == NULL) {
            UA_ERROR("streaming interface %ld: alternate setting %lu missing", (long)number, (unsigned long)i);
            ExFreePoolWithTag(alternates, POOLTAG_USB);
            return STATUS_NOT_SUPPORTED;
        }
        if (setting->Interface->bNumEndpoints == 0) {
            continue;
        }
        PUCHAR end = NextInterfaceOrEnd(Bytes(setting->Interface));
        ParseEndpoints(setting, end);

        const UCHAR generalMinimum = isUac2 ? uac::MIN_AS_GENERAL_V2 : uac::MIN_AS_GENERAL_V1;
        const UCHAR formatMinimum = isUac2 ? uac::MIN_FORMAT_TYPE_I_V2 : uac::MIN_FORMAT_TYPE_I_V1;
        PUCHAR position = Bytes(setting->Interface) + setting->Interface->bLength;
        while (position < end) {
            PUCHAR descriptor = Bytes(USBD_ParseDescriptors(ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength,
                                                            position, uac::CS_INTERFACE));
            if (descriptor == NULL || descriptor >= end) {
                break;
            }
            if (descriptor[2] == uac::AS_GENERAL && setting->AsGeneral == NULL) {
                if (descriptor[0] >= generalMinimum) {
                    setting->AsGeneral = descriptor;
                } else {
                    UA_ERROR("interface %ld alternate %lu: AS general descriptor too short", (long)number, (unsigned long)i);
                }
            } else if (descriptor[2] == uac::AS_FORMAT_TYPE && setting->FormatType == NULL) {
                if (descriptor[0] >= formatMinimum || (descriptor[0] >= 4 && descriptor[3] != uac::FORMAT_TYPE_I)) {
                    setting->FormatType = descriptor;
                } else {
                    UA_ERROR("interface %ld alternate %lu: format type descriptor too short", (long)number,
                             (unsigned long)i);
                }
            }
            position = descriptor + descriptor[0];
        }

        if (setting->DataEndpoint == NULL) {
            UA_TRACE("interface %ld alternate %lu: no data endpoint", (long)number, (unsigned long)i);
            continue;
        }
        position = Bytes(setting->DataEndpoint);
        while (position < end) {
            PUCHAR descriptor = Bytes(USBD_ParseDescriptors(ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength,
                                                            position, uac::CS_ENDPOINT));
            if (descriptor == NULL || descriptor >= end) {
                break;
            }
            if (descriptor[2] == uac::EP_GENERAL && descriptor[0] >= uac::MIN_CS_ENDPOINT) {
                setting->CsEndpoint = descriptor;
                break;
            }
            position = descriptor + descriptor[0];
        }
    }

    record->AlternateCount = count;
    record->Alternates = alternates;
    return STATUS_SUCCESS;
}

VOID CUSBAudioCL::ParseEndpoints(AlternateSetting* setting, PUCHAR end) {
    PUCHAR position = Bytes(setting->Interface) + setting->Interface->bLength;
    for (ULONG e = 0; e < setting->Interface->bNumEndpoints; ++e) {
        PUSB_ENDPOINT_DESCRIPTOR endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(USBD_ParseDescriptors(
            ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength, position, USB_ENDPOINT_DESCRIPTOR_TYPE));
        if (endpoint == NULL || Bytes(endpoint) >= end) {
            UA_ERROR("interface %u alternate %u: endpoint %lu missing", setting->Interface->bInterfaceNumber,
                     setting->Interface->bAlternateSetting, (unsigned long)e);
            break;
        }
        if (isUac2) {
            ClassifyEndpointV2(setting, endpoint);
        } else {
            ClassifyEndpointV1(setting, endpoint, e == 0);
        }
        position = Bytes(endpoint) + endpoint->bLength;
    }
}

VOID CUSBAudioCL::ClassifyEndpointV2(AlternateSetting* setting, PUSB_ENDPOINT_DESCRIPTOR endpoint) {
    const UCHAR usage = UsageType(endpoint);
    const BOOLEAN isochronous = IsIsochronous(endpoint);
    const BOOLEAN dataIntervalValid = endpoint->bInterval <= (isHighSpeed ? 4 : 15);
    const BOOLEAN feedbackIntervalValid = endpoint->bInterval < (isHighSpeed ? 5 : 16);
    if ((usage == 0 || usage == 2) && (dataIntervalValid || !isochronous) && setting->DataEndpoint == NULL) {
        setting->DataEndpoint = endpoint;
    } else if (usage == 1 && (!isochronous || feedbackIntervalValid) && setting->FeedbackEndpoint == NULL) {
        setting->FeedbackEndpoint = endpoint;
    }
}

VOID CUSBAudioCL::ClassifyEndpointV1(AlternateSetting* setting, PUSB_ENDPOINT_DESCRIPTOR endpoint, BOOLEAN first) {
    const UCHAR usage = UsageType(endpoint);
    if (first && (usage == 0 || usage == 2)) {
        setting->DataEndpoint = endpoint;
    }
    const BOOLEAN intervalValid = !IsIsochronous(endpoint) || endpoint->bInterval < (isHighSpeed ? 5 : 16);
    const BOOLEAN noSynchronisation = ((endpoint->bmAttributes >> 2) & 0x03) == 0;
    if (!intervalValid || !noSynchronisation || setting->DataEndpoint == NULL || setting->FeedbackEndpoint != NULL) {
        return;
    }
    PUSB_ENDPOINT_DESCRIPTOR data = setting->DataEndpoint;
    if (data->bLength < 9) {
        UA_TRACE("interface %u alternate %u: data endpoint has no bSynchAddress", setting->Interface->bInterfaceNumber,
                 setting->Interface->bAlternateSetting);
    } else if (Bytes(data)[8] != endpoint->bEndpointAddress) {
        UA_TRACE("interface %u alternate %u: endpoint 0x%02x is not the synch endpoint 0x%02x",
                 setting->Interface->bInterfaceNumber, setting->Interface->bAlternateSetting,
                 endpoint->bEndpointAddress, Bytes(data)[8]);
    } else {
        setting->FeedbackEndpoint = endpoint;
    }
}

VOID CUSBAudioCL::DetectDsdSupport() {
    PUCHAR buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, USB_STRING_BUFFER_BYTES, POOLTAG_USB));
    if (buffer == NULL) {
        UA_ERROR("DSD detection: no memory");
        return;
    }
    RtlZeroMemory(buffer, USB_STRING_BUFFER_BYTES);
    NTSTATUS status = GetStringDescriptor(AcInterface->iInterface, buffer);
    if (!NT_SUCCESS(status)) {
        UA_ERROR("DSD detection: interface string %u unreadable 0x%08lx", AcInterface->iInterface,
                 (unsigned long)status);
        ExFreePoolWithTag(buffer, POOLTAG_USB);
        return;
    }
    // Characters after the 2-byte header; the last one stays the terminator.
    ULONG characters = buffer[0] >= 2 ? (buffer[0] - 2U) / 2U : 0;
    const ULONG room = (USB_STRING_BUFFER_BYTES - 2) / 2 - 1;
    if (characters > room) {
        characters = room;
    }
    static const char marker[] = "[DSD]";
    const ULONG markerLength = sizeof(marker) - 1;
    BOOLEAN found = FALSE;
    for (ULONG start = 0; start + markerLength <= characters && !found; ++start) {
        ULONG matched = 0;
        while (matched < markerLength) {
            const PUCHAR character = buffer + 2 + 2 * (start + matched);
            const USHORT value = (USHORT)(character[0] | (character[1] << 8));
            if (value != (USHORT)(UCHAR)marker[matched]) {
                break;
            }
            ++matched;
        }
        found = matched == markerLength;
    }
    dsdCapable = found;
    UA_TRACE("DSD capable: %s", found ? "Yes" : "No");
    ExFreePoolWithTag(buffer, POOLTAG_USB);
}

ULONG CUSBAudioCL::GetFeatureUnitChannelCount(CUSBAudioFeatureUnit* unit) {
    const PUCHAR descriptor = unit->GetDescriptor();
    const ULONG length = descriptor[0];
    if (isUac2) {
        return length >= 6 ? (length - 6) / 4 : 0;
    }
    const ULONG controlSize = descriptor[5];
    if (controlSize == 0 || length < 7) {
        return 0;
    }
    return (length - 7) / controlSize;
}

BOOLEAN CUSBAudioCL::HasControl(CUSBAudioFeatureUnit* unit, ULONG channel, ULONG control, ULONG capability) {
    if (unit == NULL || channel >= GetFeatureUnitChannelCount(unit)) {
        return FALSE;
    }
    const PUCHAR descriptor = unit->GetDescriptor();
    if (isUac2) {
        if (control >= 16) {
            return FALSE;
        }
        const ULONG controls = uac::ReadU32(descriptor + 5 + 4 * channel);
        const ULONG mask = (capability & 0x3) << (2 * control);
        return mask != 0 && (controls & mask) == mask;
    }
    const ULONG controlSize = descriptor[5];
    const PUCHAR bytes = descriptor + 6 + channel * controlSize;
    ULONG controls = 0;
    for (ULONG i = 0; i < controlSize && i < 4; ++i) {
        controls |= (ULONG)bytes[i] << (8 * i);
    }
    return control < 32 && (controls & (1UL << control)) != 0;
}

BOOLEAN CUSBAudioCL::HasControlOnAnyChannel(CUSBAudioFeatureUnit* unit, ULONG control) {
    if (unit == NULL) {
        return FALSE;
    }
    ULONG channels = GetFeatureUnitChannelCount(unit);
    if (channels > 255) {
        channels = 255;
    }
    for (ULONG channel = 0; channel < channels; ++channel) {
        if (HasControl(unit, channel, control, 1)) {
            return TRUE;
        }
    }
    return FALSE;
}

USHORT CUSBAudioCL::GetTerminalType(CUSBAudioTerminal* terminal) {
    if (terminal == NULL || terminal->GetDescriptor() == NULL) {
        return uac::TERMINAL_USB_UNDEFINED;
    }
    return terminal->GetTerminalType();
}

NTSTATUS CUSBAudioCL::AudioClassRequest(UCHAR bmRequestType, UCHAR bRequest, UCHAR controlSelector, UCHAR channel,
                                        UCHAR entityId, USHORT length, PVOID buffer, PULONG transferred) {
    const USHORT value = (USHORT)((controlSelector << 8) | channel);
    const USHORT index = (USHORT)((entityId << 8) | AcInterface->bInterfaceNumber);
    ULONG moved = 0;
    NTSTATUS status = ControlRequest(bmRequestType, bRequest, value, index, length, buffer, &moved);
    if (transferred != NULL) {
        *transferred = moved;
    } else if (NT_SUCCESS(status) && (bmRequestType & 0x80) != 0 && moved < length) {
        // A value cut short is not the value: never act on the bytes that did not come.
        UA_ERROR("class request 0x%02x selector %u entity %u returned %lu of %u bytes", bRequest, controlSelector,
                 entityId, (unsigned long)moved, length);
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        UA_ERROR("class request 0x%02x/0x%02x selector %u channel %u entity %u failed 0x%08lx", bmRequestType, bRequest,
                 controlSelector, channel, entityId, (unsigned long)status);
    }
    return status;
}
