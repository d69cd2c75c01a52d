// Host-only: what user-mode code writes with OutputDebugStringW/A, as a
// debugger attached to the process would see it. A capture collects the
// messages of one simulated process, or of every process, while it lives;
// several captures may be alive at once. With USBAUDIO_TRACE set, every
// message is also written to stderr (like the kernel's DbgPrint lines).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {
struct ClientProcess;
}

namespace platform::win32 {

class DebugOutputCapture {
 public:
  // Every process's messages (the system process's included).
  DebugOutputCapture();
  // Only the messages written by threads running in `process`.
  explicit DebugOutputCapture(const ClientProcess* process);
  ~DebugOutputCapture();
  DebugOutputCapture(const DebugOutputCapture&) = delete;
  DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

  // One entry per OutputDebugString call, in arrival order, as UTF-8.
  std::vector<std::string> Messages() const;
  // All messages joined (UTF-8), and the same as the UTF-16 the callers wrote.
  std::string Text() const;
  std::u16string WideText() const;
  size_t Count() const;
  void Clear();
  // True once the joined text contains `needle` (at once if it already does);
  // false when `timeout` passes first.
  bool WaitFor(const std::string& needle, std::chrono::milliseconds timeout) const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// Also hands every message (UTF-8) to `echo` as it is written, e.g. for a
// tool's --trace; null removes it.
void SetDebugOutputEcho(std::function<void(const std::string& text)> echo);

}  // namespace platform::win32
