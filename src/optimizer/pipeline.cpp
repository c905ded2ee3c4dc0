#include "pipeline.hpp"

#include "cse.hpp"
#include "dce.hpp"
#include "engine.hpp"
#include "error.hpp"
#include "fusion.hpp"
#include "node_list.hpp"
#include "record_list.hpp"

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

// Sends every position in `positions` (kDropped aside) through `map`.
void follow(Positions& positions, const Positions& map) {
  for (Position& p : positions) {
    if (p != kDropped) p = map[p];
  }
}

template <class Vector>
void release(Vector& v) {
  Vector().swap(v);
}

// Interns each emitted record into the store being built, so the reduced
// nodes are written once, where they stay.
class StoreSink : public RecordSink {
 public:
  explicit StoreSink(GraphStore& store) : store_(store) {}

  NodeId add(std::string_view record) override {
    const auto id = store_.intern_record(record);
    check_invariant(id.has_value(), "reduced graph references only earlier nodes");
    return *id;
  }

 private:
  GraphStore& store_;
};

}  // namespace

// Each pass's tables are freed as soon as the next pass has what it needs, so
// the largest of them (the e-graph) is not stacked on everything else. One
// array follows each input node through the passes: its kept position, then
// its canonical position, then its deduplicated one.
Reduced reduce_with_mode(const NodeList& nodes, const NodeIds& outputs,
                         const RewriteEngine& engine, bool maximal) {
  Reduced reduced;
  reduced.report.input_nodes = nodes.size();
  Cone cone = find_cone(nodes, outputs);
  reduced.report.reachable_nodes = cone.kept.size();
  Positions& position = cone.position;

  NodeIds first_with_token;
  Canonical canonical;
  {
    const EngineGraph kept = to_engine_graph(nodes, cone, first_with_token);
    release(cone.kept);
    release(cone.input_offset);
    canonical = engine.canonicalize(kept);
    check_canonical(kept, canonical);
  }
  const TemplateTable templates(nodes, std::move(first_with_token));
  follow(position, canonical.map);
  release(canonical.map);

  EngineGraph graph = std::move(canonical.graph);
  if (!canonical.congruent) {
    CseResult deduplicated = cse(graph);
    follow(position, deduplicated.map);
    graph = std::move(deduplicated.graph);
  }
  reduced.report.canonical_nodes = graph.size();

  reduced.store = std::make_unique<GraphStore>();
  StoreSink sink(*reduced.store);
  FusionResult fused = stage_fusion(graph, templates, maximal, sink);
  graph = EngineGraph();
  // Reducing a store that came out of a reduction carries its stage nodes as
  // boundaries, and a group fused now can rebuild one of them exactly; the
  // two are then one node. The report counts what the store holds.
  const std::uint64_t merged = fused.emitted - reduced.store->node_count();
  reduced.report.stages = fused.stages;
  reduced.report.boundary_nodes = fused.boundary_nodes - merged;
  reduced.report.reduced_nodes = fused.emitted - merged;

  reduced.node_map = NodeMap(nodes.size());
  for (NodeId id = 0; id < nodes.size(); ++id) {
    if (position[id] != kDropped) reduced.node_map.copy_from(id, fused.landings, position[id]);
  }
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
  reduced.store = std::make_unique<GraphStore>();
  StoreSink sink(*reduced.store);
  // Kept nodes are distinct store nodes with distinct inputs, so each gets
  // its kept position as id; the ids the store returns are used all the same.
  NodeIds ids;
  ids.reserve(cone.kept.size());
  NodeIds ins;
  std::string record;
  for (NodeId id : cone.kept) {
    const RecordInputs old_inputs = nodes.inputs(id);
    ins.clear();
    for (std::uint32_t j = 0; j < old_inputs.size(); ++j) {
      ins.push_back(ids[cone.position[old_inputs[j]]]);
    }
    record.clear();
    nodes.write_with_inputs(id, ins, record);
    ids.push_back(sink.add(record));
  }
  for (NodeId& out : cone.outputs) out = ids[out];
  reduced.outputs = std::move(cone.outputs);
  reduced.node_map = NodeMap(nodes.size());
  for (NodeId id = 0; id < nodes.size(); ++id) {
    const Position k = cone.position[id];
    if (k != kDropped) reduced.node_map.set(id, Landing{ids[k], std::nullopt});
  }
  return reduced;
}

}  // namespace korvane
