// Building packed node records (record.hpp) and the places they are emitted to.
//
// The reduction emits its nodes in the store's own record form: a boundary
// node is its template's record with new inputs spliced in and a stage is
// written member by member, so no node is decoded or re-encoded on the way
// from the source store to the reduced one. Each record goes straight to a
// RecordSink: the reduced store itself, or (for tests and small lists) a
// RecordList, which keeps a million records in two allocations.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "node.hpp"
#include "record.hpp"

namespace korvane {

// Where emitted records go; each gets an id there, in emission order unless
// the sink merges a record with an equal one it already holds.
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  virtual NodeId add(std::string_view record) = 0;
};

class RecordList : public RecordSink {
 public:
  RecordList() = default;
  // Encodes each node (convenient for small lists and tests).
  explicit RecordList(const std::vector<NodeKey>& nodes);

  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  std::string_view record(std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_).substr(begin, ends_[i] - begin);
  }
  NodeKey node(std::size_t i) const { return decode_record(record(i)); }
  std::vector<NodeKey> nodes() const;

  void push(const NodeKey& node);
  void push_record(std::string_view record);
  NodeId add(std::string_view record) override {
    push_record(record);
    return size() - 1;
  }
  // Appends a copy of a well-formed record whose input list is `inputs`.
  void push_with_inputs(std::string_view record, std::span<const NodeId> inputs);
  // Appends a stage record: `inputs`, then `member_count` members already
  // written into `members` by append_stage_member.
  void push_stage(std::span<const NodeId> inputs, std::uint32_t member_count,
                  std::string_view members);

  // The same records, byte for byte.
  friend bool operator==(const RecordList&, const RecordList&) = default;

  void reserve(std::size_t records, std::size_t bytes) {
    ends_.reserve(records);
    bytes_.reserve(bytes);
  }

 private:
  std::string bytes_;
  std::vector<std::size_t> ends_;
};

// Where the input list (its u32 count) of a well-formed record with inputs
// `inputs` starts: every kind but the stage ends with its inputs, a stage
// starts with them, and a source has none (its size is returned).
std::size_t input_list_offset(std::string_view record, const RecordInputs& inputs);

// Appends to `out` a copy of a well-formed record whose input list is `inputs`.
void write_with_inputs(std::string& out, std::string_view record, std::span<const NodeId> inputs);
// Appends to `out` a stage record: `inputs`, then `member_count` members
// already written into `members` by append_stage_member.
void write_stage(std::string& out, std::span<const NodeId> inputs, std::uint32_t member_count,
                 std::string_view members);

// Writes one stage member (token and references) in record form.
void append_stage_member(std::string& out, std::string_view token,
                         std::span<const StageRef> inputs);

// Rewrites, in place, the input ids of a well-formed record.
void overwrite_inputs(std::string& record, std::span<const NodeId> inputs);

}  // namespace korvane
