#include "tools/inspect/inspect_command.h"

#include "sim/profiles/device_profile.h"
#include "sim/usb/descriptor_file.h"
#include "tools/inspect/device_report.h"

namespace tools {

namespace {

const char kUsage[] =
    "usage: usbaudio-inspect (--profile NAME | FILE) [--full-speed] [--json]\n"
    "  FILE: a raw configuration descriptor (09 02 ...) or a Linux sysfs 'descriptors' file\n"
    "  --full-speed: the loaded device runs at full speed (files only)\n"
    "  --json: one JSON object instead of text\n";

std::string ProfileList() {
  std::string names;
  for (const std::string& name : sim::ProfileNames()) names += " " + name;
  return names;
}

}  // namespace

CommandResult RunInspect(const std::vector<std::string>& args) {
  CommandResult result;
  std::string profile;
  std::string file;
  bool fullSpeed = false;
  bool json = false;
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
    } else if (arg == "--json") {
      json = true;
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

  sim::DescriptorSet descriptors;
  std::string source;
  if (!profile.empty()) {
    sim::DeviceProfile device;
    if (!sim::MakeProfile(profile, device)) {
      result.err = "usbaudio-inspect: unknown profile '" + profile + "'; profiles:" + ProfileList() + "\n";
      return result;
    }
    descriptors = device.descriptors;
    source = "profile " + profile;
  } else {
    std::string error;
    if (!sim::LoadDescriptorFile(file, fullSpeed, descriptors, error)) {
      result.err = "usbaudio-inspect: " + file + ": " + error + "\n";
      return result;
    }
    source = file;
  }

  const DeviceReport report = InspectDevice(descriptors, source);
  result.out = json ? FormatJson(report) : FormatText(report);
  result.exitCode = report.Succeeded() ? kExitAccepted : kExitRefused;
  return result;
}

}  // namespace tools
