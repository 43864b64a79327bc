// Which links PipeWire's graph must have for the capture's stream: the
// sink's monitor ports to its front pair, the left-out players' output ports
// to its rear pair. A plain rule over what the registry lists.
#ifndef NIMBREL_AUDIO_LINUX_GRAPH_LINKS_H_
#define NIMBREL_AUDIO_LINUX_GRAPH_LINKS_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace audio::pulse {

struct GraphPort {
  uint32_t node;
  bool output;
  std::string channel;  // "FL", "FR", "MONO"...
};

struct GraphLink {
  uint32_t outputNode, inputNode;
};

struct GraphNodes {
  uint32_t sink;               // the captured sink
  uint32_t self;               // our stream
  std::set<uint32_t> sinks;    // every sink
  std::set<uint32_t> leftOut;  // players to leave out
};

/// (output port, input port) pairs. A left-out player is linked from the
/// moment its ports appear, before the session manager links it to a sink,
/// and while it is linked to ours; not once it is linked to another only.
std::set<std::pair<uint32_t, uint32_t>> wantedLinks(
    const GraphNodes& nodes, const std::map<uint32_t, GraphPort>& ports,
    const std::map<uint32_t, GraphLink>& links);

}  // namespace audio::pulse

#endif  // NIMBREL_AUDIO_LINUX_GRAPH_LINKS_H_
