// The blob writer. Stored records already are blob records, so writing is a
// header, a bulk copy of the arena, and the output list.
#include "serialize.hpp"

#include <cstring>
#include <string_view>

#include "error.hpp"

namespace korvane {
namespace {

constexpr std::string_view kMagic = "KIR1";

char* put_u32(char* out, std::uint32_t v) {
  std::memcpy(out, &v, 4);  // the host is little-endian (x86-64), like the format
  return out + 4;
}

std::size_t records_size(const ArenaView& view) {
  std::size_t total = 0;
  for (NodeId id = 0; id < view.size(); ++id) total += view.record(id).size();
  return total;
}

// Records of consecutive ids mostly lie back to back in one arena chunk; each
// run of adjacent records is copied with one memcpy.
char* copy_records(const ArenaView& view, char* out) {
  const char* run = nullptr;
  std::size_t run_size = 0;
  for (NodeId id = 0; id < view.size(); ++id) {
    const std::string_view record = view.record(id);
    if (run + run_size == record.data()) {
      run_size += record.size();
      continue;
    }
    if (run_size != 0) std::memcpy(out, run, run_size);
    out += run_size;
    run = record.data();
    run_size = record.size();
  }
  if (run_size != 0) std::memcpy(out, run, run_size);
  return out + run_size;
}

}  // namespace

std::string decode_error_message(const DecodeError& error) {
  switch (error.kind) {
    case DecodeError::Kind::BadMagic:
      return "not a korvane IR blob (bad magic/version)";
    case DecodeError::Kind::Truncated:
      return "truncated korvane IR blob";
    case DecodeError::Kind::InvalidTag:
      return "invalid " + std::string(error.what) + " tag " + std::to_string(error.value);
    case DecodeError::Kind::InvalidUtf8:
      return "invalid utf-8 in korvane IR blob";
    case DecodeError::Kind::NodeOutOfRange:
      return "node reference " + std::to_string(error.value) + " out of range";
    case DecodeError::Kind::DuplicateRecord:
      return "duplicate node record " + std::to_string(error.value) + " in korvane IR blob";
  }
  throw InternalError("unknown blob decode error kind");
}

Result<std::size_t, EncodeTooLarge> blob_size(const ArenaView& view, const NodeIds& outputs,
                                              std::uint64_t count_limit) {
  // Records were size-checked when they were encoded; only the two counts of
  // the blob itself can overflow their fields here.
  if (view.size() > count_limit || outputs.size() > count_limit) {
    return unexpected(EncodeTooLarge{});
  }
  return kMagic.size() + 4 + records_size(view) + 4 + 8 * outputs.size();
}

void write_blob(const ArenaView& view, const NodeIds& outputs, char* out) {
  std::memcpy(out, kMagic.data(), kMagic.size());
  out = put_u32(out + kMagic.size(), static_cast<std::uint32_t>(view.size()));
  out = copy_records(view, out);
  out = put_u32(out, static_cast<std::uint32_t>(outputs.size()));
  if (!outputs.empty()) std::memcpy(out, outputs.data(), 8 * outputs.size());
}

Result<std::string, EncodeTooLarge> serialize_with(const ArenaView& view, const NodeIds& outputs) {
  return serialize_with_limit(view, outputs, kBlobCountLimit);
}

Result<std::string, EncodeTooLarge> serialize_with_limit(const ArenaView& view,
                                                         const NodeIds& outputs,
                                                         std::uint64_t count_limit) {
  const auto size = blob_size(view, outputs, count_limit);
  if (!size) return unexpected(size.error());
  std::string blob(*size, '\0');
  write_blob(view, outputs, blob.data());
  return blob;
}

}  // namespace korvane
