// The store's reduction entry points: read the store through a view taken
// under its lock, reduce without the lock, and build the result store.
#include <string>
#include <utility>

#include "error.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/node_list.hpp"
#include "optimizer/pipeline.hpp"
#include "store.hpp"

namespace korvane {

Result<ArenaView, BadNodeId> GraphStore::arena_holding(const NodeIds& outputs) const {
  ArenaView held = view();
  for (NodeId id : outputs) {
    if (id >= held.size()) return unexpected(BadNodeId{id});
  }
  return held;
}

std::pair<std::unique_ptr<GraphStore>, ReductionReport> GraphStore::reduce_with(
    const RewriteEngine& engine, bool maximal) const {
  const ArenaView held = view();
  return from_reduced(reduce_with_mode(NodeList(held), held.outputs(), engine, maximal));
}

Result<std::pair<std::unique_ptr<GraphStore>, ReductionReport>, BadNodeId>
GraphStore::reduce_with_outputs(const NodeIds& outputs, const RewriteEngine& engine,
                                bool maximal) const {
  auto held = arena_holding(outputs);
  if (!held) return unexpected(held.error());
  return from_reduced(reduce_with_mode(NodeList(*held), outputs, engine, maximal));
}

Result<std::unique_ptr<GraphStore>, BadNodeId> GraphStore::cone(const NodeIds& outputs) const {
  auto held = arena_holding(outputs);
  if (!held) return unexpected(held.error());
  return std::move(from_reduced(cone_of(NodeList(*held), outputs)).first);
}

std::pair<std::unique_ptr<GraphStore>, ReductionReport> GraphStore::from_reduced(Reduced reduced) {
  auto store = std::make_unique<GraphStore>();
  NodeIds ids;
  ids.reserve(reduced.nodes.size());
  NodeIds ins;
  std::string renumbered;
  for (std::size_t i = 0; i < reduced.nodes.size(); ++i) {
    std::string_view record = reduced.nodes.record(i);
    // Positions become ids; they are equal unless interning merged a node,
    // so the record is copied only when an input actually changes.
    const RecordInputs positions = record_inputs(record);
    ins.clear();
    bool changed = false;
    for (std::uint32_t k = 0; k < positions.size(); ++k) {
      const NodeId p = positions[k];
      check_invariant(p < ids.size(), "reduced graph references only earlier nodes");
      ins.push_back(ids[p]);
      changed |= ids[p] != p;
    }
    if (changed) {
      renumbered.assign(record);
      overwrite_inputs(renumbered, ins);
      record = renumbered;
    }
    auto id = store->intern_record(record);
    check_invariant(id.has_value(), "reduced graph references only earlier nodes");
    ids.push_back(*id);
  }
  for (NodeId p : reduced.outputs) {
    check_invariant(p < ids.size(), "reduced output is valid");
    check_invariant(store->mark_output(ids[p]).has_value(), "reduced output is valid");
  }
  for (auto& landing : reduced.node_map) {
    if (!landing) continue;
    check_invariant(landing->node < ids.size(), "reduced node map is valid");
    landing->node = ids[landing->node];
  }
  store->set_node_map(std::move(reduced.node_map));
  return {std::move(store), reduced.report};
}

}  // namespace korvane
