#include "record.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "error.hpp"
#include "record_format.hpp"

namespace korvane {
namespace {

constexpr const char* kMalformed = "malformed node record";

using record_format::checked_u32;
using record_format::is_nan_bits;
using record_format::put_string;
using record_format::SizeSink;
using record_format::WriteSink;

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// ---------------------------------------------------------------------------
// Writing. One walk over the node serves both for sizing and for writing, so
// the record is written into exactly the space it needs.

template <class Sink>
void put_params(Sink& sink, const ParamMap& params) {
  sink.u32(checked_u32(params.size()));
  for (const ParamEntry& entry : params) {
    put_string(sink, entry.key);
    sink.u8(static_cast<std::uint8_t>(entry.value.kind()));
    switch (entry.value.kind()) {
      case ParamKind::Int:
        sink.u64(static_cast<std::uint64_t>(entry.value.as_int()));
        break;
      case ParamKind::Float:
        sink.u64(std::bit_cast<std::uint64_t>(entry.value.as_float()));
        break;
      case ParamKind::Bool:
        sink.u8(entry.value.as_bool() ? 1 : 0);
        break;
      case ParamKind::Str:
        put_string(sink, entry.value.as_str());
        break;
    }
  }
}

template <class Sink>
void put_inputs(Sink& sink, const NodeIds& ids) {
  sink.u32(checked_u32(ids.size()));
  for (NodeId id : ids) sink.u64(id);
}

template <class Sink>
void put_node(Sink& sink, const NodeKey& node) {
  sink.u8(static_cast<std::uint8_t>(node.node.index()));
  std::visit(Overloaded{
                 [&](const SourceNode& n) {
                   put_string(sink, n.name);
                   put_params(sink, n.params);
                 },
                 [&](const OpNode& n) {
                   put_string(sink, n.name);
                   put_params(sink, n.params);
                   put_inputs(sink, n.inputs);
                 },
                 [&](const ReductionNode& n) {
                   put_string(sink, n.name);
                   put_params(sink, n.params);
                   put_inputs(sink, n.inputs);
                 },
                 [&](const ExternalNode& n) {
                   check_invariant(n.descriptor != nullptr, "external node without descriptor");
                   record_format::put_descriptor(sink, *n.descriptor);
                   put_params(sink, n.params);
                   put_inputs(sink, n.inputs);
                 },
                 [&](const StageNode& n) {
                   put_inputs(sink, n.inputs);
                   sink.u32(checked_u32(n.members.size()));
                   for (const StageOp& member : n.members) {
                     put_string(sink, member.token);
                     sink.u32(checked_u32(member.inputs.size()));
                     for (const StageRef& ref : member.inputs) {
                       sink.u8(static_cast<std::uint8_t>(ref.kind));
                       sink.u32(checked_u32(ref.index));
                     }
                   }
                 },
                 [&](const ExchangeNode& n) {
                   put_params(sink, n.params);
                   put_inputs(sink, n.inputs);
                 },
                 [&](const JoinNode& n) {
                   put_params(sink, n.params);
                   put_inputs(sink, n.inputs);
                 },
             },
             node.node);
}

// ---------------------------------------------------------------------------
// Reading. Records come from this file or from the blob reader, so a record
// that does not parse is a broken invariant, never an input error; the bounds
// are still checked so that such a fault cannot read past the record.

class Cursor {
 public:
  explicit Cursor(std::string_view record) : data_(record.data()), size_(record.size()) {}

  std::size_t position() const { return pos_; }
  bool at_end() const { return pos_ == size_; }
  const char* here() const { return data_ + pos_; }

  void skip(std::uint64_t n) {
    check_invariant(n <= size_ - pos_, kMalformed);
    pos_ += n;
  }
  std::uint8_t u8() {
    skip(1);
    return static_cast<std::uint8_t>(data_[pos_ - 1]);
  }
  std::uint32_t u32() {
    skip(4);
    std::uint32_t v;
    std::memcpy(&v, data_ + pos_ - 4, 4);
    return v;
  }
  std::uint64_t u64() {
    skip(8);
    std::uint64_t v;
    std::memcpy(&v, data_ + pos_ - 8, 8);
    return v;
  }
  std::string_view string() {
    const std::uint32_t n = u32();
    skip(n);
    return {data_ + pos_ - n, n};
  }
  RecordInputs inputs() {
    const std::uint32_t n = u32();
    const char* first = here();
    skip(8 * static_cast<std::uint64_t>(n));
    return {first, n};
  }
  void skip_params() {
    const std::uint32_t n = u32();
    for (std::uint32_t i = 0; i < n; ++i) {
      string();
      skip_value(u8());
    }
  }
  void skip_value(std::uint8_t tag) {
    switch (tag) {
      case 0:
      case 1:
        skip(8);
        return;
      case 2:
        skip(1);
        return;
      case 3:
        string();
        return;
      default:
        throw InternalError(kMalformed);
    }
  }

