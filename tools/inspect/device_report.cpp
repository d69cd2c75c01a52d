#include "tools/inspect/device_report.h"

#include <cstdio>
#include <memory>

#include "driver/core/pool_tags.h"
#include "driver/uac/terminal_types.h"
#include "driver/uac/usbaudiocl.h"
#include "platform/kernel/verifier.h"
#include "sim/usb/sim_usb_device.h"
#include "tools/inspect/json_writer.h"
#include "tools/inspect/status_names.h"

namespace tools {

namespace {

const char* KindName(UacEntityKind kind) {
  switch (kind) {
    case UacEntityClockSource: return "ClockSource";
    case UacEntityClockSelector: return "ClockSelector";
    case UacEntityInputTerminal: return "InputTerminal";
    case UacEntityOutputTerminal: return "OutputTerminal";
    case UacEntityFeatureUnit: return "FeatureUnit";
    default: return "ProcessingUnit";
  }
}

std::optional<EndpointReport> Endpoint(PUSB_ENDPOINT_DESCRIPTOR endpoint) {
  if (endpoint == nullptr) return std::nullopt;
  EndpointReport report;
  report.address = endpoint->bEndpointAddress;
  report.attributes = endpoint->bmAttributes;
  report.maxPacketSize = endpoint->wMaxPacketSize;
  report.interval = endpoint->bInterval;
  return report;
}

uint32_t Read24(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16); }

AlternateReport Alternate(const AlternateSetting& setting, bool uac2) {
  AlternateReport report;
  report.alternate = setting.Interface->bAlternateSetting;
  const uint8_t* general = setting.AsGeneral;
  const uint8_t* format = setting.FormatType;
  if (format != nullptr) report.formatType = format[3];
  if (uac2) {
    if (general != nullptr) {
      report.channels = general[10];
      report.formatTag = static_cast<int>(general[6] | (general[7] << 8) | (general[8] << 16) |
                                          (static_cast<uint32_t>(general[9]) << 24));
    }
    if (format != nullptr && format[3] == 1) {
      report.subslotBytes = format[4];
      report.bitResolution = format[5];
    }
  } else {
    if (general != nullptr) report.formatTag = general[5] | (general[6] << 8);
    if (format != nullptr && format[3] == 1 && format[0] >= 8) {
      report.channels = format[4];
      report.subslotBytes = format[5];
      report.bitResolution = format[6];
      const unsigned count = format[7];
      if (count == 0 && format[0] >= 14) {
        report.continuousRates = true;
        report.rates = {Read24(format + 8), Read24(format + 11)};
      } else {
        for (unsigned i = 0; i < count && 8 + 3 * (i + 1) <= format[0]; ++i) report.rates.push_back(Read24(format + 8 + 3 * i));
      }
    }
  }
  report.dataEndpoint = Endpoint(setting.DataEndpoint);
  report.feedbackEndpoint = Endpoint(setting.FeedbackEndpoint);
  return report;
}

void Collect(CUSBAudioCL& audio, DeviceReport& report) {
  const USB_DEVICE_DESCRIPTOR& device = audio.GetDeviceDescriptor();
  report.vendorId = device.idVendor;
  report.productId = device.idProduct;
  report.highSpeed = audio.IsHighSpeed();
  report.uac2 = audio.IsUac2();
  report.dsdCapable = audio.IsDsdCapable();
  for (CUSBAudioEntity* entity = audio.GetEntities(); entity != nullptr; entity = entity->Next) {
    EntityReport e;
    e.id = entity->GetId();
    e.kind = KindName(entity->GetKind());
    char name[64] = {};
    entity->GetName(name, sizeof(name));
    e.name = name;
    for (ULONG i = 0; i < 256; ++i) {
      const ULONG source = entity->GetSourceId(i);
      if (source == UAC_NO_SOURCE) break;
      if (entity->GetKind() != UacEntityClockSelector && i > 0) break;  // one source for any index
      e.sourceIds.push_back(static_cast<int>(source));
    }
    if (entity->IsTerminal()) {
      auto* terminal = static_cast<CUSBAudioTerminal*>(entity);
      e.terminalType = audio.GetTerminalType(terminal);
      e.terminalTypeName = *e.terminalType == 0x0101 ? "USB streaming"
                                                     : GuidTraceName(TerminalTypeCategory(static_cast<USHORT>(*e.terminalType)));
      const ULONG clock = terminal->GetClockSourceId();
      if (clock != UAC_NO_SOURCE) e.clockId = static_cast<int>(clock);
    }
    report.entities.push_back(e);
  }
  for (StreamingInterface* s = audio.GetStreamingInterfaces(); s != nullptr; s = s->Next) {
    StreamingReport streaming;
    streaming.interfaceNumber = s->InterfaceNumber;
    streaming.isInput = s->IsInput != 0;
    streaming.terminalId = s->Terminal != nullptr ? s->Terminal->GetId() : 0;
    for (ULONG i = 0; i < s->AlternateCount; ++i) streaming.alternates.push_back(Alternate(s->Alternates[i], report.uac2));
    report.streamingInterfaces.push_back(streaming);
  }
  if (audio.GetRenderInterface() != nullptr) report.renderInterface = audio.GetRenderInterface()->InterfaceNumber;
  if (audio.GetCaptureInterface() != nullptr) report.captureInterface = audio.GetCaptureInterface()->InterfaceNumber;
}

std::string Hex(unsigned value, int digits) {
  char buffer[16];
  std::snprintf(buffer, sizeof(buffer), "0x%0*X", digits, value);
  return buffer;
}

}  // namespace

