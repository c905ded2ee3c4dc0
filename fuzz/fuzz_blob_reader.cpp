// Fuzz target for the blob reader. Any input must either be refused with a
// decode error or give a store that writes and reads back stably: writing it
// with the blob's own output list and reading that again yields the same
// bytes, the same nodes and the same outputs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "record.hpp"
#include "serialize.hpp"
#include "store.hpp"

namespace {

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "blob reader instability: %s\n", what);
    std::abort();
  }
}

// The output list exactly as the accepted blob gives it, repeats included.
// Rewriting a record into canonical form never changes its length, so the
// records of the input end where they end in a blob of the store.
korvane::NodeIds listed_outputs(std::string_view input, const korvane::ArenaView& view) {
  auto bare = korvane::serialize_with(view, {});
  require(bare.has_value(), "store too large to write");
  const std::size_t at = bare->size() - 4;
  std::uint32_t count;
  std::memcpy(&count, input.data() + at, 4);
  korvane::NodeIds outputs(count);
  if (count != 0) std::memcpy(outputs.data(), input.data() + at + 4, 8 * std::size_t{count});
  return outputs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  auto first = korvane::deserialize(input);
  if (!first.has_value()) {
    require(!korvane::decode_error_message(first.error()).empty(), "empty error message");
    return 0;
  }
  const korvane::ArenaView view = first.value()->view();
  const korvane::NodeIds listed = listed_outputs(input, view);

  // Stored records are canonical: rebuilding each node and encoding it again
  // gives the record back.
  for (korvane::NodeId id = 0; id < view.size(); ++id) {
    std::string again;
    korvane::encode_record(view.node(id), again);
    require(again == view.record(id), "stored record is not canonical");
  }

  auto written = korvane::serialize_with(view, listed);
  require(written.has_value(), "store too large to write");
  require(written->size() <= size, "written blob longer than its source");
  auto second = korvane::deserialize(*written);
  require(second.has_value(), "written blob refused");
  const korvane::ArenaView view2 = second.value()->view();
  require(view2.size() == view.size(), "node count changed");
  require(view2.outputs() == view.outputs(), "outputs changed");
  auto rewritten = korvane::serialize_with(view2, listed);
  require(rewritten.has_value() && *rewritten == *written, "second write differs");
  return 0;
}
