#include "tools/sim/asio_command.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "panel/panel_resources.h"
#include "platform/win32/system_host.h"
#include "sim/clients/asio_driver_module.h"
#include "sim/clients/asio_host.h"
#include "sim/clients/control_panel_program.h"
#include "sim/clients/fault_plan.h"
#include "sim/clients/simulated_machine.h"
#include "tools/sim/lowlatency_run.h"

namespace tools {

namespace {

using Clock = std::chrono::steady_clock;

// After an unplug, the driver has this long to ask for a reset and the host
// to take it (a missing event is noticed within a second).
constexpr double kUnplugGraceSeconds = 3.0;
// Periods are judged from this long after each instance's first switch.
constexpr double kSteadyFromSeconds = 1.0;

// Busy threads that only get the processor when nothing else wants it: the
// lowest scheduling class on themselves (raising the streaming threads
// would need privileges).
class LoadThreads {
 public:
  explicit LoadThreads(int count) {
    for (int i = 0; i < count; ++i) threads_.emplace_back([this] { Spin(); });
  }
  ~LoadThreads() {
    stop_ = true;
    for (std::thread& t : threads_) t.join();
  }
  LoadThreads(const LoadThreads&) = delete;
  LoadThreads& operator=(const LoadThreads&) = delete;

 private:
  void Spin() {
    sched_param param{};
    if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &param) != 0) {
      setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
    }
    volatile uint64_t work = 0;
    while (!stop_.load(std::memory_order_relaxed)) work = work + 1;
  }

  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

// A user picks another buffer size in the control panel program: starts it
// as the Control Panel applet does (from a shell process of its own), drags
// the slider's thumb to size / 32 and lets go there (the dialog stores the
// size and tells the running drivers), waits until the dialog has handled
// it, and closes it. "" when all of that happened, else what did not.
std::string UserPicksPanelBufferSize(sim::ControlPanelProgram& program, uint32_t size) {
  constexpr DWORD kPanelWaitMs = 10000;
  const int position = static_cast<int>(size / 32);
  std::string error;
  platform::ClientProcess* shell = platform::CreateClientProcess("explorer");
  {
    platform::ProcessScope in(shell);
    std::unique_ptr<sim::PanelRun> run = program.Start();
    if (run == nullptr) {
      error = "CreateProcessW could not start it";
    } else if (!run->WaitForDialog(kPanelWaitMs)) {
      error = "its dialog did not open";
    } else {
      if (!run->DragSlider(position) || !run->ReleaseSlider(position) || !run->WaitIdle(kPanelWaitMs)) {
        error = "its dialog did not handle the slider";
      } else if (run->Snapshot().view.Control(IDC_BUFFER_SLIDER).sliderPosition != position) {
        error = "its slider did not stay where the user let go";
      }
      if (!run->Close() || !run->WaitForEnd(kPanelWaitMs)) {
        if (error.empty()) error = "it did not end after WM_CLOSE";
      }
    }
  }
  platform::EndClientProcess(shell);
  return error;
}

// A size other than `buffer` within the driver's 64..3840 (DSD: a multiple of 4).
uint32_t OtherBufferSize(uint32_t buffer) { return buffer * 2 <= 3840 ? buffer * 2 : std::max<uint32_t>(64, buffer / 2); }

// The size the panel's slider offers nearest below `size`: multiples of 32
// from 64 to 3840.
uint32_t SliderSize(uint32_t size) { return std::clamp<uint32_t>(size / 32, 2, 120) * 32; }

sim::LowLatencyPlayLayout PlayLayoutOf(const sim::AsioGeneration& g, const sim::StreamFormat& f) {
  sim::LowLatencyPlayLayout layout;
  layout.channels = f.channels;
  layout.subslotBytes = f.subslotBytes;
  layout.dsd = g.dsd;
  layout.halfFrames = g.halfFrames;
  layout.entries = static_cast<uint32_t>(g.outputChannels.size());
  layout.entryOfChannel.assign(f.channels, -1);
  for (uint32_t e = 0; e < layout.entries; ++e) {
    const auto ch = static_cast<uint32_t>(g.outputChannels[e]);
    if (ch < f.channels) layout.entryOfChannel[ch] = static_cast<int32_t>(e);
  }
  return layout;
}

void Progress(const ProgressSink& sink, double seconds, const sim::AsioHostCounters& c) {
  char text[160];
  std::snprintf(text, sizeof text, "\rasio %6.1f s  switches %llu  resets %llu  instances %u   ", seconds,
                static_cast<unsigned long long>(c.bufferSwitches), static_cast<unsigned long long>(c.resetRequests),
                c.generations);
  sink(text);
}

// Callback periods after each instance's first second: mean from first to
// last switch, and the largest gap.
void MeasurePeriods(const std::vector<sim::AsioSwitchRecord>& records, AsioReport* r) {
  double spanNs = 0;
  uint64_t intervals = 0;
  double maxNs = 0;
  size_t begin = 0;
  while (begin < records.size()) {
    size_t end = begin;
    while (end < records.size() && records[end].generation == records[begin].generation) ++end;
    const int64_t steadyFrom = records[begin].hostNs + static_cast<int64_t>(kSteadyFromSeconds * 1e9);
    size_t first = begin;
    while (first < end && records[first].hostNs < steadyFrom) ++first;
    int64_t previous = first < end ? records[first].hostNs : 0;
    for (size_t k = first; k < end; ++k) {
      maxNs = std::max(maxNs, static_cast<double>(records[k].hostNs - previous));
      previous = records[k].hostNs;
    }
    if (end - first >= 2) {
      spanNs += static_cast<double>(records[end - 1].hostNs - records[first].hostNs);
      intervals += end - first - 1;
    }
    begin = end;
  }
  r->periodCount = intervals;
  r->periodMeanUs = intervals ? spanNs / intervals / 1000.0 : 0;
  r->periodMaxUs = maxNs / 1000.0;
}

// Each instance's played output against its signal, and the latency from
// its switches to the device playing the halves they asked for.
void JudgeOutput(const PlayWatch& watch, const std::vector<sim::AsioSwitchRecord>& records, uint64_t outputBase,
                 AsioReport* r) {
  std::vector<int64_t> latencies;
  const std::vector<PlayWatch::Judged>& checks = watch.Checks();
  bool exact = !checks.empty();
  for (size_t g = 0; g < checks.size() && g < r->generations.size(); ++g) {
    const sim::LowLatencyPlayCheck& check = *checks[g].check;
    AsioGenerationReport& i = r->generations[g];
    i.checked = true;
    i.framesChecked = check.FramesMatched();
    i.startupFrames = check.StartupFrames();
    i.mismatch = check.Mismatch();
    if (i.mismatch) {
      i.firstMismatch = check.FirstMismatch();
      i.mismatchKind = check.MismatchKind();
      i.mismatchDevice = FrameText(check.MismatchDevice(), checks[g].layout.subslotBytes);
      i.mismatchExpected = FrameText(check.MismatchExpected(), checks[g].layout.subslotBytes);
    }
    // An instance a reset ended may run dry after its stop: silence then is
    // the stop's, not a lost half.
    const bool stopTail = i.endedByReset && i.mismatchKind == "silence";
    if (!check.Aligned()) {
      if (!i.endedByReset) r->mismatchCauses.push_back("no_output_played");
      if (!i.endedByReset) exact = false;
    } else if (i.mismatch && !stopTail) {
      r->mismatchCauses.push_back(i.mismatchKind);
      exact = false;
    }
    std::vector<uint64_t> switchFrames;
    for (const sim::AsioSwitchRecord& s : records)
      if (s.generation == g) switchFrames.push_back(s.deviceFrames);
    AddLatencies(switchFrames, check.HalfStarts(), outputBase + checks[g].base, &latencies);
  }
  r->comparisonLostBytes = watch.LostBytes();
  r->bitExact = exact && r->comparisonLostBytes == 0 && !r->generations.empty() && r->generations.back().framesChecked > 0;
  if (!r->bitExact) {
    if (r->missedSwitches) r->mismatchCauses.push_back("missed_switches");
    if (r->outputReadyErrors) r->mismatchCauses.push_back("output_ready_failed");
    if (r->deviceUnderruns + r->deviceOverruns) r->mismatchCauses.push_back("device_xrun");
    if (r->busLateXruns) r->mismatchCauses.push_back("bus_late");
  }
  // In the host's samples, as getLatencies reports (a DSD device frame
  // carries 32 one-bit samples of each channel).
  const int64_t samples = r->dsd ? 32 : 1;
  const MeasuredLatency m = SummariseLatencies(std::move(latencies));
  r->latencyMeasured = m.measured;
  r->latencyMedian = m.median * samples;
  r->latencyMin = m.min * samples;
  r->latencyMax = m.max * samples;
}

}  // namespace

