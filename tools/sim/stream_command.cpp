#include "tools/sim/stream_command.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "sim/clients/audio_compare.h"
#include "sim/clients/audio_engine_client.h"
#include "sim/clients/fault_plan.h"
#include "sim/clients/simulated_machine.h"
#include "sim/clients/wav_file.h"
#include "sim/profiles/device_profile.h"
#include "sim/uac/default_audio_config.h"
#include "sim/usb/descriptor_file.h"
#include "tools/inspect/status_names.h"
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

bool LoadSource(const StreamOptions& o, sim::WavData* source, std::string* description, std::string* error) {
  if (o.tone) {
    const size_t frames = static_cast<size_t>(o.seconds * o.format.sampleRate + 0.5);
    *source = sim::MakeTone(o.toneHz, kToneDbfs, o.format, frames);
    char text[64];
    std::snprintf(text, sizeof text, "tone %g Hz", o.toneHz);
    *description = text;
  } else {
    if (!sim::ReadWavFile(o.wavPath, source, error)) {
      *error = o.wavPath + ": " + *error;
      return false;
    }
    if (o.seconds > 0) {
      const size_t frames = static_cast<size_t>(o.seconds * source->format.sampleRate + 0.5);
      source->samples.resize(std::min(source->samples.size(), frames * source->format.BlockAlign()));
    }
    *description = o.wavPath;
  }
  if (source->Frames() == 0) {
    *error = "no audio to play";
    return false;
  }
  return true;
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
  r->underruns = run.atEnd.underruns;
  r->overruns = run.atEnd.overruns;
  if (run.deviceStarted) {
    r->underrunsAfterStartup = run.atEnd.underruns - run.atStart.underruns;
    r->overrunsAfterStartup = run.atEnd.overruns - run.atStart.overruns;
  }
  r->feedbackSeen = run.atEnd.feedbackPackets > 0;
  r->feedbackMin = run.atEnd.feedbackMin;
  r->feedbackMax = run.atEnd.feedbackMax;
  r->feedbackNominal = NominalFeedback(run.deviceRate ? run.deviceRate : r->clientFormat.sampleRate, r->highSpeed);
  const sim::TransferCounters transfers = machine.Device().DataTransferCounters();
  r->lateCompletions = transfers.lateCompletions;
  r->latePackets = transfers.latePackets;
  r->reachedRun = run.reachedRun;
  r->stalled = run.stalled;
  r->drained = run.drained;
  r->runMs = static_cast<uint64_t>(run.runSeconds * 1000);
  if (!NT_SUCCESS(run.status)) {
    r->failedStep = run.failedStep;
    r->failedStatus = static_cast<uint32_t>(run.status);
  }
}

void ComparePlayed(const sim::WavData& source, const sim::EngineRun& run, const std::vector<uint8_t>& played,
                   bool partialOk, StreamReport* r) {
  r->framesPlayed = run.clientFrames;
  r->paddingFrames = run.paddingFrames;
  const uint32_t frameBytes = run.deviceFormat.FrameBytes();
  if (frameBytes == 0) return;
  r->deviceFrames = played.size() / frameBytes;
  const std::vector<uint8_t> expected = sim::ClientToDevice(
      source.samples.data(), run.clientFrames * source.format.BlockAlign(), source.format, run.deviceFormat);
  const std::vector<uint8_t> clientSilence = sim::SilenceFrame(source.format);
  const std::vector<uint8_t> silence =
      sim::ClientToDevice(clientSilence.data(), clientSilence.size(), source.format, run.deviceFormat);
  const sim::FrameComparison c = sim::CompareFrames(expected, played, frameBytes, silence, partialOk);
  r->framesReceived = c.receivedFrames;
  r->bitExact = c.bitExact;
  r->firstMismatch = c.firstMismatch;
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
  sim::WavData source;
  StreamReport report;
  report.capture = capture;
  report.device = device.name;
  report.ppm = o.ppm;
  report.highSpeed = device.descriptors.highSpeed;
  report.injections = o.injections;
  if (capture) {
    report.clientFormat = o.format;
    report.source = o.outPath;
  } else {
    if (!LoadSource(o, &source, &report.source, &error)) return BadInput(error, nullptr);
    report.clientFormat = source.format;
  }
  const uint64_t wantedFrames =
      capture ? static_cast<uint64_t>(o.seconds * o.format.sampleRate + 0.5) : source.Frames();

  sim::StreamingOptions streaming;
  streaming.ppm = o.ppm;
  sim::SimulatedMachine machine(device.descriptors, device.audio, streaming);
  report.startStatus = static_cast<uint32_t>(machine.Start());
  if (!NT_SUCCESS(static_cast<NTSTATUS>(report.startStatus))) {
    report.error = "the driver did not start";
    machine.Shutdown();
    return Finish(report, o.json);
  }
  sim::RenderPipeWatch pipes(machine.Device());
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
  std::vector<uint8_t> played;
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
    run = capture ? client.Record(o.format, wantedFrames, engine, &recording) : client.Play(source, engine);
    played = machine.Streaming().PlayedAudio();
  }
  report.injections = faults.Plan();
  report.unplugged = faults.Unplugged();
  DeviceFacts(run, machine, &report);
  report.restarts = pipes.Resets();
  client.Close();
  machine.Shutdown();  // the driver unloads; the verifier checks what it left

  if (capture) {
    CompareRecorded(recording, run, &report);
  } else {
    ComparePlayed(source, run, played, report.unplugged, &report);
  }
  Judge(wantedFrames, &report);

  // The device's audio (play) or the recording, as a WAV file.
  if (!o.outPath.empty() && run.reachedRun) {
    sim::WavData out;
    if (capture) {
      out = std::move(recording);
    } else if (report.deviceFormat.channels) {
      out.format = {report.deviceFormat.channels, report.deviceFormat.subslotBytes * 8,
                    std::min(report.deviceFormat.bitResolution, report.deviceFormat.subslotBytes * 8),
                    report.deviceRate ? report.deviceRate : source.format.sampleRate, 0, false};
      out.samples = std::move(played);
    }
    if (out.format.channels) {
      if (out.format.validBits == 0) out.format.validBits = out.format.bitsPerSample;
      if (!sim::WriteWavFile(o.outPath, out, &error)) {
        SimCommandResult result = Finish(report, o.json);
        result.err = "usbaudio-sim: " + error + "\n";
        result.exitCode = 2;
        return result;
      }
      report.outWritten = true;
      report.outPath = o.outPath;
    }
  }
  return Finish(report, o.json);
}

}  // namespace tools
