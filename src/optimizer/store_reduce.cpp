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
  if (!reduced.store) reduced.store = std::make_unique<GraphStore>();  // no nodes
  GraphStore& store = *reduced.store;
  const std::uint64_t count = store.node_count();
  for (NodeId id : reduced.outputs) {
    check_invariant(id < count && store.mark_output(id).has_value(), "reduced output is valid");
  }
  for (std::size_t i = 0; i < reduced.node_map.size(); ++i) {
    const std::optional<Landing> landing = reduced.node_map[i];
    check_invariant(!landing || landing->node < count, "reduced node map is valid");
  }
  store.set_node_map(std::move(reduced.node_map));
  return {std::move(reduced.store), reduced.report};
}

}  // namespace korvane
