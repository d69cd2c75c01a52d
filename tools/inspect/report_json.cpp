// Machine-readable form of an inspection report.
#include <cstdio>

#include "tools/inspect/device_report.h"
#include "tools/inspect/json_writer.h"
#include "tools/inspect/status_names.h"

namespace tools {

namespace {

std::string Hex(unsigned value, int digits) {
  char buffer[16];
  std::snprintf(buffer, sizeof(buffer), "0x%0*X", digits, value);
  return buffer;
}


void WriteEndpoint(JsonWriter& json, const std::optional<EndpointReport>& endpoint) {
  if (!endpoint) {
    json.Null();
    return;
  }
  json.BeginObject();
  json.Key("address").Number(endpoint->address);
  json.Key("attributes").Number(endpoint->attributes);
  json.Key("max_packet_size").Number(endpoint->maxPacketSize);
  json.Key("interval").Number(endpoint->interval);
  json.EndObject();
}

void WriteNumbers(JsonWriter& json, const std::vector<uint32_t>& values) {
  json.BeginArray();
  for (uint32_t v : values) json.Number(v);
  json.EndArray();
}

void WritePipe(JsonWriter& json, const std::optional<PipeReport>& pipe) {
  if (!pipe) {
    json.Null();
    return;
  }
  json.BeginObject();
  json.Key("address").Number(pipe->address);
  json.Key("max_packet_size").Number(pipe->maxPacketSize);
  json.Key("interval").Number(pipe->interval);
  json.EndObject();
}

void WriteDataRange(JsonWriter& json, const DataRangeReport& d, std::optional<int> interfaceNumber) {
  json.BeginObject();
  if (interfaceNumber) json.Key("interface_number").Number(*interfaceNumber);
  json.Key("alternate").Number(d.alternate);
  json.Key("sub_format").String(d.subFormat);
  json.Key("maximum_channels").Number(d.maximumChannels);
  json.Key("minimum_bits_per_sample").Number(d.minimumBits);
  json.Key("maximum_bits_per_sample").Number(d.maximumBits);
  json.Key("minimum_sample_frequency").Number(d.minimumRate);
  json.Key("maximum_sample_frequency").Number(d.maximumRate);
  json.EndObject();
}

void WriteSelection(JsonWriter& json, const SelectionReport& s) {
  json.BeginObject();
  json.Key("direction").String(s.direction);
  json.Key("channels").Number(s.channels);
  json.Key("bits").Number(s.bits);
  json.Key("rate").Number(s.rate);
  json.Key("status").String(StatusName(s.status));
  json.Key("status_code").String(StatusCode(s.status));
  json.Key("alternate").Number(s.alternate);
  json.Key("chosen_channels").Number(s.chosenChannels);
  json.Key("container_bits").Number(s.containerBits);
  json.Key("data_pipe");
  WritePipe(json, s.dataPipe);
  json.Key("feedback_pipe");
  WritePipe(json, s.feedbackPipe);
  json.Key("bytes_per_frame").Number(s.bytesPerFrame);
  json.Key("nominal_packet_bytes").Number(s.nominalPacketBytes);
  json.Key("min_packet_bytes").Number(s.minimumPacketBytes);
  json.Key("max_packet_bytes").Number(s.maximumPacketBytes);
  json.Key("whole_frames").Bool(s.wholeFrames);
  json.Key("max_bytes_per_ms").Number(s.maxBytesPerMs);
  json.Key("nominal_feedback").Number(s.nominalFeedback);
  json.Key("feedback_period_ms").Number(s.feedbackPeriodMs);
  json.Key("feedback_buffer_bytes").Number(s.feedbackBufferBytes);
  json.Key("data_interval").Number(s.dataInterval);
  json.Key("transfer_ms").Number(s.transferMs);
  json.Key("nominal_transfer_bytes").Number(s.nominalTransferBytes);
  json.Key("negative_slack_frames").Number(s.negativeSlack);
  json.Key("positive_slack_frames").Number(s.positiveSlack);
  json.Key("first_packet_bytes");
  WriteNumbers(json, s.firstPacketBytes);
  json.EndObject();
}

void WriteOptional(JsonWriter& json, const std::optional<int>& value) {
  if (value) {
    json.Number(*value);
  } else {
    json.Null();
  }
}

}  // namespace

void WriteConnectionsJson(JsonWriter& json, const std::vector<FilterConnectionReport>& connections) {
  json.Key("connections").BeginArray();
  for (const FilterConnectionReport& c : connections) {
    json.BeginObject();
    json.Key("from_node").Number(c.fromNode);
    json.Key("from_pin").Number(c.fromPin);
    json.Key("to_node").Number(c.toNode);
    json.Key("to_pin").Number(c.toPin);
    json.EndObject();
  }
  json.EndArray();
}

std::string FormatJson(const DeviceReport& r) {
  JsonWriter json;
  json.BeginObject();
  json.Key("source").String(r.source);
  json.Key("status").String(StatusName(r.status));
  json.Key("status_code").String(StatusCode(r.status));
  if (!r.Succeeded()) {
    json.Key("failed_step").String(r.failedStep);
    json.Key("reason").String(r.reason);
  }
  json.Key("device").BeginObject();
  json.Key("vendor_id").String(Hex(r.vendorId, 4));
  json.Key("product_id").String(Hex(r.productId, 4));
  json.Key("high_speed").Bool(r.highSpeed);
  json.Key("uac_version").String(r.uac2 ? "2.0" : "1.0");
  json.Key("dsd_capable").Bool(r.dsdCapable);
  json.EndObject();
  json.Key("entities").BeginArray();
  for (const EntityReport& e : r.entities) {
    json.BeginObject();
    json.Key("id").Number(e.id);
    json.Key("kind").String(e.kind);
    json.Key("name").String(e.name);
    json.Key("terminal_type");
    WriteOptional(json, e.terminalType);
    json.Key("source_ids").BeginArray();
    for (int id : e.sourceIds) json.Number(id);
    json.EndArray();
    json.Key("clock_id");
    WriteOptional(json, e.clockId);
    json.EndObject();
  }
  json.EndArray();
  json.Key("streaming_interfaces").BeginArray();
  for (const StreamingReport& s : r.streamingInterfaces) {
    json.BeginObject();
    json.Key("interface_number").Number(s.interfaceNumber);
    json.Key("is_input").Bool(s.isInput);
    json.Key("terminal_id").Number(s.terminalId);
    json.Key("alternates").BeginArray();
    for (const AlternateReport& a : s.alternates) {
      json.BeginObject();
      json.Key("alternate").Number(a.alternate);
      json.Key("format_type");
      WriteOptional(json, a.formatType);
      json.Key("channels");
      WriteOptional(json, a.channels);
      json.Key("subslot_bytes");
      WriteOptional(json, a.subslotBytes);
      json.Key("bit_resolution");
      WriteOptional(json, a.bitResolution);
      if (!a.rates.empty()) {
        json.Key(a.continuousRates ? "rate_range" : "rates").BeginArray();
        for (uint32_t rate : a.rates) json.Number(rate);
        json.EndArray();
      }
      json.Key("data_endpoint");
      WriteEndpoint(json, a.dataEndpoint);
      json.Key("feedback_endpoint");
      WriteEndpoint(json, a.feedbackEndpoint);
      json.EndObject();
    }
    json.EndArray();
    json.Key("data_ranges").BeginArray();
    for (const DataRangeReport& d : s.dataRanges) WriteDataRange(json, d, std::nullopt);
    json.EndArray();
    json.Key("capabilities").BeginObject();
    json.Key("max_channels").Number(s.capabilities.maxChannels);
    json.Key("min_container_bits").Number(s.capabilities.minContainerBits);
    json.Key("max_container_bits").Number(s.capabilities.maxContainerBits);
    json.Key("min_rate").Number(s.capabilities.minRate);
    json.Key("max_rate").Number(s.capabilities.maxRate);
    json.EndObject();
    json.EndObject();
  }
  json.EndArray();
  json.Key("render_interface");
  WriteOptional(json, r.renderInterface);
  json.Key("capture_interface");
  WriteOptional(json, r.captureInterface);
  json.Key("data_ranges").BeginArray();
  for (const StreamingReport& s : r.streamingInterfaces) {
    for (const DataRangeReport& d : s.dataRanges) WriteDataRange(json, d, s.interfaceNumber);
  }
  json.EndArray();
  if (r.filter) {
    const FilterReport& f = *r.filter;
    json.Key("filter").BeginObject();
    json.Key("status").String(StatusName(f.status));
    json.Key("pins").BeginArray();
    for (const FilterPinReport& p : f.pins) {
      json.BeginObject();
      json.Key("id").Number(p.id);
      json.Key("data_flow").String(p.dataFlow);
      json.Key("communication").String(p.communication);
      json.Key("category").String(p.category);
      json.Key("terminal").String(p.terminal);
      json.Key("max_global_instances").Number(p.maxGlobalInstances);
      json.Key("max_filter_instances").Number(p.maxFilterInstances);
      json.Key("min_filter_instances").Number(p.minFilterInstances);
      json.Key("ranges").BeginArray();
      for (const std::string& range : p.ranges) json.String(range);
      json.EndArray();
      json.EndObject();
    }
    json.EndArray();
    json.Key("nodes").BeginArray();
    for (const FilterNodeReport& n : f.nodes) {
      json.BeginObject();
      json.Key("id").Number(n.id);
      json.Key("type").String(n.type);
      json.Key("entity").String(n.entity);
      json.Key("has_properties").Bool(n.automation);
      json.EndObject();
    }
    json.EndArray();
    WriteConnectionsJson(json, f.connections);
    json.EndObject();
  }
  if (!r.selections.empty()) {
    json.Key("selection");
    WriteSelection(json, r.selections.front());
    json.Key("selections").BeginArray();
    for (const SelectionReport& s : r.selections) WriteSelection(json, s);
    json.EndArray();
  }
  if (!r.schedule.empty()) {
    json.Key("schedule").BeginArray();
    for (const ScheduleReport& s : r.schedule) {
      json.BeginObject();
      json.Key("rate").Number(s.rate);
      json.Key("full_speed");
      WriteNumbers(json, s.fullSpeed);
      json.Key("high_speed");
      WriteNumbers(json, s.highSpeed);
      json.EndObject();
    }
    json.EndArray();
  }
  json.EndObject();
  return json.Text() + "\n";
}

}  // namespace tools
