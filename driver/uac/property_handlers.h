// Property handlers named by the filter's automation tables, and the private
// property set through which the low-latency client reaches the driver.
#pragma once

#include "driver/runtime/kernel_prelude.h"

// KSPROPSETID_AsioChannel {9B739684-14D2-447F-865E-28E21576139A}.
inline constexpr GUID KSPROPSETID_AsioChannel = {
    0x9B739684, 0x14D2, 0x447F, {0x86, 0x5E, 0x28, 0xE2, 0x15, 0x76, 0x13, 0x9A}};

enum KSPROPERTY_ASIO_CHANNEL {
    KSPROPERTY_ASIO_BUFFERS = 0,
    KSPROPERTY_ASIO_SET_EVENT = 1,
    KSPROPERTY_ASIO_CLEAR_EVENT = 2,
    KSPROPERTY_ASIO_OUTPUT_READY = 3,
    KSPROPERTY_ASIO_OUTPUT_DELAY = 4,
    KSPROPERTY_ASIO_DSD_MODE = 256,
};

// Filter properties: the component id and the DSD transport switch.
NTSTATUS NTAPI PropertyHandler_Filter(PPCPROPERTY_REQUEST request);
// The low-latency channel's properties on the two streaming pins.
NTSTATUS NTAPI PropertyHandler_AsioChannel(PPCPROPERTY_REQUEST request);
// Mute and volume of the feature-unit nodes.
NTSTATUS NTAPI PropertyHandler_Node(PPCPROPERTY_REQUEST request);
