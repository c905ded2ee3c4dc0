#include "dce.hpp"

#include "error.hpp"
#include "node_list.hpp"

namespace korvane {

Cone find_cone(const NodeList& list, const NodeIds& outputs) {
  const std::uint64_t n = list.size();
  check_invariant(n < kDropped, "graph too large for the optimizer");

  // Reachability. Inputs always name earlier nodes, so one downward sweep
  // settles every node before it is looked at: a node is live exactly when an
  // output or a live later node names it. Each live node is expanded once, and
  // the records are read in storage order instead of jumping along paths.
  std::vector<std::uint8_t> live(n, 0);
  for (NodeId out : outputs) {
    check_invariant(out < n, "outputs name existing nodes");
    live[out] = 1;
  }
  Cone cone;
  if (list.packed()) cone.input_offset.resize(n);
  for (NodeId id = n; id-- > 0;) {
    if (!live[id]) continue;
    const RecordInputs ins = list.inputs(id);
    if (list.packed()) cone.input_offset[id] = list.input_offset(id, ins);
    for (std::uint32_t k = 0; k < ins.size(); ++k) {
      check_invariant(ins[k] < id, "nodes reference only earlier nodes");
      live[ins[k]] = 1;
    }
  }

  cone.position.assign(n, kDropped);
  for (NodeId id = 0; id < n; ++id) {
    if (!live[id]) continue;
    cone.position[id] = static_cast<Position>(cone.kept.size());
    cone.kept.push_back(id);
  }
  cone.outputs.reserve(outputs.size());
  for (NodeId out : outputs) cone.outputs.push_back(cone.position[out]);
  return cone;
}

DeadCodeResult dead_code_elimination(const std::vector<NodeKey>& nodes, const NodeIds& outputs) {
  const NodeList list(nodes);
  Cone cone = find_cone(list, outputs);

  DeadCodeResult result;
  result.nodes.reserve(cone.kept.size());
  for (NodeId id : cone.kept) {
    const NodeIds& old_inputs = inputs(nodes[id]);
    NodeIds renumbered;
    renumbered.reserve(old_inputs.size());
    for (NodeId input : old_inputs) renumbered.push_back(cone.position[input]);
    result.nodes.push_back(with_inputs(nodes[id], std::move(renumbered)));
  }
  result.outputs = std::move(cone.outputs);
  result.renumbering.reserve(nodes.size());
  for (Position p : cone.position) {
    result.renumbering.push_back(p == kDropped ? std::nullopt : std::optional<NodeId>(p));
  }
  return result;
}

}  // namespace korvane
