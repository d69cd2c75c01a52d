// A low-latency (ASIO-style) client of the "Wave" filter in its own
// simulated user-mode process, doing at the kernel-streaming level what the
// ASIO driver does: the DSD-mode request on the filter, pins opened in the
// current format (the direction's full channel count, 32-bit containers;
// DSD: 32-bit containers at the DSD rate / 32), the shared buffers created
// and described through the private property set (entries in the host's
// order), one auto-reset buffer-switch event registered on the capture pin
// when there are inputs (else on the render pin), the output delay, the
// pins run, and a thread of its own that waits on the event, reads the
// shared header with the atomic accessors, fills each output half with a
// known signal and gives output ready, and checks what arrives in the input
// halves. Closing the pins ends it all; it never sends CLEAR_EVENT.
#pragma once

#include <wdm.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/asiochannel/asio_protocol.h"
#include "platform/kernel/client_process.h"
#include "sim/clients/ks_client.h"
#include "sim/clients/lowlatency_signal.h"
#include "sim/clients/simulated_machine.h"

namespace sim {

struct LowLatencyOptions {
  // Frames per half as the ASIO host asks (the request carries twice that);
  // DSD: bytes per channel per half (the host's size / 8), a multiple of 4.
  uint32_t bufferFrames = 256;
  // The pins' rate; DSD: the DSD rate (bits per second per channel).
  uint32_t rate = 48000;
  bool dsd = false;
  // Device channels asked for, in the host's order (entries of the request).
  std::vector<uint32_t> inputChannels;
  std::vector<uint32_t> outputChannels{0, 1};
  bool allOutputs = false;  // every channel of the render pin instead
  // Faults of the client itself, for tests: no output ready after output
  // half number `skipOutputReadyAt` (counted from 0).
  uint64_t skipOutputReadyAt = UINT64_MAX;
  // The DSD-mode value sent (-1: 1 for DSD, else 0), to stream in the wrong mode.
  int deviceModeOverride = -1;
  bool process32Bit = false;
};

// The thread's counters; read while it runs.
struct LowLatencyCounters {
  uint64_t bufferSwitches = 0;   // events taken
  uint64_t missedSwitches = 0;   // toggles beyond one per event (toggleCount above 1)
  uint64_t sameHalfTwice = 0;    // the same half named twice in a row
  uint64_t switchesWithoutToggle = 0;  // events with a toggle count of 0: nothing toggled since the last
  uint64_t outputHalves = 0;     // output halves filled
  uint64_t outputReadyFailures = 0;
  uint64_t inputHalves = 0;
  uint64_t waitTimeouts = 0;     // no event within a second
  uint32_t streamError = 0;      // the render header's (else capture's) streamError word
};

class LowLatencyClient {
 public:
  explicit LowLatencyClient(SimulatedMachine& machine);
  ~LowLatencyClient();  // Stop()
  LowLatencyClient(const LowLatencyClient&) = delete;
  LowLatencyClient& operator=(const LowLatencyClient&) = delete;

  // createBuffers and start: everything up to both pins in RUN and the
  // thread waiting. On failure `FailedStep()` names the request and what
  // was set up is taken down again.
  NTSTATUS Start(const LowLatencyOptions& options);
  // stop and disposeBuffers: wakes and joins the thread, STOP on the pins,
  // closes them, the event and the filter, and ends the process.
  void Stop();

  const std::string& FailedStep() const { return failedStep_; }
  LowLatencyCounters Counters() const;
  bool ThreadRunning() const { return threadRunning_.load(); }
  bool HasInputs() const { return !options_.inputChannels.empty(); }
  bool HasOutputs() const { return !options_.outputChannels.empty() || options_.allOutputs; }
  const std::vector<uint32_t>& OutputChannels() const { return options_.outputChannels; }
  // The render side as the play check needs it (valid after Start).
  LowLatencyPlayLayout PlayLayout() const;
  // Device frames the device had put out (StreamingCounters::framesOutput)
  // when the event asking for output half k came; 0 before it first played.
  std::vector<uint64_t> OutputEventFrames() const;
  // The input check (valid after Stop).
  bool InputContinuous() const;
  std::string InputMismatchText() const;
  uint32_t RenderChannels() const { return renderChannels_; }
  uint32_t CaptureChannels() const { return captureChannels_; }
  uint32_t PinRate() const { return pinRate_; }
  uint32_t HalfFrames() const { return halfFrames_; }  // device frames per half

 private:
  struct Side {
    KsPin pin;
    std::vector<uint32_t> channels;
    AsioSharedHeader* header = nullptr;  // in the client's mapping
    std::vector<uint8_t*> halves[2];     // per entry, client addresses
  };

  NTSTATUS FindPin(bool capture, ULONG* pinId, uint32_t* channels);
  NTSTATUS OpenPin(bool capture, Side* side);
  NTSTATUS CreateBuffers(Side* side, uint32_t sampleType);
  NTSTATUS SetPinProperty(KsPin& pin, ULONG id, const void* instance, ULONG instanceBytes);
  NTSTATUS Fail(NTSTATUS status, const char* step);
  void Run();
  void OnSwitch();
  void FillOutput(uint32_t index);
  void TakeInput(uint32_t index);
  void TearDown();

  SimulatedMachine& machine_;
  LowLatencyOptions options_;
  platform::ClientProcess* process_ = nullptr;
  KsFilter filter_;
  Side render_;
  Side capture_;
  HANDLE event_ = nullptr;
  uint32_t renderChannels_ = 0;
  uint32_t captureChannels_ = 0;
  uint32_t pinRate_ = 0;
  uint32_t halfFrames_ = 0;
  uint32_t requestFrames_ = 0;  // per half, in the request's sample units
  std::string failedStep_;

  std::thread thread_;
  std::atomic<bool> threadRunning_{false};
  std::atomic<bool> stop_{false};
  mutable std::mutex lock_;  // counters, event frames, input check
  LowLatencyCounters counters_;
  std::vector<uint64_t> eventFrames_;
  int lastIndex_ = -1;
  uint64_t outputBlock_ = 0;
  std::unique_ptr<LowLatencyInputCheck> inputCheck_;
};

}  // namespace sim
