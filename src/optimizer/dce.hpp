// Dead-code elimination: keep exactly the nodes a list of outputs needs and
// number them densely, in their original relative order.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine_graph.hpp"
#include "node.hpp"

namespace korvane {

class NodeList;

// Marks a dropped node in a renumbering.
inline constexpr Position kDropped = kNoPosition;

// The nodes that the outputs reach, without rebuilding them.
struct Cone {
  NodeIds kept;                 // kept list positions, ascending
  Positions position;  // list position -> kept position, or kDropped
  NodeIds outputs;              // the outputs as kept positions, in order, repeats kept
  // For a list of packed records: where each kept node's input list starts
  // in its record (indexed by list position), so later passes need not parse
  // the record again to find it.
  std::vector<std::uint32_t> input_offset;
};

// Every output must be below the list's size (callers check).
Cone find_cone(const NodeList& list, const NodeIds& outputs);

struct DeadCodeResult {
  std::vector<NodeKey> nodes;                    // kept nodes, inputs renumbered
  NodeIds outputs;                               // kept positions, in order, repeats kept
  std::vector<std::optional<NodeId>> renumbering;  // per input node: kept position or absent
};

DeadCodeResult dead_code_elimination(const std::vector<NodeKey>& nodes, const NodeIds& outputs);

}  // namespace korvane
