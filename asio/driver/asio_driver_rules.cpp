#include "asio/driver/asio_driver_rules.h"

#include <cstring>

namespace asiorules {

namespace {

constexpr ULONG kPcmRates[] = {32000, 44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000};
constexpr ULONG kDsdRates[] = {2822400, 5644800};
constexpr double kTwoTo32 = 4294967296.0;

bool IsDsdType(ULONG sampleType) { return sampleType == ASIOSTDSDInt8LSB1 || sampleType == ASIOSTDSDInt8MSB1; }

// The narrow character set's form of one UTF-16 unit: Latin-1 as its byte,
// anything else '?'. Hosts show these names as they are.
char Narrow(WCHAR c) { return c < 0x100 ? static_cast<char>(c) : '?'; }

bool IsSkipped(char c) { return (c >= '0' && c <= '9') || c == '-' || c == ' '; }

}  // namespace

ULONG WholeRate(ASIOSampleRate rate) {
  if (!(rate > 0.0) || rate >= kTwoTo32) return 0;  // also NaN
  const ULONG whole = static_cast<ULONG>(rate);
  return static_cast<ASIOSampleRate>(whole) == rate ? whole : 0;
}

bool RateInList(ULONG rate, bool dsdMode, ULONG sampleType, ULONG minRate, ULONG maxRate) {
  if (dsdMode) {
    if (sampleType == ASIOSTDSDInt8NER8) return false;
    for (ULONG r : kDsdRates) {
      if (r == rate) return true;
    }
    return false;
  }
  for (ULONG r : kPcmRates) {
    if (r == rate) return rate >= minRate && rate <= maxRate;
  }
  return false;
}

bool BufferLatencyMs(ULONG frames, ULONG sampleRate, ULONG sampleType, ULONG* latencyMs) {
  if (sampleType == ASIOSTDSDInt8NER8) return false;
  // DSD buffers count bytes of 8 one-bit samples.
  const ULONGLONG perSecond = IsDsdType(sampleType) ? sampleRate / 8 : sampleRate;
  // Tenths of a millisecond, then rounded; 64-bit so no stored size overflows.
  const ULONGLONG tenths = perSecond == 0 ? 0 : static_cast<ULONGLONG>(frames) * 10000 / perSecond;
  *latencyMs = static_cast<ULONG>((tenths + 5) / 10);
  return true;
}

LONG OutputLatency(ULONG sampleRate, ULONG latency) {
  const double total = static_cast<double>(sampleRate) / 1000.0 * 6.132 + static_cast<double>(latency) * 2.0001;
  return static_cast<LONG>(static_cast<LONGLONG>(total) - static_cast<LONGLONG>(latency));
}

void ChannelName(LPCWSTR friendlyName, bool input, LONG channel, char (&name)[32]) {
  char text[32];
  size_t length = 0;
  if (friendlyName != nullptr) {
    for (; length < sizeof(text) - 1 && friendlyName[length] != 0; ++length) text[length] = Narrow(friendlyName[length]);
  }
  text[length] = 0;
  size_t skip = 0;
  while (skip < length && IsSkipped(text[skip])) ++skip;
  // A name made only of such characters is kept whole rather than dropped.
  const char* prefix = skip == length ? text : text + skip;
  const char* direction = input ? "In" : "Out";
  const int number = static_cast<int>(channel) + 1;
  if (std::strlen(prefix) + 7 < sizeof(name)) {
    StringCchPrintfA(name, sizeof(name), "%s %s %02d", prefix, direction, number);
    return;
  }
  constexpr size_t kKept = 21;
  std::memcpy(name, prefix, kKept);
  StringCchPrintfA(name + kKept, sizeof(name) - kKept, "... %s %02d", direction, number);
}

ASIOSamples SplitSamplePosition(double position) {
  ASIOSamples split = {0, 0};
  if (!(position > 0.0)) return split;
  const double hi = static_cast<double>(static_cast<ULONGLONG>(position / kTwoTo32));
  split.hi = static_cast<ULONG>(hi);
  split.lo = static_cast<ULONG>(position - hi * kTwoTo32);
  return split;
}

}  // namespace asiorules
