// The blob reader. Blob records are store records, so each record is
// validated in place and handed to the store as the blob's own bytes; the store
// brings the rare record in the wider form (parameters out of order, flag bytes
// other than 0 and 1) into canonical form, which has the same length.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "serialize.hpp"
#include "utf8.hpp"

namespace korvane {
namespace {

constexpr std::string_view kMagic = "KIR1";
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kStageRefSize = 5;

std::uint32_t load_u32(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);  // the host is little-endian (x86-64), like the format
  return v;
}

std::uint64_t load_u64(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

DecodeError truncated(std::uint64_t needed) { return {DecodeError::Kind::Truncated, needed, ""}; }
DecodeError invalid_tag(std::uint8_t tag, const char* what) {
  return {DecodeError::Kind::InvalidTag, tag, what};
}
DecodeError out_of_range(std::uint64_t id) { return {DecodeError::Kind::NodeOutOfRange, id, ""}; }

// A forward cursor over untrusted bytes. Every read checks that what it needs
// lies before the end (comparing against what is left, so no position
// arithmetic can overflow) and records the first failure.
class Reader {
 public:
  Reader(std::string_view bytes, std::size_t position)
      : data_(bytes.data()), size_(bytes.size()), position_(position) {}

  std::size_t position() const { return position_; }
  const DecodeError& error() const { return error_; }

  bool fail(DecodeError error) {
    error_ = error;
    return false;
  }

  bool u8(std::uint8_t& v) {
    if (!need(1)) return false;
    v = static_cast<std::uint8_t>(data_[position_++]);
    return true;
  }
  bool u32(std::uint32_t& v) {
    if (!need(4)) return false;
    v = load_u32(data_ + position_);
    position_ += 4;
    return true;
  }
  bool u64(std::uint64_t& v) {
    if (!need(8)) return false;
    v = load_u64(data_ + position_);
    position_ += 8;
    return true;
  }
  bool skip(std::size_t n) {
    if (!need(n)) return false;
    position_ += n;
    return true;
  }

  // A length-prefixed UTF-8 string.
  bool string(std::string_view& text) {
    std::uint32_t length;
    if (!u32(length) || !need(length)) return false;
    text = std::string_view(data_ + position_, length);
    position_ += length;
    if (!is_valid_utf8(text)) return fail({DecodeError::Kind::InvalidUtf8, 0, ""});
    return true;
  }
  bool string() {
    std::string_view ignored;
    return string(ignored);
  }

  // A parameter list, its names in any order, any non-zero Bool byte true.
  bool params() {
    std::uint32_t count;
    if (!u32(count)) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint8_t tag;
      if (!string() || !u8(tag)) return false;
      switch (static_cast<ParamKind>(tag)) {
        case ParamKind::Int:
        case ParamKind::Float:
          if (!skip(8)) return false;
          break;
        case ParamKind::Bool:
          if (!skip(1)) return false;
          break;
        case ParamKind::Str:
          if (!string()) return false;
          break;
        default:
          return fail(invalid_tag(tag, "param"));
      }
    }
    return true;
  }

  // An input list whose ids must all be below `limit`, checked in list order.
  bool inputs(std::uint64_t limit, std::uint32_t& count) {
    if (!u32(count)) return false;
    // Ids that are present are checked before a missing one is reported, as a
    // reader taking one id at a time would.
    const std::size_t present = std::min<std::size_t>(count, (size_ - position_) / 8);
    const char* ids = data_ + position_;
    for (std::size_t k = 0; k < present; ++k) {
      const std::uint64_t id = load_u64(ids + 8 * k);
      if (id >= limit) return fail(out_of_range(id));
    }
    if (present < count) return fail(truncated(8));
    position_ += 8 * present;
    return true;
  }
  bool inputs(std::uint64_t limit) {
    std::uint32_t count;
    return inputs(limit, count);
  }

  // The members of a stage with `input_count` outside inputs. Member j may
  // refer to stage inputs and to members before j only.
  bool stage_members(std::uint32_t input_count) {
    std::uint32_t members;
    if (!u32(members)) return false;
    for (std::uint32_t j = 0; j < members; ++j) {
      std::uint32_t refs;
      if (!string() || !u32(refs)) return false;
      for (std::uint32_t r = 0; r < refs; ++r) {
        if (!need(kStageRefSize)) return false;
        const auto alternative = static_cast<std::uint8_t>(data_[position_]);
        const std::uint32_t index = load_u32(data_ + position_ + 1);
        position_ += kStageRefSize;
        if (alternative > 1) return fail(invalid_tag(alternative, "stage-ref"));
        const std::uint32_t bound =
            static_cast<StageRefKind>(alternative) == StageRefKind::Input ? input_count : j;
        if (index >= bound) return fail(out_of_range(index));
      }
    }
    return true;
  }

 private:
  bool need(std::size_t n) {
    if (size_ - position_ >= n) return true;
    return fail(truncated(n));
  }

  const char* data_;
  std::size_t size_;
  std::size_t position_;
  DecodeError error_;
};

// Validates the record at the reader's position as node id `id`: inputs must
// be earlier ids.
bool read_record(Reader& reader, NodeId id) {
  std::uint8_t tag;
  if (!reader.u8(tag)) return false;
  switch (static_cast<NodeKind>(tag)) {
    case NodeKind::Source:
      return reader.string() && reader.params();
    case NodeKind::Op:
    case NodeKind::Reduction:
      return reader.string() && reader.params() && reader.inputs(id);
    case NodeKind::External: {
      for (int field = 0; field < 5; ++field) {
        if (!reader.string()) return false;
      }
      std::uint8_t present;
      if (!reader.u8(present)) return false;
      if (present != 0 && !reader.string()) return false;
      return reader.params() && reader.inputs(id);
    }
    case NodeKind::Stage: {
      std::uint32_t input_count;
      return reader.inputs(id, input_count) && reader.stage_members(input_count);
    }
    case NodeKind::Exchange:
    case NodeKind::Join:
      return reader.params() && reader.inputs(id);
  }
  return reader.fail(invalid_tag(tag, "node"));
}

}  // namespace

