// Volume and mute of the filter's feature-unit nodes. KS volume is signed
// 16.16 dB (0x80000000 = silence), USB volume signed 8.8 dB (0x8000 =
// silence). KS channel c is USB channel c + 1; the master channel (0) is
// never addressed for volume, and always for mute.
#include "driver/core/adapter.h"
#include "driver/runtime/trace.h"
#include "driver/uac/filter_topology.h"

namespace {

constexpr ULONG NODE_FILTER = 0xFFFFFFFF;
constexpr LONG KS_SILENCE = (LONG)0x80000000;
constexpr SHORT USB_SILENCE = (SHORT)0x8000;
constexpr ULONG GET_SET_SUPPORT = KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;
constexpr ULONG VARIANT_I4 = 3;     // VT_I4
constexpr ULONG VARIANT_BOOL = 11;  // VT_BOOL
constexpr ULONG DESCRIPTION_BYTES = sizeof(KSPROPERTY_DESCRIPTION);
constexpr ULONG MEMBERS_HEADER_BYTES = sizeof(KSPROPERTY_MEMBERSHEADER);
constexpr ULONG MUTE_DESCRIPTION_BYTES = DESCRIPTION_BYTES + MEMBERS_HEADER_BYTES + sizeof(ULONG);
static_assert(DESCRIPTION_BYTES == 40 && MEMBERS_HEADER_BYTES == 16 && sizeof(KSPROPERTY_STEPPING_LONG) == 16,
              "basic-support layouts");

// KS 1/65536 dB to USB 1/256 dB, rounded to the nearest step with halves
// going up: floor((v + 128) / 256). The shift floors for negative values
// too, so every value that came from the device maps back to itself.
SHORT KsToUsbVolume(LONG value) {
    if (value == KS_SILENCE) {
        return USB_SILENCE;
    }
    const LONGLONG steps = ((LONGLONG)value + 128) >> 8;
    if (steps < -32768) {
        return USB_SILENCE;
    }
    return steps > 32767 ? (SHORT)32767 : (SHORT)steps;
}

LONG UsbToKsVolume(SHORT value) {
    return value == USB_SILENCE ? KS_SILENCE : (LONG)value * 256;
}

// The checks the port library's validation makes on a GET/SET: a value
// buffer of at least one LONG (its size is reported when there is none) and
// an instance that starts with the channel.
NTSTATUS ValidateChannelRequest(PPCPROPERTY_REQUEST request) {
    if (request->ValueSize == 0) {
        request->ValueSize = sizeof(LONG);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < sizeof(LONG) || request->Value == NULL) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (request->InstanceSize < sizeof(LONG) || request->Instance == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

LONG RequestChannel(PPCPROPERTY_REQUEST request) {
    return *static_cast<PLONG>(request->Instance);
}

VOID WriteDescription(PVOID value, ULONG descriptionSize, ULONG variantType) {
    PKSPROPERTY_DESCRIPTION description = static_cast<PKSPROPERTY_DESCRIPTION>(value);
    description->AccessFlags = GET_SET_SUPPORT;
    description->DescriptionSize = descriptionSize;
    description->PropTypeSet.Set = KSPROPTYPESETID_General;
    description->PropTypeSet.Id = variantType;
    description->PropTypeSet.Flags = 0;
    description->MembersListCount = 1;
    description->Reserved = 0;
}

}  // namespace

CUSBAudioFeatureUnit* CAdapterUsbAudio::FindNodeFeatureUnit(ULONG node) {
    const FilterElement* element = FilterNodeElement(&FilterDescriptor, node);
    if (element == NULL || element->Entity == NULL || element->Entity->GetKind() != UacEntityFeatureUnit) {
        return NULL;
    }
    return static_cast<CUSBAudioFeatureUnit*>(element->Entity);
}

ULONG CAdapterUsbAudio::KsChannelCount(CUSBAudioFeatureUnit* unit) {
    const ULONG entries = UsbAudio.GetFeatureUnitChannelCount(unit);
    return entries > 0 ? entries - 1 : 0;
}

STDMETHODIMP_(NTSTATUS) CAdapterUsbAudio::PropertyHandler_Node(PPCPROPERTY_REQUEST PropertyRequest) {
    if (PropertyRequest->Node == NODE_FILTER || PropertyRequest->PropertyItem == NULL ||
        PropertyRequest->PropertyItem->Set == NULL ||
        !IsSameInterface(*PropertyRequest->PropertyItem->Set, KSPROPSETID_Audio)) {
        return STATUS_UNSUCCESSFUL;
    }
    switch (PropertyRequest->PropertyItem->Id) {
        case KSPROPERTY_AUDIO_VOLUMELEVEL:
            return PropertyHandler_Volume(PropertyRequest);
        case KSPROPERTY_AUDIO_MUTE:
            return PropertyHandler_Mute(PropertyRequest);
        default:
            return STATUS_UNSUCCESSFUL;
    }
}

NTSTATUS CAdapterUsbAudio::NodeChannelRequest(PPCPROPERTY_REQUEST request, const char* what,
                                              CUSBAudioFeatureUnit** unit, PLONG channel, PULONG channels) {
    NTSTATUS status = ValidateChannelRequest(request);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *unit = FindNodeFeatureUnit(request->Node);
    if (*unit == NULL) {
        UA_ERROR("%s: node %lu has no feature unit", what, (unsigned long)request->Node);
        return STATUS_INVALID_PARAMETER;
    }
    *channel = RequestChannel(request);
    *channels = KsChannelCount(*unit);
    return STATUS_SUCCESS;
}

NTSTATUS CAdapterUsbAudio::PropertyHandler_Volume(PPCPROPERTY_REQUEST request) {
    if ((request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        return PropertyHandlerBasicSupport_Volume(request);
    }
    CUSBAudioFeatureUnit* unit = NULL;
    LONG channel = 0;
    ULONG channels = 0;
    NTSTATUS status = NodeChannelRequest(request, "volume", &unit, &channel, &channels);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PLONG value = static_cast<PLONG>(request->Value);

    if ((request->Verb & KSPROPERTY_TYPE_GET) != 0) {
        request->ValueSize = sizeof(LONG);
        if (channel < 0 || (ULONG)channel >= channels) {
            UA_ERROR("volume GET: channel %ld of %lu", (long)channel, (unsigned long)channels);
            *value = KS_SILENCE;
            return STATUS_INVALID_PARAMETER;
        }
        SHORT usb = USB_SILENCE;
        status = UsbAudio.GetVolume(unit, (UCHAR)(channel + 1), &usb);
        *value = UsbToKsVolume(usb);
        return status;
    }
    if ((request->Verb & KSPROPERTY_TYPE_SET) == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const SHORT usb = KsToUsbVolume(*value);
    if (channel == -1) {
        // Every channel in order; the first failure ends the walk.
        status = STATUS_INVALID_PARAMETER;
        for (ULONG usbChannel = 1; usbChannel <= channels; ++usbChannel) {
            status = UsbAudio.SetVolume(unit, (UCHAR)usbChannel, usb);
            if (!NT_SUCCESS(status)) {
                break;
            }
        }
        return status;
    }
    if (channel < 0 || (ULONG)channel >= channels) {
        UA_ERROR("volume SET: channel %ld of %lu", (long)channel, (unsigned long)channels);
        return STATUS_INVALID_PARAMETER;
    }
    return UsbAudio.SetVolume(unit, (UCHAR)(channel + 1), usb);
}

NTSTATUS CAdapterUsbAudio::PropertyHandler_Mute(PPCPROPERTY_REQUEST request) {
    if ((request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        return PropertyHandlerBasicSupport_Mute(request);
    }
    CUSBAudioFeatureUnit* unit = NULL;
    LONG channel = 0;
    ULONG channels = 0;
    NTSTATUS status = NodeChannelRequest(request, "mute", &unit, &channel, &channels);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (channel < -1 || (channel >= 0 && (ULONG)channel >= channels)) {
        UA_ERROR("mute: channel %ld of %lu", (long)channel, (unsigned long)channels);
        return STATUS_INVALID_PARAMETER;
    }
    PLONG value = static_cast<PLONG>(request->Value);
    // Mute lives on the master channel whichever channel was named.
    if ((request->Verb & KSPROPERTY_TYPE_GET) != 0) {
        UCHAR mute = 0;
        status = UsbAudio.GetMute(unit, &mute);
        *value = NT_SUCCESS(status) ? (LONG)mute : 0;
        request->ValueSize = sizeof(LONG);
        return status;
    }
    if ((request->Verb & KSPROPERTY_TYPE_SET) == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return UsbAudio.SetMute(unit, (UCHAR)(*value & 0xFF));
}

NTSTATUS CAdapterUsbAudio::PropertyHandlerBasicSupport_Volume(PPCPROPERTY_REQUEST request) {
    CUSBAudioFeatureUnit* unit = FindNodeFeatureUnit(request->Node);
    if (unit == NULL) {
        UA_ERROR("volume support: node %lu has no feature unit", (unsigned long)request->Node);
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG size = request->Value != NULL ? request->ValueSize : 0;
    if (size < sizeof(ULONG)) {
        request->ValueSize = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (size < DESCRIPTION_BYTES) {
        *static_cast<PULONG>(request->Value) = GET_SET_SUPPORT;
        request->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    const ULONG channels = KsChannelCount(unit);
    const ULONG descriptionSize = DESCRIPTION_BYTES + MEMBERS_HEADER_BYTES + channels * sizeof(KSPROPERTY_STEPPING_LONG);
    WriteDescription(request->Value, descriptionSize, VARIANT_I4);
    if (size < descriptionSize) {
        request->ValueSize = DESCRIPTION_BYTES;
        return STATUS_SUCCESS;
    }
    PKSPROPERTY_MEMBERSHEADER members =
        reinterpret_cast<PKSPROPERTY_MEMBERSHEADER>(static_cast<PUCHAR>(request->Value) + DESCRIPTION_BYTES);
    members->MembersFlags = KSPROPERTY_MEMBER_STEPPEDRANGES;
    members->MembersSize = sizeof(KSPROPERTY_STEPPING_LONG);
    members->MembersCount = channels;
    members->Flags = KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL;
    PKSPROPERTY_STEPPING_LONG ranges = reinterpret_cast<PKSPROPERTY_STEPPING_LONG>(members + 1);
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < channels; ++i) {
        SHORT minimum = 0;
        SHORT maximum = 0;
        SHORT step = 0;
        status = UsbAudio.GetVolumeRange(unit, (UCHAR)(i + 1), &minimum, &maximum, &step);
        if (!NT_SUCCESS(status)) {
            UA_ERROR("volume range of channel %lu failed 0x%08lx", (unsigned long)i, (unsigned long)status);
            break;
        }
        ranges[i].SteppingDelta = (ULONG)((LONG)step * 256);
        ranges[i].Reserved = 0;
        ranges[i].Bounds.SignedMinimum = (LONG)minimum * 256;
        ranges[i].Bounds.SignedMaximum = (LONG)maximum * 256;
    }
    request->ValueSize = descriptionSize;
    return status;
}

NTSTATUS CAdapterUsbAudio::PropertyHandlerBasicSupport_Mute(PPCPROPERTY_REQUEST request) {
    CUSBAudioFeatureUnit* unit = FindNodeFeatureUnit(request->Node);
    if (unit == NULL) {
        UA_ERROR("mute support: node %lu has no feature unit", (unsigned long)request->Node);
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG size = request->Value != NULL ? request->ValueSize : 0;
    if (size < sizeof(ULONG)) {
        request->ValueSize = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (size < DESCRIPTION_BYTES) {
        *static_cast<PULONG>(request->Value) = GET_SET_SUPPORT;
        request->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    WriteDescription(request->Value, MUTE_DESCRIPTION_BYTES, VARIANT_BOOL);
    if (size < MUTE_DESCRIPTION_BYTES) {
        request->ValueSize = DESCRIPTION_BYTES;
        return STATUS_SUCCESS;
    }
    PKSPROPERTY_MEMBERSHEADER members =
        reinterpret_cast<PKSPROPERTY_MEMBERSHEADER>(static_cast<PUCHAR>(request->Value) + DESCRIPTION_BYTES);
    members->MembersFlags = KSPROPERTY_MEMBER_VALUES;
    members->MembersSize = 0;
    members->MembersCount = KsChannelCount(unit);
    members->Flags = KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL | KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_UNIFORM;
    // The description's last four bytes carry no member values.
    *reinterpret_cast<PULONG>(members + 1) = 0;
    request->ValueSize = MUTE_DESCRIPTION_BYTES;
    return STATUS_SUCCESS;
}
