// An ASIO host on the simulated machine, in a simulated process of its own:
// it finds the driver as hosts do (HKLM "SOFTWARE\ASIO" subkeys, their
// "CLSID" and "Description", HKCR "CLSID\{...}\InprocServer32" to the DLL,
// LoadLibraryW, DllGetClassObject, CreateInstance with the class identifier
// as the interface), drives IASIO in the published order and serves the
// buffer switches: each output half gets the low-latency client's known
// signal, each input half is checked against the device's capture ramp,
// then outputReady. Index, sample position and time stamps of every switch
// are recorded into memory reserved before the start.
//
// ASIO callbacks carry no context, so one host per (real) process is
// current; the driver allows one instance per process anyway.
//
// A reset request (asioMessage kAsioResetRequest) is remembered in the
// callback and handled on the host's own control thread, as hosts do:
// stop, disposeBuffers, Release, a new instance through the class factory,
// init, createBuffers, start. Each instance's streaming is a "generation".
#pragma once

#include "asio/asio_interface.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/client_process.h"
#include "sim/clients/lowlatency_signal.h"

namespace sim {

struct AsioHostOptions {
  // Written to "buffer_size" before the first init (0: leave the stored
  // size); DSD: bytes per channel per half, the driver offering 8 times it.
  uint32_t bufferSize = 256;
  uint32_t rate = 48000;  // PCM rate; DSD uses 2822400
  int inputs = -1;        // channels 0..N-1 of each direction; -1: all the driver has
  int outputs = -1;
  bool timeInfo = false;  // answer kAsioSupportsTimeInfo with 1
  bool dsd = false;       // future(kAsioSetIoFormat, DSD) and setSampleRate(2822400)
  // Switch records reserved before the start (the later ones are counted only).
  size_t recordCapacity = size_t{1} << 16;
  // The device's capture format for the input check (channels, container,
  // bits; the host fills in its entries and half size). Without it the
  // inputs are kept but not checked.
  std::function<LowLatencyCaptureLayout()> captureFormat;
  // Device frames put out so far, read at each switch for the output latency.
  std::function<uint64_t()> deviceFramesOutput;
  // Misbehaviour, to test the driver: before the usual calls, calls out of
  // order (each must be refused, or do nothing).
  bool callsOutOfOrder = false;
};

// One instance's streaming set-up, handed out before its start.
struct AsioGeneration {
  uint32_t number = 0;
  LONG bufferSize = 0;  // as given to createBuffers (DSD: bits per channel per half)
  uint32_t halfFrames = 0;  // device frames per half (DSD: bytes / 4)
  uint32_t halfBytes = 0;   // bytes per channel per half in the host's buffers
  bool dsd = false;
  std::vector<LONG> inputChannels;   // entries in the host's order
  std::vector<LONG> outputChannels;
  LONG inputLatency = 0;  // getLatencies
  LONG outputLatency = 0;
  ASIOSampleRate sampleRate = 0;
  ASIOSampleType sampleType = 0;
  std::vector<std::string> channelNames;  // inputs, then outputs
};

// One buffer switch as the host saw it.
struct AsioSwitchRecord {
  uint32_t generation = 0;
  uint32_t index = 0;
  bool timeInfo = false;       // came through bufferSwitchTimeInfo
  uint64_t samplePosition = 0; // the driver's, at this switch
  uint64_t systemTimeNs = 0;   // the driver's time stamp
  int64_t hostNs = 0;          // steady clock when the callback began
  uint64_t deviceFrames = 0;   // device frames put out then (0: not known)
};

struct AsioHostCounters {
  uint64_t bufferSwitches = 0;       // both kinds
  uint64_t timeInfoSwitches = 0;
  uint64_t sameIndexTwice = 0;       // the half named twice in a row
  uint64_t positionJumps = 0;        // buffers skipped by the sample position
  uint64_t positionErrors = 0;       // positions neither repeated in the preroll nor one buffer on
  uint64_t resetRequests = 0;        // kAsioResetRequest messages
  uint64_t resetsDone = 0;           // re-creations the control thread made
  uint64_t resyncRequests = 0;
  uint64_t latencyChanges = 0;
  uint64_t overloads = 0;
  uint64_t rateChanges = 0;          // sampleRateDidChange
  uint64_t switchesAfterStop = 0;    // callbacks after stop() returned
  uint64_t unexpectedTimeInfo = 0;   // a switch of the kind not agreed
  uint64_t outputReadyErrors = 0;
  uint64_t slowCallbacks = 0;
  uint64_t recordsDropped = 0;       // beyond the reserved records
  uint32_t generations = 0;
};

class AsioHost {
 public:
  explicit AsioHost(AsioHostOptions options);
  ~AsioHost();  // Finish()
  AsioHost(const AsioHost&) = delete;
  AsioHost& operator=(const AsioHost&) = delete;

  // Starts the control thread, which finds and loads the driver and runs
  // the first generation; returns once it runs (true) or failed (false,
  // Error() says why). Only one host may be started at a time.
  bool Start();
  // stop, disposeBuffers, Release, FreeLibrary on the control thread, which
  // then ends; the process ends. Safe to call twice.
  void Finish();

  // Called on the control thread before each generation's start (also the
  // first): the moment to judge its output from.
  std::function<void(const AsioGeneration&)> onGeneration;

