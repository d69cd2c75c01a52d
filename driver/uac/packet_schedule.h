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

// One walk over the packets of a render transfer, shared by every sizing mode
// that steps through (micro)frames: each packet covers `stepsPerPacket` of
// them, and each step adds either the whole frames of a 16.16 value per step
// (its fraction carried to the next step) or the next element of a pattern.
class PacketWalk {
public:
    static PacketWalk FromFeedback(ULONG feedback, ULONG remainder, ULONG frameBytes, ULONG stepsPerPacket);
    static PacketWalk FromPattern(const PacketPattern& pattern, ULONG position, ULONG frameBytes,
                                  ULONG stepsPerPacket);

    // Bytes of the next packet; advances the walk.
    ULONG NextPacket();
    // Packets it takes to cover `bytes` from here, counting no further than
    // limit + 1; the walk itself does not move.
    ULONG PacketsFor(ULONG bytes, ULONG limit) const;
    // Where the walk stands: the carried fraction, or the pattern position.
    ULONG Remainder() const { return Remainder_; }
    ULONG Position() const { return Position_; }

private:
    PacketWalk() = default;

    const ULONG* Counts_ = NULL;  // null: feedback steps
    ULONG Length_ = 0;
    ULONG Position_ = 0;
    ULONG Feedback_ = 0;
    ULONG Remainder_ = 0;
    ULONG FrameBytes_ = 0;
    ULONG StepsPerPacket_ = 1;
};
