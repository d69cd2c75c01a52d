// The usbaudio-sim command: loads the driver on the simulated bus and works
// with the "Wave" filter as a Windows client does: `info` shows the filter,
// `play` and `record` stream through it.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tools {

struct SimCommandResult {
  int exitCode = 2;
  std::string out;
  std::string err;
};

// Receives the progress line of long runs ("\r"-updated text for stderr).
using ProgressSink = std::function<void(const std::string&)>;

SimCommandResult RunSim(const std::vector<std::string>& args, const ProgressSink& progress = nullptr);

}  // namespace tools
