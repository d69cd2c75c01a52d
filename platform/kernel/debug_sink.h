// Host-only: lets a tool or test see the kernel debugger output (DbgPrint)
// line by line, e.g. to report why a driver refused a device.
#pragma once

#include <functional>

namespace platform {

// Replaces the sink; null removes it. The sink is called with each formatted
// message, whether or not tracing to stderr is enabled.
void SetDebugPrintSink(std::function<void(const char* text)> sink);
// A second receiver, independent of the sink, for showing the output as it
// happens (a tool's --trace) while the sink may be busy collecting it.
void SetDebugPrintEcho(std::function<void(const char* text)> echo);

}  // namespace platform
