// The reduction pipeline: dead-code elimination, canonicalization by a
// rewrite engine, common-subexpression elimination and stage fusion, with the
// node map and the report.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "node.hpp"
#include "store.hpp"

namespace korvane {

class RewriteEngine;
class NodeList;

struct ReductionReport {
  std::uint64_t input_nodes = 0;
  std::uint64_t reachable_nodes = 0;
  std::uint64_t canonical_nodes = 0;
  std::uint64_t stages = 0;
  std::uint64_t reduced_nodes = 0;
  std::uint64_t boundary_nodes = 0;
  friend bool operator==(const ReductionReport&, const ReductionReport&) = default;
};

struct Reduced {
  // The reduced nodes, interned as they were emitted (no Op node: every
  // operation is a stage member). Its outputs and node map are set by
  // GraphStore::from_reduced.
  std::unique_ptr<GraphStore> store;
  NodeIds outputs;             // one reduced id per given output, repeats kept
  NodeMap node_map;            // per input position: absent if dropped, else its landing
  ReductionReport report;      // counts the nodes the store holds
};

// `outputs` must be below the number of nodes (callers check). `maximal`
// selects the maximal fusion rule instead of the single-use rule.
Reduced reduce_with_mode(const std::vector<NodeKey>& nodes, const NodeIds& outputs,
                         const RewriteEngine& engine, bool maximal);
// The same over any node list, such as a store's packed records.
Reduced reduce_with_mode(const NodeList& nodes, const NodeIds& outputs,
                         const RewriteEngine& engine, bool maximal);

// The cone of `outputs` as a Reduced: the kept nodes, the kept outputs, a
// node map to whole nodes and a report of zeros.
Reduced cone_of(const NodeList& nodes, const NodeIds& outputs);

}  // namespace korvane
