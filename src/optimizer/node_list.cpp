#include "node_list.hpp"

#include <string>

namespace korvane {

void NodeList::append_with_inputs(NodeId id, std::span<const NodeId> new_inputs,
                                  RecordList& out) const {
  if (view_) {
    out.push_with_inputs(view_->record(id), new_inputs);
    return;
  }
  thread_local std::string scratch;
  scratch.clear();
  encode_record((*keys_)[id], scratch);
  out.push_with_inputs(scratch, new_inputs);
}

}  // namespace korvane
