// usbaudio-sim: the driver on a simulated machine, used as Windows uses it.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/sim/sim_command.h"

int main(int argc, char** argv) {
  const tools::SimCommandResult result =
      tools::RunSim(std::vector<std::string>(argv + 1, argv + argc), [](const std::string& line) {
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
      });
  std::fputs(result.out.c_str(), stdout);
  std::fputs(result.err.c_str(), stderr);
  return result.exitCode;
}
