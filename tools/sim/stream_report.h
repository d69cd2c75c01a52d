// What `usbaudio-sim play` / `record` found, and how it is printed (text, or
// one JSON object).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/clients/audio_compare.h"
#include "sim/clients/fault_plan.h"
#include "sim/clients/wav_file.h"

namespace tools {

struct StreamReport {
  bool capture = false;
  std::string device;             // profile name or descriptor file
  std::string source;             // play: "tone 1000 Hz" or the WAV path; record: the output path
  sim::WavFormat clientFormat;
  double ppm = 0;
  uint32_t startStatus = 0;       // loading and starting the driver
  std::string error;              // why the run failed, empty when it did not
  std::string failedStep;         // the KS request that failed
  uint32_t failedStatus = 0;
  bool reachedRun = false;
  bool stalled = false;           // the port stopped servicing the pin
  bool drained = false;           // every frame arrived before the stop
  bool unplugged = false;
  uint64_t runMs = 0;

  // The device's side.
  sim::DeviceFrameFormat deviceFormat;
  uint32_t deviceRate = 0;
  bool highSpeed = false;

  // Data.
  uint64_t framesPlayed = 0;      // play: source frames the client wrote
  uint64_t framesReceived = 0;    // play: of those, frames the device played; record: frames recorded
  uint64_t paddingFrames = 0;     // play: silence written after the source
  uint64_t deviceFrames = 0;      // play: everything the device played; record: frames it sent
  int64_t captureStart = -1;      // record: the device frame the recording starts at
  bool bitExact = false;
  int64_t firstMismatch = -1;
  // Play: the device's frame at firstMismatch and the expected one (device
  // format; empty when unknown), and why the run was not bit-exact.
  std::vector<uint8_t> mismatchDevice, mismatchExpected;
  std::vector<std::string> mismatchCauses;
  uint64_t clientLateFrames = 0;  // played as silence because the client was late
  uint64_t comparisonLostBytes = 0;

  // Device counters: totals, and after start-up (from its first played frame
  // to the stop). Under- and overruns leave out those the bus's own lateness
  // caused, which are counted apart.
  bool deviceStarted = false;
  uint64_t busLateXruns = 0, busLateXrunsAfterStartup = 0;
  uint64_t busLateTicks = 0;      // times the bus thread ran more than a frame behind
  uint64_t underruns = 0, overruns = 0;
  uint64_t underrunsAfterStartup = 0, overrunsAfterStartup = 0;
  uint64_t restarts = 0;          // render pipe resets
  bool feedbackSeen = false;
  uint32_t feedbackMin = 0, feedbackMax = 0, feedbackNominal = 0;
  uint64_t lateCompletions = 0, latePackets = 0;
  uint64_t oversizedPackets = 0;  // packets beyond an endpoint's wMaxPacketSize (bus errors)

  // The machine's timing, and the driver's time at DISPATCH_LEVEL in one go
  // (thread CPU time) over the run: the longest, the 99.9th percentile and
  // where the longest ran (empty when nothing was measured).
  double tickMs = 0;
  double jitterUs = 0;
  std::string completion;
  uint64_t maxDispatchNs = 0, p999DispatchNs = 0;
  std::string maxDispatchSite, maxDispatchKind;

  std::vector<sim::FaultInjection> injections;
  bool outWritten = false;
  std::string outPath;
  int exitCode = 1;
};

std::string StreamReportText(const StreamReport& report);
std::string StreamReportJson(const StreamReport& report);

}  // namespace tools
