// The ASIO driver object's pure rules, apart from its state so they can be
// checked on their own: which sample rates a mode accepts, the buffer
// latency arithmetic and the reported latencies, the channel names, and
// the split of a sample position into ASIO's two words.
#pragma once

#include "asio/asio_types.h"

namespace asiorules {

// Buffer sizes createBuffers accepts (frames per half; DSD: bytes).
constexpr ULONG kMinBufferSize = 64;
constexpr ULONG kMaxBufferSize = 3840;

// A host's rate as whole hertz; 0 when it is not a positive whole number
// that fits 32 bits (no such rate is ever in a list).
ULONG WholeRate(ASIOSampleRate rate);

// The rate list: PCM rates 32000 ... 384000 within minRate..maxRate; DSD
// rates 2822400 and 5644800 (no range); none for DSD with the
// ASIOSTDSDInt8NER8 sample type.
bool RateInList(ULONG rate, bool dsdMode, ULONG sampleType, ULONG minRate, ULONG maxRate);

// The rounded duration in milliseconds of `frames` at `sampleRate` (DSD
// sample types: `frames` are bytes, 8 samples each). False for
// ASIOSTDSDInt8NER8, whose latency is left as it was; a rate of 0 gives 0.
bool BufferLatencyMs(ULONG frames, ULONG sampleRate, ULONG sampleType, ULONG* latencyMs);

// getLatencies' output figure: trunc(rate / 1000 * 6.132 + latency * 2.0001) - latency.
LONG OutputLatency(ULONG sampleRate, ULONG latency);

// getChannelInfo's name: the device's friendly name in the narrow character
// set with leading digits, '-' and ' ' skipped, then " In 01" / " Out 01";
// a long name is cut to 21 bytes followed by "... In 01". Always
// terminated within the 32 bytes.
void ChannelName(LPCWSTR friendlyName, bool input, LONG channel, char (&name)[32]);

// A sample position as ASIO's two 32-bit words (hi = trunc(position / 2^32)).
ASIOSamples SplitSamplePosition(double position);

}  // namespace asiorules
