// The KS filter as a Graphviz graph: pins as boxes, nodes as ellipses,
// connections as edges in signal direction.
#include "tools/inspect/device_report.h"

namespace tools {

namespace {

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";  // a line break inside a Graphviz label
      continue;
    }
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string EndName(uint32_t node, uint32_t pin) {
  return node == 0xFFFFFFFFu ? "pin" + std::to_string(pin) : "node" + std::to_string(node);
}

}  // namespace

std::string FormatDot(const DeviceReport& report) {
  std::string out = "digraph filter {\n  rankdir=LR;\n  label=" + Quote("Wave filter of " + report.source) + ";\n";
  if (report.filter) {
    for (const FilterPinReport& p : report.filter->pins) {
      out += "  pin" + std::to_string(p.id) + " [shape=box, label=" +
             Quote("pin " + std::to_string(p.id) + "\n" + p.terminal + "\n" + p.category + " (" + p.dataFlow + ")") +
             "];\n";
    }
    for (const FilterNodeReport& n : report.filter->nodes) {
      out += "  node" + std::to_string(n.id) + " [shape=ellipse, label=" +
             Quote("node " + std::to_string(n.id) + "\n" + n.type + (n.entity.empty() ? "" : "\n" + n.entity)) +
             "];\n";
    }
    for (const FilterConnectionReport& c : report.filter->connections) {
      out += "  " + EndName(c.fromNode, c.fromPin) + " -> " + EndName(c.toNode, c.toPin) + ";\n";
    }
  }
  return out + "}\n";
}

}  // namespace tools
