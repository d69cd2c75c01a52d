// The usbaudio-inspect command: arguments in, text and exit status out.
#pragma once

#include <string>
#include <vector>

#include "tools/inspect/trace_output.h"

namespace tools {

constexpr int kExitAccepted = 0;  // the driver accepts the device
constexpr int kExitRefused = 1;   // the driver would refuse it
constexpr int kExitBadInput = 2;  // unusable input or arguments

struct CommandResult {
  int exitCode = kExitBadInput;
  std::string out;
  std::string err;
};

// `--trace` sends the driver's debug output to `trace` (stderr when null)
// while the device is inspected.
CommandResult RunInspect(std::vector<std::string> args, const TraceSink& trace = nullptr);

}  // namespace tools
