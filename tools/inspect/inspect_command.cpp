#include "tools/inspect/inspect_command.h"

#include <cstdio>

#include "sim/profiles/device_profile.h"
#include "sim/uac/default_audio_config.h"
#include "sim/usb/descriptor_file.h"
#include "tools/inspect/device_report.h"

namespace tools {

namespace {

const char kUsage[] =
    "usage: usbaudio-inspect (--profile NAME | FILE) [--full-speed] [--select CH/BITS/RATE [--capture]]\n"
    "                        [--schedule] [--json | --dot] [--trace]\n"
    "  FILE: a raw configuration descriptor (09 02 ...) or a Linux sysfs 'descriptors' file\n"
    "  --full-speed: the loaded device runs at full speed (files only)\n"
    "  --select: select that streaming format on the render interface (and with\n"
    "            --capture on the capture interface) and show the packet parameters\n"
    "  --schedule: show the packet schedule of every supported rate\n"
    "  --json: one JSON object instead of text\n"
    "  --dot: the KS filter as a Graphviz graph (render with: dot -Tpng)\n"
    "  --trace: the driver's debug output on stderr as it happens\n";

bool ParseFormat(const std::string& text, InspectRequest::Format& format) {
  unsigned channels = 0, bits = 0, rate = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u/%u/%u%c", &channels, &bits, &rate, &tail) != 3) return false;
  format.channels = channels;
  format.bits = bits;
  format.rate = rate;
  return true;
}

std::string ProfileList() {
  std::string names;
  for (const std::string& name : sim::ProfileNames()) names += " " + name;
  return names;
}

}  // namespace

CommandResult RunInspect(std::vector<std::string> args, const TraceSink& trace) {
  CommandResult result;
  const TraceOutput output(TakeTraceOption(&args), trace);
  std::string profile;
  std::string file;
  bool fullSpeed = false;
  bool json = false;
  bool dot = false;
  InspectRequest request;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--profile") {
      if (i + 1 >= args.size()) {
        result.err = "usbaudio-inspect: --profile needs a name\n" + std::string(kUsage);
        return result;
      }
      profile = args[++i];
    } else if (arg == "--full-speed") {
      fullSpeed = true;
    } else if (arg == "--select") {
      InspectRequest::Format format;
      if (i + 1 >= args.size() || !ParseFormat(args[i + 1], format)) {
        result.err = "usbaudio-inspect: --select needs CHANNELS/BITS/RATE, e.g. 2/24/48000\n" + std::string(kUsage);
        return result;
      }
      ++i;
      request.select = format;
    } else if (arg == "--capture") {
      request.selectCapture = true;
    } else if (arg == "--schedule") {
      request.schedule = true;
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "--dot") {
      dot = true;
    } else if (arg == "--help" || arg == "-h") {
      result.out = kUsage;
      result.exitCode = kExitAccepted;
      return result;
    } else if (!arg.empty() && arg[0] == '-') {
      result.err = "usbaudio-inspect: unknown option " + arg + "\n" + kUsage;
      return result;
    } else if (file.empty()) {
      file = arg;
    } else {
      result.err = "usbaudio-inspect: only one FILE may be given\n" + std::string(kUsage);
      return result;
    }
  }
  if (profile.empty() == file.empty()) {
    result.err = "usbaudio-inspect: give either --profile NAME or FILE\n" + std::string(kUsage);
    return result;
  }

  if (json && dot) {
    result.err = "usbaudio-inspect: choose one of --json and --dot\n" + std::string(kUsage);
    return result;
  }
  if (request.selectCapture && !request.select) {
    result.err = "usbaudio-inspect: --capture goes with --select\n" + std::string(kUsage);
    return result;
  }
  if (!profile.empty()) {
    sim::DeviceProfile device;
    if (!sim::MakeProfile(profile, device)) {
      result.err = "usbaudio-inspect: unknown profile '" + profile + "'; profiles:" + ProfileList() + "\n";
      return result;
    }
    request.descriptors = device.descriptors;
    request.audio = device.audio;
    request.source = "profile " + profile;
  } else {
    std::string error;
    if (!sim::LoadDescriptorFile(file, fullSpeed, request.descriptors, error)) {
      result.err = "usbaudio-inspect: " + file + ": " + error + "\n";
      return result;
    }
    request.audio = sim::DefaultAudioConfig(request.descriptors);
    request.source = file;
  }

  const DeviceReport report = InspectDevice(request);
  result.out = dot ? FormatDot(report) : json ? FormatJson(report) : FormatText(report);
  result.exitCode = report.Succeeded() ? kExitAccepted : kExitRefused;
  return result;
}

}  // namespace tools
