// The packed record form of a node.
//
// A record is exactly the node's record in the serialized blob: a kind tag
// byte, then the body (little-endian u32 lengths and counts, u64 ids, f64 bit
// patterns, bool bytes 0 or 1, parameters sorted by key). The store keeps its
// arena as records, so a stored node costs a few dozen bytes, interning hashes
// and compares flat bytes, and the blob writer copies records as they are.
//
// The store holds canonical records only: parameters sorted by key, bool bytes
// and the descriptor's presence flag 0 or 1. Canonical records of equal nodes
// are equal bytes, except that NaN payloads are kept as given: records holding
// a NaN are compared with every NaN read as the one quiet NaN, all others
// bytewise. The blob reader accepts records in a wider form (any non-zero byte
// is true, parameters in any order); canonicalize_record brings them in line.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "node.hpp"

namespace korvane {

// Appends the record of `node` to `out`. Throws std::length_error with
// "too large for korvane IR blob" when a string, list or stage reference index
// does not fit the format's 32-bit fields (it would otherwise be cut short and
// two different nodes could share a record).
void encode_record(const NodeKey& node, std::string& out);

// Rebuilds the node of a well-formed record (one produced by encode_record or
// accepted by the blob reader); its parameters come back sorted. A record that
// does not parse is a broken invariant (InternalError), never read past.
NodeKey decode_record(std::string_view record);

// Appends the canonical form of a well-formed record to `out`.
void canonicalize_record(std::string_view record, std::string& out);

// The node kind of a well-formed record.
inline NodeKind record_kind(std::string_view record) {
  return static_cast<NodeKind>(static_cast<std::uint8_t>(record[0]));
}

// The input ids of a well-formed record, read in place (unaligned u64s).
class RecordInputs {
 public:
  RecordInputs() = default;
  RecordInputs(const char* first, std::uint32_t count) : first_(first), count_(count) {}
  std::uint32_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  NodeId operator[](std::uint32_t i) const {
    NodeId id;
    std::memcpy(&id, first_ + 8 * static_cast<std::size_t>(i), 8);
    return id;  // the host is little-endian (x86-64), like the format
  }

 private:
  const char* first_ = nullptr;
  std::uint32_t count_ = 0;
};

// The inputs of a well-formed record; none for a source.
RecordInputs record_inputs(std::string_view record);

// Facts about a well-formed record that interning needs, found in one walk.
struct RecordInfo {
  std::uint64_t hash = 0;   // consistent with record_equal on canonical records
  bool has_nan = false;     // a Float parameter holds a NaN
  bool canonical = true;    // in the form encode_record writes
};
RecordInfo inspect_record(std::string_view record);

// The hash inspect_record finds for a canonical record that holds no NaN, for
// writers that know both already and need not walk the record again.
std::uint64_t record_hash(std::string_view record);

// Node equality on canonical records: bytewise, or with NaNs canonicalized
// when both hold one (a NaN never equals a non-NaN value).
bool record_equal(std::string_view a, bool a_has_nan, std::string_view b, bool b_has_nan);

}  // namespace korvane