AsioReport RunAsioReport(const AsioRunOptions& o, const ProgressSink& progress) {
  AsioReport r;
  sim::DescriptorSet descriptors;
  sim::AudioFunctionConfig audio;
  if (!LoadLowLatencyDevice(o.profile, o.descriptorPath, o.fullSpeed, &descriptors, &audio, &r.device, &r.error)) {
    r.exitCode = 2;
    return r;
  }
  r.buffer = o.buffer;
  r.rate = o.rate;
  r.dsd = o.dsd;
  r.timeInfo = o.timeInfo;
  r.load = o.load;
  r.seconds = o.seconds;
  r.injections = o.injections;
  for (AsioInjection& f : r.injections)
    if (f.kind == AsioInjectionKind::PanelBufferSize) {
      if (f.value == 0) f.value = OtherBufferSize(o.buffer);
      f.value = SliderSize(f.value);
      // The slider's own step when the rounding met the current size.
      if (f.value == o.buffer) f.value = f.value + 32 <= 3840 ? f.value + 32 : f.value - 32;
    }

  const DefaultTickScope tick;
  sim::StreamingOptions streaming;
  streaming.ppm = o.ppm;
  streaming.recordPlayback = false;  // the played frames stream through the watch instead
  sim::SimulatedMachine machine(descriptors, audio, streaming);
  r.startStatus = static_cast<uint32_t>(machine.Start());
  if (!NT_SUCCESS(static_cast<NTSTATUS>(r.startStatus))) {
    machine.Shutdown();
    JudgeAsio(&r);
    return r;
  }
  sim::InstallAsioDriverModule();
  r.registerResult = static_cast<int32_t>(sim::RunRegsvr32());
  std::unique_ptr<sim::ControlPanelProgram> panel;
  for (const AsioInjection& f : r.injections)
    if (f.kind == AsioInjectionKind::PanelBufferSize && !panel) panel = std::make_unique<sim::ControlPanelProgram>();

  std::vector<sim::FaultInjection> deviceFaults;
  for (const AsioInjection& f : r.injections)
    if (f.kind == AsioInjectionKind::Device) deviceFaults.push_back(f.device);
  sim::FaultInjector faults(machine, deviceFaults);
  const sim::StreamingCounters before = machine.Streaming().Counters();
  auto playWatch = std::make_unique<PlayWatch>(machine.Streaming());

  sim::AsioHostOptions h;
  h.bufferSize = o.buffer;
  h.rate = o.rate;
  h.inputs = o.inputs;
  h.outputs = o.outputs;
  h.timeInfo = o.timeInfo;
  h.dsd = o.dsd;
  h.callsOutOfOrder = o.callsOutOfOrder;
  // Room for every switch of the run at the smallest buffer, and some.
  const double switchRate = o.dsd ? o.rate / 8.0 / 64.0 : o.rate / 64.0;
  h.recordCapacity = static_cast<size_t>(std::min(switchRate * (o.seconds + kUnplugGraceSeconds + 2), 4e6));
  sim::AudioStreaming& device = machine.Streaming();
  h.captureFormat = [&device] {
    const sim::StreamFormat f = device.Capture();
    sim::LowLatencyCaptureLayout layout;
    layout.channels = f.channels;
    layout.subslotBytes = f.subslotBytes;
    layout.bits = f.bitResolution;
    return layout;
  };
  h.deviceFramesOutput = [&device] { return device.Counters().framesOutput; };
  sim::AsioHost host(h);
  host.onGeneration = [&](const sim::AsioGeneration& g) {
    if (!g.outputChannels.empty()) playWatch->Start(PlayLayoutOf(g, device.Render()));
  };
  std::unique_ptr<LoadThreads> load;
  if (o.load > 0) load = std::make_unique<LoadThreads>(o.load);

  const Clock::time_point start = Clock::now();
  sim::StreamingCounters atStart{};
  bool deviceStarted = false;
  if (!host.Start()) {
    r.hostError = host.Error();
  } else {
    double unpluggedAt = -1;
    double lastProgress = -1;
    std::vector<bool> done(r.injections.size(), false);
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      faults.Advance(seconds);
      for (size_t k = 0; k < r.injections.size(); ++k) {
        AsioInjection& f = r.injections[k];
        if (done[k] || seconds < f.at || f.kind == AsioInjectionKind::Device) continue;
        done[k] = true;
        f.applied = true;
        if (f.kind == AsioInjectionKind::PanelBufferSize) {
          const std::string error = UserPicksPanelBufferSize(*panel, f.value);
          if (!error.empty() && r.panelError.empty()) r.panelError = "the control panel program: " + error;
        } else {
          // Longer than two periods of the instance running now.
          const double periodMs = 1000.0 * o.buffer / (o.dsd ? o.rate / 8.0 : o.rate);
          host.SlowNextSwitch(static_cast<uint32_t>(std::ceil(2.5 * periodMs)));
        }
      }
      const sim::StreamingCounters now = device.Counters();
      if (!deviceStarted && (now.framesPlayed > before.framesPlayed || now.framesCaptured > before.framesCaptured)) {
        deviceStarted = true;
        atStart = now;
      }
      const sim::AsioHostCounters c = host.Counters();
      if (progress && !o.quiet && seconds >= lastProgress + 0.5) {
        lastProgress = seconds;
        Progress(progress, seconds, c);
      }
      if (faults.Unplugged() && unpluggedAt < 0) unpluggedAt = seconds;
      if (unpluggedAt >= 0 && (c.resetsDone > 0 || seconds > unpluggedAt + kUnplugGraceSeconds)) break;
      if (seconds >= o.seconds && unpluggedAt < 0) break;
    }
    if (progress && !o.quiet) progress("\n");
  }
  r.runSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  // What the device played up to here counts; the stop's tail does not.
  playWatch->Stop();
  const sim::StreamingCounters end = device.Counters();
  host.Finish();
  load.reset();
  for (const sim::FaultInjection& f : faults.Plan()) {
    for (AsioInjection& i : r.injections)
      if (i.kind == AsioInjectionKind::Device && i.device.kind == f.kind && i.at == f.at) i.applied = f.applied;
  }
  r.unplugged = faults.Unplugged();

  const sim::AsioHostCounters c = host.Counters();
  r.driverName = host.DriverName();
  r.dllPath = host.DllPath();
  r.driverInputs = host.DriverInputs();
  r.driverOutputs = host.DriverOutputs();
  r.orderViolations = host.OrderViolations();
  r.bufferSwitches = c.bufferSwitches;
  r.timeInfoSwitches = c.timeInfoSwitches;
  r.sameIndexTwice = c.sameIndexTwice;
  r.missedSwitches = c.sameIndexTwice + c.positionJumps;
  r.resetRequests = c.resetRequests;
  r.resetsDone = c.resetsDone;
  r.reopenError = host.ReopenError();
  r.positionErrors = c.positionErrors;
  r.switchesAfterStop = c.switchesAfterStop;
  r.unexpectedTimeInfo = c.unexpectedTimeInfo;
  r.outputReadyErrors = c.outputReadyErrors;
  r.slowCallbacks = c.slowCallbacks;
  r.recordsDropped = c.recordsDropped;
  r.lastStopMs = host.LastStopMs();
  r.samplePositionOk = c.bufferSwitches > 2 && c.positionErrors == 0 && c.positionJumps == 0;

  const std::vector<sim::AsioSwitchRecord> records = host.Records();
  const std::vector<sim::AsioGeneration> generations = host.Generations();
  for (size_t g = 0; g < generations.size(); ++g) {
    AsioGenerationReport i;
    i.bufferSize = generations[g].bufferSize;
    i.halfFrames = generations[g].halfFrames;
    i.inputLatency = generations[g].inputLatency;
    i.outputLatency = generations[g].outputLatency;
    i.endedByReset = g + 1 < generations.size() || (r.resetRequests > 0 && g + 1 == generations.size() && r.unplugged);
    for (const sim::AsioSwitchRecord& s : records) i.switches += s.generation == g;
    r.generations.push_back(i);
  }
  if (!generations.empty()) {
    const sim::AsioGeneration& last = generations.back();
    r.inputs = static_cast<uint32_t>(last.inputChannels.size());
    r.outputs = static_cast<uint32_t>(last.outputChannels.size());
    r.channelNames = last.channelNames;
    r.reportedInputLatency = last.inputLatency;
    r.reportedOutputLatency = last.outputLatency;
    const double frameRate = o.dsd ? o.rate / 32.0 : o.rate;
    r.expectedSwitches = static_cast<uint64_t>(r.runSeconds * frameRate / std::max<uint32_t>(1, last.halfFrames));
    r.nominalPeriodUs = 1e6 * last.halfFrames / frameRate;
  }
  if (deviceStarted) {
    const DeviceXruns xruns = XrunsBetween(atStart, end);
    r.deviceUnderruns = xruns.underruns;
    r.deviceOverruns = xruns.overruns;
    r.busLateXruns = xruns.busLate;
  }
  MeasurePeriods(records, &r);
  if (r.outputs) JudgeOutput(*playWatch, records, before.framesOutput, &r);
  if (r.inputs) {
    r.inputChecked = true;
    r.inputBitExact = host.InputContinuous();
    r.inputMismatch = host.InputMismatchText();
  }
  playWatch.reset();
  panel.reset();
  machine.Shutdown();  // the driver unloads; the verifier checks what it left
  JudgeAsio(&r);
  return r;
}

SimCommandResult RunAsio(const std::vector<std::string>& args, const ProgressSink& progress) {
  return RunReportCommand(args, progress, &ParseAsioOptions, kAsioUsage, &RunAsioReport, &AsioReportJson,
                          &AsioReportText);
}

}  // namespace tools
