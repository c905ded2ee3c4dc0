#include "record_list.hpp"

#include <cstring>
#include <stdexcept>

#include "error.hpp"

namespace korvane {

namespace {

void put_u32(std::string& out, std::uint32_t v) {
  char bytes[4];
  std::memcpy(bytes, &v, 4);  // the host is little-endian, like the format
  out.append(bytes, 4);
}

void put_u64(std::string& out, std::uint64_t v) {
  char bytes[8];
  std::memcpy(bytes, &v, 8);
  out.append(bytes, 8);
}

std::uint32_t checked_u32(std::uint64_t n) {
  if (n > 0xFFFFFFFFULL) throw std::length_error("too large for korvane IR blob");
  return static_cast<std::uint32_t>(n);
}

}  // namespace

RecordList::RecordList(const std::vector<NodeKey>& nodes) {
  for (const NodeKey& node : nodes) push(node);
}

std::vector<NodeKey> RecordList::nodes() const {
  std::vector<NodeKey> out;
  out.reserve(size());
  for (std::size_t i = 0; i < size(); ++i) out.push_back(node(i));
  return out;
}

void RecordList::push(const NodeKey& node) {
  encode_record(node, bytes_);
  ends_.push_back(bytes_.size());
}

void RecordList::push_record(std::string_view record) {
  bytes_.append(record);
  ends_.push_back(bytes_.size());
}

void RecordList::push_with_inputs(std::string_view record, std::span<const NodeId> inputs) {
  write_with_inputs(bytes_, record, inputs);
  ends_.push_back(bytes_.size());
}

void RecordList::push_stage(std::span<const NodeId> inputs, std::uint32_t member_count,
                            std::string_view members) {
  write_stage(bytes_, inputs, member_count, members);
  ends_.push_back(bytes_.size());
}

std::size_t input_list_offset(std::string_view record, const RecordInputs& inputs) {
  const NodeKind kind = record_kind(record);
  if (kind == NodeKind::Source) return record.size();
  if (kind == NodeKind::Stage) return 1;
  return record.size() - 4 - 8 * std::size_t{inputs.size()};
}

void write_with_inputs(std::string& out, std::string_view record, std::span<const NodeId> inputs) {
  const RecordInputs old_inputs = record_inputs(record);
  const std::size_t at = input_list_offset(record, old_inputs);
  if (at == record.size()) {
    out.append(record);  // a source: nothing to splice (a source ignores new inputs)
    return;
  }
  const std::size_t old_end = at + 4 + 8 * std::size_t{old_inputs.size()};
  out.append(record.substr(0, at));
  put_u32(out, checked_u32(inputs.size()));
  for (NodeId id : inputs) put_u64(out, id);
  out.append(record.substr(old_end));
}

void write_stage(std::string& out, std::span<const NodeId> inputs, std::uint32_t member_count,
                 std::string_view members) {
  out.push_back(static_cast<char>(NodeKind::Stage));
  put_u32(out, checked_u32(inputs.size()));
  for (NodeId id : inputs) put_u64(out, id);
  put_u32(out, member_count);
  out.append(members);
}

void append_stage_member(std::string& out, std::string_view token,
                         std::span<const StageRef> inputs) {
  // Sized once and filled in place: a reduction writes a member per fused
  // operation, and byte-wise appends would check the capacity each time.
  const std::uint32_t token_size = checked_u32(token.size());
  const std::uint32_t count = checked_u32(inputs.size());
  const std::size_t at = out.size();
  out.resize(at + 4 + token_size + 4 + 5 * std::size_t{count});
  char* to = out.data() + at;
  std::memcpy(to, &token_size, 4);  // the host is little-endian, like the format
  std::memcpy(to + 4, token.data(), token_size);
  to += 4 + token_size;
  std::memcpy(to, &count, 4);
  to += 4;
  for (const StageRef& ref : inputs) {
    const std::uint32_t index = checked_u32(ref.index);
    *to = static_cast<char>(ref.kind);
    std::memcpy(to + 1, &index, 4);
    to += 5;
  }
}

void overwrite_inputs(std::string& record, std::span<const NodeId> inputs) {
  const RecordInputs old_inputs = record_inputs(record);
  const std::size_t at = input_list_offset(record, old_inputs);
  check_invariant(at == record.size() ? inputs.empty() : old_inputs.size() == inputs.size(),
                  "rewritten inputs keep their count");
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    std::memcpy(record.data() + at + 4 + 8 * k, &inputs[k], 8);
  }
}

}  // namespace korvane
