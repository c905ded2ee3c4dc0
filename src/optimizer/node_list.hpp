// Read access to the node list a reduction works on.
//
// A reduction reads either decoded nodes (the incremental reducer's canonical
// form) or a store's packed records through an ArenaView. The passes need
// little from a node - its kind, its inputs, and for the survivors their token
// and content - so they read through this one interface, and records are
// decoded only for the nodes that are kept and rebuilt.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "node.hpp"
#include "record.hpp"
#include "record_list.hpp"
#include "store.hpp"

namespace korvane {

class NodeList {
 public:
  explicit NodeList(const std::vector<NodeKey>& nodes) : keys_(&nodes) {}
  explicit NodeList(const ArenaView& view) : view_(&view) {}

  std::uint64_t size() const { return keys_ ? keys_->size() : view_->size(); }

  // Whether the nodes are packed records (and `record` may be called).
  bool packed() const { return view_ != nullptr; }
  std::string_view record(NodeId id) const { return view_->record(id); }

  NodeKind kind(NodeId id) const {
    return keys_ ? (*keys_)[id].kind() : record_kind(view_->record(id));
  }

  // The node's inputs, read in place.
  RecordInputs inputs(NodeId id) const {
    if (view_) return record_inputs(view_->record(id));
    const NodeIds& ids = korvane::inputs((*keys_)[id]);
    return RecordInputs(reinterpret_cast<const char*>(ids.data()),
                        static_cast<std::uint32_t>(ids.size()));
  }

  // For packed records: where the input list of node `id`, whose inputs are
  // `inputs`, starts in its record; and the inputs read back from there
  // without parsing the record again.
  std::uint32_t input_offset(NodeId id, const RecordInputs& inputs) const {
    return static_cast<std::uint32_t>(input_list_offset(view_->record(id), inputs));
  }
  static RecordInputs inputs_at(std::string_view record, std::uint32_t offset) {
    if (offset == record.size()) return {};  // a source
    std::uint32_t count;
    std::memcpy(&count, record.data() + offset, 4);
    return RecordInputs(record.data() + offset + 4, count);
  }

  // Appends the node's record, with `new_inputs` as its inputs, to `out`.
  void write_with_inputs(NodeId id, std::span<const NodeId> new_inputs, std::string& out) const;

  // A decoded copy of the node.
  NodeKey node(NodeId id) const { return keys_ ? (*keys_)[id] : view_->node(id); }
  // The decoded node, without a copy when the list holds decoded nodes.
  const NodeKey& node_ref(NodeId id, NodeKey& scratch) const {
    if (keys_) return (*keys_)[id];
    scratch = view_->node(id);
    return scratch;
  }

 private:
  const std::vector<NodeKey>* keys_ = nullptr;
  const ArenaView* view_ = nullptr;
};

}  // namespace korvane
