// Host-only: lets a tool or test see the kernel debugger output (DbgPrint)
// line by line, e.g. to report why a driver refused a device.
#pragma once

#include <functional>

namespace platform {

// Replaces the sink; null removes it. The sink is called with each formatted
// message, whether or not tracing to stderr is enabled.
void SetDebugPrintSink(std::function<void(const char* text)> sink);

}  // namespace platform
