#include "egraph/enode.hpp"

#include <ostream>

namespace korvane::egraph {

std::ostream& operator<<(std::ostream& out, const SymbolLang& node) {
  if (node.children.empty()) return out << node.op;
  out << '(' << node.op;
  for (Id child : node.children) out << ' ' << child;
  return out << ')';
}

}  // namespace korvane::egraph
