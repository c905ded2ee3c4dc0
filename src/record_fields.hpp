// Packing a node straight from borrowed fields.
//
// Recording converts its arguments into these views and packs the record from
// them, instead of building a NodeKey (owned strings, vectors, a sorted
// ParamMap) only to pack it again. The bytes are exactly those encode_record
// (record.hpp) writes for the same node.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "node.hpp"

namespace korvane {

// One parameter. The key, and the text of a Str value, point into memory the
// caller keeps alive until the record is packed.
struct ParamField {
  std::string_view key;
  ParamKind kind = ParamKind::Int;
  std::uint64_t bits = 0;  // Int: two's complement; Float: the bits as given; Bool: 0 or 1
  std::string_view text;   // Str only

  static ParamField of_int(std::string_view key, std::int64_t v) {
    return {key, ParamKind::Int, static_cast<std::uint64_t>(v), {}};
  }
  static ParamField of_float(std::string_view key, double v) {
    return {key, ParamKind::Float, std::bit_cast<std::uint64_t>(v), {}};
  }
  static ParamField of_bool(std::string_view key, bool v) {
    return {key, ParamKind::Bool, v ? 1u : 0u, {}};
  }
  static ParamField of_str(std::string_view key, std::string_view text) {
    return {key, ParamKind::Str, 0, text};
  }
};

struct DescriptorFields {
  std::string_view kind;
  std::string_view content_hash;
  std::string_view framework;
  std::string_view version;
  std::string_view io_schema;
  std::optional<std::string_view> preprocessing_ref;  // "" is present, not absent
};

// A node of any kind but Stage (which only the optimizer and the blob reader
// make), as views. A Source ignores `inputs`.
struct NodeFields {
  NodeKind kind = NodeKind::Source;
  std::string_view name;                         // Source, Op, Reduction
  const DescriptorFields* descriptor = nullptr;  // External
  ParamField* params = nullptr;                  // sorted in place when packed
  std::size_t param_count = 0;
  const NodeId* inputs = nullptr;
  std::size_t input_count = 0;
};

// What interning needs to know about a packed record besides its bytes.
struct PackedFields {
  bool has_nan = false;           // a Float parameter holds a NaN
  std::size_t inputs_at = 0;      // offset of the first input id from the record's start
  std::uint32_t input_count = 0;
};

// Packing in three steps, so a caller can write into memory of its own:
// sort the parameters by key bytes (a stable sort, like every ParamMap);
// size the record (std::length_error "too large for korvane IR blob" for a
// field beyond the format's 32 bits, as encode_record); write exactly that
// many bytes.
void sort_params(NodeFields& fields);
std::size_t packed_size(const NodeFields& fields);
PackedFields pack_fields(const NodeFields& fields, char* out);

// All three, appending the record to `out`.
PackedFields encode_fields(NodeFields& fields, std::string& out);

}  // namespace korvane
