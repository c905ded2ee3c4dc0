// The blob writer. Stored records already are blob records, so writing is a
// header, a bulk copy of the arena, and the output list.
#include "serialize.hpp"

#include <cstring>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace korvane {
namespace {

constexpr std::string_view kMagic = "KIR1";

void put_u32(std::string& out, std::uint32_t v) {
  char bytes[4];
  std::memcpy(bytes, &v, 4);  // the host is little-endian (x86-64), like the format
  out.append(bytes, 4);
}

// Records of consecutive ids mostly lie back to back in one arena chunk; each
// run of adjacent records is copied with one memcpy.
struct Run {
  const char* first;
  std::size_t size;
};

std::vector<Run> record_runs(const ArenaView& view, std::size_t& total) {
  std::vector<Run> runs;
  total = 0;
  for (NodeId id = 0; id < view.size(); ++id) {
    const std::string_view record = view.record(id);
    total += record.size();
    if (!runs.empty() && runs.back().first + runs.back().size == record.data()) {
      runs.back().size += record.size();
    } else {
      runs.push_back({record.data(), record.size()});
    }
  }
  return runs;
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

Result<std::string, EncodeTooLarge> serialize_with(const ArenaView& view, const NodeIds& outputs) {
  return serialize_with_limit(view, outputs, kBlobCountLimit);
}

Result<std::string, EncodeTooLarge> serialize_with_limit(const ArenaView& view,
                                                         const NodeIds& outputs,
                                                         std::uint64_t count_limit) {
  if (view.size() > count_limit || outputs.size() > count_limit) {
    return unexpected(EncodeTooLarge{});
  }
  std::size_t records_size = 0;
  const std::vector<Run> runs = record_runs(view, records_size);

  std::string blob;
  blob.reserve(kMagic.size() + 4 + records_size + 4 + 8 * outputs.size());
  blob.append(kMagic);
  put_u32(blob, static_cast<std::uint32_t>(view.size()));
  for (const Run& run : runs) blob.append(run.first, run.size);
  put_u32(blob, static_cast<std::uint32_t>(outputs.size()));
  const std::size_t at = blob.size();
  blob.resize(at + 8 * outputs.size());
  if (!outputs.empty()) std::memcpy(blob.data() + at, outputs.data(), 8 * outputs.size());
  return blob;
}

}  // namespace korvane
