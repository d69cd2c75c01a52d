// Built-in simulated devices: descriptors plus the behaviour behind them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sim/uac/audio_function_config.h"
#include "sim/usb/descriptor_set.h"

namespace sim {

struct DeviceProfile {
  std::string name;
  std::string description;
  DescriptorSet descriptors;
  AudioFunctionConfig audio;
};

// Names accepted by MakeProfile, "default" first.
const std::vector<std::string>& ProfileNames();

// Fills `out` with a fresh copy of the named profile; false for an unknown name
// (`out` is then left unchanged).
bool MakeProfile(std::string_view name, DeviceProfile& out);

}  // namespace sim
