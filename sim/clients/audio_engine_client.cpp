#include "sim/clients/audio_engine_client.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

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
  // The engine proposes its format and opens the pin with the pin's answer,
  // as long as that keeps the sample layout it streams in.
  std::vector<uint8_t> ksFormat =
      KsFilter::PcmFormat(format.channels, format.validBits, format.sampleRate, format.bitsPerSample);
  std::vector<uint8_t> offered;
  if (NT_SUCCESS(filter_.Intersect(pinId, format.channels, format.bitsPerSample, format.sampleRate, &offered)) &&
      offered.size() >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE)) {
    WAVEFORMATEXTENSIBLE wave;
    std::memcpy(&wave, offered.data() + sizeof(KSDATAFORMAT), sizeof wave);
    const uint32_t validBits = wave.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? wave.Samples.wValidBitsPerSample
                                                                                 : wave.Format.wBitsPerSample;
    if (wave.Format.nChannels == format.channels && wave.Format.wBitsPerSample == format.bitsPerSample &&
        wave.Format.nSamplesPerSec == format.sampleRate && validBits == format.validBits) {
      ksFormat = offered;
      run->intersected = true;
    }
  }
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

bool AudioEngineClient::PauseAndResume(KsPin* pin, uint32_t pauseForMs, EngineRun* run) {
  NTSTATUS status = pin->SetState(KSSTATE_PAUSE);
  if (!NT_SUCCESS(status)) {
    Fail(run, status, "RUN -> PAUSE");
    return false;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(pauseForMs));  // the application's pause
  status = pin->SetState(KSSTATE_RUN);
  if (!NT_SUCCESS(status)) {
    Fail(run, status, "PAUSE -> RUN");
    return false;
  }
  run->pauses++;
  return true;
}

namespace {

// The engine's pool of stream requests, used in turn: they complete in the
// order they were submitted.
class RequestRing {
 public:
  RequestRing(size_t count, size_t bytes) {
    for (size_t i = 0; i < count; ++i) requests_.push_back(std::make_unique<KsStreamRequest>(bytes));
  }
  // The request submitted longest ago (or never).
  KsStreamRequest& Oldest() { return *requests_[next_]; }
  void Advance() { next_ = (next_ + 1) % requests_.size(); }
  // Waits (a bounded time) until none is in flight; STOP has completed them.
  bool Settle() {
    const Clock::time_point until = Clock::now() + std::chrono::seconds(10);
    for (auto& r : requests_) {
      while (r->InFlight()) {
        if (Clock::now() > until) return false;
        std::this_thread::yield();
      }
    }
    return true;
  }
  size_t InFlight() const {
    size_t n = 0;
    for (auto& r : requests_) n += r->InFlight() ? 1 : 0;
    return n;
  }

 private:
  std::vector<std::unique_ptr<KsStreamRequest>> requests_;
  size_t next_ = 0;
};

}  // namespace

