// usbaudio-inspect: how the driver sees a USB audio device.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/inspect/inspect_command.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const tools::CommandResult result = tools::RunInspect(args);
  std::fputs(result.out.c_str(), stdout);
  std::fputs(result.err.c_str(), stderr);
  return result.exitCode;
}
