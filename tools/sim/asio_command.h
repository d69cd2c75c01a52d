// `usbaudio-sim asio`: the driver loaded on the simulated machine, the ASIO
// driver installed and registered as regsvr32 does it, the ASIO host
// streaming through it, and the report on what the device played, what the
// host's input halves received and how its buffer switches came.
#pragma once

#include <string>
#include <vector>

#include "tools/sim/asio_report.h"
#include "tools/sim/sim_command.h"

namespace tools {

// One run with parsed options (tests call it directly).
AsioReport RunAsioReport(const AsioRunOptions& options, const ProgressSink& progress);

// args[0] is "asio".
SimCommandResult RunAsio(const std::vector<std::string>& args, const ProgressSink& progress);

}  // namespace tools
