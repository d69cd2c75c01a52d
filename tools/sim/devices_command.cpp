#include "tools/sim/devices_command.h"

#include <memory>

#include "platform/kernel/client_process.h"
#include "sim/clients/multi_device_machine.h"
#include "sim/profiles/device_profile.h"
#include "sim/uac/default_audio_config.h"
#include "sim/usb/descriptor_file.h"
#include "tools/inspect/json_writer.h"
#include "tools/inspect/status_names.h"
#include "tools/sim/text_format.h"
// The kernel headers first: <windows.h> leaves their definitions alone.
#include "kslib/dev_info.h"
#include "platform/win32/debug_output.h"

namespace tools {

const char kDevicesUsage[] =
    "usage: usbaudio-sim devices [--profile NAME | FILE]... [--full-speed] [--select-device ID] [--json]\n"
    "  plugs the devices into one machine in the order given (default: one default device), loads the driver\n"
    "  for each as plug and play does, and shows the device list the ASIO driver and the control panel\n"
    "  build (CDevInfo): entries, range summaries, selection, and the debugger lines (every group)\n"
    "  --select-device ID: select as the ASIO driver does at init: by device instance id, else the first entry\n";

namespace {

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// A fixed text field: up to its terminator or its end.
std::string FieldText(const WCHAR* field, size_t chars) {
  std::u16string text;
  for (size_t i = 0; i < chars && field[i] != 0; ++i) text.push_back(static_cast<char16_t>(field[i]));
  return Utf8(text);
}

std::vector<WCHAR> Wide(const std::string& utf8) {
  std::vector<WCHAR> out;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char b = static_cast<unsigned char>(utf8[i]);
    const int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    uint32_t c = extra == 0 ? b : b & (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < utf8.size(); ++k) c = (c << 6) | (utf8[i + k] & 0x3F);
    i += 1 + extra;
    if (c >= 0x10000) {
      out.push_back(static_cast<WCHAR>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<WCHAR>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<WCHAR>(c));
    }
  }
  out.push_back(0);
  return out;
}

RangeSummaryView RangeView(const AudioRangeSummary& s) {
  return RangeSummaryView{s.channels, s.minBits, s.maxBits, s.minRate, s.maxRate};
}

bool LoadDevice(const DevicesOptions::Device& d, bool fullSpeed, sim::DescriptorSet* descriptors,
                sim::AudioFunctionConfig* audio, std::string* error) {
  if (!d.file.empty()) {
    if (!sim::LoadDescriptorFile(d.file, fullSpeed, *descriptors, *error)) {
      *error = d.file + ": " + *error;
      return false;
    }
    *audio = sim::DefaultAudioConfig(*descriptors);
    return true;
  }
  sim::DeviceProfile profile;
  if (!sim::MakeProfile(d.profile, profile)) {
    *error = "unknown profile '" + d.profile + "'";
    return false;
  }
  *descriptors = profile.descriptors;
  *audio = profile.audio;
  return true;
}

// The client's side: the device list as both deliverables build it, in a
// process of its own, its debugger output captured.
void ListDevices(const DevicesOptions& options, DevicesReport* r) {
  platform::ClientProcess* process = platform::CreateClientProcess("usbaudio-sim devices");
  {
    platform::ProcessScope in(process);
    platform::win32::DebugOutputCapture capture(process);
    {
      CDevInfo devices(kDevInfoTraceControlPanel);
      devices.makeActiveDeviceList();
      if (options.select) {
        r->selectionAsked = true;
        r->selectId = options.selectId;
        const std::vector<WCHAR> id = Wide(options.selectId);
        r->selectedById = devices.setCurrentSelectedByDeviceInstanceId(id.data()) != FALSE;
        if (!r->selectedById) r->selectedByIndex = devices.setCurrentSelectedByIndex(0) != FALSE;
      }
      for (LONG i = 0;; ++i) {
        const DeviceListEntry* e = devices.getDeviceEntry(i);
        if (e == nullptr) break;
        DeviceEntryView v;
        v.deviceName = FieldText(e->deviceName, DeviceListEntry::kTextChars);
        v.instanceId = FieldText(e->instanceId, DeviceListEntry::kTextChars);
        v.selected = e->selected != 0;
        v.render = RangeView(e->renderRange);
        v.capture = RangeView(e->captureRange);
        r->entries.push_back(v);
      }
    }
    r->debugMessages = capture.Messages();
  }
  platform::EndClientProcess(process);
}

std::string RangeText(const RangeSummaryView& s) {
  return Format("%u ch / %u - %u bit / %u - %u Hz", s.channels, s.minBits, s.maxBits, s.minRate, s.maxRate);
}

void RangeJson(JsonWriter& json, const RangeSummaryView& s) {
  json.BeginObject();
  json.Key("channels").Number(s.channels);
  json.Key("min_bits").Number(s.minBits);
  json.Key("max_bits").Number(s.maxBits);
  json.Key("min_rate").Number(s.minRate);
  json.Key("max_rate").Number(s.maxRate);
  json.EndObject();
}

}  // namespace

bool ParseDevicesOptions(const std::vector<std::string>& args, DevicesOptions* options, std::string* error) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--profile" || arg == "--select-device") {
      if (i + 1 >= args.size()) {
        *error = arg + " needs a value";
        return false;
      }
      const std::string& value = args[++i];
      if (arg == "--profile") {
        options->devices.push_back({value, ""});
      } else {
        options->select = true;
        options->selectId = value;
      }
    } else if (arg == "--json") {
      options->json = true;
    } else if (arg == "--full-speed") {
      options->fullSpeed = true;
    } else if (!arg.empty() && arg[0] == '-') {
      *error = "unknown option " + arg;
      return false;
    } else {
      options->devices.push_back({"", arg});
    }
  }
  if (options->devices.empty()) options->devices.push_back({"default", ""});
  return true;
}

