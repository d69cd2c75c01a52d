// Host-only: what user-mode trace providers (<evntprov.h>) register and
// write, as a trace session would see it. A capture collects the events
// written while it lives (all processes, or one); several may be alive at
// once. With USBAUDIO_TRACE set every written string also goes to stderr,
// like the kernel's trace lines.
#pragma once

#include <windows.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace platform {
struct ClientProcess;
}

namespace platform::win32 {

struct TraceEventRecord {
  GUID provider;      // the control GUID the writing handle was registered with
  UCHAR level;
  ULONGLONG keyword;
  std::string text;   // UTF-8
};

class EventTraceCapture {
 public:
  // Every process's events.
  EventTraceCapture();
  // Only events written by threads running in `process`.
  explicit EventTraceCapture(const ClientProcess* process);
  ~EventTraceCapture();
  EventTraceCapture(const EventTraceCapture&) = delete;
  EventTraceCapture& operator=(const EventTraceCapture&) = delete;

  std::vector<TraceEventRecord> Events() const;
  // All texts joined, in arrival order.
  std::string Text() const;
  size_t Count() const;
  void Clear();
  // True once the joined text contains `needle`; false when `timeout` passes first.
  bool WaitFor(const std::string& needle, std::chrono::milliseconds timeout) const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// How many registrations of `provider` are open now (EventRegister minus
// EventUnregister, over all processes).
int OpenTraceRegistrations(const GUID& provider);

}  // namespace platform::win32
