// What the driver's USB initialisation and descriptor parse made of a device,
// as plain data for printing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/usb/descriptor_set.h"

namespace tools {

struct EndpointReport {
  uint8_t address = 0;
  uint8_t attributes = 0;
  uint16_t maxPacketSize = 0;
  uint8_t interval = 0;
};

struct AlternateReport {
  int alternate = 0;
  std::optional<int> formatType;
  std::optional<int> channels;
  std::optional<int> subslotBytes;
  std::optional<int> bitResolution;
  std::optional<int> formatTag;  // class 1.0 wFormatTag, class 2.0 bmFormats
  std::vector<uint32_t> rates;   // class 1.0 discrete rates, or {lower, upper} when continuous
  bool continuousRates = false;
  std::optional<EndpointReport> dataEndpoint;
  std::optional<EndpointReport> feedbackEndpoint;
};

struct StreamingReport {
  int interfaceNumber = 0;
  bool isInput = false;
  int terminalId = 0;
  std::vector<AlternateReport> alternates;
};

struct EntityReport {
  int id = 0;
  std::string kind;
  std::string name;
  std::optional<int> terminalType;
  std::string terminalTypeName;
  std::vector<int> sourceIds;
  std::optional<int> clockId;
};

struct DeviceReport {
  std::string source;          // profile name or file path
  uint32_t status = 0;         // NTSTATUS of the driver's initialisation
  std::string failedStep;      // "Init" or "Configure" when status is a failure
  std::string reason;          // the driver's last error trace, if any
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  bool highSpeed = false;
  bool uac2 = false;
  bool dsdCapable = false;
  std::vector<EntityReport> entities;
  std::vector<StreamingReport> streamingInterfaces;
  std::optional<int> renderInterface;
  std::optional<int> captureInterface;
  bool Succeeded() const { return (status & 0xC0000000u) != 0xC0000000u; }
};

// Runs the driver's initialisation (USB layer, parse, configuration) against
// a simulated device with these descriptors and records the result.
DeviceReport InspectDevice(const sim::DescriptorSet& descriptors, const std::string& source);

std::string FormatText(const DeviceReport& report);
std::string FormatJson(const DeviceReport& report);

}  // namespace tools
