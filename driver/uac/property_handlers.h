// Property handlers named by the filter's automation tables, and the private
// property set through which the low-latency client reaches the driver.
#pragma once

#include "driver/asiochannel/asio_protocol.h"
#include "driver/runtime/kernel_prelude.h"

// Filter properties: the component id and the DSD transport switch.
NTSTATUS NTAPI PropertyHandler_Filter(PPCPROPERTY_REQUEST request);
// The low-latency channel's properties on the two streaming pins.
NTSTATUS NTAPI PropertyHandler_AsioChannel(PPCPROPERTY_REQUEST request);
// Mute and volume of the feature-unit nodes.
NTSTATUS NTAPI PropertyHandler_Node(PPCPROPERTY_REQUEST request);