DevicesReport RunDevicesReport(const DevicesOptions& options) {
  DevicesReport r;
  std::vector<sim::DescriptorSet> descriptors(options.devices.size());
  std::vector<sim::AudioFunctionConfig> audio(options.devices.size());
  for (size_t i = 0; i < options.devices.size(); ++i) {
    if (!LoadDevice(options.devices[i], options.fullSpeed, &descriptors[i], &audio[i], &r.error)) return r;
  }
  {
    sim::MultiDeviceMachine machine;
    for (size_t i = 0; i < options.devices.size(); ++i) machine.Attach(descriptors[i], audio[i]);
    r.driverStatus = static_cast<uint32_t>(machine.Start());
    for (size_t i = 0; i < machine.DeviceCount(); ++i) {
      AttachedDeviceView a;
      const DevicesOptions::Device& d = options.devices[i];
      a.source = d.file.empty() ? d.profile : d.file;
      a.instancePath = Utf8(machine.InstancePath(i));
      a.startStatus = static_cast<uint32_t>(machine.StartStatus(i));
      r.attached.push_back(a);
    }
    if (NT_SUCCESS(static_cast<NTSTATUS>(r.driverStatus))) ListDevices(options, &r);
    for (size_t i = 0; i < machine.DeviceCount(); ++i) r.attached[i].filterOpens = machine.FilterOpens(i);
    machine.Shutdown();
  }
  r.exitCode = r.entries.empty() ? 1 : 0;
  return r;
}

std::string DevicesReportText(const DevicesReport& r) {
  std::string out = "driver: " + StatusName(r.driverStatus) + " (" + StatusCode(r.driverStatus) + ")\n";
  out += Format("devices plugged in: %zu\n", r.attached.size());
  for (size_t i = 0; i < r.attached.size(); ++i) {
    const AttachedDeviceView& a = r.attached[i];
    out += Format("  [%zu] %s\n", i, a.source.c_str());
    out += "      instance: " + a.instancePath + "\n";
    out += "      start: " + StatusName(a.startStatus) + ", filter opened " + std::to_string(a.filterOpens) +
           " time(s)\n";
  }
  out += Format("device list (CDevInfo): %zu entr%s\n", r.entries.size(), r.entries.size() == 1 ? "y" : "ies");
  for (size_t i = 0; i < r.entries.size(); ++i) {
    const DeviceEntryView& e = r.entries[i];
    out += Format("  [%zu] %s%s\n", i, e.deviceName.c_str(), e.selected ? "  (selected)" : "");
    out += "      instance id: " + e.instanceId + "\n";
    out += "      render:  " + RangeText(e.render) + "\n";
    out += "      capture: " + RangeText(e.capture) + "\n";
  }
  if (r.selectionAsked) {
    out += "selection of \"" + r.selectId + "\": " +
           (r.selectedById ? std::string("found")
                           : std::string("not found, first entry ") + (r.selectedByIndex ? "selected" : "not selectable")) +
           "\n";
  }
  out += "debugger lines:\n";
  for (const std::string& m : r.debugMessages) {
    out += "  " + m;
    if (m.empty() || m.back() != '\n') out += "\n";
  }
  return out;
}

std::string DevicesReportJson(const DevicesReport& r) {
  JsonWriter json;
  json.BeginObject();
  json.Key("driver_status").String(StatusName(r.driverStatus));
  json.Key("devices").BeginArray();
  for (const AttachedDeviceView& a : r.attached) {
    json.BeginObject();
    json.Key("source").String(a.source);
    json.Key("instance_path").String(a.instancePath);
    json.Key("start_status").String(StatusName(a.startStatus));
    json.Key("filter_opens").Number(a.filterOpens);
    json.EndObject();
  }
  json.EndArray();
  json.Key("entries").BeginArray();
  for (const DeviceEntryView& e : r.entries) {
    json.BeginObject();
    json.Key("device_name").String(e.deviceName);
    json.Key("instance_id").String(e.instanceId);
    json.Key("selected").Bool(e.selected);
    json.Key("render_range");
    RangeJson(json, e.render);
    json.Key("capture_range");
    RangeJson(json, e.capture);
    json.EndObject();
  }
  json.EndArray();
  json.Key("selection");
  if (r.selectionAsked) {
    json.BeginObject();
    json.Key("id").String(r.selectId);
    json.Key("found").Bool(r.selectedById);
    json.Key("first_entry_selected").Bool(r.selectedByIndex);
    json.EndObject();
  } else {
    json.Null();
  }
  json.Key("debug_lines").BeginArray();
  for (const std::string& m : r.debugMessages) json.String(m);
  json.EndArray();
  json.EndObject();
  return json.Text() + "\n";
}

SimCommandResult RunDevices(const std::vector<std::string>& args) {
  SimCommandResult result;
  DevicesOptions options;
  std::string error;
  if (!ParseDevicesOptions(args, &options, &error)) {
    result.err = "usbaudio-sim: " + error + "\n" + kDevicesUsage;
    return result;
  }
  const DevicesReport report = RunDevicesReport(options);
  if (!report.error.empty()) {
    result.err = "usbaudio-sim: " + report.error + "\n";
    return result;
  }
  result.out = options.json ? DevicesReportJson(report) : DevicesReportText(report);
  result.exitCode = report.exitCode;
  return result;
}

}  // namespace tools
