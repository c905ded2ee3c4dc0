#include "node_list.hpp"

#include <utility>

namespace korvane {

void replace_inputs(NodeKey& node, NodeIds new_inputs) {
  std::visit(
      [&](auto& n) {
        if constexpr (!std::is_same_v<std::decay_t<decltype(n)>, SourceNode>) {
          n.inputs = std::move(new_inputs);
        }
      },
      node.node);
}

NodeKey NodeList::with_new_inputs(NodeId id, NodeIds new_inputs) const {
  if (keys_) return with_inputs((*keys_)[id], std::move(new_inputs));
  NodeKey node = view_->node(id);
  replace_inputs(node, std::move(new_inputs));
  return node;
}

}  // namespace korvane