Result<std::unique_ptr<GraphStore>, DecodeError> deserialize(std::string_view bytes) {
  if (bytes.size() < kMagic.size()) return unexpected(truncated(kMagic.size()));
  if (bytes.substr(0, kMagic.size()) != kMagic) {
    return unexpected(DecodeError{DecodeError::Kind::BadMagic, 0, ""});
  }
  if (bytes.size() < kHeaderSize) return unexpected(truncated(4));
  const std::uint32_t node_count = load_u32(bytes.data() + kMagic.size());

  auto store = std::make_unique<GraphStore>();
  Reader reader(bytes, kHeaderSize);
  for (NodeId id = 0; id < node_count; ++id) {
    const std::size_t start = reader.position();
    if (!read_record(reader, id)) return unexpected(reader.error());
    const auto interned = store->intern_record(bytes.substr(start, reader.position() - start));
    if (!interned) return unexpected(out_of_range(interned.error().id));
    // An equal earlier record would make this one share its id and shift
    // every later id away from its record position.
    if (*interned != id) return unexpected(DecodeError{DecodeError::Kind::DuplicateRecord, id, ""});
  }

  std::uint32_t output_count;
  if (!reader.u32(output_count)) return unexpected(reader.error());
  const std::size_t first_output = reader.position();
  if (!reader.skip(8 * static_cast<std::size_t>(output_count))) {
    return unexpected(truncated(8));
  }
  for (std::uint32_t k = 0; k < output_count; ++k) {
    const std::uint64_t id = load_u64(bytes.data() + first_output + 8 * std::size_t{k});
    if (!store->mark_output(id)) return unexpected(out_of_range(id));
  }
  return store;
}

}  // namespace korvane
