#include "node_list.hpp"

#include <string>

namespace korvane {

void NodeList::write_with_inputs(NodeId id, std::span<const NodeId> new_inputs,
                                 std::string& out) const {
  if (view_) {
    korvane::write_with_inputs(out, view_->record(id), new_inputs);
    return;
  }
  thread_local std::string scratch;
  scratch.clear();
  encode_record((*keys_)[id], scratch);
  korvane::write_with_inputs(out, scratch, new_inputs);
}

}  // namespace korvane
