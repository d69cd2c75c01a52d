#include "tools/sim/stream_command.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>

#include "platform/kernel/dispatch_time.h"
#include "platform/kernel/host_timing.h"
#include "sim/clients/audio_compare.h"
#include "sim/clients/audio_engine_client.h"
#include "sim/clients/fault_plan.h"
#include "sim/clients/simulated_machine.h"
#include "sim/clients/wav_file.h"
#include "sim/profiles/device_profile.h"
#include "sim/uac/default_audio_config.h"
#include "sim/usb/descriptor_file.h"
#include "tools/inspect/status_names.h"
#include "tools/sim/playback_check.h"
#include "tools/sim/stream_options.h"
#include "tools/sim/stream_report.h"

namespace tools {

namespace {

constexpr double kToneDbfs = -6.0;

struct Device {
  std::string name;
  sim::DescriptorSet descriptors;
  sim::AudioFunctionConfig audio;
};

bool LoadDevice(const StreamOptions& o, Device* device, std::string* error) {
  if (!o.descriptorPath.empty()) {
    if (!sim::LoadDescriptorFile(o.descriptorPath, o.fullSpeed, device->descriptors, *error)) {
      *error = o.descriptorPath + ": " + *error;
      return false;
    }
    device->audio = sim::DefaultAudioConfig(device->descriptors);
    device->name = o.descriptorPath;
    return true;
  }
  sim::DeviceProfile profile;
  if (!sim::MakeProfile(o.profile, profile)) {
    *error = "unknown profile '" + o.profile + "'";
    return false;
  }
  device->descriptors = profile.descriptors;
  device->audio = profile.audio;
  device->name = o.profile;
  return true;
}

// The audio to play, read as it is played (opened once for the client and
// once for the comparison).
std::unique_ptr<sim::FrameSource> OpenSource(const StreamOptions& o, std::string* description, std::string* error) {
  std::unique_ptr<sim::FrameSource> source;
  if (o.tone) {
    const uint64_t frames = static_cast<uint64_t>(o.seconds * o.format.sampleRate + 0.5);
    source = std::make_unique<sim::ToneSource>(o.toneHz, kToneDbfs, o.format, frames);
    char text[64];
    std::snprintf(text, sizeof text, "tone %g Hz", o.toneHz);
    *description = text;
  } else {
    source = sim::WavFileSource::Open(o.wavPath, o.seconds, error);
    if (!source) {
      *error = o.wavPath + ": " + *error;
      return nullptr;
    }
    *description = o.wavPath;
  }
  if (source->Frames() == 0) {
    *error = "no audio to play";
    return nullptr;
  }
  return source;
}

// The machine's clock tick and injected latency for one run; the previous
// ones come back when it ends (the tool may run in a test's process).
class HostTimingScope {
 public:
  HostTimingScope(double tickMs, double jitterUs)
      : tick_(platform::ClockTick()), latency_(platform::InjectedLatency()) {
    platform::SetClockTick(std::chrono::nanoseconds(std::llround(tickMs * 1e6)));
    platform::SetInjectedLatency(std::chrono::microseconds(std::llround(jitterUs)));
  }
  ~HostTimingScope() {
    platform::SetClockTick(tick_);
    platform::SetInjectedLatency(latency_);
  }
  HostTimingScope(const HostTimingScope&) = delete;
  HostTimingScope& operator=(const HostTimingScope&) = delete;

 private:
  const std::chrono::nanoseconds tick_;
  const std::chrono::microseconds latency_;
};

void DispatchFacts(StreamReport* r) {
  const platform::DispatchTimes times = platform::MeasuredDispatchTimes();
  r->maxDispatchNs = times.maxNs;
  r->p999DispatchNs = times.p999Ns;
  r->maxDispatchSite = times.maxSite;
  r->maxDispatchKind = times.maxKind;
}

// A "\r"-updated line, about twice a second.
class Progress {
 public:
  Progress(ProgressSink sink, bool capture) : sink_(std::move(sink)), capture_(capture) {}
  ~Progress() {
    if (shown_) sink_("\n");
  }
  void Update(const sim::EngineProgress& p) {
    if (!sink_ || p.seconds < next_) return;
    next_ = p.seconds + 0.5;
    char text[160];
    std::snprintf(text, sizeof text, "\r%s %6.1f s  %llu/%llu frames  device %llu   ", capture_ ? "record" : "play",
                  p.seconds, static_cast<unsigned long long>(p.clientFrames),
                  static_cast<unsigned long long>(p.totalFrames), static_cast<unsigned long long>(p.deviceFrames));
    sink_(text);
    shown_ = true;
  }

