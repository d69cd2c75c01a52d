#include "tools/sim/sim_command.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "sim/clients/ks_client.h"
#include "sim/clients/simulated_machine.h"
#include "sim/profiles/device_profile.h"
#include "sim/uac/default_audio_config.h"
#include "sim/usb/descriptor_file.h"
#include "tools/inspect/status_names.h"
#include "tools/inspect/trace_output.h"
#include "tools/sim/asio_command.h"
#include "tools/sim/devices_command.h"
#include "tools/sim/filter_info.h"
#include "tools/sim/lowlatency_command.h"
#include "tools/sim/stream_command.h"
#include "tools/sim/stream_options.h"

namespace tools {

namespace {

const char kUsage[] =
    "usage: usbaudio-sim info [--profile NAME | FILE] [--full-speed] [--volume DB] [--mute on|off] [--json]\n"
    "  (every command also takes --trace: the driver's debug output on stderr as it happens)\n"
    "  loads the driver on the simulated bus (default profile: default) and shows the \"Wave\" filter\n"
    "  as a Windows client sees it through kernel-streaming requests\n"
    "  --volume DB: set every channel of the volume node to DB decibels, then read it back\n"
    "  --mute on|off: set the mute node, then read it back\n";

struct InfoOptions {
  std::string profile = "default";
  std::string file;
  bool fullSpeed = false;
  bool json = false;
  bool setVolume = false;
  double volumeDb = 0;
  bool setMute = false;
  bool mute = false;
};

bool ParseInfo(const std::vector<std::string>& args, InfoOptions* options, std::string* error) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto next = [&](const char* what) -> const std::string* {
      if (i + 1 >= args.size()) {
        *error = std::string(what) + " needs a value";
        return nullptr;
      }
      return &args[++i];
    };
    if (arg == "--profile") {
      const std::string* v = next("--profile");
      if (!v) return false;
      options->profile = *v;
    } else if (arg == "--full-speed") {
      options->fullSpeed = true;
    } else if (arg == "--json") {
      options->json = true;
    } else if (arg == "--volume") {
      const std::string* v = next("--volume");
      if (!v) return false;
      char* end = nullptr;
      options->volumeDb = std::strtod(v->c_str(), &end);
      if (end == v->c_str() || *end != 0 || !std::isfinite(options->volumeDb)) {
        *error = "--volume needs a number of decibels";
        return false;
      }
      options->setVolume = true;
    } else if (arg == "--mute") {
      const std::string* v = next("--mute");
      if (!v) return false;
      if (*v != "on" && *v != "off") {
        *error = "--mute takes on or off";
        return false;
      }
      options->setMute = true;
      options->mute = *v == "on";
    } else if (!arg.empty() && arg[0] == '-') {
      *error = "unknown option " + arg;
      return false;
    } else if (options->file.empty()) {
      options->file = arg;
    } else {
      *error = "only one FILE may be given";
      return false;
    }
  }
  return true;
}

// Sets and reads back a node control through KS, as the Windows mixer does.
void ApplyControls(sim::KsFilter& filter, const InfoOptions& options, FilterView* view) {
  auto findNode = [&](const char* type) -> int {
    for (const NodeView& n : view->nodes) {
      if (n.type == type) return static_cast<int>(n.id);
    }
    return -1;
  };
  if (options.setVolume) {
    const int node = findNode("VOLUME");
    if (node >= 0) {
      const double scaled = std::round(options.volumeDb * 65536.0);
      const LONG value = scaled < -2147483648.0 ? LONG(0x80000000) : scaled > 2147483647.0 ? 0x7FFFFFFF : static_cast<LONG>(scaled);
      ControlView set{static_cast<uint32_t>(node), "volume", -1, value, 0};
      set.status = static_cast<uint32_t>(filter.SetNodeValue(KSPROPERTY_AUDIO_VOLUMELEVEL, node, -1, value));
      view->controls.push_back(set);
      for (LONG channel = 0; channel < 2; ++channel) {
        ControlView get{static_cast<uint32_t>(node), "volume", channel, 0, 0};
        get.status = static_cast<uint32_t>(filter.GetNodeValue(KSPROPERTY_AUDIO_VOLUMELEVEL, node, channel, &get.value));
        view->controls.push_back(get);
      }
    }
  }
  if (options.setMute) {
    const int node = findNode("MUTE");
    if (node >= 0) {
      ControlView set{static_cast<uint32_t>(node), "mute", 0, options.mute ? 1 : 0, 0};
      set.status = static_cast<uint32_t>(filter.SetNodeValue(KSPROPERTY_AUDIO_MUTE, node, 0, set.value));
      view->controls.push_back(set);
      ControlView get{static_cast<uint32_t>(node), "mute", 0, 0, 0};
      get.status = static_cast<uint32_t>(filter.GetNodeValue(KSPROPERTY_AUDIO_MUTE, node, 0, &get.value));
      view->controls.push_back(get);
    }
  }
}

