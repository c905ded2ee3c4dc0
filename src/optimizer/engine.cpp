#include "engine.hpp"

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

Canonical EggEngine::canonicalize(const EngineGraph& graph) const {
  using egraph::Id;
  const std::size_t n = graph.size();

  // Load: one e-node per engine node, each token interned as a symbol once.
  egraph::EGraph egraph;
  egraph.reserve(n);
  const TokenTable& tokens = graph.tokens();
  std::vector<egraph::GlobalSymbol> symbols(tokens.size(), egraph::GlobalSymbol::from_number(0));
  std::vector<Id> ids;
  ids.reserve(n);
  for (Position p = 0; p < n; ++p) {
    const TokenId token = graph.token(p);
    if (symbols[token].number() == 0) symbols[token] = egraph::GlobalSymbol::intern(tokens.text(token));
    egraph::Children children;
    for (Position x : graph.inputs(p)) children.push_back(ids[x]);
    ids.push_back(egraph.add(egraph::SymbolLang(symbols[token], std::move(children))));
  }

  // Run the rules. Whatever ends the run, the e-graph comes back rebuilt, and
  // the equalities it holds are sound.
  egraph::Runner runner;
  runner.set_iteration_limit(iteration_limit_);
  runner.set_node_limit(node_limit(n));
  runner.set_time_limit(egraph::Runner::kDefaultTimeLimit);
  runner.set_scheduler(std::make_unique<egraph::BackoffScheduler>());
  runner.set_egraph(std::move(egraph));
  runner.run(rules_);
  const egraph::EGraph& saturated = runner.egraph();

  // Each class is represented by its lowest position; canonical positions
  // follow the representatives, so the canonical graph keeps the relative
  // order of the survivors and its inputs point backwards.
  std::vector<Position> canonical_of_class(saturated.id_count(), kNoPosition);
  Canonical out{EngineGraph(graph.shared_tokens()), std::vector<Position>(n)};
  out.graph.reserve(n, graph.edge_count());
  Positions ins;
  for (Position p = 0; p < n; ++p) {
    const Id cls = saturated.find(ids[p]);
    Position& canonical = canonical_of_class[cls];
    if (canonical == kNoPosition) {
      ins.clear();
      for (Position x : graph.inputs(p)) ins.push_back(out.map[x]);
      canonical = out.graph.add(graph.token(p), ins);
    }
    out.map[p] = canonical;
  }
  out.graph.outputs.reserve(graph.outputs.size());
  for (Position o : graph.outputs) out.graph.outputs.push_back(out.map[o]);
  return out;
}

}  // namespace korvane
