// `--trace` of the tools: the driver's debug output (DbgPrint, its
// "vm_usbaudio: ..." lines) shown as a kernel debugger shows it, line by
// line as it happens, on stderr, so stdout keeps only the report.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tools {

using TraceSink = std::function<void(const std::string& text)>;

// Removes every "--trace" from `args`; true when there was one.
bool TakeTraceOption(std::vector<std::string>* args);

// While it lives (and `on`), every debug message goes to `sink`, or to
// stderr when the sink is null. USBAUDIO_TRACE in the environment already
// prints them to stderr; they are then not printed twice.
class TraceOutput {
 public:
  TraceOutput(bool on, TraceSink sink);
  ~TraceOutput();
  TraceOutput(const TraceOutput&) = delete;
  TraceOutput& operator=(const TraceOutput&) = delete;

 private:
  bool installed_ = false;
};

}  // namespace tools
