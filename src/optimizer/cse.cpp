#include "cse.hpp"

#include <algorithm>

namespace korvane {

CseResult cse(const EngineGraph& graph) {
  const std::size_t n = graph.size();
  CseResult result{EngineGraph(graph.shared_tokens()), {}};
  EngineGraph& out = result.graph;
  out.reserve(n, graph.edge_count());
  result.map.resize(n);

  // The key of a deduplicated node is its token and its rewritten inputs; the
  // table stores only positions and compares against the output graph.
  opt::IndexTable seen(n);
  Positions ins;
  for (Position p = 0; p < n; ++p) {
    ins.clear();
    for (Position input : graph.inputs(p)) ins.push_back(result.map[input]);
    const TokenId token = graph.token(p);
    std::uint64_t hash = opt::mix64(token);
    for (Position input : ins) hash = opt::hash_combine(hash, input);

    const auto candidate = static_cast<Position>(out.size());
    const Position found = seen.find_or_insert(hash, candidate, [&](std::uint32_t q) {
      const auto other = out.inputs(q);
      return out.token(q) == token && std::equal(other.begin(), other.end(), ins.begin(), ins.end());
    });
    if (found == candidate) out.add(token, ins);
    result.map[p] = found;
  }

  out.outputs.reserve(graph.outputs.size());
  for (Position o : graph.outputs) out.outputs.push_back(result.map[o]);
  return result;
}

}  // namespace korvane
