// The audio side of the simulated device's streaming endpoints: a device
// audio clock at the selected rate (with a ppm offset and optional slow
// drift), the render FIFO it drains (fed by OUT packets, counting under- and
// overruns, recording every frame it plays), explicit feedback in the
// endpoint's wire format, capture packets sized by the clock (which is what
// implicit feedback relies on) carrying a known signal, and fault knobs.
//
// It follows the streaming interfaces' alternate settings (formats and
// endpoints from the descriptors) and takes the rate and clock validity from
// the AudioFunctionModel. Packets arrive from the bus thread; the host API
// may be used from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "sim/uac/audio_function_model.h"
#include "sim/uac/played_audio_tap.h"
#include "sim/usb/descriptor_set.h"
#include "sim/usb/endpoint_data.h"

namespace sim {

// How a feedback value goes on the wire. Auto: for class 2.0, 4-byte 16.16 at
// high speed and the standard 3-byte 10.14 at full speed; for class 1.0, the
// synch endpoint's 3-byte 10.14 per 1 ms frame at either speed.
// Fixed10_14PerFrame: 10.14 frames per 1 ms frame even at high speed (the
// others count per (micro)frame).
enum class FeedbackLayout { Auto, Fixed10_14, Fixed16_16, Upper24Of16_16, Fixed10_14PerFrame };

// What the feedback reports. Measured: the device's audio clock counted
// against the bus's (micro)frames over each feedback interval and truncated
// to the wire format's resolution, the truncation carried into the next
// count, so the value dithers between adjacent codes and only its mean is
// exact; no regard for the FIFO (what many devices report). FifoSteering:
// the clock ratio plus a correction that pulls the FIFO back to its centre,
// which forgives a host that loses fractions.
enum class FeedbackModel { Measured, FifoSteering };

enum class FeedbackFault {
  None,
  ZeroLength,  // every feedback packet is empty
  Garbage,     // pseudo-random bytes of the layout's size
  Fixed,       // a fixed value (StreamingOptions::fixedFeedback, 16.16)
};

struct StreamingOptions {
  double ppm = 0.0;                   // device clock offset
  double driftPpm = 0.0;              // amplitude of a slow sinusoidal wander
  double driftPeriodSeconds = 60.0;
  uint32_t fifoMicroseconds = 4000;   // render FIFO capacity; playback starts at half
  FeedbackLayout feedbackLayout = FeedbackLayout::Auto;
  FeedbackModel feedbackModel = FeedbackModel::Measured;
  FeedbackFault feedbackFault = FeedbackFault::None;
  uint32_t fixedFeedback = 0;         // 16.16 frames per (micro)frame, for Fixed
  // Keep what the device plays for PlayedAudio (short test runs), at most
  // recordLimitBytes of it. Long runs stream it through a PlayedAudioTap.
  bool recordPlayback = true;
  size_t recordLimitBytes = size_t{64} << 20;
};

struct StreamingCounters {
  uint64_t outPackets = 0;
  uint64_t framesReceived = 0;
  uint64_t malformedPackets = 0;  // not whole frames, or a wrong length prefix
  uint64_t framesPlayed = 0;
  uint64_t underruns = 0;         // times the FIFO ran dry while playing
  uint64_t silentFrames = 0;      // frames played as silence because of them
  uint64_t overruns = 0;          // packets that did not fit the FIFO
  uint64_t droppedFrames = 0;
  // Of the under- and overruns, those within a few milliseconds of the bus
  // itself running late (its thread descheduled), which no driver can help.
  uint64_t underrunsBusLate = 0;
  uint64_t overrunsBusLate = 0;
  // Frames the device put out since it first played: those from the FIFO
  // and the silence of its under-runs and re-priming (what a playback tap
  // sees), and where in them the first under- or overrun struck
  // (UINT64_MAX when none did).
  uint64_t framesOutput = 0;
  uint64_t firstXrunFrame = UINT64_MAX;
  uint64_t feedbackPackets = 0;
  uint32_t feedbackMin = 0;       // 16.16 frames per (micro)frame sent
  uint32_t feedbackMax = 0;
  uint64_t capturePackets = 0;
  uint64_t framesCaptured = 0;
  // Render frames that arrived while the render interface was in DSD
  // transport mode (vendor mode request, value 1); the rest of
  // framesReceived arrived in PCM mode. Only the sender knows what its data
  // carries, so a run judges these against what it sent (TransportModeViolations).
  uint64_t framesReceivedDsdMode = 0;
};

// Render frames that arrived in the wrong transport mode between two
// snapshots: for a DSD run those received in PCM mode, for a PCM run those
// received in DSD mode.
uint64_t TransportModeViolations(const StreamingCounters& from, const StreamingCounters& to, bool dsdRun);

// One direction's stream as the current alternate setting defines it.
struct StreamFormat {
  bool active = false;
  uint8_t interfaceNumber = 0;
  uint8_t alternate = 0;
  uint8_t dataEndpoint = 0;
  uint8_t feedbackEndpoint = 0;  // render only; 0 without
  uint32_t channels = 0;
  uint32_t subslotBytes = 0;
  uint32_t bitResolution = 0;
  uint32_t frameBytes = 0;
  uint32_t unitsPerPacket = 1;
  uint8_t terminalLink = 0;
};

class AudioStreaming : public EndpointDataHandler {
 public:
  AudioStreaming(const DescriptorSet& descriptors, const AudioFunctionModel& model, StreamingOptions options = {});

