#include "record_fields.hpp"

#include <algorithm>

#include "error.hpp"
#include "record_format.hpp"

namespace korvane {
namespace {

using record_format::checked_u32;
using record_format::is_nan_bits;
using record_format::put_descriptor;
using record_format::put_string;
using record_format::SizeSink;
using record_format::WriteSink;

// Bytewise, a prefix first. Keys nearly always differ in their first byte,
// which decides without a call to compare the rest.
bool key_before(const ParamField& a, const ParamField& b) {
  if (!a.key.empty() && !b.key.empty() && a.key[0] != b.key[0]) {
    return static_cast<unsigned char>(a.key[0]) < static_cast<unsigned char>(b.key[0]);
  }
  return a.key < b.key;
}

template <class Sink>
void put_params(Sink& sink, const ParamField* params, std::size_t count) {
  sink.u32(checked_u32(count));
  for (std::size_t i = 0; i < count; ++i) {
    const ParamField& p = params[i];
    put_string(sink, p.key);
    sink.u8(static_cast<std::uint8_t>(p.kind));
    switch (p.kind) {
      case ParamKind::Int:
      case ParamKind::Float:
        sink.u64(p.bits);
        break;
      case ParamKind::Bool:
        sink.u8(p.bits != 0 ? 1 : 0);
        break;
      case ParamKind::Str:
        put_string(sink, p.text);
        break;
    }
  }
}

// Everything up to the input list, in record order.
template <class Sink>
void put_head(Sink& sink, const NodeFields& f) {
  sink.u8(static_cast<std::uint8_t>(f.kind));
  switch (f.kind) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction:
      put_string(sink, f.name);
      break;
    case NodeKind::External:
      check_invariant(f.descriptor != nullptr, "external node without descriptor");
      put_descriptor(sink, *f.descriptor);
      break;
    case NodeKind::Exchange:
    case NodeKind::Join:
      break;
    case NodeKind::Stage:
      throw InternalError("stage nodes are not packed from fields");
  }
  put_params(sink, f.params, f.param_count);
}

}  // namespace

// Keys of a dictionary are distinct and few, so an insertion sort (stable, no
// scratch memory) does; long parameter lists get the library's stable sort.
void sort_params(NodeFields& fields) {
  constexpr std::size_t kInsertionLimit = 16;
  ParamField* const first = fields.params;
  const std::size_t count = fields.param_count;
  if (count < 2) return;
  if (count > kInsertionLimit) {
    std::stable_sort(first, first + count, key_before);
    return;
  }
  for (std::size_t i = 1; i < count; ++i) {
    const ParamField moving = first[i];
    std::size_t j = i;
    for (; j > 0 && key_before(moving, first[j - 1]); --j) first[j] = first[j - 1];
    first[j] = moving;
  }
}

std::size_t packed_size(const NodeFields& fields) {
  SizeSink size;
  put_head(size, fields);
  if (fields.kind != NodeKind::Source) {
    size.size += 4 + 8 * std::size_t{checked_u32(fields.input_count)};
  }
  return size.size;
}

PackedFields pack_fields(const NodeFields& fields, char* out) {
  WriteSink writer{out};
  put_head(writer, fields);
  PackedFields packed;
  if (fields.kind != NodeKind::Source) {
    packed.input_count = static_cast<std::uint32_t>(fields.input_count);
    writer.u32(packed.input_count);
    packed.inputs_at = static_cast<std::size_t>(writer.at - out);
    for (std::uint32_t i = 0; i < packed.input_count; ++i) writer.u64(fields.inputs[i]);
  }
  for (std::size_t i = 0; i < fields.param_count; ++i) {
    const ParamField& p = fields.params[i];
    if (p.kind == ParamKind::Float && is_nan_bits(p.bits)) packed.has_nan = true;
  }
  return packed;
}

PackedFields encode_fields(NodeFields& fields, std::string& out) {
  sort_params(fields);
  const std::size_t size = packed_size(fields);
  const std::size_t start = out.size();
  out.resize(start + size);
  return pack_fields(fields, out.data() + start);
}

}  // namespace korvane
