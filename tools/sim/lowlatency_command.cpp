#include "tools/sim/lowlatency_command.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>

#include "sim/clients/fault_plan.h"
#include "sim/clients/lowlatency_client.h"
#include "sim/clients/simulated_machine.h"
#include "tools/sim/lowlatency_run.h"

namespace tools {

namespace {

using Clock = std::chrono::steady_clock;

// After an unplug, the client's thread has this long to see the device-gone
// status (it looks after every wait, and a wait ends within a second).
constexpr double kUnplugGraceSeconds = 3.0;

void Progress(const ProgressSink& sink, double seconds, const sim::LowLatencyCounters& c, uint64_t deviceFrames) {
  char text[160];
  std::snprintf(text, sizeof text, "\rlowlatency %6.1f s  switches %llu  missed %llu  device %llu frames   ", seconds,
                static_cast<unsigned long long>(c.bufferSwitches), static_cast<unsigned long long>(c.missedSwitches),
                static_cast<unsigned long long>(deviceFrames));
  sink(text);
}

std::vector<uint32_t> FirstChannels(int count) {
  std::vector<uint32_t> channels;
  for (int c = 0; c < count; ++c) channels.push_back(static_cast<uint32_t>(c));
  return channels;
}

}  // namespace

LowLatencyReport RunLowLatencyReport(const LowLatencyRunOptions& o, const ProgressSink& progress) {
  LowLatencyReport r;
  sim::DescriptorSet descriptors;
  sim::AudioFunctionConfig audio;
  if (!LoadLowLatencyDevice(o.profile, o.descriptorPath, o.fullSpeed, &descriptors, &audio, &r.device, &r.error)) {
    r.exitCode = 2;
    return r;
  }
  r.buffer = o.buffer;
  r.rate = o.rate;
  r.dsd = o.dsd;
  r.seconds = o.seconds;
  r.injections = o.injections;

  const DefaultTickScope tick;
  sim::StreamingOptions streaming;
  streaming.ppm = o.ppm;
  streaming.recordPlayback = false;  // the played frames stream through the watch instead
  sim::SimulatedMachine machine(descriptors, audio, streaming);
  r.startStatus = static_cast<uint32_t>(machine.Start());
  if (!NT_SUCCESS(static_cast<NTSTATUS>(r.startStatus))) {
    machine.Shutdown();
    JudgeLowLatency(&r);
    return r;
  }

  sim::LowLatencyOptions client;
  client.bufferFrames = o.buffer;
  client.rate = o.rate;
  client.dsd = o.dsd;
  client.skipOutputReadyAt = o.skipOutputReadyAt;
  client.deviceModeOverride = o.deviceModeOverride;
  client.inputChannels = FirstChannels(std::max(o.inputs, 0));
  const sim::StreamingCounters before = machine.Streaming().Counters();
  sim::FaultInjector faults(machine, o.injections);
  auto playWatch = std::make_unique<PlayWatch>(machine.Streaming());
  sim::LowLatencyClient ll(machine);
  // Every output of the render pin unless told.
  client.allOutputs = o.outputs < 0;
  client.outputChannels = FirstChannels(std::max(o.outputs, 0));
  const NTSTATUS status = ll.Start(client);
  client.outputChannels = ll.OutputChannels();
  r.pinRate = ll.PinRate();
  r.halfFrames = ll.HalfFrames();
  r.inputs = static_cast<uint32_t>(client.inputChannels.size());
  r.outputs = static_cast<uint32_t>(client.outputChannels.size());
  r.renderChannels = ll.RenderChannels();
  r.captureChannels = ll.CaptureChannels();
  sim::StreamingCounters atStart{};
  bool deviceStarted = false;
  const Clock::time_point start = Clock::now();
  double unpluggedAt = -1;
  // Switches counted from the first second on, for the steady rate.
  constexpr double kSteadyFrom = 1.0;
  bool steadyStarted = false;
  uint64_t steadySwitches = 0;
  Clock::time_point steadyStart;
  sim::LowLatencyPlayLayout playLayout;
  if (!NT_SUCCESS(status)) {
    r.failedStep = ll.FailedStep();
    r.failedStatus = static_cast<uint32_t>(status);
  } else {
    playLayout = ll.PlayLayout();
    if (ll.HasOutputs()) playWatch->Start(playLayout);
    double lastProgress = -1;
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      faults.Advance(seconds);
      const sim::StreamingCounters now = machine.Streaming().Counters();
      if (!deviceStarted && (now.framesPlayed > before.framesPlayed || (!ll.HasOutputs() && now.framesCaptured))) {
        deviceStarted = true;
        atStart = now;
      }
      if (progress && !o.quiet && seconds >= lastProgress + 0.5) {
        lastProgress = seconds;
        Progress(progress, seconds, ll.Counters(), now.framesOutput);
      }
      if (!steadyStarted && seconds >= kSteadyFrom) {
        steadyStarted = true;
        steadySwitches = ll.Counters().bufferSwitches;
        steadyStart = Clock::now();
      }
      if (faults.Unplugged() && unpluggedAt < 0) unpluggedAt = seconds;
      if (!ll.ThreadRunning()) break;  // a device-gone status ended it
      if (unpluggedAt >= 0 && seconds > unpluggedAt + kUnplugGraceSeconds) break;
      if (seconds >= o.seconds && unpluggedAt < 0) break;
    }
    if (progress && !o.quiet) progress("\n");
  }
  r.runSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double steadySeconds = steadyStarted ? std::chrono::duration<double>(Clock::now() - steadyStart).count() : 0;
  const uint64_t switchesAtEnd = ll.Counters().bufferSwitches;
  // What the device played up to here counts; the stop's tail does not.
  playWatch->Stop();
  const sim::StreamingCounters end = machine.Streaming().Counters();
  const std::vector<uint64_t> eventFrames = ll.OutputEventFrames();
  const bool threadRunningAtEnd = ll.ThreadRunning();
  ll.Stop();
  r.clientThreadEnded = !ll.ThreadRunning();
  if (threadRunningAtEnd && faults.Unplugged()) r.clientThreadEnded = false;  // it should have ended by itself

