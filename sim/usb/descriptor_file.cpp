#include "sim/usb/descriptor_file.h"

#include <cstddef>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <utility>

#include "sim/uac/descriptor_builder.h"

namespace sim {
namespace {

constexpr size_t kDeviceLength = 18;
constexpr size_t kConfigHeaderLength = 9;

std::string Hex2(uint8_t a, uint8_t b) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X %02X", a, b);
  return text;
}

uint16_t Read16(const std::vector<uint8_t>& b, size_t offset) {
  return static_cast<uint16_t>(b[offset] | (b[offset + 1] << 8));
}

}  // namespace

bool ParseDescriptorBytes(const std::vector<uint8_t>& bytes, bool fullSpeed, DescriptorSet& out,
                          std::string& error) {
  if (bytes.empty()) {
    error = "descriptor data is empty";
    return false;
  }
  if (bytes.size() < 2) {
    error = "descriptor data too short to recognise (1 byte)";
    return false;
  }

  DescriptorSet set;
  set.highSpeed = !fullSpeed;

  if (bytes[0] == 0x09 && bytes[1] == desc::kConfiguration) {
    if (bytes.size() < kConfigHeaderLength) {
      error = "configuration descriptor shorter than 9 bytes (" + std::to_string(bytes.size()) +
              " bytes)";
      return false;
    }
    set.device = MakeDeviceDescriptor(0x0000, 0x0000, 0x0100, 0x0200);
    set.configuration = bytes;
  } else if (bytes[0] == kDeviceLength && bytes[1] == desc::kDevice) {
    if (bytes.size() < kDeviceLength) {
      error = "truncated device descriptor (" + std::to_string(bytes.size()) + " of 18 bytes)";
      return false;
    }
    const size_t rest = bytes.size() - kDeviceLength;
    if (rest == 0) {
      error = "no configuration descriptor after the device descriptor";
      return false;
    }
    if (rest < kConfigHeaderLength) {
      error = "configuration descriptor shorter than 9 bytes (" + std::to_string(rest) +
              " bytes)";
      return false;
    }
    if (bytes[kDeviceLength + 1] != desc::kConfiguration) {
      error = "expected a configuration descriptor after the device descriptor, found " +
              Hex2(bytes[kDeviceLength], bytes[kDeviceLength + 1]);
      return false;
    }
    // The first configuration ends at its wTotalLength only when another
    // configuration follows there; otherwise every remaining byte is kept.
    size_t take = rest;
    const size_t total = Read16(bytes, kDeviceLength + 2);
    const size_t next = kDeviceLength + total;
    if (total >= kConfigHeaderLength && total < rest && bytes.size() - next >= 2 &&
        bytes[next + 1] == desc::kConfiguration) {
      take = total;
    }
    set.device.assign(bytes.begin(), bytes.begin() + kDeviceLength);
    set.configuration.assign(bytes.begin() + kDeviceLength,
                             bytes.begin() + static_cast<std::ptrdiff_t>(kDeviceLength + take));
  } else {
    error = "unrecognised descriptor data: starts with " + Hex2(bytes[0], bytes[1]) +
            " (expected 09 02 for a configuration or 12 01 for a device descriptor)";
    return false;
  }

  out = std::move(set);
  return true;
}

bool LoadDescriptorFile(const std::string& path, bool fullSpeed, DescriptorSet& out,
                        std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = "cannot read " + path;
    return false;
  }
  if (!ParseDescriptorBytes(bytes, fullSpeed, out, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

}  // namespace sim
