// Common-subexpression elimination: merge engine nodes with the same token
// and the same inputs, so every computation occurs once before fusion.
#pragma once

#include <vector>

#include "engine_graph.hpp"

namespace korvane {

struct CseResult {
  EngineGraph graph;         // one node per distinct (token, inputs), first one kept
  Positions map;  // per input node: its deduplicated position
};

CseResult cse(const EngineGraph& graph);

}  // namespace korvane
