#include "sim/clients/audio_engine_client.h"

#include <algorithm>
#include <chrono>

#include "platform/kernel/portcls_host.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start, Clock::time_point now) {
  return std::chrono::duration<double>(now - start).count();
}

uint64_t MsSince(Clock::time_point start, Clock::time_point now) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count());
}

DeviceFrameFormat FrameFormatOf(const StreamFormat& f) {
  DeviceFrameFormat d;
  d.channels = f.channels;
  d.subslotBytes = f.subslotBytes;
  d.bitResolution = f.bitResolution;
  return d;
}

// The device side of one direction, watched while the pin runs.
class DeviceWatch {
 public:
  DeviceWatch(AudioStreaming& streaming, bool capture, EngineRun* run)
      : streaming_(streaming), capture_(capture), run_(run), base_(streaming.Counters()) {}

  // Returns the frames the device played (render) or sent (capture) since RUN.
  uint64_t Update() {
    const StreamFormat f = capture_ ? streaming_.Capture() : streaming_.Render();
    if (f.active && f.frameBytes != 0) {
      run_->deviceFormat = FrameFormatOf(f);
      run_->deviceRate = streaming_.Rate();
    }
    const StreamingCounters c = streaming_.Counters();
    const uint64_t frames = capture_ ? c.framesCaptured - base_.framesCaptured : c.framesPlayed - base_.framesPlayed;
    if (!run_->deviceStarted && frames > 0) {
      run_->deviceStarted = true;
      run_->atStart = c;
    }
    run_->atEnd = c;
    run_->deviceFrames = frames;
    run_->captureFrameAtEnd = c.framesCaptured;
    return frames;
  }

 private:
  AudioStreaming& streaming_;
  const bool capture_;
  EngineRun* run_;
  const StreamingCounters base_;
};

}  // namespace

