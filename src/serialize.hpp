// The serialized IR blob: the canonical, versioned byte form of a store.
//
//   "KIR1" | u32 N | N node records (record k is node id k) | u32 M | M u64 output ids
//
// Records are the packed records of record.hpp. Little-endian throughout.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "node.hpp"
#include "result.hpp"
#include "store.hpp"

namespace korvane {

// Why a blob was refused. `message` gives the exact text the Python layer raises.
struct DecodeError {
  enum class Kind : std::uint8_t {
    BadMagic,
    Truncated,
    InvalidTag,
    InvalidUtf8,
    NodeOutOfRange,
    DuplicateRecord,
  };
  Kind kind = Kind::Truncated;
  std::uint64_t value = 0;  // bytes needed, tag byte, offending id, or record position
  const char* what = "";    // for InvalidTag: "node", "param" or "stage-ref"
};
std::string decode_error_message(const DecodeError& error);

// Thrown (as a value) when a store, string or list exceeds the format's 32-bit limits.
struct EncodeTooLarge {};
inline constexpr const char* kTooLargeMessage = "too large for korvane IR blob";

// Writes the blob of `store` (one consistent view) listing exactly `outputs`.
Result<std::string, EncodeTooLarge> serialize_with(const GraphStore& store, const NodeIds& outputs);

// Reads a blob into a fresh store whose ids are the record positions.
Result<std::unique_ptr<GraphStore>, DecodeError> deserialize(std::string_view bytes);

}  // namespace korvane
