// The rewrite engine seam: the pipeline hands an engine graph to a
// RewriteEngine, which finds the positions that compute the same value and
// returns one node per equivalence class.
#pragma once

#include <vector>

#include "engine_graph.hpp"

namespace korvane {

struct Canonical {
  EngineGraph graph;          // one node per class, inputs point backwards
  std::vector<Position> map;  // per input position: its canonical position
};

class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;
  // Reads the graph and the engine without changing either. A canonical
  // node carries the token of one of the input nodes, so boundary nodes stay
  // rebuildable, and two positions share a canonical position only if they
  // compute the same value.
  virtual Canonical canonicalize(const EngineGraph& graph) const = 0;
};

}  // namespace korvane
