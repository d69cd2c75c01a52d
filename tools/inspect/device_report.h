// What the driver's USB initialisation and descriptor parse made of a device,
// as plain data for printing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/uac/audio_function_config.h"
#include "sim/usb/descriptor_set.h"

class CUSBAudioCL;

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

struct DataRangeReport {
  int alternate = 0;
  std::string subFormat;  // "PCM", "IEEE_FLOAT", "ALAW", "MULAW" or "none"
  uint32_t maximumChannels = 0;
  uint32_t minimumBits = 0;
  uint32_t maximumBits = 0;
  uint32_t minimumRate = 0;
  uint32_t maximumRate = 0;
};

struct CapabilityReport {
  uint32_t maxChannels = 0;
  uint32_t minContainerBits = 0;
  uint32_t maxContainerBits = 0;
  uint32_t minRate = 0;
  uint32_t maxRate = 0;
};

struct StreamingReport {
  int interfaceNumber = 0;
  bool isInput = false;
  int terminalId = 0;
  std::vector<AlternateReport> alternates;
  std::vector<DataRangeReport> dataRanges;  // one per alternate from 1 on
  CapabilityReport capabilities;
};

struct PipeReport {
  uint8_t address = 0;
  uint16_t maxPacketSize = 0;
  uint8_t interval = 0;
};

// The outcome of selecting one streaming format in both forms.
struct SelectionReport {
  std::string direction;  // "render" or "capture"
  uint32_t channels = 0, bits = 0, rate = 0;
  uint32_t status = 0;
  uint32_t alternate = 0;
  uint32_t chosenChannels = 0;
  uint32_t containerBits = 0;
  std::optional<PipeReport> dataPipe;
  std::optional<PipeReport> feedbackPipe;
  uint32_t bytesPerFrame = 0;
  uint32_t nominalPacketBytes = 0;
  uint32_t minimumPacketBytes = 0;
  uint32_t maximumPacketBytes = 0;
  bool wholeFrames = false;
  uint32_t maxBytesPerMs = 0;
  uint32_t nominalFeedback = 0;  // 16.16
  uint32_t feedbackPeriodMs = 0;
  uint32_t feedbackBufferBytes = 0;
  uint32_t dataInterval = 1;
  uint32_t transferMs = 10;
  uint32_t nominalTransferBytes = 0;  // long form, transferMs
  int32_t negativeSlack = 0;
  int32_t positiveSlack = 0;
  std::vector<uint32_t> firstPacketBytes;  // one transfer of transferMs from the schedule
};

struct FilterPinReport {
  uint32_t id = 0;
  std::string dataFlow;       // "in" or "out"
  std::string communication;  // "sink", "none", ...
  std::string category;       // trace name of the category GUID, or "none"
  std::string terminal;       // entity name
  uint32_t maxGlobalInstances = 0, maxFilterInstances = 0, minFilterInstances = 0;
  std::vector<std::string> ranges;  // one line per data range
};

struct FilterNodeReport {
  uint32_t id = 0;
  std::string type;    // trace name of the node type
  std::string entity;  // the unit's name, or the converter
  bool automation = false;
};

struct FilterConnectionReport {
  uint32_t fromNode = 0, fromPin = 0, toNode = 0, toPin = 0;
};

struct FilterReport {
  uint32_t status = 0;
  std::vector<FilterPinReport> pins;
  std::vector<FilterNodeReport> nodes;
  std::vector<FilterConnectionReport> connections;
};

struct ScheduleReport {
  uint32_t rate = 0;
  std::vector<uint32_t> fullSpeed;
  std::vector<uint32_t> highSpeed;
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
  std::vector<SelectionReport> selections;
  std::vector<ScheduleReport> schedule;
  std::optional<FilterReport> filter;
  bool Succeeded() const { return (status & 0xC0000000u) != 0xC0000000u; }
};

struct InspectRequest {
  sim::DescriptorSet descriptors;
  sim::AudioFunctionConfig audio;
  std::string source;
  struct Format {
    uint32_t channels = 0, bits = 0, rate = 0;
  };
  std::optional<Format> select;  // run format selection for this format
  bool selectCapture = false;    // also on the capture interface
  bool schedule = false;         // include the packet schedule table
};

// Runs the driver's initialisation (USB layer, parse, data ranges,
// configuration) against a simulated device and records the result.
DeviceReport InspectDevice(const InspectRequest& request);

std::string FormatText(const DeviceReport& report);
std::string FormatJson(const DeviceReport& report);
class JsonWriter;
// The "connections" member of a filter, as both tools print it.
void WriteConnectionsJson(JsonWriter& json, const std::vector<FilterConnectionReport>& connections);
// The KS filter as a Graphviz graph.
std::string FormatDot(const DeviceReport& report);

// Builds the KS filter description of a parsed device and records it.
FilterReport CollectFilter(CUSBAudioCL& audio);

}  // namespace tools
