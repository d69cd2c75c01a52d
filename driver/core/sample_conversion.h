// Conversion of interleaved little-endian PCM between the client's frame
// format and the device's, used by the render pump (client to device) and the
// capture completion (device to client). Callable at any IRQL: no allocation,
// no locks, no traces.
#pragma once

#include "driver/runtime/kernel_prelude.h"

// Converts the whole source frames in srcBytes bytes of src into dst and
// returns the number of bytes written to dst; a trailing partial frame is
// ignored. An identical format is copied as is (all srcBytes bytes).
// Otherwise, per sample: narrowing keeps the most significant bytes,
// widening left-justifies over fill bytes (0x00, or 0x80 for an 8-bit
// destination); when exactly one side is 8-bit the copied byte is flipped by
// 128 (unsigned 8-bit against signed wider samples). Destination channels
// the source lacks are written silent (fill bytes), surplus source channels
// are dropped. Zero channels, a zero bit depth or one that is not a whole
// number of bytes, or a result larger than a ULONG convert nothing and
// return 0. dst must hold the returned number of bytes and must not overlap
// src.
ULONG ConvertSamples(PVOID dst, const VOID* src, ULONG srcBytes, ULONG dstChannels, ULONG dstBits,
                     ULONG srcChannels, ULONG srcBits);

// The byte-by-byte conversion behind ConvertSamples for formats without a
// faster path, applied to every format (including an identical one, where it
// copies whole frames only). ConvertSamples must write the same bytes; kept
// visible so the tests can hold the fast paths to it.
ULONG ConvertSamplesGeneric(PVOID dst, const VOID* src, ULONG srcBytes, ULONG dstChannels, ULONG dstBits,
                            ULONG srcChannels, ULONG srcBits);
