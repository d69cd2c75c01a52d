// The usbaudio-sim command: loads the driver on the simulated bus and works
// with the "Wave" filter as a Windows client does.
#pragma once

#include <string>
#include <vector>

namespace tools {

struct SimCommandResult {
  int exitCode = 2;
  std::string out;
  std::string err;
};

SimCommandResult RunSim(const std::vector<std::string>& args);

}  // namespace tools
