#include "tools/inspect/trace_output.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/kernel/debug_sink.h"

namespace tools {

namespace {

bool EnvironmentTraces() {
  const char* v = std::getenv("USBAUDIO_TRACE");
  return v && *v && !(v[0] == '0' && v[1] == 0);
}

}  // namespace

bool TakeTraceOption(std::vector<std::string>* args) {
  const auto end = std::remove(args->begin(), args->end(), std::string("--trace"));
  const bool found = end != args->end();
  args->erase(end, args->end());
  return found;
}

TraceOutput::TraceOutput(bool on, TraceSink sink) {
  if (!on || (!sink && EnvironmentTraces())) return;
  installed_ = true;
  if (sink) {
    platform::SetDebugPrintEcho([sink](const char* text) { sink(text); });
  } else {
    platform::SetDebugPrintEcho([](const char* text) {
      std::fputs(text, stderr);
      std::fflush(stderr);
    });
  }
}

TraceOutput::~TraceOutput() {
  if (installed_) platform::SetDebugPrintEcho(nullptr);
}

}  // namespace tools