  // EndpointDataHandler.
  void OnAlternateSelected(uint8_t interfaceNumber, uint8_t alternate) override;
  void OnOutPacket(uint8_t endpoint, uint64_t unit, const uint8_t* data, uint32_t length) override;
  int32_t OnInPacket(uint8_t endpoint, uint64_t unit, uint8_t* data, uint32_t room) override;
  void AdvanceTo(uint64_t unit) override;
  bool WantsTicks() const override;
  void OnBusLate(uint64_t untilUnit) override;

  // Knobs; they take effect from the next (micro)frame.
  void SetOptions(const StreamingOptions& options);
  StreamingOptions Options() const;
  void SetPpm(double ppm);
  void SetFeedbackLayout(FeedbackLayout layout);
  void SetFeedbackFault(FeedbackFault fault, uint32_t fixedValue = 0);

  // Observations.
  StreamingCounters Counters() const;
  StreamFormat Render() const;
  StreamFormat Capture() const;
  uint32_t Rate() const;  // of the render (else capture) stream's clock; 0 when unknown
  size_t FifoFrames() const;
  size_t FifoCapacityFrames() const;
  // The lowest and highest FIFO level after the device took its frames of a
  // (micro)frame while playing, since the last reset ({0, 0} when it did
  // not play since); the lowest is the level just before packets land, free
  // of the jitter of sampling between packets.
  std::pair<size_t, size_t> FifoLevelRange() const;
  void ResetFifoLevelRange();
  bool Playing() const;
  // Every render frame the device played, in order (length prefixes
  // removed), up to StreamingOptions::recordLimitBytes.
  std::vector<uint8_t> PlayedAudio() const;
  // Also hands every frame the device puts out to `tap` from now on (null:
  // no longer): the FIFO's frames, and once it has played, the silence of
  // its under-runs too. The tap must outlive its use here.
  void SetPlaybackTap(PlayedAudioTap* tap);
  void ClearPlayedAudio();
  // Waits until at least `bytes` have been played.
  bool WaitForPlayedBytes(size_t bytes, std::chrono::milliseconds timeout) const;
  // The 16.16 value the device would report now, before wire encoding (the
  // exact clock ratio, for the measured model).
  uint32_t CurrentFeedback() const;

  // The capture signal: a ramp over the interleaved samples, m = frame ×
  // channels + channel, left-justified in the subslot with `bits` valid bits.
  static uint32_t CaptureSample(uint64_t frame, uint32_t channel, uint32_t channels, uint32_t subslotBytes,
                                uint32_t bits);
  // Wire encoding of a 16.16 frames-per-(micro)frame value; returns bytes.
  static uint32_t EncodeFeedback(uint32_t value16_16, FeedbackLayout layout, bool highSpeed, uint8_t out[4]);
  // The wire word of a layout per 16.16 unit, and its size in bytes.
  static double WireScale(FeedbackLayout layout, bool highSpeed);
  static uint32_t WireBytes(FeedbackLayout layout, bool highSpeed);

 private:
  StreamFormat FormatFor(uint8_t interfaceNumber, uint8_t alternate) const;
  std::optional<uint8_t> ClockOf(const StreamFormat& format) const;
  uint32_t RateLocked() const;
  bool ClockValidLocked() const;
  void CheckRateLocked();
  void ResetRenderLocked();
  void AdvanceLocked(uint64_t unit);
  double FramesPerUnit(uint64_t unit) const;
  size_t LevelLocked() const;
  size_t CapacityLocked() const;
  uint32_t FeedbackLocked(uint64_t unit) const;
  int32_t FeedbackPacket(uint64_t unit, uint8_t* data, uint32_t room);
  uint32_t MeasuredFeedbackWordLocked(uint64_t unit, FeedbackLayout layout);
  int32_t CapturePacket(uint64_t unit, uint8_t* data, uint32_t room);
  bool BusLateNearLocked(uint64_t unit) const;
  void OutputSilenceLocked(size_t frames);

  const bool highSpeed_;
  const AudioFunctionModel& model_;
  const bool lengthPrefixed_;

  mutable std::mutex mutex_;
  mutable std::condition_variable played_;
  StreamingOptions options_;
  StreamingCounters counters_;
  std::map<uint8_t, uint8_t> alternates_;
  StreamFormat render_;
  StreamFormat capture_;
  uint32_t rate_ = 0;
  bool clockValid_ = true;
  uint64_t modelFrame_ = UINT64_MAX;  // the frame the model was last asked in
  uint64_t clockUnit_ = 0;     // the device clock has run up to here
  bool clockStarted_ = false;
  double renderPhase_ = 0.0;   // fractional frames owed to the render side
  double capturePhase_ = 0.0;
  uint64_t captureFrame_ = 0;  // frames of the capture signal sent so far
  // The measured feedback: device frames counted since the last feedback
  // packet over that many units, and the truncation carried (wire codes).
  double feedbackWindowFrames_ = 0.0;
  uint64_t feedbackWindowUnits_ = 0;
  double feedbackCarry_ = 0.0;
  size_t levelLow_ = SIZE_MAX;
  size_t levelHigh_ = 0;
  bool started_ = false;       // a first OUT packet has arrived
  bool playing_ = false;       // FIFO primed
  std::deque<uint8_t> fifo_;
  // A deque, not a vector: growing a vector of minutes of audio copies it
  // all under the lock the bus thread needs, stalling the device's clock.
  std::deque<uint8_t> playedAudio_;
  PlayedAudioTap* tap_ = nullptr;
  // The bus served every unit before this one late (0: never late).
  uint64_t busLateUntil_ = 0;
  uint32_t garbageSeed_ = 0x1234567u;
};

}  // namespace sim