  const std::string& Error() const { return error_; }
  AsioHostCounters Counters() const;
  uint64_t Switches() const { return switches_.load(); }
  // Waits until `count` switches were served, or `timeoutMs`.
  bool WaitForSwitches(uint64_t count, uint32_t timeoutMs);
  // Waits until the driver's stop() returned (Finish, or a reset's stop).
  bool WaitForStop(uint32_t timeoutMs);
  // Waits until `count` resets were handled (successfully or not).
  bool WaitForResets(uint64_t count, uint32_t timeoutMs);
  std::vector<AsioGeneration> Generations() const;
  // Valid after Finish (and between generations' ends for earlier ones).
  std::vector<AsioSwitchRecord> Records() const;
  // The input halves of every generation held the capture ramp without a
  // gap; otherwise the first failure (valid after Finish).
  bool InputContinuous() const;
  std::string InputMismatchText() const;
  // What the last reset could not set up again ("" when it did, or none came).
  const std::string& ReopenError() const { return reopenError_; }
  bool Running() const { return running_.load(); }
  // Out-of-order calls whose result was not the refusal expected.
  const std::vector<std::string>& OrderViolations() const { return orderViolations_; }
  // Driver name, version and channel counts from the first init.
  const std::string& DriverName() const { return driverName_; }
  LONG DriverVersion() const { return driverVersion_; }
  LONG DriverInputs() const { return driverInputs_; }
  LONG DriverOutputs() const { return driverOutputs_; }
  const std::string& Description() const { return description_; }
  const std::string& DllPath() const { return dllPath_; }
  // How long the last stop() / disposeBuffers / Release took, in ms.
  double LastStopMs() const { return lastStopMs_; }

  // Misbehaviour while running: the next switch sleeps `ms` before serving.
  void SlowNextSwitch(uint32_t ms);
  // The next switch blocks until ReleaseBlockedSwitch(); WaitBlocked tells
  // when it is inside.
  void BlockNextSwitch();
  bool WaitBlocked(uint32_t timeoutMs);
  void ReleaseBlockedSwitch();

  // The C callbacks reach the current host through these.
  void OnSwitch(LONG index, ASIOTime* params);
  LONG OnMessage(LONG selector, LONG value);
  void OnRateChange();

 private:
  void ControlThread();
  bool FindDriver();
  bool OpenGeneration(bool first);
  void CloseGeneration();
  // Misbehaviour: calls out of order on a fresh, an initialised and a
  // running instance; results other than the refusal are noted.
  void CheckCallOrder(IASIO* fresh);
  void CheckInitializedOrder(IASIO* d);
  void CheckRunningOrder(IASIO* d);
  bool Fail(const std::string& what);
  void Prepare();
  void FillOutput(uint32_t index);
  void TakeInput(uint32_t index);
  void Record(LONG index, ASIOTime* params, int64_t hostNs, IASIO* d);
  static std::string InputMismatchOf(const LowLatencyInputCheck& check);

  AsioHostOptions options_;
  platform::ClientProcess* process_ = nullptr;
  std::thread control_;
  std::string error_;
  std::string reopenError_;
  std::string driverName_;
  std::string description_;
  std::string dllPath_;
  LONG driverVersion_ = 0;
  LONG driverInputs_ = 0;
  LONG driverOutputs_ = 0;
  std::vector<std::string> orderViolations_;
  CLSID clsid_{};
  HMODULE module_ = nullptr;
  IClassFactory* factory_ = nullptr;
  IASIO* driver_ = nullptr;  // the current instance (control thread)
  std::atomic<IASIO*> active_{nullptr};  // the instance the callbacks use
  bool initialized_ = false;
  bool prepared_ = false;
  bool driverRunning_ = false;
  ASIOCallbacks callbacks_{};
  std::vector<ASIOBufferInfo> infos_;
  AsioGeneration generation_;
  std::vector<AsioGeneration> generations_;

  // Control thread's requests and state.
  mutable std::mutex lock_;
  std::condition_variable wake_;
  bool started_ = false;
  bool startOk_ = false;
  bool finishRequested_ = false;
  std::atomic<bool> resetPending_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> stopped_{false};  // stop() returned; switches now count as late
  double lastStopMs_ = 0;

  // The switch path: written by the driver's thread, read after the stop.
  std::atomic<uint64_t> switches_{0};
  std::atomic<uint64_t> resetsDone_{0};
  std::atomic<uint64_t> timeInfoSwitches_{0};
  std::atomic<uint64_t> sameIndex_{0};
  std::atomic<uint64_t> positionJumps_{0};
  std::atomic<uint64_t> positionErrors_{0};
  std::atomic<uint64_t> resetRequests_{0};
  std::atomic<uint64_t> resyncRequests_{0};
  std::atomic<uint64_t> latencyChanges_{0};
  std::atomic<uint64_t> overloads_{0};
  std::atomic<uint64_t> rateChanges_{0};
  std::atomic<uint64_t> switchesAfterStop_{0};
  std::atomic<uint64_t> unexpectedTimeInfo_{0};
  std::atomic<uint64_t> outputReadyErrors_{0};
  std::atomic<uint64_t> slowCallbacks_{0};
  std::atomic<uint64_t> recordsDropped_{0};
  std::vector<AsioSwitchRecord> records_;  // reserved; size() = capacity
  std::atomic<size_t> recordCount_{0};
  int lastIndex_ = -1;
  bool prerollDone_ = false;
  uint64_t positionStep_ = 0;  // the driver's buffer size (DSD: bytes)
  uint64_t lastPosition_ = 0;
  uint64_t outputBlock_ = 0;
  std::vector<const int32_t*> inputHalves_;  // reserved: one per input entry
  std::unique_ptr<LowLatencyInputCheck> inputCheck_;
  std::string inputResult_;  // earlier generations' first failure
  bool inputSeen_ = false;

  std::atomic<uint32_t> slowMs_{0};
  std::atomic<bool> blockNext_{false};
  std::mutex blockLock_;
  std::condition_variable blockWake_;
  bool blocked_ = false;
  bool blockReleased_ = false;
};

}  // namespace sim
