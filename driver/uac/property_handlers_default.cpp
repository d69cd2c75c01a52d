// The low-latency channel's pin property entry point. The wave miniport
// serves the filter and node handlers (driver/port/filter_properties.cpp);
// until the channel takes this one over, every pin request is refused.
#include "driver/uac/property_handlers.h"

NTSTATUS NTAPI PropertyHandler_AsioChannel(PPCPROPERTY_REQUEST) {
    return STATUS_INVALID_DEVICE_REQUEST;
}
