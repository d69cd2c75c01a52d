// The KS filter description as the driver builds it, in plain data.
#include <cstdio>

#include "driver/uac/filter_topology.h"
#include "driver/uac/ks_guids.h"
#include "driver/uac/terminal_types.h"
#include "driver/uac/usbaudiocl.h"
#include "tools/inspect/device_report.h"

namespace tools {

namespace {

std::string EntityName(CUSBAudioEntity* entity) {
  if (entity == nullptr) return "";
  char name[64] = {};
  entity->GetName(name, sizeof(name));
  return name;
}

std::string Communication(KSPIN_COMMUNICATION communication) {
  switch (communication) {
    case KSPIN_COMMUNICATION_NONE: return "none";
    case KSPIN_COMMUNICATION_SINK: return "sink";
    case KSPIN_COMMUNICATION_SOURCE: return "source";
    case KSPIN_COMMUNICATION_BOTH: return "both";
    default: return "bridge";
  }
}

std::string RangeText(const KSDATARANGE* range) {
  if (range->FormatSize >= sizeof(KSDATARANGE_AUDIO) &&
      IsEqualGUID(range->Specifier, UA_KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) {
    const auto* audio = reinterpret_cast<const KSDATARANGE_AUDIO*>(range);
    char text[128];
    std::snprintf(text, sizeof(text), "%s, up to %u ch, %u-%u bits, %u-%u Hz",
                  IsEqualGUID(range->SubFormat, UA_KSDATAFORMAT_SUBTYPE_PCM) ? "PCM" : "other",
                  static_cast<unsigned>(audio->MaximumChannels), static_cast<unsigned>(audio->MinimumBitsPerSample),
                  static_cast<unsigned>(audio->MaximumBitsPerSample),
                  static_cast<unsigned>(audio->MinimumSampleFrequency),
                  static_cast<unsigned>(audio->MaximumSampleFrequency));
    return text;
  }
  if (IsEqualGUID(range->SubFormat, UA_KSDATAFORMAT_SUBTYPE_ANALOG)) return "analog";
  return range->FormatSize == 0 ? "empty" : "other";
}

}  // namespace

FilterReport CollectFilter(CUSBAudioCL& audio) {
  FilterReport report;
  PCFILTER_DESCRIPTOR filter;
  NTSTATUS status = audio.BuildFilter(&filter);
  report.status = static_cast<uint32_t>(status);
  if (!NT_SUCCESS(status)) return report;
  for (ULONG i = 0; i < filter.PinCount; ++i) {
    const FilterElement* element = FilterPinElement(&filter, i);
    const PCPIN_DESCRIPTOR& pin = element->Pin;
    FilterPinReport p;
    p.id = i;
    p.dataFlow = pin.KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_IN ? "in" : "out";
    p.communication = Communication(pin.KsPinDescriptor.Communication);
    p.category = pin.KsPinDescriptor.Category != nullptr ? GuidTraceName(pin.KsPinDescriptor.Category) : "none";
    p.terminal = EntityName(element->Entity);
    p.maxGlobalInstances = pin.MaxGlobalInstanceCount;
    p.maxFilterInstances = pin.MaxFilterInstanceCount;
    p.minFilterInstances = pin.MinFilterInstanceCount;
    for (ULONG r = 0; r < pin.KsPinDescriptor.DataRangesCount; ++r) {
      p.ranges.push_back(RangeText(pin.KsPinDescriptor.DataRanges[r]));
    }
    report.pins.push_back(p);
  }
  for (ULONG i = 0; i < filter.NodeCount; ++i) {
    const FilterElement* element = FilterNodeElement(&filter, i);
    FilterNodeReport n;
    n.id = i;
    n.type = GuidTraceName(element->Node.Type);
    n.entity = element->Entity != nullptr ? EntityName(element->Entity) : n.type == "ADC" || n.type == "DAC" ? "converter" : "";
    n.automation = element->Node.AutomationTable != nullptr;
    report.nodes.push_back(n);
  }
  for (ULONG i = 0; i < filter.ConnectionCount; ++i) {
    const PCCONNECTION_DESCRIPTOR& c = filter.Connections[i];
    report.connections.push_back({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
  }
  audio.FreeFilter(&filter);
  return report;
}

}  // namespace tools
