#include "tools/sim/lowlatency_run.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/kernel/host_timing.h"
#include "sim/profiles/device_profile.h"
#include "sim/uac/default_audio_config.h"
#include "sim/usb/descriptor_file.h"
#include "tools/sim/text_format.h"

namespace tools {

namespace {

constexpr size_t kTakeBytes = size_t{64} << 10;

}  // namespace

bool ParseWhole(const std::string& text, double low, double high, double* value) {
  return ParseNumber(text, value) && *value >= low && *value <= high && std::floor(*value) == *value;
}

SharedOption ParseSharedOption(const std::vector<std::string>& args, size_t* i, const SharedRunOptions& o,
                               std::string* error) {
  const std::string& arg = args[*i];
  const std::string* v = nullptr;
  auto value = [&]() -> bool {
    if (*i + 1 >= args.size()) {
      *error = arg + " needs a value";
      return false;
    }
    v = &args[++*i];
    return true;
  };
  double n = 0;
  if (arg == "--profile") {
    if (!value()) return SharedOption::Bad;
    *o.profile = *v;
  } else if (arg == "--full-speed") {
    *o.fullSpeed = true;
  } else if (arg == "--buffer") {
    if (!value()) return SharedOption::Bad;
    if (!ParseWhole(*v, 1, 1 << 20, &n)) {
      *error = "--buffer needs a whole number of frames between 1 and 1048576";
      return SharedOption::Bad;
    }
    *o.buffer = static_cast<uint32_t>(n);
    *o.bufferGiven = true;
  } else if (arg == "--rate") {
    if (!value()) return SharedOption::Bad;
    if (!ParseWhole(*v, 1000, 50000000, &n)) {
      *error = "--rate needs a whole rate in Hz";
      return SharedOption::Bad;
    }
    *o.rate = static_cast<uint32_t>(n);
    *o.rateGiven = true;
  } else if (arg == "--inputs" || arg == "--outputs") {
    if (!value()) return SharedOption::Bad;
    if (!ParseWhole(*v, 0, 64, &n)) {
      *error = arg + " needs a channel count between 0 and 64";
      return SharedOption::Bad;
    }
    *(arg == "--inputs" ? o.inputs : o.outputs) = static_cast<int>(n);
  } else if (arg == "--dsd") {
    *o.dsd = true;
  } else if (arg == "--seconds") {
    if (!value()) return SharedOption::Bad;
    if (!ParseNumber(*v, o.seconds) || *o.seconds <= 0 || *o.seconds > 3600) {
      *error = "--seconds needs a duration between 0 and 3600";
      return SharedOption::Bad;
    }
  } else if (arg == "--ppm") {
    if (!value()) return SharedOption::Bad;
    if (!ParseNumber(*v, o.ppm) || std::fabs(*o.ppm) > 10000) {
      *error = "--ppm needs a clock offset between -10000 and 10000";
      return SharedOption::Bad;
    }
  } else if (arg == "--json") {
    *o.json = true;
  } else if (arg == "--quiet") {
    *o.quiet = true;
  } else if (!arg.empty() && arg[0] == '-') {
    return SharedOption::NotShared;
  } else if (o.descriptorPath->empty()) {
    *o.descriptorPath = arg;
  } else {
    *error = "unexpected argument " + arg;
    return SharedOption::Bad;
  }
  return SharedOption::Taken;
}

bool LoadLowLatencyDevice(const std::string& profileName, const std::string& path, bool fullSpeed,
                          sim::DescriptorSet* descriptors, sim::AudioFunctionConfig* audio, std::string* name,
                          std::string* error) {
  if (!path.empty()) {
    if (!sim::LoadDescriptorFile(path, fullSpeed, *descriptors, *error)) {
      *error = path + ": " + *error;
      return false;
    }
    *audio = sim::DefaultAudioConfig(*descriptors);
    *name = path;
    return true;
  }
  sim::DeviceProfile profile;
  if (!sim::MakeProfile(profileName, profile)) {
    *error = "unknown profile '" + profileName + "'";
    return false;
  }
  *descriptors = profile.descriptors;
  *audio = profile.audio;
  *name = profileName;
  return true;
}

DefaultTickScope::DefaultTickScope() : tick_(platform::ClockTick()) { platform::SetClockTick(platform::kDefaultClockTick); }

DefaultTickScope::~DefaultTickScope() { platform::SetClockTick(tick_); }

PlayWatch::PlayWatch(sim::AudioStreaming& streaming) : streaming_(streaming) { streaming_.SetPlaybackTap(&tap_); }

PlayWatch::~PlayWatch() { Stop(); }

void PlayWatch::Start(const sim::LowLatencyPlayLayout& layout) {
  Judged next;
  next.check = std::make_shared<sim::LowLatencyPlayCheck>(layout);
  next.layout = layout;
  {
    std::lock_guard<std::mutex> lock(lock_);
    next.base = taken_;
    checks_.push_back(std::move(next));
  }
  if (!thread_.joinable()) thread_ = std::thread([this] { Consume(); });
}

void PlayWatch::Stop() {
  streaming_.SetPlaybackTap(nullptr);
  tap_.Close();
  if (thread_.joinable()) thread_.join();
}

void PlayWatch::Consume() {
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> pending;
  while (tap_.Pop(&bytes, kTakeBytes, std::chrono::milliseconds(20), kTakeBytes / 4)) {
    pending.insert(pending.end(), bytes.begin(), bytes.end());
    std::lock_guard<std::mutex> lock(lock_);
    const Judged& current = checks_.back();
    const uint32_t frameBytes = current.layout.FrameBytes();
    if (frameBytes == 0) continue;
    const size_t frames = pending.size() / frameBytes;
    current.check->Take(pending.data(), frames);
    taken_ += frames;
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(frames * frameBytes));
  }
}

