// `usbaudio-sim devices`: one or more simulated devices on one machine, the
// driver loaded for each as plug and play loads it, and the device list the
// user-mode deliverables build (CDevInfo, in a client process, with every
// diagnostic group as the control panel writes them): its entries, the
// selection the ASIO driver makes at init, and the debugger lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/sim/sim_command.h"

namespace tools {

struct DevicesOptions {
  struct Device {
    std::string profile;  // a profile name, or
    std::string file;     // a descriptor file
  };
  std::vector<Device> devices;  // attach order; the default profile when none is given
  bool fullSpeed = false;       // descriptor files are of a full-speed device
  bool json = false;
  bool select = false;
  std::string selectId;  // --select-device
};

extern const char kDevicesUsage[];

// args[0] is "devices". False with a message for bad arguments.
bool ParseDevicesOptions(const std::vector<std::string>& args, DevicesOptions* options, std::string* error);

struct RangeSummaryView {
  uint32_t channels = 0;
  uint32_t minBits = 0;
  uint32_t maxBits = 0;
  uint32_t minRate = 0;
  uint32_t maxRate = 0;
};

// One entry of the device list (UTF-8 text).
struct DeviceEntryView {
  std::string deviceName;
  std::string instanceId;
  bool selected = false;
  RangeSummaryView render;
  RangeSummaryView capture;
};

// One device plugged into the machine.
struct AttachedDeviceView {
  std::string source;        // profile name or file
  std::string instancePath;  // "<device id>\<instance id>"
  uint32_t startStatus = 0;
  unsigned filterOpens = 0;  // opens of its filter the client made
};

struct DevicesReport {
  int exitCode = 2;  // 0: devices listed; 1: none listed or the driver did not load; 2: bad input
  std::string error;
  uint32_t driverStatus = 0;
  std::vector<AttachedDeviceView> attached;
  std::vector<DeviceEntryView> entries;
  bool selectionAsked = false;
  std::string selectId;
  bool selectedById = false;   // the id was found; otherwise the first entry was selected
  bool selectedByIndex = false;
  std::vector<std::string> debugMessages;  // OutputDebugStringW messages, as written
};

DevicesReport RunDevicesReport(const DevicesOptions& options);
std::string DevicesReportText(const DevicesReport& report);
std::string DevicesReportJson(const DevicesReport& report);

// args[0] is "devices".
SimCommandResult RunDevices(const std::vector<std::string>& args);

}  // namespace tools
