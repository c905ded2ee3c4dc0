// Stage fusion: group the operations of a deduplicated engine graph into
// stages, carry every other node over on its own, and emit the reduced nodes
// so that each follows its inputs.
#pragma once

#include <cstdint>
#include <vector>

#include "engine_graph.hpp"
#include "node.hpp"
#include "record_list.hpp"
#include "store.hpp"

namespace korvane {

class NodeList;

// Boundary nodes are rebuilt from the first kept node with their token; the
// engine graph carries nothing else of them.
class TemplateTable {
 public:
  // `kept` maps kept positions to positions of `list` (null: the identity);
  // `first_with_token` maps token ids to kept positions.
  TemplateTable(const NodeList& list, const NodeIds* kept, std::vector<Position> first_with_token)
      : list_(list), kept_(kept), first_(std::move(first_with_token)) {}

  // Appends the template of `token`, with `inputs` as its inputs, to `out`.
  void rebuild(TokenId token, std::span<const NodeId> inputs, RecordList& out) const;

 private:
  const NodeList& list_;
  const NodeIds* kept_;
  std::vector<Position> first_;
};

struct FusionResult {
  RecordList nodes;               // reduced nodes; inputs name earlier positions
  NodeIds outputs;                // reduced position per output, in order
  std::vector<Landing> landings;  // per engine position: reduced position and member index
  std::uint64_t stages = 0;
  std::uint64_t boundary_nodes = 0;
};

// `maximal` selects the maximal rule (a fan-out operation joins the stage all
// its consumers share); otherwise an operation joins only its single consumer.
FusionResult stage_fusion(const EngineGraph& graph, const TemplateTable& templates, bool maximal);

}  // namespace korvane
