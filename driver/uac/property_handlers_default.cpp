// The property entry points of the filter's automation tables. The wave
// miniport takes over the filter and node handlers, the low-latency channel
// the pin handler; until then every request is refused.
#include "driver/uac/property_handlers.h"

NTSTATUS NTAPI PropertyHandler_Filter(PPCPROPERTY_REQUEST) {
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS NTAPI PropertyHandler_AsioChannel(PPCPROPERTY_REQUEST) {
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS NTAPI PropertyHandler_Node(PPCPROPERTY_REQUEST) {
    return STATUS_INVALID_DEVICE_REQUEST;
}
