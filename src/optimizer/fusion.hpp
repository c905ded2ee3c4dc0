// Stage fusion: group the operations of a deduplicated engine graph into
// stages, carry every other node over on its own, and emit the reduced nodes
// so that each follows its inputs.
#pragma once

#include <cstdint>
#include <span>
#include <string>
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
  // `first_with_token` maps token ids to the id in `list` of the first kept
  // node with that token (kNoTemplate for a token no kept node has).
  TemplateTable(const NodeList& list, NodeIds first_with_token)
      : list_(list), first_(std::move(first_with_token)) {}

  // Appends the record of `token`'s template, with `inputs` as its inputs, to `out`.
  void rebuild(TokenId token, std::span<const NodeId> inputs, std::string& out) const;

 private:
  const NodeList& list_;
  NodeIds first_;
};

struct FusionResult {
  std::uint64_t emitted = 0;      // records emitted, one per group
  NodeIds outputs;                // reduced id per output, in order
  NodeMap landings;               // per engine position: reduced id and member index
  std::uint64_t stages = 0;
  std::uint64_t boundary_nodes = 0;
};

// `maximal` selects the maximal rule (a fan-out operation joins the stage all
// its consumers share); otherwise an operation joins only its single consumer.
// The reduced nodes go to `out` in an order in which every node follows its
// inputs; they refer to each other by the ids `out` gives them.
FusionResult stage_fusion(const EngineGraph& graph, const TemplateTable& templates, bool maximal,
                          RecordSink& out);

}  // namespace korvane
