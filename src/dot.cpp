// Graphviz rendering of a store: vertices in id order, then edges.
#include <string>
#include <vector>

#include "param.hpp"
#include "record.hpp"
#include "store.hpp"

namespace korvane {
namespace {

// Labels go inside a double-quoted DOT string: only the backslash and the
// double quote need escaping there, and everything else is written as it is.
void append_dot_quoted(std::string& out, std::string_view text) {
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
}

}  // namespace

// Rendered from one view: the node count and outputs as of one hold of the
// lock, with records below the count read afterwards (they never change). The
// text is therefore exactly what rendering under the lock would give, without
// holding up writers while labels are formatted.
std::string GraphStore::to_dot() const {
  const ArenaView arena = view();

  // Output lists may be long for generated graphs; a bitmap keeps the per-node
  // test constant instead of a scan of the list.
  std::vector<bool> is_output(arena.size(), false);
  for (NodeId id : arena.outputs()) is_output[id] = true;

  std::string out = "digraph korvane {\n";
  for (NodeId id = 0; id < arena.size(); ++id) {
    out += "  n";
    out += std::to_string(id);
    out += " [label=\"";
    append_dot_quoted(out, label(arena.node(id)));
    out += '"';
    if (is_output[id]) out += ", shape=doublecircle";
    out += "];\n";
  }
  for (NodeId id = 0; id < arena.size(); ++id) {
    const RecordInputs node_inputs = record_inputs(arena.record(id));
    const std::string consumer = " -> n" + std::to_string(id) + ";\n";
    for (std::uint32_t i = 0; i < node_inputs.size(); ++i) {
      out += "  n";
      out += std::to_string(node_inputs[i]);
      out += consumer;
    }
  }
  out += "}\n";
  return out;
}

}  // namespace korvane
