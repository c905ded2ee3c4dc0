// Fuzz target for parse_op_token. Whatever a token text parses to must come
// back unchanged through the node it describes: rebuilding the Op or
// Reduction node, taking its token and parsing that again gives the same
// kind, name and parameters, and the rebuilt token is a fixed point.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "node.hpp"
#include "param.hpp"

namespace {

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "op token instability: %s\n", what);
    std::abort();
  }
}

korvane::NodeKey node_of(const korvane::ParsedOpToken& parsed) {
  if (parsed.kind == "op") return korvane::NodeKey{korvane::OpNode{parsed.name, parsed.params, {}}};
  return korvane::NodeKey{korvane::ReductionNode{parsed.name, parsed.params, {}}};
}

bool same(const korvane::ParsedOpToken& a, const korvane::ParsedOpToken& b) {
  return a.kind == b.kind && a.name == b.name && a.params == b.params;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto parsed = korvane::parse_op_token(input);
  if (!parsed) return 0;
  require(parsed->kind == "op" || parsed->kind == "red", "kind is neither op nor red");
  for (std::size_t i = 1; i < parsed->params.size(); ++i) {
    require(parsed->params[i - 1].key <= parsed->params[i].key, "parameters not sorted by key");
  }

  const korvane::NodeKey node = node_of(*parsed);
  const std::string token = korvane::token(node);
  const auto again = korvane::parse_op_token(token);
  require(again.has_value(), "rebuilt token does not parse");
  require(same(*parsed, *again), "rebuilt token parses to something else");
  require(korvane::token(node_of(*again)) == token, "rebuilt token is not a fixed point");
  require(!korvane::label(node).empty(), "empty label");
  return 0;
}