std::string FrameText(const std::vector<uint8_t>& frame, uint32_t subslotBytes) {
  std::string out;
  if (subslotBytes == 0) return out;
  char hex[4];
  for (size_t at = 0; at + subslotBytes <= frame.size(); at += subslotBytes) {
    if (!out.empty()) out += " ";
    out += "0x";
    for (size_t b = subslotBytes; b-- > 0;) {
      std::snprintf(hex, sizeof hex, "%02x", frame[at + b]);
      out += hex;
    }
  }
  return out;
}

void AddLatencies(const std::vector<uint64_t>& switchFrames, const std::vector<uint64_t>& halfStarts,
                  uint64_t outputBase, std::vector<int64_t>* latencies) {
  const size_t n = std::min(switchFrames.size(), halfStarts.size());
  for (size_t k = 0; k < n; ++k) {
    if (switchFrames[k] == 0) continue;  // the device had not begun to play
    latencies->push_back(static_cast<int64_t>(outputBase + halfStarts[k]) - static_cast<int64_t>(switchFrames[k]));
  }
}

DeviceXruns XrunsBetween(const sim::StreamingCounters& from, const sim::StreamingCounters& to) {
  DeviceXruns x;
  x.underruns = (to.underruns - to.underrunsBusLate) - (from.underruns - from.underrunsBusLate);
  x.overruns = (to.overruns - to.overrunsBusLate) - (from.overruns - from.overrunsBusLate);
  x.busLate = (to.underrunsBusLate + to.overrunsBusLate) - (from.underrunsBusLate + from.overrunsBusLate);
  return x;
}

MeasuredLatency SummariseLatencies(std::vector<int64_t> latencies) {
  MeasuredLatency m;
  if (latencies.empty()) return m;
  std::sort(latencies.begin(), latencies.end());
  m.measured = true;
  m.min = latencies.front();
  m.max = latencies.back();
  m.median = latencies[latencies.size() / 2];
  return m;
}

}  // namespace tools
