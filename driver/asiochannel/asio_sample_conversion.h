// Moving one channel's run of samples between an ASIO channel buffer
// (contiguous, one ASIO sample type) and interleaved device frames
// (containers of 1 to 4 bytes, stepping by the frame size). Pure routines,
// run in the streaming context once per channel per copy.
#pragma once

#include "driver/runtime/kernel_prelude.h"

// Bytes of one sample of an ASIO sample type; 0 for a type the channel does
// not know.
ULONG AsioSampleBytes(ULONG sampleType);

// Every routine: (source, destination, frames, stride). Render: source = the
// ASIO run, destination = the channel's first container in the device frames.
// Capture: source = the device side, destination = the ASIO run. The device
// side steps by `stride` (the frame size); the ASIO side by the sample size
// (4 bytes per frame for DSD in 4-byte containers).
typedef VOID (*PASIO_CONVERT)(PVOID source, PVOID destination, ULONG frames, ULONG stride);

constexpr ULONG ASIO_CONTAINER_WIDTHS = 4;      // rows: containers of 1, 2, 3, 4 bytes
constexpr ULONG ASIO_SAMPLE_TYPE_COLUMNS = 42;  // columns: ASIO sample types 0 to 41

// [width − 1][sampleType]. Cells without a conversion hold the direction's
// unsupported routine, which traces and writes nothing.
extern const PASIO_CONVERT AsioRenderConversions[ASIO_CONTAINER_WIDTHS][ASIO_SAMPLE_TYPE_COLUMNS];
extern const PASIO_CONVERT AsioCaptureConversions[ASIO_CONTAINER_WIDTHS][ASIO_SAMPLE_TYPE_COLUMNS];

// The table cell for a container width in bytes and a sample type; the
// unsupported routine for anything outside the tables.
PASIO_CONVERT AsioRenderConversion(ULONG widthBytes, ULONG sampleType);
PASIO_CONVERT AsioCaptureConversion(ULONG widthBytes, ULONG sampleType);

// The two unsupported routines, for tests that tell cells apart.
VOID AsioRenderUnsupported(PVOID source, PVOID destination, ULONG frames, ULONG stride);
VOID AsioCaptureUnsupported(PVOID source, PVOID destination, ULONG frames, ULONG stride);