  const sim::LowLatencyCounters c = ll.Counters();
  r.bufferSwitches = c.bufferSwitches;
  r.missedSwitches = c.missedSwitches;
  r.sameHalfTwice = c.sameHalfTwice;
  r.switchesWithoutToggle = c.switchesWithoutToggle;
  r.outputHalves = c.outputHalves;
  r.outputReadyFailures = c.outputReadyFailures;
  r.waitTimeouts = c.waitTimeouts;
  r.streamError = c.streamError;
  if (r.halfFrames) {
    r.expectedSwitches = static_cast<uint64_t>(r.runSeconds * r.pinRate / r.halfFrames);
    r.expectedSwitchRate = double(r.pinRate) / r.halfFrames;
    if (steadySeconds > 0.5 && !faults.Any()) r.steadySwitchRate = double(switchesAtEnd - steadySwitches) / steadySeconds;
  }
  r.injections = faults.Plan();
  r.unplugged = faults.Unplugged();

  // The device: xruns after it began to play that the bus's lateness did not cause.
  if (deviceStarted) {
    const DeviceXruns xruns = XrunsBetween(atStart, end);
    r.deviceUnderruns = xruns.underruns;
    r.deviceOverruns = xruns.overruns;
    r.busLateXruns = xruns.busLate;
  }
  r.transportModeViolations = sim::TransportModeViolations(before, end, o.dsd);
  for (uint8_t interface : machine.Function().Layout().streamingInterfaces) {
    const std::optional<uint16_t> mode = machine.Function().InterfaceMode(interface);
    r.deviceModes[interface] = mode ? *mode : -1;
  }

  if (const sim::LowLatencyPlayCheck* check = playWatch->Check()) {
    const sim::LowLatencyPlayLayout& layout = playLayout;
    r.deviceSubslotBytes = layout.subslotBytes;
    r.comparisonLostBytes = playWatch->LostBytes();
    r.framesChecked = check->FramesMatched();
    r.startupFrames = check->StartupFrames();
    r.mismatch = check->Mismatch();
    r.bitExact = check->Aligned() && !check->Mismatch() && r.comparisonLostBytes == 0 && r.framesChecked > 0;
    if (r.mismatch) {
      r.firstMismatch = check->FirstMismatch();
      r.mismatchKind = check->MismatchKind();
      r.mismatchDevice = FrameText(check->MismatchDevice(), layout.subslotBytes);
      r.mismatchExpected = FrameText(check->MismatchExpected(), layout.subslotBytes);
      r.mismatchCauses.push_back(r.mismatchKind);
    } else if (!check->Aligned()) {
      r.mismatchCauses.push_back("no_output_played");
    }
    if (!r.bitExact) {
      if (r.missedSwitches) r.mismatchCauses.push_back("missed_switches");
      if (r.switchesWithoutToggle) r.mismatchCauses.push_back("switch_without_toggle");
      if (r.outputReadyFailures) r.mismatchCauses.push_back("output_ready_failed");
      if (end.underruns + end.overruns) r.mismatchCauses.push_back("device_xrun");
      if (r.busLateXruns) r.mismatchCauses.push_back("bus_late");
    }
    std::vector<int64_t> latencies;
    AddLatencies(eventFrames, check->HalfStarts(), before.framesOutput, &latencies);
    const MeasuredLatency latency = SummariseLatencies(std::move(latencies));
    r.latencyMeasured = latency.measured;
    r.latencyMedian = latency.median;
    r.latencyMin = latency.min;
    r.latencyMax = latency.max;
  }
  if (ll.HasInputs()) {
    r.inputChecked = true;
    r.inputBitExact = ll.InputContinuous();
    r.inputMismatch = ll.InputMismatchText();
  }
  playWatch.reset();
  machine.Shutdown();  // the driver unloads; the verifier checks what it left
  JudgeLowLatency(&r);
  return r;
}

SimCommandResult RunLowLatency(const std::vector<std::string>& args, const ProgressSink& progress) {
  return RunReportCommand(args, progress, &ParseLowLatencyOptions, kLowLatencyUsage, &RunLowLatencyReport,
                          &LowLatencyReportJson, &LowLatencyReportText);
}

}  // namespace tools