DeviceReport InspectDevice(const sim::DescriptorSet& descriptors, const std::string& source) {
  DeviceReport report;
  report.source = source;
  sim::SimUsbDevice device(descriptors);
  std::string lastError;
  platform::SetDebugPrintSink([&lastError](const char* line) {
    std::string text = line;
    const std::string marker = "error: ";
    const size_t at = text.find(marker);
    if (at != std::string::npos) {
      lastError = text.substr(at + marker.size());
      while (!lastError.empty() && (lastError.back() == '\n' || lastError.back() == '\r')) lastError.pop_back();
    }
  });
  {
    std::unique_ptr<CUSBAudioCL> audio(new (NonPagedPoolNx, POOLTAG_USB) CUSBAudioCL());
    NTSTATUS status = audio ? audio->Init(device.Pdo(), 0) : STATUS_INSUFFICIENT_RESOURCES;
    report.failedStep = "Init";
    if (NT_SUCCESS(status)) {
      status = audio->Configure();
      report.failedStep = "Configure";
    }
    report.status = static_cast<uint32_t>(status);
    if (NT_SUCCESS(status)) {
      report.failedStep.clear();
    } else {
      report.reason = lastError;
    }
    if (audio) Collect(*audio, report);
  }
  platform::SetDebugPrintSink(nullptr);
  return report;
}

std::string FormatText(const DeviceReport& r) {
  std::string out;
  auto line = [&out](const std::string& text) { out += text + "\n"; };
  line("device:    " + r.source);
  std::string status = "status:    " + StatusName(r.status) + " (" + StatusCode(r.status) + ")";
  if (!r.Succeeded()) {
    status += " in " + r.failedStep;
    if (!r.reason.empty()) status += ": " + r.reason;
  }
  line(status);
  line("usb:       VID " + Hex(r.vendorId, 4).substr(2) + " PID " + Hex(r.productId, 4).substr(2) + ", " +
       (r.highSpeed ? "high speed" : "full speed"));
  line(std::string("audio:     class ") + (r.uac2 ? "2.0" : "1.0") + ", DSD " + (r.dsdCapable ? "yes" : "no"));
  line("entities:");
  for (const EntityReport& e : r.entities) {
    std::string text = "  " + e.name + "  " + e.kind;
    if (e.terminalType) text += ", type " + Hex(static_cast<unsigned>(*e.terminalType), 4) + " (" + e.terminalTypeName + ")";
    if (!e.sourceIds.empty()) {
      text += e.sourceIds.size() > 1 ? ", sources" : ", source";
      for (int id : e.sourceIds) text += " " + std::to_string(id);
    }
    if (e.clockId) text += ", clock " + std::to_string(*e.clockId);
    line(text);
  }
  line("streaming interfaces:");
  for (const StreamingReport& s : r.streamingInterfaces) {
    line("  interface " + std::to_string(s.interfaceNumber) + (s.isInput ? " (IN, capture)" : " (OUT, render)") +
         ", terminal " + std::to_string(s.terminalId) + ", " + std::to_string(s.alternates.size()) + " alternates");
    for (const AlternateReport& a : s.alternates) {
      std::string text = "    alt " + std::to_string(a.alternate) + ":";
      if (!a.dataEndpoint && !a.formatType) {
        line(text + " no endpoints");
        continue;
      }
      if (a.formatType) text += " format type " + std::to_string(*a.formatType);
      if (a.channels) text += ", " + std::to_string(*a.channels) + " ch";
      if (a.bitResolution && a.subslotBytes)
        text += ", " + std::to_string(*a.bitResolution) + " of " + std::to_string(*a.subslotBytes * 8) + " bits";
      if (!a.rates.empty()) {
        text += a.continuousRates ? ", rates " : ", rates";
        if (a.continuousRates) {
          text += std::to_string(a.rates[0]) + "-" + std::to_string(a.rates[1]);
        } else {
          for (uint32_t rate : a.rates) text += " " + std::to_string(rate);
        }
      }
      line(text);
      auto endpoint = [&line](const char* role, const EndpointReport& e) {
        static const char* const kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
        line(std::string("      ") + role + " endpoint " + Hex(e.address, 2) + ": " + kTypes[e.attributes & 3] +
             ", attributes " + Hex(e.attributes, 2) + ", max packet " + std::to_string(e.maxPacketSize & 0x7FF) +
             ((e.maxPacketSize >> 11) & 3 ? " x" + std::to_string(((e.maxPacketSize >> 11) & 3) + 1) : std::string()) +
             ", interval " + std::to_string(e.interval));
      };
      if (a.dataEndpoint) endpoint("data", *a.dataEndpoint);
      if (a.feedbackEndpoint) endpoint("feedback", *a.feedbackEndpoint);
    }
  }
  line("render interface:  " + (r.renderInterface ? std::to_string(*r.renderInterface) : std::string("none")));
  line("capture interface: " + (r.captureInterface ? std::to_string(*r.captureInterface) : std::string("none")));
  return out;
}

namespace {

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

void WriteOptional(JsonWriter& json, const std::optional<int>& value) {
  if (value) {
    json.Number(*value);
  } else {
    json.Null();
  }
}

}  // namespace

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
    json.EndObject();
  }
  json.EndArray();
  json.Key("render_interface");
  WriteOptional(json, r.renderInterface);
  json.Key("capture_interface");
  WriteOptional(json, r.captureInterface);
  json.EndObject();
  return json.Text() + "\n";
}

}  // namespace tools
