// Tuning values of the streaming machinery, read from
// "\Registry\Machine\SOFTWARE\KEL\Sample Device Performance" (REG_DWORD):
// param1/param2 for render, param3/param4 for capture. Process-wide, as the
// driver serves one device.
#pragma once

#include "driver/runtime/kernel_prelude.h"

struct StreamTuning {
    ULONG FramesPerTransfer;  // USB frames (milliseconds) one transfer covers, 1..5
    ULONG TransfersInFlight;  // transfers kept in flight, 1..20
};

constexpr ULONG DEFAULT_RENDER_FRAMES_PER_TRANSFER = 4;
constexpr ULONG DEFAULT_CAPTURE_FRAMES_PER_TRANSFER = 1;
constexpr ULONG DEFAULT_TRANSFERS_IN_FLIGHT = 8;
constexpr ULONG MAX_FRAMES_PER_TRANSFER = 5;
constexpr ULONG MAX_TRANSFERS_IN_FLIGHT = 20;

constexpr ULONG MIN_OUTPUT_DELAY_FRAMES = 2;
constexpr ULONG MAX_OUTPUT_DELAY_FRAMES = 768;

// Reads the direction's pair (a missing key or value gives the defaults),
// clamps it and makes it the current tuning of that direction.
VOID ReloadStreamTuning(BOOLEAN capture);
// The current tuning of a direction (defaults until the first reload).
StreamTuning GetStreamTuning(BOOLEAN capture);

// Allowed lateness of the low-latency client's output-ready notice.
VOID SetOutputDelayFrames(ULONG frames);
ULONG GetOutputDelayFrames();
