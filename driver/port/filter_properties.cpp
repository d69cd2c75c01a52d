// The property handlers the filter's automation tables name for the filter
// itself and for the volume and mute nodes. Both find the miniport through
// the request's major target.
#include "driver/runtime/trace.h"
#include "driver/port/basic_support.h"
#include "driver/port/miniport.h"
#include "driver/uac/property_handlers.h"

namespace {

// The wave filter's identity as Windows shows it.
// Manufacturer {D5A47FA8-6D98-11D1-A21A-00A0C9223196}
constexpr GUID ComponentManufacturer = {0xD5A47FA8, 0x6D98, 0x11D1, {0xA2, 0x1A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
// Product {67A0279B-3337-4BC2-AA79-56C802EAA72F}
constexpr GUID ComponentProduct = {0x67A0279B, 0x3337, 0x4BC2, {0xAA, 0x79, 0x56, 0xC8, 0x02, 0xEA, 0xA7, 0x2F}};
// Name {343C5F9C-35D1-4F4B-A04B-BF246FA1A19C}
constexpr GUID ComponentName = {0x343C5F9C, 0x35D1, 0x4F4B, {0xA0, 0x4B, 0xBF, 0x24, 0x6F, 0xA1, 0xA1, 0x9C}};
constexpr ULONG COMPONENT_VERSION = 1;
constexpr ULONG COMPONENT_REVISION = 0;
constexpr ULONG COMPONENT_ID_ACCESS = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;
static_assert(sizeof(KSCOMPONENTID) == 72, "component id");

// The miniport behind a request, with a reference the caller drops.
CMiniportWaveCyclicUsbAudio* RequestMiniport(PPCPROPERTY_REQUEST request) {
    if (request->MajorTarget == NULL) {
        return NULL;
    }
    PVOID privateInterface = NULL;
    if (!NT_SUCCESS(request->MajorTarget->QueryInterface(IID_IMiniportWaveCyclicUsbAudio, &privateInterface))) {
        return NULL;
    }
    return static_cast<CMiniportWaveCyclicUsbAudio*>(static_cast<IMiniportWaveCyclicUsbAudio*>(privateInterface));
}

VOID DropMiniport(CMiniportWaveCyclicUsbAudio* miniport) {
    static_cast<IMiniportWaveCyclicUsbAudio*>(miniport)->Release();
}

NTSTATUS ComponentIdProperty(PPCPROPERTY_REQUEST request) {
    if (request->PropertyItem->Id != KSPROPERTY_GENERAL_COMPONENTID) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if ((request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        return PropertyBasicSupportReply(request, COMPONENT_ID_ACCESS);
    }
    if ((request->Verb & KSPROPERTY_TYPE_GET) == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (request->Value == NULL || request->ValueSize < sizeof(KSCOMPONENTID)) {
        UA_ERROR("component id: value of %lu bytes", (unsigned long)request->ValueSize);
        return STATUS_INVALID_PARAMETER;
    }
    PKSCOMPONENTID id = static_cast<PKSCOMPONENTID>(request->Value);
    id->Manufacturer = ComponentManufacturer;
    id->Product = ComponentProduct;
    RtlZeroMemory(&id->Component, sizeof(id->Component));
    id->Name = ComponentName;
    id->Version = COMPONENT_VERSION;
    id->Revision = COMPONENT_REVISION;
    request->ValueSize = sizeof(KSCOMPONENTID);
    return STATUS_SUCCESS;
}

// The low-latency client's PCM / DSD transport switch: a u16 value, 0 or 1
// switches the device, anything above is accepted and changes nothing.
NTSTATUS DsdModeProperty(PPCPROPERTY_REQUEST request) {
    if ((request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (request->Value == NULL || request->ValueSize < sizeof(USHORT)) {
        UA_ERROR("dsd mode: value of %lu bytes", (unsigned long)request->ValueSize);
        return STATUS_INVALID_PARAMETER;
    }
    if ((request->Verb & KSPROPERTY_TYPE_SET) == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    USHORT mode;
    RtlCopyMemory(&mode, request->Value, sizeof(mode));
    if (mode > 1) {
        return STATUS_SUCCESS;
    }
    CMiniportWaveCyclicUsbAudio* miniport = RequestMiniport(request);
    if (miniport == NULL) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (miniport->GetAdapter() != NULL) {
        status = miniport->GetAdapter()->SetDeviceMode(mode);
        UA_TRACE("dsd mode %u: 0x%08lx", mode, (unsigned long)status);
    }
    DropMiniport(miniport);
    return status;
}

}  // namespace

NTSTATUS NTAPI PropertyHandler_Filter(PPCPROPERTY_REQUEST request) {
    if (request->PropertyItem == NULL) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (IsSameInterface(*request->PropertyItem->Set, KSPROPSETID_General)) {
        return ComponentIdProperty(request);
    }
    if (IsSameInterface(*request->PropertyItem->Set, KSPROPSETID_AsioChannel) &&
        request->PropertyItem->Id == KSPROPERTY_ASIO_DSD_MODE) {
        return DsdModeProperty(request);
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS NTAPI PropertyHandler_Node(PPCPROPERTY_REQUEST request) {
    CMiniportWaveCyclicUsbAudio* miniport = RequestMiniport(request);
    if (miniport == NULL || miniport->GetAdapter() == NULL) {
        UA_ERROR("node property without a miniport");
        if (miniport != NULL) {
            DropMiniport(miniport);
        }
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const NTSTATUS status = miniport->GetAdapter()->PropertyHandler_Node(request);
    if (!NT_SUCCESS(status)) {
        UA_TRACE("node %lu property %lu failed 0x%08lx", (unsigned long)request->Node,
                 request->PropertyItem != NULL ? (unsigned long)request->PropertyItem->Id : 0UL,
                 (unsigned long)status);
    }
    DropMiniport(miniport);
    return status;
}
