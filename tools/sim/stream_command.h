// `usbaudio-sim play` and `usbaudio-sim record`: the driver loaded on the
// simulated machine, a pin streamed by the audio-engine client, and the
// report on what the device received (or what the client recorded).
#pragma once

#include <string>
#include <vector>

#include "tools/sim/sim_command.h"

namespace tools {

// args[0] is "play" or "record".
SimCommandResult RunStream(const std::vector<std::string>& args, const ProgressSink& progress);

}  // namespace tools
