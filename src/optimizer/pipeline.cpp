#include "pipeline.hpp"

#include "cse.hpp"
#include "dce.hpp"
#include "engine.hpp"
#include "error.hpp"
#include "fusion.hpp"
#include "node_list.hpp"

namespace korvane {

namespace {

// The canonical result must be usable as the pipeline assumes; an engine that
// breaks this would corrupt the reduction, so it stops it instead.
void check_canonical(const EngineGraph& kept, const Canonical& canonical) {
  const EngineGraph& graph = canonical.graph;
  // Boundary nodes are rebuilt by token id, so the canonical nodes must name
  // the kept graph's own tokens.
  check_invariant(graph.shared_tokens() == kept.shared_tokens(),
                  "canonical tokens come from the kept nodes");
  check_invariant(canonical.map.size() == kept.size(), "canonical map covers every kept node");
  check_invariant(graph.outputs.size() == kept.outputs.size(),
                  "canonical outputs match the kept outputs");
  for (Position p = 0; p < graph.size(); ++p) {
    for (Position x : graph.inputs(p)) {
      check_invariant(x < p, "canonical inputs name earlier nodes");
    }
  }
  for (Position c : canonical.map) check_invariant(c < graph.size(), "canonical map is valid");
  for (Position o : graph.outputs) check_invariant(o < graph.size(), "canonical output is valid");
}

}  // namespace

Reduced reduce_with_mode(const NodeList& nodes, const NodeIds& outputs,
                         const RewriteEngine& engine, bool maximal) {
  const Cone cone = find_cone(nodes, outputs);

  std::vector<Position> first_with_token;
  const EngineGraph kept = to_engine_graph(nodes, cone, first_with_token);
  const TemplateTable templates(nodes, &cone.kept, std::move(first_with_token));

  const Canonical canonical = engine.canonicalize(kept);
  check_canonical(kept, canonical);
  const CseResult deduplicated = cse(canonical.graph);
  FusionResult fused = stage_fusion(deduplicated.graph, templates, maximal);

  Reduced reduced;
  reduced.report.input_nodes = nodes.size();
  reduced.report.reachable_nodes = cone.kept.size();
  reduced.report.canonical_nodes = deduplicated.graph.size();
  reduced.report.stages = fused.stages;
  reduced.report.boundary_nodes = fused.boundary_nodes;
  reduced.report.reduced_nodes = fused.nodes.size();

  reduced.node_map.resize(nodes.size());
  for (NodeId id = 0; id < nodes.size(); ++id) {
    const Position k = cone.position[id];
    if (k == kDropped) continue;
    reduced.node_map[id] = fused.landings[deduplicated.map[canonical.map[k]]];
  }
  reduced.nodes = std::move(fused.nodes);
  reduced.outputs = std::move(fused.outputs);
  return reduced;
}

Reduced reduce_with_mode(const std::vector<NodeKey>& nodes, const NodeIds& outputs,
                         const RewriteEngine& engine, bool maximal) {
  return reduce_with_mode(NodeList(nodes), outputs, engine, maximal);
}

Reduced cone_of(const NodeList& nodes, const NodeIds& outputs) {
  Cone cone = find_cone(nodes, outputs);
  Reduced reduced;
  NodeIds ins;
  for (NodeId id : cone.kept) {
    const RecordInputs old_inputs = nodes.inputs(id);
    ins.clear();
    for (std::uint32_t j = 0; j < old_inputs.size(); ++j) {
      ins.push_back(cone.position[old_inputs[j]]);
    }
    nodes.append_with_inputs(id, ins, reduced.nodes);
  }
  reduced.outputs = std::move(cone.outputs);
  reduced.node_map.resize(nodes.size());
  for (NodeId id = 0; id < nodes.size(); ++id) {
    const Position k = cone.position[id];
    if (k != kDropped) reduced.node_map[id] = Landing{k, std::nullopt};
  }
  return reduced;
}

}  // namespace korvane
