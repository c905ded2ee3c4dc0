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

// Returned (as a value) when a store or an output list exceeds the format's
// 32-bit counts.
struct EncodeTooLarge {};
inline constexpr const char* kTooLargeMessage = "too large for korvane IR blob";

// The largest node count, output count, string length or list length a blob can hold.
inline constexpr std::uint64_t kBlobCountLimit = 0xFFFFFFFFu;

// Writes the blob of one consistent view of a store, listing exactly
// `outputs` (in order, repeats kept; the view's own outputs are not used).
// The ids are not checked: callers check them against the view's node count.
Result<std::string, EncodeTooLarge> serialize_with(const ArenaView& view, const NodeIds& outputs);

// The same with a lower count limit, so the refusal can be exercised without
// four billion nodes. Only tests pass anything but kBlobCountLimit.
Result<std::string, EncodeTooLarge> serialize_with_limit(const ArenaView& view,
                                                         const NodeIds& outputs,
                                                         std::uint64_t count_limit);

// serialize_with in two steps, for callers that provide the buffer (the Python
// layer writes straight into a new bytes object): the exact size of the blob,
// then the blob written into `out`, which must hold exactly that many bytes.
Result<std::size_t, EncodeTooLarge> blob_size(const ArenaView& view, const NodeIds& outputs,
                                              std::uint64_t count_limit = kBlobCountLimit);
void write_blob(const ArenaView& view, const NodeIds& outputs, char* out);

// Reads a blob into a fresh store whose ids are the record positions. The
// bytes are only read; nothing is reserved ahead from a count in the blob.
Result<std::unique_ptr<GraphStore>, DecodeError> deserialize(std::string_view bytes);

}  // namespace korvane
