// Packing of a completed isochronous IN transfer: the packets' data is moved
// together so the buffer starts with the contiguous received audio.
#pragma once

#include "driver/runtime/kernel_prelude.h"

// Returns the number of bytes received. `capacity` is the buffer's length as
// submitted (on completion the URB's length is the number of bytes received).
// Packets whose offset or length lie outside the buffer are ignored rather
// than trusted.
ULONG PackIsoInPackets(struct _URB_ISOCH_TRANSFER* transfer, ULONG capacity);
