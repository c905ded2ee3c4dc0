// The rewrite engine seam: the pipeline hands an engine graph to a
// RewriteEngine, which finds the positions that compute the same value and
// returns one node per equivalence class.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

#include "egraph/runner.hpp"
#include "engine_graph.hpp"

namespace korvane {

struct Canonical {
  EngineGraph graph;          // one node per class, inputs point backwards
  Positions map;  // per input position: its canonical position
  // Set by an engine that guarantees no two canonical nodes share a token
  // and their inputs, so that common-subexpression elimination of the graph
  // would merge nothing and can be skipped.
  bool congruent = false;
};

class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;
  // Reads the graph and the engine without changing either. A canonical
  // node carries the token of one of the input nodes (from the same token
  // table), so boundary nodes stay rebuildable, and two positions share a
  // canonical position only if they compute the same value.
  virtual Canonical canonicalize(const EngineGraph& graph) const = 0;
};

// The binary operations whose operands may be swapped.
inline constexpr std::array<std::string_view, 8> kCommutativeOps = {
    "add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

// The unary operations that return their operand: x + 0.0 and x * 1.0, with
// the constant on the right or the left, and no other parameter.
inline constexpr std::array<std::string_view, 4> kIdentityTokens = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};

// Equality saturation over an e-graph with the commutativity and identity
// rules, under bounded effort; each class keeps its lowest position, with
// that node's own token and operand order.
class EggEngine : public RewriteEngine {
 public:
  static constexpr std::size_t kIterationLimit = 12;
  static constexpr std::size_t kNodesPerEngineNode = 4;
  static constexpr std::size_t kExtraNodes = 1024;

  EggEngine();

  Canonical canonicalize(const EngineGraph& graph) const override;

  // The rules' run over the e-graph of `graph`: the runner afterwards (its
  // e-graph, iterations and stop reason), and in `ids` the class id each
  // position was added as. canonicalize is this run followed by keeping the
  // lowest position of every class.
  egraph::Runner run(const EngineGraph& graph, std::vector<egraph::Id>& ids) const;

  const std::vector<egraph::Rewrite>& rules() const { return rules_; }
  std::size_t iteration_limit() const { return iteration_limit_; }

  // Where the runner reads the time (its 5-second limit counts on it). Only
  // measurements substitute another clock: under an instruction-counting
  // profiler the wall clock runs far slower than the code, and a frozen one
  // keeps the run the same as at full speed.
  void set_clock_for_measurement(egraph::Runner::ClockFunction clock) { clock_ = clock; }

  // The runner's node limit for a graph of `engine_nodes` nodes.
  static std::size_t node_limit(std::size_t engine_nodes) {
    return kNodesPerEngineNode * engine_nodes + kExtraNodes;
  }

 private:
  std::vector<egraph::Rewrite> rules_;
  std::size_t iteration_limit_ = kIterationLimit;
  egraph::Runner::ClockFunction clock_ = &egraph::Runner::Clock::now;
};

}  // namespace korvane
