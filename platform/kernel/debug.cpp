// Debug output: DbgPrint and friends write to stderr when the environment
// variable USBAUDIO_TRACE is set (to anything but "0"), and are silent
// otherwise so test logs stay readable; a sink set by a tool or test (and
// a tool's echo) sees every message either way.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>

#include "platform/kernel/debug_sink.h"
#include "platform/kernel/internal.h"

namespace platform::detail {

bool TraceEnabled() {
  static const bool enabled = [] {
    const char* v = getenv("USBAUDIO_TRACE");
    return v && *v && !(v[0] == '0' && v[1] == 0);
  }();
  return enabled;
}

}  // namespace platform::detail

namespace {

std::mutex sinkMutex;
std::function<void(const char*)> sink;
std::function<void(const char*)> echo;

ULONG Print(PCSTR format, va_list args) {
  std::function<void(const char*)> current;
  std::function<void(const char*)> shown;
  {
    std::lock_guard<std::mutex> lock(sinkMutex);
    current = sink;
    shown = echo;
  }
  if (!platform::detail::TraceEnabled() && !current && !shown) return STATUS_SUCCESS;
  char text[1024];
  platform::detail::FormatA(text, sizeof text, format, args);
  if (current) current(text);
  if (shown) shown(text);
  if (platform::detail::TraceEnabled()) fputs(text, stderr);
  return STATUS_SUCCESS;
}

}  // namespace

void platform::SetDebugPrintSink(std::function<void(const char* text)> newSink) {
  std::lock_guard<std::mutex> lock(sinkMutex);
  sink = std::move(newSink);
}

void platform::SetDebugPrintEcho(std::function<void(const char* text)> newEcho) {
  std::lock_guard<std::mutex> lock(sinkMutex);
  echo = std::move(newEcho);
}

extern "C" {

ULONG __cdecl DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  ULONG status = Print(Format, args);
  va_end(args);
  return status;
}

ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
  (void)ComponentId;
  (void)Level;
  va_list args;
  va_start(args, Format);
  ULONG status = Print(Format, args);
  va_end(args);
  return status;
}

ULONG NTAPI vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist) {
  (void)ComponentId;
  (void)Level;
  va_list copy;
  va_copy(copy, arglist);
  ULONG status = Print(Format, copy);
  va_end(copy);
  return status;
}

}  // extern "C"
