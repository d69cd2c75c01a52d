// The Windows audio engine as a client of the "Wave" filter: it opens a
// streaming pin in an exact PCM format through KS, steps it STOP → ACQUIRE →
// PAUSE, hands the port some audio before RUN, then feeds it in real time,
// keeping a few tens of milliseconds ahead of the play position (woken by
// the port's service passes, never by polling), and writes silence after
// the source, as the engine does while the application has nothing, until
// the device has played every source frame. Capture reads what the port
// copied out of the cyclic buffer. Stopping steps back down to STOP and
// closes the pin. It also watches the simulated device while it streams.
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
  uint32_t prewriteMs = 30;        // written before RUN
  uint32_t leadMs = 30;            // kept written ahead of the play position
  uint32_t stallMs = 2000;         // no service for this long while running: streaming has stopped
  uint32_t drainMs = 5000;         // after the source, at most this long for the device to play it all
  uint32_t tickMs = 50;            // the longest wait between two calls of onTick
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
  bool stalled = false;              // the port stopped servicing the pin while it ran
  bool stopped = false;              // ended early because stopRequested said so
  bool drained = false;              // render: the device played every source frame before the stop
  uint64_t clientFrames = 0;         // render: source frames written; capture: frames recorded
  uint64_t paddingFrames = 0;        // render: silence frames written after the source
  // Render: for how many frames' time the driver had taken everything the
  // client wrote (the client was late: the stream went on with silence or
  // a gap), and the stream frame where that first happened (UINT64_MAX: never).
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
  // RUN → PAUSE → ACQUIRE → STOP from wherever the pin is, then close it.
  void StopAndClose(KsPin* pin, KSSTATE reached, EngineRun* run);
  void Fail(EngineRun* run, NTSTATUS status, const char* step);

  SimulatedMachine& machine_;
  KsFilter filter_;
};

}  // namespace sim
