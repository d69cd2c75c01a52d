// Nominal audio frames per (micro)frame for the sampling rates the render
// path can run without feedback. Pattern element i of a rate r at P packets
// per second is ceil((i + 1) r / P) - ceil(i r / P); a pattern is as long as
// it takes for i r / P to become whole again.
#pragma once

#include "driver/runtime/kernel_prelude.h"

struct PacketPattern {
    ULONG Length;
    const ULONG* Counts;
};

struct PacketScheduleEntry {
    ULONG Rate;
    PacketPattern FullSpeed;  // one count per 1 ms frame
    PacketPattern HighSpeed;  // one count per 125 us microframe
};

constexpr ULONG PACKET_SCHEDULE_ENTRIES = 13;
extern const PacketScheduleEntry PacketSchedule[PACKET_SCHEDULE_ENTRIES];

// The entry of a rate, or null when the rate is not in the table.
const PacketScheduleEntry* FindPacketSchedule(ULONG rate);
