#include "audio/linux/graph_links.h"

#include <vector>

namespace audio::pulse {
namespace {

// Our input ports that an output port of `channel` goes to: a mono one to
// both of its pair, the others of a surround sink nowhere.
std::vector<uint32_t> inputsFor(const std::string& channel, bool leftOut,
                                uint32_t self,
                                const std::map<uint32_t, GraphPort>& ports) {
  std::vector<std::string> wanted;
  if (channel == "FL" || channel == "MONO")
    wanted.push_back(leftOut ? "RL" : "FL");
  if (channel == "FR" || channel == "MONO")
    wanted.push_back(leftOut ? "RR" : "FR");
  std::vector<uint32_t> inputs;
  for (const auto& [id, port] : ports) {
    if (port.node != self || port.output) continue;
    for (const std::string& name : wanted) {
      if (port.channel == name) inputs.push_back(id);
    }
  }
  return inputs;
}

}  // namespace

std::set<std::pair<uint32_t, uint32_t>> wantedLinks(
    const GraphNodes& nodes, const std::map<uint32_t, GraphPort>& ports,
    const std::map<uint32_t, GraphLink>& links) {
  std::set<uint32_t> here, elsewhere;
  for (const auto& [id, link] : links) {
    if (link.inputNode == nodes.sink)
      here.insert(link.outputNode);
    else if (nodes.sinks.count(link.inputNode))
      elsewhere.insert(link.outputNode);
  }
  std::set<std::pair<uint32_t, uint32_t>> wanted;
  for (const auto& [id, port] : ports) {
    if (!port.output || port.node == nodes.self) continue;
    const bool leftOut = port.node != nodes.sink &&
                         nodes.leftOut.count(port.node) != 0 &&
                         (here.count(port.node) || !elsewhere.count(port.node));
    if (port.node != nodes.sink && !leftOut) continue;
    for (uint32_t input : inputsFor(port.channel, leftOut, nodes.self, ports))
      wanted.emplace(id, input);
  }
  return wanted;
}

}  // namespace audio::pulse
