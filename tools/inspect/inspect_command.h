// The usbaudio-inspect command: arguments in, text and exit status out.
#pragma once

#include <string>
#include <vector>

namespace tools {

constexpr int kExitAccepted = 0;  // the driver accepts the device
constexpr int kExitRefused = 1;   // the driver would refuse it
constexpr int kExitBadInput = 2;  // unusable input or arguments

struct CommandResult {
  int exitCode = kExitBadInput;
  std::string out;
  std::string err;
};

CommandResult RunInspect(const std::vector<std::string>& args);

}  // namespace tools
