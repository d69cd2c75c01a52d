// Behaviour for a device that comes only as descriptors (loaded from a file):
// a plausible answer to every control the descriptors announce.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/uac/audio_function_config.h"
#include "sim/usb/descriptor_set.h"

namespace sim {

// The rates every clock source of such a device offers, as discrete sub-ranges.
const std::vector<uint32_t>& DefaultClockRates();

// Clock sources: the common rates, current 48000, frequency access and
// validity from bmControls. Selectors: pin 1. Feature units: mute and volume
// per channel from bmaControls, volume -127 dB .. 0 dB in 1 dB steps, at 0 dB,
// unmuted. Class 1.0 data endpoints: the rates of their format type
// descriptors, settable per the CS endpoint's bit 0. Never fails: malformed
// descriptors give fewer entries.
AudioFunctionConfig DefaultAudioConfig(const DescriptorSet& descriptors);

}  // namespace sim
