#include "driver/port/basic_support.h"

NTSTATUS PropertyBasicSupportReply(PPCPROPERTY_REQUEST request, ULONG accessFlags) {
    const ULONG size = request->Value != NULL ? request->ValueSize : 0;
    if (size >= sizeof(KSPROPERTY_DESCRIPTION)) {
        PKSPROPERTY_DESCRIPTION description = static_cast<PKSPROPERTY_DESCRIPTION>(request->Value);
        RtlZeroMemory(description, sizeof(*description));
        description->AccessFlags = accessFlags;
        description->DescriptionSize = sizeof(KSPROPERTY_DESCRIPTION);
        request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_SUCCESS;
    }
    if (size >= sizeof(ULONG)) {
        *static_cast<PULONG>(request->Value) = accessFlags;
        request->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    request->ValueSize = 0;
    return STATUS_BUFFER_TOO_SMALL;
}