EngineRun AudioEngineClient::Play(FrameSource& source, const EngineOptions& options) {
  EngineRun run;
  KsPin pin;
  const WavFormat format = source.Format();
  if (!NT_SUCCESS(OpenPin(false, format, &pin, &run))) return run;
  const uint32_t frameBytes = format.BlockAlign();
  const uint64_t rate = format.sampleRate;
  uint64_t total = source.Frames();
  const uint64_t periodFrames = std::max<uint64_t>(1, rate * options.periodMs / 1000);
  const uint64_t leadBytes = std::max<uint64_t>(1, rate * options.leadMs / 1000) * frameBytes;
  const uint64_t prewriteBytes = std::max<uint64_t>(1, rate * options.prewriteMs / 1000) * frameBytes;
  // Enough requests for the lead plus the ones the position is passing.
  const size_t poolSize = static_cast<size_t>(std::max(leadBytes, prewriteBytes) / (periodFrames * frameBytes)) + 4;
  RequestRing ring(poolSize, periodFrames * frameBytes);
  const std::vector<uint8_t> silenceFrame = SilenceFrame(format);
  uint64_t written = 0;    // source frames submitted
  uint64_t submitted = 0;  // bytes submitted
  // One period from the source, then silence once it is all out.
  auto submitNext = [&]() -> bool {
    KsStreamRequest& r = ring.Oldest();
    if (r.InFlight()) return false;
    uint64_t frames = 0;
    while (frames < periodFrames && written < total) {
      const uint64_t n = source.Read(r.Data() + frames * frameBytes, std::min(periodFrames - frames, total - written));
      if (n == 0) {
        total = written;  // the source ended early (a file that cannot be read further)
        break;
      }
      frames += n;
      written += n;
    }
    for (uint64_t f = frames; f < periodFrames; ++f) {
      std::memcpy(r.Data() + f * frameBytes, silenceFrame.data(), frameBytes);
      run.paddingFrames++;
    }
    const NTSTATUS status = r.Submit(pin.Handle(), true, periodFrames * frameBytes);
    if (status != STATUS_PENDING && !NT_SUCCESS(status)) {
      Fail(&run, status, "write stream");
      return false;
    }
    ring.Advance();
    submitted += periodFrames * frameBytes;
    return true;
  };
  while (submitted < prewriteBytes && submitNext()) {
  }

  DeviceWatch device(machine_.Streaming(), false, &run);
  const NTSTATUS status = pin.SetState(KSSTATE_RUN);
  if (!NT_SUCCESS(status)) {
    Fail(&run, status, "PAUSE -> RUN");
    run.clientFrames = written;
    StopAndClose(&pin, KSSTATE_PAUSE, &run);
    ring.Settle();
    return run;
  }
  run.reachedRun = true;
  const Clock::time_point start = Clock::now();
  Clock::time_point lastMove = start;
  Clock::time_point sourceDone = start;
  Clock::time_point nextPeriod = start;
  ULONGLONG lastPlay = 0;
  bool sourceWritten = false;
  bool paused = false;
  for (;;) {
    nextPeriod += std::chrono::milliseconds(options.periodMs);
    std::this_thread::sleep_until(nextPeriod);  // the engine's own periodic timer
    KSAUDIO_POSITION position{};
    if (!NT_SUCCESS(pin.GetPosition(&position))) break;
    Clock::time_point now = Clock::now();
    if (position.PlayOffset != lastPlay) {
      lastPlay = position.PlayOffset;
      lastMove = now;
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
    if (MsSince(lastMove, now) > options.stallMs) {
      run.stalled = true;
      break;
    }
    if (sourceWritten && MsSince(sourceDone, now) > options.drainMs) break;
    if (!paused && options.pauseAtSeconds >= 0 && SecondsSince(start, now) >= options.pauseAtSeconds) {
      paused = true;
      if (!PauseAndResume(&pin, options.pauseForMs, &run)) break;
      now = Clock::now();
      lastMove = now;
      nextPeriod = now;
      if (sourceWritten) sourceDone = now;
    }
    // Keep the lead: what is submitted and not yet played.
    if (options.holdWrites && options.holdWrites()) continue;
    while (submitted < position.PlayOffset + leadBytes && submitNext()) {
    }
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
  if (!ring.Settle()) Fail(&run, STATUS_TIMEOUT, "stream requests outlive the pin");
  return run;
}

EngineRun AudioEngineClient::Record(const WavFormat& format, uint64_t frames, const EngineOptions& options,
                                    WavData* out) {
  EngineRun run;
  out->format = format;
  out->samples.clear();
  KsPin pin;
  if (!NT_SUCCESS(OpenPin(true, format, &pin, &run))) return run;
  const uint32_t frameBytes = format.BlockAlign();
  const uint64_t periodFrames = std::max<uint64_t>(1, uint64_t{format.sampleRate} * options.periodMs / 1000);
  const size_t poolSize = std::max<size_t>(4, options.leadMs / std::max<uint32_t>(1, options.periodMs) + 3);
  RequestRing ring(poolSize, periodFrames * frameBytes);
  for (size_t i = 0; i < poolSize; ++i) {
    const NTSTATUS status = ring.Oldest().Submit(pin.Handle(), false, 0);
    if (status != STATUS_PENDING) {
      Fail(&run, status, "read stream");
      StopAndClose(&pin, KSSTATE_PAUSE, &run);
      ring.Settle();
      return run;
    }
    ring.Advance();
  }
  DeviceWatch device(machine_.Streaming(), true, &run);
  const NTSTATUS status = pin.SetState(KSSTATE_RUN);
  if (!NT_SUCCESS(status)) {
    Fail(&run, status, "PAUSE -> RUN");
    StopAndClose(&pin, KSSTATE_PAUSE, &run);
    ring.Settle();
    return run;
  }
  run.reachedRun = true;
  const size_t wanted = static_cast<size_t>(frames) * frameBytes;
  out->samples.reserve(wanted);
  const Clock::time_point start = Clock::now();
  Clock::time_point lastData = start;
  Clock::time_point nextPeriod = start;
  for (;;) {
    nextPeriod += std::chrono::milliseconds(options.periodMs);
    std::this_thread::sleep_until(nextPeriod);
    const Clock::time_point now = Clock::now();
    // Completed requests, in order: their data, then back to the port.
    while (!ring.Oldest().InFlight() && out->samples.size() < wanted) {
      KsStreamRequest& r = ring.Oldest();
      if (!NT_SUCCESS(r.Status())) {
        Fail(&run, r.Status(), "read stream");
        break;
      }
      const size_t n = std::min<size_t>(r.DataUsed(), wanted - out->samples.size());
      out->samples.insert(out->samples.end(), r.Data(), r.Data() + n);
      lastData = now;
      const NTSTATUS submit = r.Submit(pin.Handle(), false, 0);
      if (submit != STATUS_PENDING) {
        Fail(&run, submit, "read stream");
        break;
      }
      ring.Advance();
    }
    const uint64_t sent = device.Update();
    if (options.onTick) options.onTick({SecondsSince(start, now), out->samples.size() / frameBytes, frames, sent});
    if (options.stopRequested && options.stopRequested()) {
      run.stopped = true;
      break;
    }
    if (!NT_SUCCESS(run.status)) break;
    if (out->samples.size() >= wanted) {
      run.drained = true;
      break;
    }
    if (MsSince(lastData, now) > options.stallMs) {
      run.stalled = true;
      break;
    }
  }
  device.Update();
  out->samples.resize(out->samples.size() / frameBytes * frameBytes);
  run.clientFrames = out->samples.size() / frameBytes;
  run.runSeconds = SecondsSince(start, Clock::now());
  StopAndClose(&pin, KSSTATE_RUN, &run);
  if (!ring.Settle()) Fail(&run, STATUS_TIMEOUT, "stream requests outlive the pin");
  return run;
}

}  // namespace sim
