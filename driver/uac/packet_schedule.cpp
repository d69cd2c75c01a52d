#include "driver/uac/packet_schedule.h"

namespace {

constexpr ULONG Gcd(ULONG a, ULONG b) {
    while (b != 0) {
        const ULONG t = a % b;
        a = b;
        b = t;
    }
    return a;
}

constexpr ULONGLONG CeilDiv(ULONGLONG numerator, ULONGLONG denominator) {
    return (numerator + denominator - 1) / denominator;
}

template <ULONG N>
struct Counts {
    ULONG Values[N];
};

template <ULONG Rate, ULONG PacketRate>
struct Pattern {
    static constexpr ULONG Length = PacketRate / Gcd(Rate, PacketRate);

    static constexpr Counts<Length> Make() {
        Counts<Length> counts{};
        for (ULONG i = 0; i < Length; ++i) {
            counts.Values[i] =
                (ULONG)(CeilDiv((ULONGLONG)(i + 1) * Rate, PacketRate) - CeilDiv((ULONGLONG)i * Rate, PacketRate));
        }
        return counts;
    }

    static constexpr Counts<Length> Data = Make();
};

template <ULONG Rate>
constexpr PacketScheduleEntry Entry() {
    return PacketScheduleEntry{Rate,
                               {Pattern<Rate, 1000>::Length, Pattern<Rate, 1000>::Data.Values},
                               {Pattern<Rate, 8000>::Length, Pattern<Rate, 8000>::Data.Values}};
}

}  // namespace

const PacketScheduleEntry PacketSchedule[PACKET_SCHEDULE_ENTRIES] = {
    Entry<384000>(), Entry<352800>(), Entry<192000>(), Entry<176400>(), Entry<96000>(),
    Entry<88200>(),  Entry<48000>(),  Entry<44100>(),  Entry<32000>(),  Entry<22050>(),
    Entry<16000>(),  Entry<11025>(),  Entry<8000>(),
};

const PacketScheduleEntry* FindPacketSchedule(ULONG rate) {
    for (ULONG i = 0; i < PACKET_SCHEDULE_ENTRIES; ++i) {
        if (PacketSchedule[i].Rate == rate) {
            return &PacketSchedule[i];
        }
    }
    return NULL;
}

PacketWalk PacketWalk::FromFeedback(ULONG feedback, ULONG remainder, ULONG frameBytes, ULONG stepsPerPacket) {
    PacketWalk walk;
    walk.Feedback_ = feedback;
    walk.Remainder_ = remainder & 0xFFFF;
    walk.FrameBytes_ = frameBytes;
    walk.StepsPerPacket_ = stepsPerPacket == 0 ? 1 : stepsPerPacket;
    return walk;
}

PacketWalk PacketWalk::FromPattern(const PacketPattern& pattern, ULONG position, ULONG frameBytes,
                                   ULONG stepsPerPacket) {
    PacketWalk walk;
    walk.Counts_ = pattern.Counts;
    walk.Length_ = pattern.Length == 0 ? 1 : pattern.Length;
    walk.Position_ = pattern.Length == 0 ? 0 : position % pattern.Length;
    walk.FrameBytes_ = frameBytes;
    walk.StepsPerPacket_ = stepsPerPacket == 0 ? 1 : stepsPerPacket;
    return walk;
}

ULONG PacketWalk::NextPacket() {
    ULONG frames = 0;
    for (ULONG step = 0; step < StepsPerPacket_; ++step) {
        if (Counts_ != NULL) {
            frames += Counts_[Position_];
            if (++Position_ == Length_) Position_ = 0;
        } else {
            const ULONG total = Feedback_ + Remainder_;
            frames += total >> 16;
            Remainder_ = total & 0xFFFF;
        }
    }
    return frames * FrameBytes_;
}

ULONG PacketWalk::PacketsFor(ULONG bytes, ULONG limit) const {
    PacketWalk copy = *this;
    ULONG packets = 0;
    ULONGLONG sum = 0;
    while (sum < bytes && packets <= limit) {
        sum += copy.NextPacket();
        ++packets;
    }
    return packets;
}
