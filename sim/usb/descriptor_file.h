// Descriptor sets captured from real devices, for running the driver against
// them on the simulated bus.
//
// Two formats are recognised by their first bytes:
//  - a raw configuration descriptor set (09 02 ...): a device descriptor is
//    synthesised (VID 0000, PID 0000, USB 2.0, one configuration);
//  - the Linux sysfs `descriptors` file (12 01 ...): the device descriptor
//    followed by the configuration descriptor sets; the first one is used.
// Only the framing is checked. The configuration is kept exactly as found,
// including a wTotalLength that disagrees with the data, so the driver's
// parser meets malformed devices as they are. Loaded sets have no strings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/usb/descriptor_set.h"

namespace sim {

bool ParseDescriptorBytes(const std::vector<uint8_t>& bytes, bool fullSpeed, DescriptorSet& out,
                          std::string& error);

bool LoadDescriptorFile(const std::string& path, bool fullSpeed, DescriptorSet& out,
                        std::string& error);

}  // namespace sim
