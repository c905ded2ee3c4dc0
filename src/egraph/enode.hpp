// E-nodes: an operator symbol applied to class ids. The e-graph stores them,
// patterns are built from them, and they are copied wherever a node is kept,
// so a node with up to three children is a 24-byte value with no heap part.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string_view>
#include <utility>

#include "egraph/hashing.hpp"
#include "egraph/small_vector.hpp"
#include "egraph/symbol.hpp"

namespace korvane::egraph {

// An e-class id: dense from 0 in creation order. Canonical when the union-find
// maps it to itself.
using Id = std::uint32_t;

// Child lists of up to three ids live inside the e-node.
using Children = SmallVector<Id, 3>;

// An e-node: an operator symbol applied to an ordered list of class ids.
struct SymbolLang {
  GlobalSymbol op;
  Children children;

  SymbolLang(GlobalSymbol op_symbol, Children child_ids)
      : op(op_symbol), children(std::move(child_ids)) {}

  // The e-node for an operator text: interns the text. Cannot fail.
  static SymbolLang from_op(std::string_view op_text, Children child_ids) {
    return SymbolLang(GlobalSymbol::intern(op_text), std::move(child_ids));
  }

  // Same operator and same number of children; the child ids are not compared.
  bool matches(const SymbolLang& other) const {
    return op == other.op && children.size() == other.children.size();
  }

  friend bool operator==(const SymbolLang&, const SymbolLang&) = default;
  // By operator number (unsigned), then the child lists element by element;
  // a prefix orders first.
  friend auto operator<=>(const SymbolLang&, const SymbolLang&) = default;
};

// A fixed hash consistent with equality, of the e-node with operator `op`
// and children `children`.
inline std::uint64_t hash_enode(GlobalSymbol op, std::span<const Id> children) {
  std::uint64_t state = op.number() * 0x9e3779b97f4a7c15ULL + children.size();
  for (Id child : children) state = hash_step(state, child);
  return mix64(state);
}

inline std::uint64_t hash_enode(const SymbolLang& node) {
  return hash_enode(node.op, {node.children.begin(), node.children.end()});
}

// "(op c1 c2)" with child ids in decimal, or "op" without children.
std::ostream& operator<<(std::ostream& out, const SymbolLang& node);

}  // namespace korvane::egraph
