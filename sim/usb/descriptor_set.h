// The descriptors a simulated USB device answers GET_DESCRIPTOR with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

struct DescriptorSet {
  std::vector<uint8_t> device;                 // 18-byte standard device descriptor
  std::vector<uint8_t> configuration;          // whole configuration descriptor set, as the device sends it
  std::map<uint8_t, std::u16string> strings;   // string index -> text (index 0 is not used here)
  std::vector<uint16_t> languageIds{0x0409};   // contents of string descriptor 0
  bool highSpeed = true;

  // String descriptor as the device sends it: bLength, 3, then UTF-16LE.
  // Index 0 gives the language id list. Empty when the index is absent.
  // Texts too long for the one-byte bLength are cut at 126 code units.
  std::vector<uint8_t> StringDescriptor(uint8_t index) const {
    std::vector<uint16_t> units;
    if (index == 0) {
      units = languageIds;
    } else {
      auto it = strings.find(index);
      if (it == strings.end()) return {};
      units.assign(it->second.begin(), it->second.end());
    }
    const size_t maxUnits = (255 - 2) / 2;
    if (units.size() > maxUnits) units.resize(maxUnits);
    std::vector<uint8_t> out;
    out.reserve(2 + units.size() * 2);
    out.push_back(static_cast<uint8_t>(2 + units.size() * 2));
    out.push_back(0x03);
    for (uint16_t u : units) {
      out.push_back(static_cast<uint8_t>(u & 0xFF));
      out.push_back(static_cast<uint8_t>(u >> 8));
    }
    return out;
  }
};

}  // namespace sim