std::string DeviceStateText(const sim::AudioFunctionConfig& state) {
  std::string out;
  for (const auto& [id, unit] : state.featureUnits) {
    for (size_t ch = 0; ch < unit.channels.size(); ++ch) {
      const sim::FeatureChannelConfig& c = unit.channels[ch];
      char line[128];
      std::snprintf(line, sizeof line, "  device feature unit %u channel %zu: volume %.4f dB%s\n", id, ch,
                    c.volume / 256.0, c.muteAccess != sim::ControlAccess::None ? (c.mute ? ", muted" : ", not muted") : "");
      out += line;
    }
  }
  return out;
}

SimCommandResult RunInfo(const std::vector<std::string>& args) {
  SimCommandResult result;
  InfoOptions options;
  std::string error;
  if (!ParseInfo(args, &options, &error)) {
    result.err = "usbaudio-sim: " + error + "\n" + kUsage;
    return result;
  }
  sim::DescriptorSet descriptors;
  sim::AudioFunctionConfig audio;
  if (!options.file.empty()) {
    if (!sim::LoadDescriptorFile(options.file, options.fullSpeed, descriptors, error)) {
      result.err = "usbaudio-sim: " + options.file + ": " + error + "\n";
      return result;
    }
    audio = sim::DefaultAudioConfig(descriptors);
  } else {
    sim::DeviceProfile profile;
    if (!sim::MakeProfile(options.profile, profile)) {
      result.err = "usbaudio-sim: unknown profile '" + options.profile + "'\n";
      return result;
    }
    descriptors = profile.descriptors;
    audio = profile.audio;
  }

  FilterView view;
  uint32_t status = 0;
  std::string deviceState;
  {
    sim::SimulatedMachine machine(descriptors, audio);
    status = static_cast<uint32_t>(machine.Start());
    if (NT_SUCCESS(static_cast<NTSTATUS>(status))) {
      view.devicePath = machine.WaveFilterPath();
      sim::KsFilter filter;
      status = static_cast<uint32_t>(filter.Open(view.devicePath));
      if (NT_SUCCESS(static_cast<NTSTATUS>(status))) status = GatherFilterView(filter, &view);
      if (NT_SUCCESS(static_cast<NTSTATUS>(status))) ApplyControls(filter, options, &view);
      filter.Close();
      deviceState = DeviceStateText(machine.Function().Config());
    }
    machine.Shutdown();
  }
  if (options.json) {
    result.out = FilterViewJson(view, status);
  } else {
    result.out = "start: " + StatusName(status) + " (" + StatusCode(status) + ")\n";
    if (NT_SUCCESS(static_cast<NTSTATUS>(status))) result.out += FilterViewText(view) + deviceState;
  }
  result.exitCode = NT_SUCCESS(static_cast<NTSTATUS>(status)) ? 0 : 1;
  return result;
}

}  // namespace

SimCommandResult RunSim(std::vector<std::string> args, const ProgressSink& progress, const TraceSink& trace) {
  // The driver's lines take the place of the progress line.
  const bool traced = TakeTraceOption(&args);
  const TraceOutput output(traced, trace);
  if (!args.empty() && args[0] == "info") return RunInfo(args);
  if (!args.empty() && (args[0] == "play" || args[0] == "record"))
    return RunStream(args, traced ? ProgressSink() : progress);
  if (!args.empty() && args[0] == "lowlatency") return RunLowLatency(args, traced ? ProgressSink() : progress);
  if (!args.empty() && args[0] == "devices") return RunDevices(args);
  if (!args.empty() && args[0] == "asio") return RunAsio(args, traced ? ProgressSink() : progress);
  SimCommandResult result;
  const std::string usage = std::string(kUsage) + kPlayUsage + kRecordUsage + kLowLatencyUsage + kDevicesUsage + kAsioUsage;
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    result.out = usage;
    result.exitCode = 0;
    return result;
  }
  result.err = std::string("usbaudio-sim: give a command (info, play, record, lowlatency, devices, asio)\n") + usage;
  return result;
}

}  // namespace tools
