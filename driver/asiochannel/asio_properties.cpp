// The low-latency channel's pin property handler (ids 0 to 4 of
// KSPROPSETID_AsioChannel on the two streaming pins).
#include "driver/uac/property_handlers.h"

NTSTATUS NTAPI PropertyHandler_AsioChannel(PPCPROPERTY_REQUEST) {
    return STATUS_INVALID_DEVICE_REQUEST;
}
