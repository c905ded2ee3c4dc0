#include "engine.hpp"

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string>

#include "error.hpp"

namespace korvane {

namespace {

std::string concat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view part : parts) out.append(part);
  return out;
}

egraph::Rewrite make_rule(const std::string& name, const std::string& searcher,
                          const std::string& applier) {
  auto rule = egraph::Rewrite::parse(name, searcher, applier);
  if (!rule) throw InternalError("rewrite rule table is malformed: " + rule.error());
  return std::move(*rule);
}

}  // namespace

EggEngine::EggEngine() {
  rules_.reserve(kCommutativeOps.size() + kIdentityTokens.size());
  for (std::string_view op : kCommutativeOps) {
    rules_.push_back(make_rule(concat({"commute-", op}), concat({"(op|", op, " ?a ?b)"}),
                               concat({"(op|", op, " ?b ?a)"})));
  }
  for (std::size_t k = 0; k < kIdentityTokens.size(); ++k) {
    rules_.push_back(make_rule(concat({"identity-", std::to_string(k)}),
                               concat({"(", kIdentityTokens[k], " ?x)"}), "?x"));
  }
}

egraph::Runner EggEngine::run(const EngineGraph& graph, std::vector<egraph::Id>& ids) const {
  const std::size_t n = graph.size();

  // Load: one e-node per engine node, each token interned as a symbol once,
  // in the order of first use.
  egraph::EGraph egraph;
  egraph.reserve(n);
  const TokenTable& tokens = graph.tokens();
  std::vector<egraph::GlobalSymbol> symbols(tokens.size(), egraph::GlobalSymbol::from_number(0));
  for (Position p = 0; p < n; ++p) {
    const TokenId token = graph.token(p);
    if (symbols[token].number() == 0) symbols[token] = egraph::GlobalSymbol::intern(tokens.text(token));
  }
  ids.clear();
  ids.reserve(n);
  using egraph::Id;
  const auto enode_at = [&](Position p) {
    egraph::Children children;
    for (Position x : graph.inputs(p)) children.push_back(ids[x]);
    return egraph::SymbolLang(symbols[graph.token(p)], std::move(children));
  };
  // Loading probes the hash-cons at random (the classes of a node's inputs
  // are mostly recent, so in cache). A node a few positions ahead is hashed
  // early to start reading its slot; an input not loaded yet gets the id it
  // will have if every node up to it is new, as nodes of a store are.
  constexpr Position kAhead = 8;
  Positions ahead_children;
  const auto prefetch_at = [&](Position p) {
    ahead_children.clear();
    for (Position x : graph.inputs(p)) {
      ahead_children.push_back(x < ids.size() ? ids[x]
                                              : static_cast<Id>(egraph.id_count() + (x - ids.size())));
    }
    egraph.prefetch_probe(symbols[graph.token(p)], ahead_children);
  };
  for (Position p = 0; p < n; ++p) {
    if (p + kAhead < n) prefetch_at(p + kAhead);
    ids.push_back(egraph.add(enode_at(p)));
  }

  // Run the rules. Whatever ends the run, the e-graph comes back rebuilt, and
  // the equalities it holds are sound.
  egraph::Runner runner;
  runner.set_iteration_limit(iteration_limit_);
  runner.set_node_limit(node_limit(n));
  runner.set_time_limit(egraph::Runner::kDefaultTimeLimit);
  runner.set_clock(clock_);
  runner.set_scheduler(std::make_unique<egraph::BackoffScheduler>());
  runner.set_egraph(std::move(egraph));
  runner.run(rules_);
  return runner;
}

namespace {

// Each class is represented by its lowest position; canonical positions
// follow the representatives, so the canonical graph keeps the relative
// order of the survivors and its inputs point backwards. `classes` holds each
// position's class (a canonical id below `class_count`).
Canonical keep_lowest_positions(const EngineGraph& graph, const std::vector<egraph::Id>& classes,
                                std::size_t class_count) {
  const std::size_t n = graph.size();
  Positions canonical_of_class(class_count, kNoPosition);
  Canonical out{EngineGraph(graph.shared_tokens()), Positions(n)};
  out.graph.reserve(n, graph.edge_count());
  Positions ins;
  for (Position p = 0; p < n; ++p) {
    Position& canonical = canonical_of_class[classes[p]];
    if (canonical == kNoPosition) {
      ins.clear();
      for (Position x : graph.inputs(p)) ins.push_back(out.map[x]);
      canonical = out.graph.add(graph.token(p), ins);
    }
    out.map[p] = canonical;
  }
  out.graph.outputs.reserve(graph.outputs.size());
  for (Position o : graph.outputs) out.graph.outputs.push_back(out.map[o]);
  // One node per class of a rebuilt e-graph, which is closed under
  // congruence: two canonical nodes with one token and the same canonical
  // inputs would be equal e-nodes in two classes.
  out.congruent = true;
  return out;
}

}  // namespace

Canonical EggEngine::canonicalize(const EngineGraph& graph) const {
  // Only each position's class outlives the run; the e-graph is freed before
  // the canonical graph is built.
  std::vector<egraph::Id> classes;
  std::size_t class_count = 0;
  {
    const egraph::Runner runner = run(graph, classes);
    const egraph::EGraph& saturated = runner.egraph();
    for (egraph::Id& id : classes) id = saturated.find(id);
    class_count = saturated.id_count();
  }
  return keep_lowest_positions(graph, classes, class_count);
}

}  // namespace korvane
