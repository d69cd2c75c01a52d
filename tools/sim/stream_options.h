// Arguments of `usbaudio-sim play` and `usbaudio-sim record`.
#pragma once

#include <string>
#include <vector>

#include "sim/clients/fault_plan.h"
#include "sim/usb/sim_usb_device.h"
#include "sim/clients/wav_file.h"

namespace tools {

struct StreamOptions {
  bool capture = false;        // record
  // Play: a WAV file, or a tone.
  std::string wavPath;
  bool tone = false;
  double toneHz = 0;
  // The format of a tone or a recording (--format CH/BITS/RATE).
  sim::WavFormat format{2, 24, 24, 48000, 0, false};
  double seconds = 0;          // 0: play the whole file (tones: 2 s); record: required
  // The device: a profile, or a descriptor file.
  std::string profile = "default";
  std::string descriptorPath;
  bool fullSpeed = false;
  double ppm = 0;
  std::string outPath;         // play: the device's audio; record: the recording
  std::vector<sim::FaultInjection> injections;
  bool json = false;
  bool quiet = false;          // no progress line
  // The machine's timing: the clock tick waits and timers expire on, the
  // most latency injected before deferred work and completions run, and how
  // the bus completes URBs (mixed: most later on the bus thread, some inline,
  // as the Windows USB stack does).
  double tickMs = 15.625;
  double jitterUs = 0;
  sim::CompletionMode completion = sim::CompletionMode::Mixed;
};

const char* CompletionName(sim::CompletionMode mode);

extern const char kPlayUsage[];
extern const char kRecordUsage[];

// args[0] is "play" or "record". False with a message for bad arguments.
bool ParseStreamOptions(const std::vector<std::string>& args, StreamOptions* options, std::string* error);

}  // namespace tools
