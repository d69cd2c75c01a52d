// Pool tags of the kernel driver. Written as the four characters a pool
// monitor shows; the ULONG holds them in memory order.
#pragma once

#include "driver/runtime/kernel_prelude.h"

constexpr ULONG MakePoolTag(const char (&text)[5]) {
    return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
           (static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8) |
           (static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16) |
           (static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24);
}

// Adapter and miniport objects.
constexpr ULONG POOLTAG_ADAPTER = MakePoolTag("PcCr");
// Everything of the USB layer: buffers, records, lookaside lists.
constexpr ULONG POOLTAG_USB = MakePoolTag("USBA");
// The per-packet length-prefix buffer of the vendor-specific render mode.
constexpr ULONG POOLTAG_PACKET_PREFIX = MakePoolTag("TMPB");
