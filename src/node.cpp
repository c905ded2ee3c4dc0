#include "node.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "record.hpp"

namespace korvane {

std::uint64_t canonical_float_bits(double v) {
  constexpr std::uint64_t kCanonicalNan = 0x7FF8000000000000ULL;
  return std::isnan(v) ? kCanonicalNan : std::bit_cast<std::uint64_t>(v);
}

bool operator==(const ParamValue& a, const ParamValue& b) {
  if (a.value.index() != b.value.index()) return false;
  switch (a.kind()) {
    case ParamKind::Int:
      return a.as_int() == b.as_int();
    case ParamKind::Float:
      return canonical_float_bits(a.as_float()) == canonical_float_bits(b.as_float());
    case ParamKind::Bool:
      return a.as_bool() == b.as_bool();
    case ParamKind::Str:
      return a.as_str() == b.as_str();
  }
  return false;
}

ParamMap make_param_map(std::vector<ParamEntry> entries) {
  // std::string's ordering goes through char_traits<char>, which compares as
  // unsigned bytes, so keys sort bytewise with a prefix first.
  const auto by_key = [](const ParamEntry& a, const ParamEntry& b) { return a.key < b.key; };
  // Maps are nearly always built sorted (from a blob or a store); checking
  // first spares the stable sort its scratch buffer.
  if (!std::is_sorted(entries.begin(), entries.end(), by_key)) {
    std::stable_sort(entries.begin(), entries.end(), by_key);
  }
  return entries;
}

std::string_view kind_string(NodeKind kind) {
  switch (kind) {
    case NodeKind::Source:
      return "source";
    case NodeKind::Op:
      return "op";
    case NodeKind::Reduction:
      return "reduction";
    case NodeKind::External:
      return "external";
    case NodeKind::Stage:
      return "stage";
    case NodeKind::Exchange:
      return "exchange";
    case NodeKind::Join:
      return "join";
  }
  return "";
}

const NodeIds& inputs(const NodeKey& node) {
  static const NodeIds kNone;
  return std::visit(
      [](const auto& n) -> const NodeIds& {
        if constexpr (std::is_same_v<std::decay_t<decltype(n)>, SourceNode>) {
          return kNone;
        } else {
          return n.inputs;
        }
      },
      node.node);
}

NodeKey with_inputs(const NodeKey& node, NodeIds new_inputs) {
  NodeKey copy = node;
  std::visit(
      [&](auto& n) {
        if constexpr (!std::is_same_v<std::decay_t<decltype(n)>, SourceNode>) {
          n.inputs = std::move(new_inputs);
        }
      },
      copy.node);
  return copy;
}

std::uint64_t hash_node(const NodeKey& node) {
  // Hashing the packed record keeps this hash identical to the one the store
  // uses, so a node and its record can never disagree about identity.
  thread_local std::string buffer;
  buffer.clear();
  encode_record(node, buffer);
  const std::uint64_t hash = inspect_record(buffer).hash;
  if (buffer.capacity() > (64u << 10)) std::string().swap(buffer);
  return hash;
}

}  // namespace korvane
