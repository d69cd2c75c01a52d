// `usbaudio-sim lowlatency`: the driver loaded on the simulated machine, the
// low-latency client streaming through the shared buffers, and the report on
// what the device played and what the client's input halves received.
#pragma once

#include <string>
#include <vector>

#include "tools/sim/lowlatency_report.h"
#include "tools/sim/sim_command.h"

namespace tools {

// One run with parsed options (tests call it directly).
LowLatencyReport RunLowLatencyReport(const LowLatencyRunOptions& options, const ProgressSink& progress);

// args[0] is "lowlatency".
SimCommandResult RunLowLatency(const std::vector<std::string>& args, const ProgressSink& progress);

}  // namespace tools
