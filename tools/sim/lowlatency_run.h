// Pieces the low-latency runs share (`lowlatency` and `asio`): the device
// named by a profile or a descriptor file, Windows' default clock tick for
// the run, the watch that judges the device's played frames as they come
// (one check after another when the client restarts its signal), device
// frames as text, and the output latency from the client's switches and the
// played positions of its halves.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/clients/lowlatency_signal.h"
#include "sim/uac/audio_function_model.h"
#include "sim/uac/audio_streaming.h"
#include "sim/uac/played_audio_tap.h"
#include "sim/usb/descriptor_set.h"
#include "tools/sim/sim_command.h"

namespace tools {

// The arguments `lowlatency` and `asio` share, parsed into the caller's
// option fields.
struct SharedRunOptions {
  std::string* profile;
  std::string* descriptorPath;
  bool* fullSpeed;
  uint32_t* buffer;
  bool* bufferGiven;
  uint32_t* rate;
  bool* rateGiven;
  int* inputs;
  int* outputs;
  bool* dsd;
  double* seconds;
  double* ppm;
  bool* json;
  bool* quiet;
};
enum class SharedOption { Taken, NotShared, Bad };
// Takes args[*i] (and its value, advancing *i) when it is a shared option or
// the descriptor file; Bad with *error for a bad value.
SharedOption ParseSharedOption(const std::vector<std::string>& args, size_t* i, const SharedRunOptions& options,
                               std::string* error);
// A whole number within [low, high].
bool ParseWhole(const std::string& text, double low, double high, double* value);

// The device of `profile`, or of the descriptor file at `path` when given.
bool LoadLowLatencyDevice(const std::string& profile, const std::string& path, bool fullSpeed,
                          sim::DescriptorSet* descriptors, sim::AudioFunctionConfig* audio, std::string* name,
                          std::string* error);

// Windows' default clock tick for the run (the tool may run in a test's process).
class DefaultTickScope {
 public:
  DefaultTickScope();
  ~DefaultTickScope();
  DefaultTickScope(const DefaultTickScope&) = delete;
  DefaultTickScope& operator=(const DefaultTickScope&) = delete;

 private:
  const std::chrono::nanoseconds tick_;
};

// The device's played frames, taken from its tap on a thread of their own
// and judged as they come (bounded memory whatever the length of the run).
// Start() begins a check; a later Start() ends it and begins the next one
// (the frames still queued then count as the new check's start-up).
class PlayWatch {
 public:
  explicit PlayWatch(sim::AudioStreaming& streaming);
  ~PlayWatch();
  PlayWatch(const PlayWatch&) = delete;
  PlayWatch& operator=(const PlayWatch&) = delete;

  void Start(const sim::LowLatencyPlayLayout& layout);
  // Detaches from the device and judges what is left.
  void Stop();

  struct Judged {
    std::shared_ptr<sim::LowLatencyPlayCheck> check;
    sim::LowLatencyPlayLayout layout;
    uint64_t base = 0;  // frames taken from the tap before this check began
  };
  // Every check begun, oldest first (read after Stop).
  const std::vector<Judged>& Checks() const { return checks_; }
  // The latest check (null when none began).
  const sim::LowLatencyPlayCheck* Check() const { return checks_.empty() ? nullptr : checks_.back().check.get(); }
  uint64_t LostBytes() const { return tap_.LostBytes(); }

 private:
  void Consume();

  sim::AudioStreaming& streaming_;
  sim::PlayedAudioTap tap_;
  std::mutex lock_;  // checks_ while the consumer runs
  std::vector<Judged> checks_;
  uint64_t taken_ = 0;  // whole frames handed to checks
  std::thread thread_;
};

std::string FrameText(const std::vector<uint8_t>& frame, uint32_t subslotBytes);

struct MeasuredLatency {
  bool measured = false;
  int64_t median = 0;
  int64_t min = 0;
  int64_t max = 0;
};

// Frames from each switch asking for output half k (the device's output
// counter then, `switchFrames[k]`; 0 before it began to play) to the device
// playing that half's first frame (`outputBase` + the tap position of the
// half's start).
void AddLatencies(const std::vector<uint64_t>& switchFrames, const std::vector<uint64_t>& halfStarts,
                  uint64_t outputBase, std::vector<int64_t>* latencies);
MeasuredLatency SummariseLatencies(std::vector<int64_t> latencies);

// The device's under- and overruns between two snapshots that the bus's
// own lateness did not cause (those the driver answers for), and those it did.
struct DeviceXruns {
  uint64_t underruns = 0;
  uint64_t overruns = 0;
  uint64_t busLate = 0;
};
DeviceXruns XrunsBetween(const sim::StreamingCounters& from, const sim::StreamingCounters& to);

// A command of this kind: parse (usage and exit code 2 on bad arguments),
// run, and the report as text or JSON; exit code 2 also for a device that
// could not be loaded.
template <typename Options, typename Report>
SimCommandResult RunReportCommand(const std::vector<std::string>& args, const ProgressSink& progress,
                                  bool (*parse)(const std::vector<std::string>&, Options*, std::string*),
                                  const char* usage, Report (*run)(const Options&, const ProgressSink&),
                                  std::string (*json)(const Report&), std::string (*text)(const Report&)) {
  SimCommandResult result;
  Options o;
  std::string error;
  if (!parse(args, &o, &error)) {
    result.exitCode = 2;
    result.err = "usbaudio-sim: " + error + "\n" + usage;
    return result;
  }
  const Report r = run(o, progress);
  if (r.exitCode == 2) {
    result.err = "usbaudio-sim: " + r.error + "\n";
    result.exitCode = 2;
    return result;
  }
  result.exitCode = r.exitCode;
  result.out = o.json ? json(r) : text(r);
  return result;
}

}  // namespace tools
