// The usbaudio-sim command: loads the driver on the simulated bus and works
// with the "Wave" filter as a Windows client does: `info` shows the filter,
// `play` and `record` stream through it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tools/inspect/trace_output.h"

namespace tools {

struct SimCommandResult {
  int exitCode = 2;
  std::string out;
  std::string err;
};

// Receives the progress line of long runs ("\r"-updated text for stderr).
using ProgressSink = std::function<void(const std::string&)>;

// `--trace` anywhere in `args` sends the driver's debug output to `trace`
// (stderr when null) while the command runs, instead of the progress line.
SimCommandResult RunSim(std::vector<std::string> args, const ProgressSink& progress = nullptr,
                        const TraceSink& trace = nullptr);

}  // namespace tools