 private:
  const char* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

std::uint8_t kind_tag(Cursor& in) {
  const std::uint8_t tag = in.u8();
  check_invariant(tag < kNodeKindCount, kMalformed);
  return tag;
}

ParamMap read_params(Cursor& in) {
  const std::uint32_t n = in.u32();
  std::vector<ParamEntry> entries;
  entries.reserve(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    std::string key(in.string());
    const std::uint8_t tag = in.u8();
    switch (tag) {
      case 0:
        entries.push_back({std::move(key), ParamValue::of_int(static_cast<std::int64_t>(in.u64()))});
        break;
      case 1:
        entries.push_back({std::move(key), ParamValue::of_float(std::bit_cast<double>(in.u64()))});
        break;
      case 2:
        entries.push_back({std::move(key), ParamValue::of_bool(in.u8() != 0)});
        break;
      case 3:
        entries.push_back({std::move(key), ParamValue::of_str(std::string(in.string()))});
        break;
      default:
        throw InternalError(kMalformed);
    }
  }
  // A blob may hold its entries in any order; the map is sorted whatever it.
  return make_param_map(std::move(entries));
}

NodeIds read_inputs(Cursor& in) {
  const RecordInputs ids = in.inputs();
  NodeIds out(ids.size());
  for (std::uint32_t i = 0; i < ids.size(); ++i) out[i] = ids[i];
  return out;
}

// ---------------------------------------------------------------------------
// Inspection: one walk that finds the float fields (for NaN canonicalization)
// and whether the record is in the canonical form encode_record writes.

struct Shape {
  bool has_nan = false;
  bool canonical = true;
};

template <class OnNan>
void walk_params(Cursor& in, Shape& shape, OnNan& on_nan) {
  const std::uint32_t n = in.u32();
  std::string_view previous;
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::string_view key = in.string();
    if (i > 0 && key < previous) shape.canonical = false;
    previous = key;
    const std::uint8_t tag = in.u8();
    if (tag == 1) {
      const std::size_t at = in.position();
      if (is_nan_bits(in.u64())) {
        shape.has_nan = true;
        on_nan(at);
      }
    } else if (tag == 2) {
      if (in.u8() > 1) shape.canonical = false;
    } else {
      in.skip_value(tag);
    }
  }
}

// Walks a whole record, calling on_nan with the offset of every NaN value.
template <class OnNan>
Shape walk_record(std::string_view record, OnNan&& on_nan) {
  Shape shape;
  Cursor in(record);
  switch (static_cast<NodeKind>(kind_tag(in))) {
    case NodeKind::Source:
      in.string();
      walk_params(in, shape, on_nan);
      break;
    case NodeKind::Op:
    case NodeKind::Reduction:
      in.string();
      walk_params(in, shape, on_nan);
      in.inputs();
      break;
    case NodeKind::External: {
      for (int i = 0; i < 5; ++i) in.string();
      const std::uint8_t present = in.u8();
      if (present > 1) shape.canonical = false;
      if (present != 0) in.string();
      walk_params(in, shape, on_nan);
      in.inputs();
      break;
    }
    case NodeKind::Stage: {
      in.inputs();
      const std::uint32_t members = in.u32();
      for (std::uint32_t m = 0; m < members; ++m) {
        in.string();
        const std::uint32_t refs = in.u32();
        for (std::uint32_t r = 0; r < refs; ++r) {
          check_invariant(in.u8() <= 1, kMalformed);
          in.u32();
        }
      }
      break;
    }
    case NodeKind::Exchange:
    case NodeKind::Join:
      walk_params(in, shape, on_nan);
      in.inputs();
      break;
  }
  check_invariant(in.at_end(), kMalformed);
  return shape;
}

// A copy of the record with every NaN replaced by the canonical quiet NaN.
void canonical_nan_copy(std::string_view record, std::string& out) {
  out.assign(record);
  walk_record(record, [&](std::size_t at) {
    const std::uint64_t bits = canonical_float_bits(std::numeric_limits<double>::quiet_NaN());
    std::memcpy(out.data() + at, &bits, 8);
  });
}

// ---------------------------------------------------------------------------
// A fixed 64-bit hash: 16 bytes per step, each folded through a 64x64->128-bit
// multiply, which mixes every input bit into every output bit.

constexpr std::uint64_t kK0 = 0x9E3779B97F4A7C15ULL;
constexpr std::uint64_t kK1 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kK2 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t kK3 = 0xD6E8FEB86659FD93ULL;

inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

inline std::uint64_t load64(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

std::uint64_t hash_bytes(const char* p, std::size_t n) {
  std::uint64_t h = fold_multiply(kK0 ^ n, kK1);
  std::size_t left = n;
  while (left >= 16) {
    h = fold_multiply(load64(p) ^ kK1, load64(p + 8) ^ kK2 ^ h);
    p += 16;
    left -= 16;
  }
  // The last 0 to 15 bytes, zero-padded to 16. Inputs of 16 bytes or more
  // read them as the top of the 16 bytes that end the input.
  std::uint64_t lo = 0, hi = 0;
  if (left > 0 && n >= 16) {
    const unsigned __int128 last = static_cast<unsigned __int128>(load64(p + left - 8)) << 64 |
                                   load64(p + left - 16);
    const unsigned __int128 rest = last >> (8 * (16 - left));
    lo = static_cast<std::uint64_t>(rest);
    hi = static_cast<std::uint64_t>(rest >> 64);
  } else if (left > 0) {
    char tail[16] = {};
    std::memcpy(tail, p, left);
    lo = load64(tail);
    hi = load64(tail + 8);
  }
  h = fold_multiply(lo ^ kK3, hi ^ kK0 ^ h);
  return fold_multiply(h ^ kK2, kK3 ^ n);
}

}  // namespace

void encode_record(const NodeKey& node, std::string& out) {
  SizeSink size;
  put_node(size, node);
  const std::size_t start = out.size();
  out.resize(start + size.size);
  WriteSink writer{out.data() + start};
  put_node(writer, node);
}

NodeKey decode_record(std::string_view record) {
  Cursor in(record);
  NodeKey node;
  switch (static_cast<NodeKind>(kind_tag(in))) {
    case NodeKind::Source: {
      SourceNode n;
      n.name = in.string();
      n.params = read_params(in);
      node.node = std::move(n);
      break;
    }
    case NodeKind::Op: {
      OpNode n;
      n.name = in.string();
      n.params = read_params(in);
      n.inputs = read_inputs(in);
      node.node = std::move(n);
      break;
    }
    case NodeKind::Reduction: {
      ReductionNode n;
      n.name = in.string();
      n.params = read_params(in);
      n.inputs = read_inputs(in);
      node.node = std::move(n);
      break;
    }
    case NodeKind::External: {
      auto d = std::make_shared<PayloadDescriptor>();
      d->kind = in.string();
      d->content_hash = in.string();
      d->framework = in.string();
      d->version = in.string();
      d->io_schema = in.string();
      if (in.u8() != 0) d->preprocessing_ref = std::string(in.string());
      ExternalNode n;
      n.descriptor = std::move(d);
      n.params = read_params(in);
      n.inputs = read_inputs(in);
      node.node = std::move(n);
      break;
    }
    case NodeKind::Stage: {
      StageNode n;
      n.inputs = read_inputs(in);
      const std::uint32_t members = in.u32();
      n.members.reserve(std::min<std::uint64_t>(members, record.size()));
      for (std::uint32_t m = 0; m < members; ++m) {
        StageOp op;
        op.token = in.string();
        const std::uint32_t refs = in.u32();
        op.inputs.reserve(std::min<std::uint64_t>(refs, record.size()));
        for (std::uint32_t r = 0; r < refs; ++r) {
          const std::uint8_t alternative = in.u8();
          check_invariant(alternative <= 1, kMalformed);
          op.inputs.push_back({static_cast<StageRefKind>(alternative), in.u32()});
        }
        n.members.push_back(std::move(op));
      }
      node.node = std::move(n);
      break;
    }
    case NodeKind::Exchange: {
      ExchangeNode n;
      n.params = read_params(in);
      n.inputs = read_inputs(in);
      node.node = std::move(n);
      break;
    }
    case NodeKind::Join: {
      JoinNode n;
      n.params = read_params(in);
      n.inputs = read_inputs(in);
      node.node = std::move(n);
      break;
    }
  }
  check_invariant(in.at_end(), kMalformed);
  return node;
}

RecordInputs record_inputs(std::string_view record) {
  Cursor in(record);
  switch (static_cast<NodeKind>(kind_tag(in))) {
    case NodeKind::Source:
      return {};
    case NodeKind::Op:
    case NodeKind::Reduction:
      in.string();
      in.skip_params();
      return in.inputs();
    case NodeKind::External:
      for (int i = 0; i < 5; ++i) in.string();
      if (in.u8() != 0) in.string();
      in.skip_params();
      return in.inputs();
    case NodeKind::Stage:
      return in.inputs();
    case NodeKind::Exchange:
    case NodeKind::Join:
      in.skip_params();
      return in.inputs();
  }
  return {};
}

RecordInfo inspect_record(std::string_view record) {
  const Shape shape = walk_record(record, [](std::size_t) {});
  RecordInfo info;
  info.has_nan = shape.has_nan;
  info.canonical = shape.canonical;
  if (!shape.has_nan) {
    info.hash = hash_bytes(record.data(), record.size());
  } else {
    thread_local std::string patched;
    canonical_nan_copy(record, patched);
    info.hash = hash_bytes(patched.data(), patched.size());
  }
  return info;
}

std::uint64_t record_hash(std::string_view record) {
  return hash_bytes(record.data(), record.size());
}

bool record_equal(std::string_view a, bool a_has_nan, std::string_view b, bool b_has_nan) {
  // Canonical records of equal nodes are equal bytes, except that NaNs may
  // carry different payloads; a NaN never equals a non-NaN value.
  if (a.size() != b.size() || a_has_nan != b_has_nan) return false;
  if (!a_has_nan) return std::memcmp(a.data(), b.data(), a.size()) == 0;
  thread_local std::string left, right;
  canonical_nan_copy(a, left);
  canonical_nan_copy(b, right);
  return left == right;
}

void canonicalize_record(std::string_view record, std::string& out) {
  encode_record(decode_record(record), out);
}

}  // namespace korvane
