// Fuzz target for the pattern parser, compiler and matching machine. A text
// either is refused with an error that has a message, or gives a pattern AST
// whose children precede their parents; the pattern compiles, and searching
// an e-graph that holds an instance of it finds that instance under exactly
// the substitution it was built from.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/pattern.hpp"

namespace {

using namespace korvane::egraph;

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "pattern parser: %s\n", what);
    std::abort();
  }
}

// An operator prints unambiguously when it holds nothing that ends an atom,
// starts a quoted string, or is stripped from the ends of a pattern text.
bool plain_op(std::string_view op) {
  return !op.empty() && op.find_first_of(" \t\n\r\f\v()\"") == std::string_view::npos;
}

void check_structure(const PatternAst& ast) {
  require(!ast.empty(), "parsed pattern has no nodes");
  for (std::size_t i = 0; i < ast.size(); ++i) {
    const ENodeOrVar& node = ast[i];
    require(!node.is_var || node.children().empty(), "variable with children");
    require(!node.is_var || is_var_name(node.as_var().name()), "variable without a variable name");
    for (Id child : node.children()) require(child < i, "child does not precede its parent");
  }
}

bool all_plain(const PatternAst& ast) {
  for (const ENodeOrVar& node : ast.nodes()) {
    if (!plain_op(node.node.op.as_str())) return false;
  }
  return true;
}

// Builds the pattern's instance with every variable bound to a class of its
// own, then searches the rebuilt e-graph for it.
void check_instance_is_found(const Pattern& pattern) {
  EGraph egraph;
  Subst bound;
  const std::vector<Var> vars = pattern.vars();
  for (std::size_t k = 0; k < vars.size(); ++k) {
    const Id leaf = egraph.add(SymbolLang::from_op("fuzz-leaf-" + std::to_string(k), {}));
    bound.insert(vars[k], leaf);
  }
  std::vector<Id> scratch;
  const Id instance = pattern.apply_pat(egraph, bound, scratch);
  egraph.rebuild();

  const auto in_class = pattern.search_eclass_with_limit(egraph, egraph.find(instance), 1000);
  require(in_class.has_value(), "instance not found in its class");
  bool found_binding = false;
  for (const Subst& subst : in_class->substs) {
    require(subst.size() == vars.size(), "substitution does not bind every variable once");
    bool same = true;
    for (const Var& var : vars) {
      const auto id = subst.get(var);
      require(id.has_value(), "variable missing from a substitution");
      same = same && egraph.find(*id) == egraph.find(*bound.get(var));
    }
    found_binding = found_binding || same;
  }
  require(found_binding, "instance found under other bindings only");

  bool class_listed = false;
  for (const SearchMatches& matches : pattern.search_with_limit(egraph, 1000)) {
    class_listed = class_listed || egraph.find(matches.eclass) == egraph.find(instance);
  }
  require(class_listed, "whole-graph search misses the instance's class");
  const auto limited = pattern.search_with_limit(egraph, 1);
  require(limited.size() == 1 && limited.front().substs.size() == 1, "limit 1 not honoured");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto parsed = parse_pattern(input);
  if (!parsed) {
    require(!to_string(parsed.error()).empty(), "empty error message");
    return 0;
  }
  check_structure(*parsed);
  if (all_plain(*parsed)) {
    const auto again = parse_pattern(to_string(*parsed));
    require(again.has_value(), "printed pattern does not parse");
    require(*again == *parsed, "printed pattern parses to another AST");
  }
  const Pattern pattern(*parsed);
  check_structure(pattern.ast());
  require(pattern.ast().size() <= parsed->size(), "compaction grew the pattern");
  check_instance_is_found(pattern);
  return 0;
}