NTSTATUS AudioEngineClient::Open() {
  const std::u16string path = machine_.WaveFilterPath();
  if (path.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
  return filter_.Open(path);
}

NTSTATUS AudioEngineClient::FindStreamingPin(bool capture, ULONG* pinId) {
  ULONG count = 0;
  NTSTATUS status = filter_.PinCount(&count);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG id = 0; id < count; ++id) {
    KsPinInfo info;
    if (!NT_SUCCESS(filter_.GetPin(id, &info))) continue;
    const bool sink =
        info.communication == KSPIN_COMMUNICATION_SINK || info.communication == KSPIN_COMMUNICATION_BOTH;
    if (sink && info.dataFlow == (capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN)) {
      *pinId = id;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_NOT_FOUND;
}

void AudioEngineClient::Fail(EngineRun* run, NTSTATUS status, const char* step) {
  if (NT_SUCCESS(run->status)) {
    run->status = status;
    run->failedStep = step;
  }
}

NTSTATUS AudioEngineClient::OpenPin(bool capture, const WavFormat& format, KsPin* pin, EngineRun* run) {
  ULONG pinId = 0;
  NTSTATUS status = FindStreamingPin(capture, &pinId);
  if (!NT_SUCCESS(status)) {
    Fail(run, status, capture ? "find capture pin" : "find render pin");
    return status;
  }
  const std::vector<uint8_t> ksFormat =
      KsFilter::PcmFormat(format.channels, format.validBits, format.sampleRate, format.bitsPerSample);
  status = filter_.CreatePin(pinId, ksFormat, pin);
  if (!NT_SUCCESS(status)) {
    Fail(run, status, "create pin");
    return status;
  }
  status = pin->SetState(KSSTATE_ACQUIRE);
  if (!NT_SUCCESS(status)) {
    Fail(run, status, "STOP -> ACQUIRE");
    StopAndClose(pin, KSSTATE_STOP, run);
    return status;
  }
  status = pin->SetState(KSSTATE_PAUSE);
  if (!NT_SUCCESS(status)) {
    Fail(run, status, "ACQUIRE -> PAUSE");
    StopAndClose(pin, KSSTATE_ACQUIRE, run);
    return status;
  }
  return STATUS_SUCCESS;
}

void AudioEngineClient::StopAndClose(KsPin* pin, KSSTATE reached, EngineRun* run) {
  static const char* const kSteps[] = {"", "ACQUIRE -> STOP", "PAUSE -> ACQUIRE", "RUN -> PAUSE"};
  for (int state = reached; state > KSSTATE_STOP; --state) {
    const NTSTATUS status = pin->SetState(static_cast<KSSTATE>(state - 1));
    if (!NT_SUCCESS(status)) Fail(run, status, kSteps[state]);
  }
  const NTSTATUS status = pin->Close();
  if (!NT_SUCCESS(status)) Fail(run, status, "close pin");
}

EngineRun AudioEngineClient::Play(FrameSource& source, const EngineOptions& options) {
  EngineRun run;
  KsPin pin;
  const WavFormat format = source.Format();
  if (!NT_SUCCESS(OpenPin(false, format, &pin, &run))) return run;
  const uint32_t frameBytes = format.BlockAlign();
  const uint64_t rate = format.sampleRate;
  uint64_t total = source.Frames();
  const uint64_t leadFrames = std::max<uint64_t>(1, rate * options.leadMs / 1000);
  const uint64_t prewriteFrames = std::max<uint64_t>(1, rate * options.prewriteMs / 1000);
  std::vector<uint8_t> silence;
  for (uint64_t i = 0; i < leadFrames; ++i) {
    const std::vector<uint8_t> frame = SilenceFrame(format);
    silence.insert(silence.end(), frame.begin(), frame.end());
  }
  // One lead's worth of source at a time: the source is never held whole.
  std::vector<uint8_t> block(std::max(leadFrames, prewriteFrames) * frameBytes);
  uint64_t written = 0;
  // Source frames first; once they are all out, silence.
  auto write = [&](uint64_t frames) {
    uint64_t fromSource = 0;
    while (fromSource < frames && written < total) {
      const uint64_t want = std::min({frames - fromSource, total - written, uint64_t{block.size() / frameBytes}});
      const uint64_t n = source.Read(block.data(), want);
      if (n == 0) {
        total = written;  // the source ended early (a file that cannot be read further)
        break;
      }
      platform::PortPinWrite(pin.Handle(), block.data(), n * frameBytes);
      written += n;
      fromSource += n;
    }
    for (uint64_t pad = frames - fromSource; pad;) {
      const uint64_t n = std::min(pad, leadFrames);
      platform::PortPinWrite(pin.Handle(), silence.data(), n * frameBytes);
      run.paddingFrames += n;
      pad -= n;
    }
  };
  write(std::min(total, std::max<uint64_t>(1, rate * options.prewriteMs / 1000)));

  DeviceWatch device(machine_.Streaming(), false, &run);
  const NTSTATUS status = pin.SetState(KSSTATE_RUN);
  if (!NT_SUCCESS(status)) {
    Fail(&run, status, "PAUSE -> RUN");
    run.clientFrames = written;
    StopAndClose(&pin, KSSTATE_PAUSE, &run);
    return run;
  }
  run.reachedRun = true;
  const Clock::time_point start = Clock::now();
  Clock::time_point lastService = start;
  Clock::time_point sourceDone = start;
  ULONGLONG services = 0;
  bool sourceWritten = false;
  for (;;) {
    platform::PortPinInfo info;
    if (!NT_SUCCESS(platform::PortPinInfoOf(pin.Handle(), &info))) break;
    const Clock::time_point now = Clock::now();
    if (info.services != services) {
      services = info.services;
      lastService = now;
    }
    const uint64_t played = device.Update();
    if (written == total && !sourceWritten) {
      sourceWritten = true;
      sourceDone = now;
    }
    if (options.onTick) options.onTick({SecondsSince(start, now), written, total, played});
    if (options.stopRequested && options.stopRequested()) {
      run.stopped = true;
      break;
    }
    if (sourceWritten && played >= total) {
      run.drained = true;
      break;
    }
    if (MsSince(lastService, now) > options.stallMs) {
      run.stalled = true;
      break;
    }
    if (sourceWritten && MsSince(sourceDone, now) > options.drainMs) break;
    // Keep the lead: what the port holds plus what it has not yet taken.
    const uint64_t ahead = (uint64_t{info.queuedBytes} + info.pendingClientBytes) / frameBytes;
    if (ahead < leadFrames && !(options.holdWrites && options.holdWrites())) write(leadFrames - ahead);
    platform::PortPinWaitForService(pin.Handle(), info.services, options.tickMs);
  }
  device.Update();
  run.clientFrames = written;
  run.runSeconds = SecondsSince(start, Clock::now());
  platform::PortPinInfo info;
  if (NT_SUCCESS(platform::PortPinInfoOf(pin.Handle(), &info)) && info.starvedBytes) {
    run.clientLateFrames = info.starvedBytes / frameBytes;
    run.firstClientLateFrame = info.firstStarvedAt / frameBytes;
  }
  StopAndClose(&pin, KSSTATE_RUN, &run);
  return run;
}

EngineRun AudioEngineClient::Record(const WavFormat& format, uint64_t frames, const EngineOptions& options,
                                    WavData* out) {
  EngineRun run;
  out->format = format;
  out->samples.clear();
  KsPin pin;
  if (!NT_SUCCESS(OpenPin(true, format, &pin, &run))) return run;
  DeviceWatch device(machine_.Streaming(), true, &run);
  const NTSTATUS status = pin.SetState(KSSTATE_RUN);
  if (!NT_SUCCESS(status)) {
    Fail(&run, status, "PAUSE -> RUN");
    StopAndClose(&pin, KSSTATE_PAUSE, &run);
    return run;
  }
  run.reachedRun = true;
  const uint32_t frameBytes = format.BlockAlign();
  const size_t wanted = static_cast<size_t>(frames) * frameBytes;
  out->samples.reserve(wanted);
  std::vector<uint8_t> chunk(64 * 1024);
  const Clock::time_point start = Clock::now();
  Clock::time_point lastService = start;
  ULONGLONG services = 0;
  for (;;) {
    platform::PortPinInfo info;
    if (!NT_SUCCESS(platform::PortPinInfoOf(pin.Handle(), &info))) break;
    size_t read = 0;
    while (out->samples.size() < wanted &&
           NT_SUCCESS(platform::PortPinRead(pin.Handle(), chunk.data(),
                                            std::min(chunk.size(), wanted - out->samples.size()), &read)) &&
           read > 0) {
      out->samples.insert(out->samples.end(), chunk.begin(), chunk.begin() + static_cast<long>(read));
    }
    const Clock::time_point now = Clock::now();
    if (info.services != services) {
      services = info.services;
      lastService = now;
    }
    const uint64_t sent = device.Update();
    if (options.onTick) options.onTick({SecondsSince(start, now), out->samples.size() / frameBytes, frames, sent});
    if (options.stopRequested && options.stopRequested()) {
      run.stopped = true;
      break;
    }
    if (out->samples.size() >= wanted) {
      run.drained = true;
      break;
    }
    if (MsSince(lastService, now) > options.stallMs) {
      run.stalled = true;
      break;
    }
    platform::PortPinWaitForService(pin.Handle(), info.services, options.tickMs);
  }
  device.Update();
  out->samples.resize(out->samples.size() / frameBytes * frameBytes);
  run.clientFrames = out->samples.size() / frameBytes;
  run.runSeconds = SecondsSince(start, Clock::now());
  StopAndClose(&pin, KSSTATE_RUN, &run);
  return run;
}

}  // namespace sim
