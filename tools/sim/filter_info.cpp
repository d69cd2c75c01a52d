#include "tools/sim/filter_info.h"

#include <cstdio>
#include <cstring>

#include "driver/uac/terminal_types.h"
#include "sim/clients/ks_client.h"
#include "tools/inspect/json_writer.h"
#include "tools/inspect/status_names.h"

namespace tools {

namespace {

std::string RangeText(const std::vector<uint8_t>& bytes) {
  KSDATARANGE range;
  std::memcpy(&range, bytes.data(), sizeof range);
  if (IsEqualGUID(range.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) && bytes.size() >= sizeof(KSDATARANGE_AUDIO)) {
    KSDATARANGE_AUDIO audio;
    std::memcpy(&audio, bytes.data(), sizeof audio);
    char text[128];
    std::snprintf(text, sizeof text, "%s, up to %u ch, %u-%u bits, %u-%u Hz",
                  IsEqualGUID(range.SubFormat, KSDATAFORMAT_SUBTYPE_PCM) ? "PCM" : "other",
                  static_cast<unsigned>(audio.MaximumChannels), static_cast<unsigned>(audio.MinimumBitsPerSample),
                  static_cast<unsigned>(audio.MaximumBitsPerSample), static_cast<unsigned>(audio.MinimumSampleFrequency),
                  static_cast<unsigned>(audio.MaximumSampleFrequency));
    return text;
  }
  return IsEqualGUID(range.SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG) ? "analog" : "other";
}

std::string FormatText(const std::vector<uint8_t>& bytes) {
  struct Layout {
    KSDATAFORMAT header;
    WAVEFORMATEXTENSIBLE wave;
  };
  if (bytes.size() < sizeof(Layout)) return "short result";
  Layout format;
  std::memcpy(&format, bytes.data(), sizeof format);
  char text[160];
  std::snprintf(text, sizeof text, "%u ch, %u Hz, %u bits (%u valid), block %u, %u bytes/s, mask 0x%X",
                format.wave.Format.nChannels, static_cast<unsigned>(format.wave.Format.nSamplesPerSec),
                format.wave.Format.wBitsPerSample, format.wave.Samples.wValidBitsPerSample, format.wave.Format.nBlockAlign,
                static_cast<unsigned>(format.wave.Format.nAvgBytesPerSec), static_cast<unsigned>(format.wave.dwChannelMask));
  return text;
}

std::string Communication(KSPIN_COMMUNICATION c) {
  switch (c) {
    case KSPIN_COMMUNICATION_NONE: return "none";
    case KSPIN_COMMUNICATION_SINK: return "sink";
    case KSPIN_COMMUNICATION_SOURCE: return "source";
    case KSPIN_COMMUNICATION_BOTH: return "both";
    default: return "bridge";
  }
}

std::string End(uint32_t node, uint32_t pin) {
  return node == 0xFFFFFFFFu ? "pin " + std::to_string(pin) : "node " + std::to_string(node) + " (" + std::to_string(pin) + ")";
}

}  // namespace

uint32_t GatherFilterView(sim::KsFilter& filter, FilterView* view) {
  ULONG count = 0;
  NTSTATUS status = filter.PinCount(&count);
  if (!NT_SUCCESS(status)) return static_cast<uint32_t>(status);
  for (ULONG id = 0; id < count; ++id) {
    sim::KsPinInfo info;
    status = filter.GetPin(id, &info);
    if (!NT_SUCCESS(status)) return static_cast<uint32_t>(status);
    PinView pin;
    pin.id = id;
    pin.dataFlow = info.dataFlow == KSPIN_DATAFLOW_IN ? "in" : "out";
    pin.communication = Communication(info.communication);
    pin.category = info.hasCategory ? GuidTraceName(&info.category) : "none";
    pin.possibleInstances = info.instances.PossibleCount;
    pin.currentInstances = info.instances.CurrentCount;
    pin.globalPossible = info.globalInstances.PossibleCount;
    for (const auto& range : info.ranges) pin.ranges.push_back(RangeText(range));
    if (info.communication == KSPIN_COMMUNICATION_SINK) {
      std::vector<uint8_t> format;
      pin.intersectionStatus = static_cast<uint32_t>(filter.Intersect(id, 2, 24, 48000, &format));
      if (NT_SUCCESS(static_cast<NTSTATUS>(pin.intersectionStatus))) pin.intersection = FormatText(format);
    }
    view->pins.push_back(pin);
  }
  std::vector<GUID> nodes;
  status = filter.Nodes(&nodes);
  if (!NT_SUCCESS(status)) return static_cast<uint32_t>(status);
  for (size_t i = 0; i < nodes.size(); ++i) view->nodes.push_back({static_cast<uint32_t>(i), GuidTraceName(&nodes[i])});
  std::vector<KSTOPOLOGY_CONNECTION> connections;
  status = filter.Connections(&connections);
  if (!NT_SUCCESS(status)) return static_cast<uint32_t>(status);
  for (const KSTOPOLOGY_CONNECTION& c : connections) view->connections.push_back({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
  return 0;
}

std::string FilterViewText(const FilterView& v) {
  std::string out = "filter: " + std::string(v.devicePath.begin(), v.devicePath.end()) + "\n";
  for (const PinView& p : v.pins) {
    out += "  pin " + std::to_string(p.id) + ": data flow " + p.dataFlow + ", communication " + p.communication +
           ", category " + p.category + ", instances " + std::to_string(p.currentInstances) + " of " +
           std::to_string(p.possibleInstances) + " (global " + std::to_string(p.globalPossible) + ")\n";
    for (const std::string& r : p.ranges) out += "    range: " + r + "\n";
    if (p.communication == "sink") {
      out += "    intersection 2 ch / 24 bit / 48000 Hz: " +
             (p.intersection ? *p.intersection : StatusName(p.intersectionStatus)) + "\n";
    }
  }
  for (const NodeView& n : v.nodes) out += "  node " + std::to_string(n.id) + ": " + n.type + "\n";
  for (const ConnectionView& c : v.connections) out += "  connection " + End(c.fromNode, c.fromPin) + " -> " + End(c.toNode, c.toPin) + "\n";
  for (const ControlView& c : v.controls) {
    char value[64];
    if (c.property == "volume") {
      std::snprintf(value, sizeof value, "%.4f dB", c.value / 65536.0);
    } else {
      std::snprintf(value, sizeof value, "%s", c.value ? "on" : "off");
    }
    out += "  " + c.property + " (node " + std::to_string(c.node) + ", channel " + std::to_string(c.channel) + "): " +
           (NT_SUCCESS(static_cast<NTSTATUS>(c.status)) ? std::string(value) : StatusName(c.status)) + "\n";
  }
  return out;
}

std::string FilterViewJson(const FilterView& v, uint32_t startStatus) {
  JsonWriter json;
  json.BeginObject();
  json.Key("status").String(StatusName(startStatus));
  json.Key("status_code").String(StatusCode(startStatus));
  json.Key("device_path").String(std::string(v.devicePath.begin(), v.devicePath.end()));
  json.Key("pins").BeginArray();
  for (const PinView& p : v.pins) {
    json.BeginObject();
    json.Key("id").Number(p.id);
    json.Key("data_flow").String(p.dataFlow);
    json.Key("communication").String(p.communication);
    json.Key("category").String(p.category);
    json.Key("possible_instances").Number(p.possibleInstances);
    json.Key("current_instances").Number(p.currentInstances);
    json.Key("global_possible_instances").Number(p.globalPossible);
    json.Key("ranges").BeginArray();
    for (const std::string& r : p.ranges) json.String(r);
    json.EndArray();
    json.Key("intersection");
    if (p.intersection) {
      json.String(*p.intersection);
    } else if (p.communication == "sink") {
      json.String(StatusName(p.intersectionStatus));
    } else {
      json.Null();
    }
    json.EndObject();
  }
  json.EndArray();
  json.Key("nodes").BeginArray();
  for (const NodeView& n : v.nodes) {
    json.BeginObject();
    json.Key("id").Number(n.id);
    json.Key("type").String(n.type);
    json.EndObject();
  }
  json.EndArray();
  WriteConnectionsJson(json, v.connections);
  json.Key("controls").BeginArray();
  for (const ControlView& c : v.controls) {
    json.BeginObject();
    json.Key("node").Number(c.node);
    json.Key("property").String(c.property);
    json.Key("channel").Number(c.channel);
    json.Key("value").Number(c.value);
    json.Key("status").String(StatusName(c.status));
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
  return json.Text() + "\n";
}

}  // namespace tools
