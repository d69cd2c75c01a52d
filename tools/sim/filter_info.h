// What a Windows client sees of the "Wave" filter, gathered through KS
// requests, and how it is printed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/inspect/device_report.h"

namespace sim {
class KsFilter;
}

namespace tools {

struct PinView {
  uint32_t id = 0;
  std::string dataFlow, communication, category;
  uint32_t possibleInstances = 0, currentInstances = 0, globalPossible = 0;
  std::vector<std::string> ranges;
  std::optional<std::string> intersection;  // for 2 ch / 24 bit / 48000 Hz
  uint32_t intersectionStatus = 0;
};

struct NodeView {
  uint32_t id = 0;
  std::string type;
};

using ConnectionView = FilterConnectionReport;

struct ControlView {
  uint32_t node = 0;
  std::string property;  // "volume" or "mute"
  int32_t channel = 0;
  int32_t value = 0;      // KS units
  uint32_t status = 0;
};

struct FilterView {
  std::u16string devicePath;
  std::vector<PinView> pins;
  std::vector<NodeView> nodes;
  std::vector<ConnectionView> connections;
  std::vector<ControlView> controls;  // after --volume / --mute, read back
};

uint32_t GatherFilterView(sim::KsFilter& filter, FilterView* view);
std::string FilterViewText(const FilterView& view);
std::string FilterViewJson(const FilterView& view, uint32_t startStatus);

}  // namespace tools
