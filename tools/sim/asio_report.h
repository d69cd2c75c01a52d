// `usbaudio-sim asio`: its arguments, the report of a run (text and JSON)
// and the verdict.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/clients/fault_plan.h"

namespace tools {

// What --inject names: a device fault of the fault plan, or the host's and
// the control panel's doings.
enum class AsioInjectionKind { Device, PanelBufferSize, SlowCallback };

struct AsioInjection {
  AsioInjectionKind kind = AsioInjectionKind::Device;
  sim::FaultInjection device;  // kind Device
  double at = 0;
  uint32_t value = 0;  // panel-buffer-size: the new size (0: chosen from --buffer)
  bool applied = false;
};

struct AsioRunOptions {
  std::string profile = "default";
  std::string descriptorPath;
  bool fullSpeed = false;
  uint32_t buffer = 256;  // "buffer_size": frames per half (DSD: bytes per channel per half)
  uint32_t rate = 48000;
  int inputs = -1;  // -1: every channel the driver has (DSD: no inputs)
  int outputs = -1;
  bool timeInfo = false;
  bool dsd = false;
  double seconds = 2;
  double ppm = 0;
  int load = 0;  // busy threads at the lowest scheduling priority
  std::vector<AsioInjection> injections;
  bool json = false;
  bool quiet = false;
  bool callsOutOfOrder = false;  // for tests: the host's out-of-order calls first
};

extern const char kAsioUsage[];

// args[0] is "asio". False with a message for bad arguments.
bool ParseAsioOptions(const std::vector<std::string>& args, AsioRunOptions* options, std::string* error);
// The name an injection is given on the command line.
std::string AsioInjectionName(const AsioInjection& injection);

// One driver instance's streaming (a reset starts the next).
struct AsioGenerationReport {
  int32_t bufferSize = 0;  // createBuffers' size
  uint32_t halfFrames = 0;
  int32_t inputLatency = 0;
  int32_t outputLatency = 0;
  uint64_t switches = 0;
  bool checked = false;  // its output was judged
  uint64_t framesChecked = 0;
  uint64_t startupFrames = 0;
  bool mismatch = false;
  uint64_t firstMismatch = 0;
  std::string mismatchKind;
  std::string mismatchDevice;
  std::string mismatchExpected;
  bool endedByReset = false;
};

struct AsioReport {
  std::string device;
  uint32_t buffer = 0;
  uint32_t rate = 0;
  bool dsd = false;
  bool timeInfo = false;
  int load = 0;
  double seconds = 0;
  double runSeconds = 0;
  uint32_t startStatus = 0;
  std::string hostError;     // the host could not start
  std::string panelError;    // the control panel program could not be worked as a user does
  int32_t registerResult = 0;  // regsvr32 (DllRegisterServer)
  std::string driverName;
  std::string dllPath;
  int32_t driverInputs = 0;
  int32_t driverOutputs = 0;
  uint32_t inputs = 0;
  uint32_t outputs = 0;
  std::vector<std::string> channelNames;
  std::vector<AsioInjection> injections;
  bool unplugged = false;

  std::vector<AsioGenerationReport> generations;
  uint64_t bufferSwitches = 0;
  uint64_t expectedSwitches = 0;
  uint64_t timeInfoSwitches = 0;
  uint64_t missedSwitches = 0;  // the same half twice, and buffers the sample position skipped
  uint64_t sameIndexTwice = 0;
  uint64_t resetRequests = 0;
  uint64_t resetsDone = 0;
  std::string reopenError;
  uint64_t positionErrors = 0;
  bool samplePositionOk = false;
  uint64_t switchesAfterStop = 0;
  uint64_t unexpectedTimeInfo = 0;
  uint64_t outputReadyErrors = 0;
  uint64_t slowCallbacks = 0;
  uint64_t recordsDropped = 0;
  std::vector<std::string> orderViolations;
  double lastStopMs = 0;

  bool bitExact = false;
  std::vector<std::string> mismatchCauses;
  uint64_t comparisonLostBytes = 0;
  uint32_t deviceSubslotBytes = 0;
  bool inputChecked = false;
  bool inputBitExact = false;
  std::string inputMismatch;

  uint64_t deviceUnderruns = 0;  // after start-up, those the driver answers for
  uint64_t deviceOverruns = 0;
  uint64_t busLateXruns = 0;

  int32_t reportedInputLatency = 0;  // getLatencies of the last instance
  int32_t reportedOutputLatency = 0;
  bool latencyMeasured = false;
  int64_t latencyMedian = 0;  // frames from the switch to the half's first frame played
  int64_t latencyMin = 0;
  int64_t latencyMax = 0;

  double nominalPeriodUs = 0;
  double periodMeanUs = 0;  // after each instance's first second
  double periodMaxUs = 0;
  uint64_t periodCount = 0;

  int exitCode = 1;
  std::string error;
};

// Mean within 1 % of nominal, no gap above twice the nominal period.
bool AsioPeriodWithinTarget(const AsioReport& r);
void JudgeAsio(AsioReport* r);
std::string AsioReportText(const AsioReport& r);
std::string AsioReportJson(const AsioReport& r);

}  // namespace tools
