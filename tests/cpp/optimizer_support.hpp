// Node builders and a hash-consing rewrite engine shared by the optimizer tests.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "node.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/flat_table.hpp"
#include "store.hpp"

namespace korvane::testing {

inline ParamMap params(std::vector<ParamEntry> entries) { return make_param_map(std::move(entries)); }

inline NodeKey src(std::string name, ParamMap p = {}) {
  return NodeKey{SourceNode{std::move(name), std::move(p)}};
}
inline NodeKey op(std::string name, NodeIds inputs, ParamMap p = {}) {
  return NodeKey{OpNode{std::move(name), std::move(p), std::move(inputs)}};
}
inline NodeKey red(std::string name, NodeIds inputs, ParamMap p = {}) {
  return NodeKey{ReductionNode{std::move(name), std::move(p), std::move(inputs)}};
}
inline NodeKey exch(NodeIds inputs, ParamMap p = {}) {
  return NodeKey{ExchangeNode{std::move(p), std::move(inputs)}};
}
inline NodeKey join(NodeIds inputs, ParamMap p = {}) {
  return NodeKey{JoinNode{std::move(p), std::move(inputs)}};
}
inline NodeKey ext(PayloadDescriptor d, NodeIds inputs, ParamMap p = {}) {
  return NodeKey{ExternalNode{std::make_shared<const PayloadDescriptor>(std::move(d)),
                              std::move(p), std::move(inputs)}};
}
inline NodeKey stage(NodeIds inputs, std::vector<StageOp> members) {
  return NodeKey{StageNode{std::move(inputs), std::move(members)}};
}

// The identity forms the rule set removes: x + 0.0 and x * 1.0, either side.
inline ParamMap identity_params(double scalar, const char* side) {
  return params({{"scalar", ParamValue::of_float(scalar)}, {"side", ParamValue::of_str(side)}});
}

inline std::unique_ptr<GraphStore> store_of(const std::vector<NodeKey>& nodes,
                                            const NodeIds& outputs = {}) {
  auto store = std::make_unique<GraphStore>();
  for (const NodeKey& node : nodes) store->intern(node);
  for (NodeId o : outputs) store->mark_output(o);
  return store;
}

inline std::vector<NodeKey> nodes_of(const GraphStore& store) { return store.snapshot().nodes; }

// Merges only what hash-consing proves equal: the same token on inputs that
// are already merged. Stands in for a rule engine wherever the rules are not
// what is being tested.
class HashConsEngine : public RewriteEngine {
 public:
  Canonical canonicalize(const EngineGraph& graph) const override {
    Canonical out{EngineGraph(graph.shared_tokens()), Positions(graph.size())};
    opt::IndexTable seen(graph.size());
    Positions ins;
    for (Position p = 0; p < graph.size(); ++p) {
      ins.clear();
      std::uint64_t hash = graph.token(p);
      for (Position x : graph.inputs(p)) {
        ins.push_back(out.map[x]);
        hash = opt::hash_combine(hash, out.map[x]);
      }
      const auto candidate = static_cast<Position>(out.graph.size());
      const Position at = seen.find_or_insert(hash, candidate, [&](std::uint32_t q) {
        const auto other = out.graph.inputs(q);
        return out.graph.token(q) == graph.token(p) &&
               std::equal(other.begin(), other.end(), ins.begin(), ins.end());
      });
      if (at == candidate) out.graph.add(graph.token(p), ins);
      out.map[p] = at;
    }
    for (Position o : graph.outputs) out.graph.outputs.push_back(out.map[o]);
    return out;
  }
};

}  // namespace korvane::testing
