#include "driver/usb/descriptor_chain.h"

namespace {

// Smallest length a descriptor of this type may have.
ULONG MinimumLength(UCHAR type) {
    switch (type) {
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        return sizeof(USB_CONFIGURATION_DESCRIPTOR);
    case USB_INTERFACE_DESCRIPTOR_TYPE:
        return sizeof(USB_INTERFACE_DESCRIPTOR);
    case USB_ENDPOINT_DESCRIPTOR_TYPE:
        return sizeof(USB_ENDPOINT_DESCRIPTOR);
    case 0x24:  // class-specific interface: the subtype must be there
    case 0x25:  // class-specific endpoint
        return 3;
    default:
        return 2;
    }
}

}  // namespace

NTSTATUS ValidateConfigurationChain(const UCHAR* configuration, ULONG length, PULONG badOffset) {
    *badOffset = 0;
    if (configuration == NULL || length < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        configuration[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return STATUS_NOT_SUPPORTED;
    }
    ULONG offset = 0;
    while (offset < length) {
        const ULONG remaining = length - offset;
        if (remaining < 2) {
            *badOffset = offset;
            return STATUS_NOT_SUPPORTED;
        }
        const ULONG descriptorLength = configuration[offset];
        if (descriptorLength < MinimumLength(configuration[offset + 1]) || descriptorLength > remaining) {
            *badOffset = offset;
            return STATUS_NOT_SUPPORTED;
        }
        offset += descriptorLength;
    }
    return STATUS_SUCCESS;
}
