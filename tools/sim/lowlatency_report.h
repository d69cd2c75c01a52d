// `usbaudio-sim lowlatency`: its arguments, the report of a run (text and
// JSON) and the verdict.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/clients/fault_plan.h"

namespace tools {

struct LowLatencyRunOptions {
  std::string profile = "default";
  std::string descriptorPath;
  bool fullSpeed = false;
  uint32_t buffer = 256;       // ASIO buffer size: frames per half (DSD: bytes per channel per half)
  uint32_t rate = 48000;       // PCM: the rate; DSD: the DSD rate (default 2822400)
  bool rateGiven = false;
  int inputs = 0;              // input channels asked for
  int outputs = -1;            // -1: the device's full count
  bool dsd = false;
  double seconds = 2;
  double ppm = 0;
  std::vector<sim::FaultInjection> injections;
  bool json = false;
  bool quiet = false;
  // For tests: the client skips output ready after this output half.
  uint64_t skipOutputReadyAt = UINT64_MAX;
  // For tests: the DSD-mode value the client sends (-1: as its format says).
  int deviceModeOverride = -1;
};

extern const char kLowLatencyUsage[];

// args[0] is "lowlatency". False with a message for bad arguments.
bool ParseLowLatencyOptions(const std::vector<std::string>& args, LowLatencyRunOptions* options, std::string* error);

struct LowLatencyReport {
  std::string device;
  uint32_t buffer = 0;
  uint32_t rate = 0;
  uint32_t pinRate = 0;
  uint32_t halfFrames = 0;     // device frames per half
  uint32_t inputs = 0;
  uint32_t outputs = 0;
  uint32_t renderChannels = 0;
  uint32_t captureChannels = 0;
  uint32_t deviceSubslotBytes = 0;
  bool dsd = false;
  double seconds = 0;
  double runSeconds = 0;
  uint32_t startStatus = 0;
  std::string failedStep;
  uint32_t failedStatus = 0;
  std::vector<sim::FaultInjection> injections;
  bool unplugged = false;

  uint64_t bufferSwitches = 0;
  uint64_t expectedSwitches = 0;  // run seconds × rate / frames per half
  // After the first second (start-up, and the render side filling its
  // buffer ahead, left out): switches per second, and what the rate asks.
  double steadySwitchRate = 0;
  double expectedSwitchRate = 0;
  uint64_t missedSwitches = 0;
  uint64_t sameHalfTwice = 0;
  uint64_t switchesWithoutToggle = 0;
  uint64_t outputHalves = 0;
  uint64_t outputReadyFailures = 0;
  uint64_t waitTimeouts = 0;
  uint32_t streamError = 0;
  bool clientThreadEnded = true;

  bool bitExact = false;
  uint64_t framesChecked = 0;     // output frames the device played correctly
  uint64_t startupFrames = 0;     // played before the first output frame
  bool mismatch = false;
  uint64_t firstMismatch = 0;
  std::string mismatchKind;
  std::string mismatchDevice;
  std::string mismatchExpected;
  std::vector<std::string> mismatchCauses;
  uint64_t comparisonLostBytes = 0;
  bool inputChecked = false;
  bool inputBitExact = false;
  std::string inputMismatch;

  uint64_t deviceUnderruns = 0;   // after start-up, those the driver answers for
  uint64_t deviceOverruns = 0;
  uint64_t busLateXruns = 0;
  uint64_t transportModeViolations = 0;
  std::map<uint32_t, int> deviceModes;  // streaming interface -> mode (-1: never set)

  bool latencyMeasured = false;
  int64_t latencyMedian = 0;      // frames from the event to the half's first frame played
  int64_t latencyMin = 0;
  int64_t latencyMax = 0;

  int exitCode = 1;
  std::string error;
};

void JudgeLowLatency(LowLatencyReport* r);
std::string LowLatencyReportText(const LowLatencyReport& r);
std::string LowLatencyReportJson(const LowLatencyReport& r);

}  // namespace tools
