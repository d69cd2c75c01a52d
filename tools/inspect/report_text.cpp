// Human-readable form of an inspection report.
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

std::string List(const std::vector<uint32_t>& values, size_t limit) {
  std::string text;
  for (size_t i = 0; i < values.size() && i < limit; ++i) text += (i ? " " : "") + std::to_string(values[i]);
  if (values.size() > limit) text += " ...";
  return text;
}

std::string FormatSelectionText(const SelectionReport& s) {
  std::string out;
  auto line = [&out](const std::string& text) { out += text + "\n"; };
  line("selection (" + s.direction + ") " + std::to_string(s.channels) + " ch / " + std::to_string(s.bits) + " bit / " +
       std::to_string(s.rate) + " Hz: " + StatusName(s.status) + " (" + StatusCode(s.status) + ")");
  if ((s.status & 0xC0000000u) == 0xC0000000u) return out;
  line("  alternate " + std::to_string(s.alternate) + ", " + std::to_string(s.chosenChannels) + " ch in " +
       std::to_string(s.containerBits) + "-bit containers, " + std::to_string(s.bytesPerFrame) + " bytes per frame");
  auto pipe = [&line](const char* role, const std::optional<PipeReport>& p) {
    if (p) {
      line(std::string("  ") + role + " pipe " + Hex(p->address, 2) + ", max packet " + std::to_string(p->maxPacketSize) +
           ", interval " + std::to_string(p->interval));
    } else {
      line(std::string("  ") + role + " pipe: none");
    }
  };
  pipe("data", s.dataPipe);
  pipe("feedback", s.feedbackPipe);
  line("  packet bytes: nominal " + std::to_string(s.nominalPacketBytes) + ", min " + std::to_string(s.minimumPacketBytes) +
       ", max " + std::to_string(s.maximumPacketBytes) + ", whole frames " + (s.wholeFrames ? "yes" : "no") +
       ", data interval " + std::to_string(s.dataInterval));
  line("  max bytes per ms " + std::to_string(s.maxBytesPerMs) + "; " + std::to_string(s.transferMs) + " ms: nominal " +
       std::to_string(s.nominalTransferBytes) + " bytes, slack " + std::to_string(s.negativeSlack) + "/+" +
       std::to_string(s.positiveSlack) + " frames");
  char feedback[64];
  std::snprintf(feedback, sizeof(feedback), "%u (%.4f frames per packet unit)", s.nominalFeedback, s.nominalFeedback / 65536.0);
  line(std::string("  nominal feedback ") + feedback + ", feedback period " + std::to_string(s.feedbackPeriodMs) +
       " ms, feedback buffer " + std::to_string(s.feedbackBufferBytes) + " bytes");
  if (!s.firstPacketBytes.empty()) {
    line("  one " + std::to_string(s.transferMs) + " ms transfer from the schedule: " +
         std::to_string(s.firstPacketBytes.size()) + " packets: " + List(s.firstPacketBytes, 40));
  }
  return out;
}

std::string End(uint32_t node, uint32_t pin) {
  return node == 0xFFFFFFFFu ? "pin " + std::to_string(pin) : "node " + std::to_string(node) + " (" + std::to_string(pin) + ")";
}

std::string FormatFilterText(const FilterReport& f) {
  std::string out = "KS filter";
  if ((f.status & 0xC0000000u) == 0xC0000000u) return out + ": " + StatusName(f.status) + "\n";
  out += ":\n";
  for (const FilterPinReport& p : f.pins) {
    out += "  pin " + std::to_string(p.id) + ": data flow " + p.dataFlow + ", communication " + p.communication +
           ", category " + p.category + ", terminal " + p.terminal + ", instances " +
           std::to_string(p.maxGlobalInstances) + "/" + std::to_string(p.maxFilterInstances) + "/" +
           std::to_string(p.minFilterInstances) + "\n";
    for (const std::string& range : p.ranges) out += "    range: " + range + "\n";
  }
  for (const FilterNodeReport& n : f.nodes) {
    out += "  node " + std::to_string(n.id) + ": " + n.type + (n.entity.empty() ? "" : ", " + n.entity) +
           (n.automation ? ", properties" : "") + "\n";
  }
  for (const FilterConnectionReport& c : f.connections) {
    out += "  connection " + End(c.fromNode, c.fromPin) + " -> " + End(c.toNode, c.toPin) + "\n";
  }
  return out;
}

std::string FormatScheduleText(const ScheduleReport& s) {
  return "schedule " + std::to_string(s.rate) + " Hz: full speed [" + std::to_string(s.fullSpeed.size()) + "] " +
         List(s.fullSpeed, 12) + "; high speed [" + std::to_string(s.highSpeed.size()) + "] " + List(s.highSpeed, 12) + "\n";
}

}  // namespace

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
  for (const StreamingReport& s : r.streamingInterfaces) {
    line("data ranges of interface " + std::to_string(s.interfaceNumber) + ":");
    for (const DataRangeReport& d : s.dataRanges) {
      line("  alt " + std::to_string(d.alternate) + ": " + d.subFormat + ", up to " + std::to_string(d.maximumChannels) +
           " ch, " + std::to_string(d.minimumBits) + "-" + std::to_string(d.maximumBits) + " bits, " +
           std::to_string(d.minimumRate) + "-" + std::to_string(d.maximumRate) + " Hz");
    }
    const CapabilityReport& c = s.capabilities;
    line("  capabilities: up to " + std::to_string(c.maxChannels) + " ch, containers " + std::to_string(c.minContainerBits) +
         "-" + std::to_string(c.maxContainerBits) + " bits, " + std::to_string(c.minRate) + "-" + std::to_string(c.maxRate) +
         " Hz");
  }
  line("render interface:  " + (r.renderInterface ? std::to_string(*r.renderInterface) : std::string("none")));
  line("capture interface: " + (r.captureInterface ? std::to_string(*r.captureInterface) : std::string("none")));
  if (r.filter) out += FormatFilterText(*r.filter);
  for (const SelectionReport& s : r.selections) out += FormatSelectionText(s);
  for (const ScheduleReport& s : r.schedule) out += FormatScheduleText(s);
  return out;
}

}  // namespace tools
