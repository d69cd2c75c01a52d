// The Windows audio engine as a client of the "Wave" filter: it asks the pin
// for the data intersection with its proposed PCM format and opens the pin
// with the format returned (its own exact format when the intersection
// changes the sample layout), steps it STOP → ACQUIRE → PAUSE, submits its
// first stream requests before RUN, then runs on its own 10 ms timer: each
// period it polls KSPROPERTY_AUDIO_POSITION and keeps IOCTL_KS_WRITE_STREAM
// requests of one period each (from a fixed pool of buffers allocated once)
// submitted about 30 ms ahead of the play position, with silence after the
// source until the device has played every source frame. Capture keeps
// IOCTL_KS_READ_STREAM requests queued and takes them as they complete.
// The pin can go RUN → PAUSE → RUN on the way; stopping steps back down to
// STOP (which cancels what is still queued) and closes the pin. It also
// watches the simulated device while it streams.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <string>

#include "sim/clients/audio_compare.h"
#include "sim/clients/audio_source.h"
#include "sim/clients/ks_client.h"
#include "sim/clients/simulated_machine.h"
#include "sim/clients/wav_file.h"
#include "sim/uac/audio_streaming.h"

namespace sim {

struct EngineProgress {
  double seconds = 0;         // since the pin entered RUN
  uint64_t clientFrames = 0;  // render: source frames written; capture: frames recorded
  uint64_t totalFrames = 0;   // of the source / to record
  uint64_t deviceFrames = 0;  // render: frames the device played; capture: frames it sent
};

struct EngineOptions {
  uint32_t periodMs = 10;          // the engine's timer period and each stream request's length
  uint32_t prewriteMs = 30;        // submitted before RUN
  uint32_t leadMs = 30;            // kept submitted ahead of the play position
  uint32_t stallMs = 2000;         // the position did not move for this long while running: streaming has stopped
  uint32_t drainMs = 5000;         // after the source, at most this long for the device to play it all
  uint32_t tickMs = 50;            // the longest wait between two calls of onTick
  // RUN → PAUSE at pauseAtSeconds into the run (negative: never), RUN again
  // pauseForMs later, on the same pin; the stream goes on where it paused.
  double pauseAtSeconds = -1;
  uint32_t pauseForMs = 0;
  // Called on the streaming thread at least every tickMs while running
  // (progress display, fault injection at stream times).
  std::function<void(const EngineProgress&)> onTick;
  // Asked at every tick: true ends streaming at once (e.g. the device was
  // removed, and the engine closes its pin as Windows tells it to).
  std::function<bool()> stopRequested;
  // Render: asked at every tick; true keeps the client from writing (it is
  // late, as when the application is descheduled).
  std::function<bool()> holdWrites;
};

struct EngineRun {
  NTSTATUS status = STATUS_SUCCESS;  // the first KS request that failed
  std::string failedStep;            // e.g. "create pin", "PAUSE -> RUN"
  bool reachedRun = false;
  bool intersected = false;          // the pin was opened with the intersection's format
  uint32_t pauses = 0;               // RUN → PAUSE → RUN cycles made
  bool stalled = false;              // the port stopped servicing the pin while it ran
  bool stopped = false;              // ended early because stopRequested said so
  bool drained = false;              // render: the device played every source frame before the stop
  uint64_t clientFrames = 0;         // render: source frames written; capture: frames recorded
  uint64_t paddingFrames = 0;        // render: silence frames written after the source
  // Render: for how many frames' time the port found no stream request data
  // when it needed it (the client was late: the stream went on with silence
  // or a gap), and the stream frame where that first happened (UINT64_MAX: never).
  uint64_t clientLateFrames = 0;
  uint64_t firstClientLateFrame = UINT64_MAX;
  double runSeconds = 0;             // time spent in RUN
  // The device side while it streamed.
  DeviceFrameFormat deviceFormat;    // of the direction's alternate setting
  uint32_t deviceRate = 0;
  bool deviceStarted = false;        // it played (render) or sent (capture) audio
  uint64_t deviceFrames = 0;         // frames it played / sent while the pin ran
  StreamingCounters atStart;         // when it first played / sent audio
  StreamingCounters atEnd;           // before the pin left RUN
  uint64_t captureFrameAtEnd = 0;    // capture: device frames sent up to the stop
};

class AudioEngineClient {
 public:
  explicit AudioEngineClient(SimulatedMachine& machine) : machine_(machine) {}

  // Opens the machine's "Wave" filter; Close (or the destructor) closes it,
  // which must happen before the device is removed.
  NTSTATUS Open();
  NTSTATUS Close() { return filter_.Close(); }
  // The filter's render (KSPIN_DATAFLOW_IN) or capture (OUT) streaming pin,
  // i.e. one a client connects to (communication sink or both);
  // STATUS_NOT_FOUND when it has none.
  NTSTATUS FindStreamingPin(bool capture, ULONG* pinId);

  // Plays the whole source (its format is the pin's format), reading it as
  // it goes.
  EngineRun Play(FrameSource& source, const EngineOptions& options);
  EngineRun Play(const WavData& source, const EngineOptions& options) {
    MemorySource memory(source);
    return Play(memory, options);
  }
  // Records `frames` frames in `format` into `out`.
  EngineRun Record(const WavFormat& format, uint64_t frames, const EngineOptions& options, WavData* out);

 private:
  NTSTATUS OpenPin(bool capture, const WavFormat& format, KsPin* pin, EngineRun* run);
  // RUN → PAUSE, a wait, PAUSE → RUN; false when a step failed.
  bool PauseAndResume(KsPin* pin, uint32_t pauseForMs, EngineRun* run);
  // RUN → PAUSE → ACQUIRE → STOP from wherever the pin is, then close it.
  void StopAndClose(KsPin* pin, KSSTATE reached, EngineRun* run);
  void Fail(EngineRun* run, NTSTATUS status, const char* step);

  SimulatedMachine& machine_;
  KsFilter filter_;
};

}  // namespace sim