 private:
  const ProgressSink sink_;
  const bool capture_;
  double next_ = 0;
  bool shown_ = false;
};

uint32_t NominalFeedback(uint32_t rate, bool highSpeed) {
  return static_cast<uint32_t>((uint64_t{rate} << 16) / (highSpeed ? 8000u : 1000u));
}

// The device counters of a run, its format and its data-transfer counters.
void DeviceFacts(const sim::EngineRun& run, sim::SimulatedMachine& machine, StreamReport* r) {
  r->deviceFormat = run.deviceFormat;
  r->deviceRate = run.deviceRate;
  r->deviceStarted = run.deviceStarted;
  // The driver answers for the xruns the bus's own lateness did not cause.
  const sim::StreamingCounters& a = run.atStart;
  const sim::StreamingCounters& e = run.atEnd;
  r->underruns = e.underruns - e.underrunsBusLate;
  r->overruns = e.overruns - e.overrunsBusLate;
  r->busLateXruns = e.underrunsBusLate + e.overrunsBusLate;
  if (run.deviceStarted) {
    r->underrunsAfterStartup = r->underruns - (a.underruns - a.underrunsBusLate);
    r->overrunsAfterStartup = r->overruns - (a.overruns - a.overrunsBusLate);
    r->busLateXrunsAfterStartup = r->busLateXruns - (a.underrunsBusLate + a.overrunsBusLate);
  }
  r->clientLateFrames = run.clientLateFrames;
  r->feedbackSeen = run.atEnd.feedbackPackets > 0;
  r->feedbackMin = run.atEnd.feedbackMin;
  r->feedbackMax = run.atEnd.feedbackMax;
  r->feedbackNominal = NominalFeedback(run.deviceRate ? run.deviceRate : r->clientFormat.sampleRate, r->highSpeed);
  const sim::TransferCounters transfers = machine.Device().DataTransferCounters();
  r->lateCompletions = transfers.lateCompletions;
  r->busLateTicks = transfers.lateWakeups;
  r->latePackets = transfers.latePackets;
  r->oversizedPackets = transfers.oversizedPackets;
  r->reachedRun = run.reachedRun;
  r->stalled = run.stalled;
  r->drained = run.drained;
  r->runMs = static_cast<uint64_t>(run.runSeconds * 1000);
  if (!NT_SUCCESS(run.status)) {
    r->failedStep = run.failedStep;
    r->failedStatus = static_cast<uint32_t>(run.status);
  }
}

void ComparePlayed(const PlaybackCheck& check, const sim::EngineRun& run, const sim::RenderPipeWatch& pipes,
                   bool partialOk, StreamReport* r) {
  r->framesPlayed = run.clientFrames;
  r->paddingFrames = run.paddingFrames;
  if (run.deviceFormat.FrameBytes() == 0) return;
  const sim::StreamComparison c = check.Finish(run.clientFrames, partialOk);
  r->deviceFrames = c.deviceFrames;
  r->framesReceived = c.frames.receivedFrames;
  r->bitExact = c.frames.bitExact && check.LostBytes() == 0;
  r->firstMismatch = c.frames.firstMismatch;
  r->mismatchDevice = c.mismatchDevice;
  r->mismatchExpected = c.mismatchExpected;
  r->comparisonLostBytes = check.LostBytes();
  sim::MismatchEvidence evidence;
  evidence.clientLateFrames = run.clientLateFrames;
  evidence.firstClientLate = run.firstClientLateFrame;
  evidence.deviceXruns = r->underruns + r->overruns;
  evidence.busLateXruns = r->busLateXruns;
  evidence.firstXrun = run.atEnd.firstXrunFrame;
  evidence.restarts = r->restarts;
  evidence.firstRestart = pipes.FirstResetFrame();
  r->mismatchCauses = sim::MismatchCauses(r->bitExact, r->firstMismatch, evidence);
}

void CompareRecorded(const sim::WavData& recording, const sim::EngineRun& run, StreamReport* r) {
  r->framesReceived = run.clientFrames;
  r->deviceFrames = run.deviceFrames;
  if (run.deviceFormat.FrameBytes() == 0 || recording.samples.empty()) return;
  r->captureStart = sim::FindCaptureStart(recording.samples, recording.format, run.deviceFormat, run.captureFrameAtEnd);
  if (r->captureStart < 0) {
    r->firstMismatch = 0;
    return;
  }
  const std::vector<uint8_t> signal =
      sim::CaptureSignal(static_cast<uint64_t>(r->captureStart), recording.Frames(), run.deviceFormat);
  const std::vector<uint8_t> expected =
      sim::DeviceToClient(signal.data(), signal.size(), run.deviceFormat, recording.format);
  const sim::FrameComparison c =
      sim::CompareFrames(expected, recording.samples, recording.format.BlockAlign(), {}, false);
  r->bitExact = c.bitExact;
  r->firstMismatch = c.firstMismatch;
}

// A fault that legitimately ends streaming for good.
bool EndsStreaming(const sim::FaultInjection& f) {
  return f.applied && (f.kind == sim::FaultKind::Unplug || (f.kind == sim::FaultKind::ClockInvalid && f.duration == 0));
}

void Judge(uint64_t wantedFrames, StreamReport* r) {
  const bool faults = !r->injections.empty();
  bool streamingMayEnd = false;
  for (const sim::FaultInjection& f : r->injections) streamingMayEnd |= EndsStreaming(f);
  r->exitCode = 1;
  if (r->failedStep == "create pin" && r->failedStatus == static_cast<uint32_t>(STATUS_NO_MATCH)) {
    char format[64];
    std::snprintf(format, sizeof format, "%u ch / %u bit / %u Hz", r->clientFormat.channels,
                  r->clientFormat.validBits, r->clientFormat.sampleRate);
    r->error = std::string(r->capture ? "the capture pin" : "the render pin") + " does not take " + format;
  } else if (!r->failedStep.empty() && !(r->unplugged && r->reachedRun)) {
    r->error = "the driver failed: " + r->failedStep + " returned " + StatusName(r->failedStatus);
  } else if (r->stalled && !streamingMayEnd) {
    r->error = "streaming stopped: the driver no longer serviced the pin";
  } else if (faults) {
    r->exitCode = 0;  // the fault was injected and streaming ended cleanly
  } else if (r->capture ? r->framesReceived < wantedFrames : !r->drained) {
    r->error = r->capture ? "the recording is short" : "the device did not play every frame before the stop";
  } else if (r->comparisonLostBytes) {
    r->error = "the comparison fell behind the device and lost frames";
  } else if (!r->bitExact) {
    r->error = r->capture ? "the recording differs from the device's capture signal"
                          : "the device's audio differs from the client's";
  } else {
    r->exitCode = 0;
  }
}

SimCommandResult Finish(const StreamReport& report, bool json) {
  SimCommandResult result;
  result.exitCode = report.exitCode;
  result.out = json ? StreamReportJson(report) : StreamReportText(report);
  return result;
}

SimCommandResult WriteFailed(const StreamReport& report, bool json, const std::string& error) {
  SimCommandResult result = Finish(report, json);
  result.err = "usbaudio-sim: " + error + "\n";
  result.exitCode = 2;
  return result;
}

SimCommandResult BadInput(const std::string& error, const char* usage) {
  SimCommandResult result;
  result.exitCode = 2;
  result.err = "usbaudio-sim: " + error + "\n" + (usage ? usage : "");
  return result;
}

}  // namespace

SimCommandResult RunStream(const std::vector<std::string>& args, const ProgressSink& progress) {
  StreamOptions o;
  std::string error;
  const bool capture = !args.empty() && args[0] == "record";
  if (!ParseStreamOptions(args, &o, &error)) return BadInput(error, capture ? kRecordUsage : kPlayUsage);
  Device device;
  if (!LoadDevice(o, &device, &error)) return BadInput(error, nullptr);
  std::unique_ptr<sim::FrameSource> source;
  std::unique_ptr<sim::FrameSource> expected;
  StreamReport report;
  report.capture = capture;
  report.device = device.name;
  report.ppm = o.ppm;
  report.highSpeed = device.descriptors.highSpeed;
  report.injections = o.injections;
  report.tickMs = o.tickMs;
  report.jitterUs = o.jitterUs;
  report.completion = CompletionName(o.completion);
  if (capture) {
    report.clientFormat = o.format;
    report.source = o.outPath;
  } else {
    source = OpenSource(o, &report.source, &error);
    if (source) expected = OpenSource(o, &report.source, &error);
    if (!expected) return BadInput(error, nullptr);
    report.clientFormat = source->Format();
  }
  const uint64_t wantedFrames =
      capture ? static_cast<uint64_t>(o.seconds * o.format.sampleRate + 0.5) : source->Frames();

  sim::StreamingOptions streaming;
  streaming.ppm = o.ppm;
  streaming.recordPlayback = false;  // the played frames stream through the check instead
  const HostTimingScope timing(o.tickMs, o.jitterUs);
  sim::SimulatedMachine machine(device.descriptors, device.audio, streaming);
  machine.Device().SetCompletionMode(o.completion);
  platform::ResetDispatchTimes();
  report.startStatus = static_cast<uint32_t>(machine.Start());
  if (!NT_SUCCESS(static_cast<NTSTATUS>(report.startStatus))) {
    report.error = "the driver did not start";
    machine.Shutdown();
    DispatchFacts(&report);
    return Finish(report, o.json);
  }
  sim::RenderPipeWatch pipes(machine.Device(), &machine.Streaming());
  sim::AudioEngineClient client(machine);
  NTSTATUS status = client.Open();
  ULONG pinId = 0;
  if (NT_SUCCESS(status)) status = client.FindStreamingPin(capture, &pinId);
  if (status == STATUS_NOT_FOUND) {
    client.Close();
    machine.Shutdown();
    return BadInput(std::string("the device has no ") + (capture ? "capture" : "render") + " pin", nullptr);
  }
  sim::FaultInjector faults(machine, o.injections);
  sim::WavData recording;
  sim::EngineRun run;
  std::unique_ptr<PlaybackCheck> check;
  if (!capture) check = std::make_unique<PlaybackCheck>(machine.Streaming(), std::move(expected), o.outPath);
  if (!NT_SUCCESS(status)) {
    run.status = status;
    run.failedStep = "open the Wave filter";
  } else {
    Progress line(o.quiet ? ProgressSink() : progress, capture);
    sim::EngineOptions engine;
    engine.onTick = [&](const sim::EngineProgress& p) {
      faults.Advance(p.seconds);
      line.Update(p);
    };
    engine.stopRequested = [&] { return faults.Unplugged(); };
    engine.holdWrites = [&] { return faults.ClientHeld(); };
    if (capture) {
      run = client.Record(o.format, wantedFrames, engine, &recording);
    } else {
      check->Start();
      run = client.Play(*source, engine);
      check->Stop();  // what the device plays after the client's stop does not count
    }
  }
  report.injections = faults.Plan();
  report.unplugged = faults.Unplugged();
  DeviceFacts(run, machine, &report);
  report.restarts = pipes.Resets();
  client.Close();
  machine.Shutdown();  // the driver unloads; the verifier checks what it left
  DispatchFacts(&report);

  if (capture) {
    CompareRecorded(recording, run, &report);
  } else {
    ComparePlayed(*check, run, pipes, report.unplugged, &report);
  }
  Judge(wantedFrames, &report);

  // The device's audio (play, written as it played) or the recording, as a WAV file.
  if (!o.outPath.empty() && run.reachedRun) {
    bool written = false;
    if (capture) {
      if (recording.format.channels && recording.format.validBits == 0)
        recording.format.validBits = recording.format.bitsPerSample;
      written = recording.format.channels && sim::WriteWavFile(o.outPath, recording, &error);
      if (recording.format.channels && !written) return WriteFailed(report, o.json, error);
    } else if (report.deviceFormat.channels) {
      const uint32_t rate = report.deviceRate ? report.deviceRate : report.clientFormat.sampleRate;
      if (!check->FinishOut(report.deviceFormat, rate, &error)) return WriteFailed(report, o.json, error);
      written = true;
    }
    if (written) {
      report.outWritten = true;
      report.outPath = o.outPath;
    }
  }
  return Finish(report, o.json);
}

}  // namespace tools
