#include "optimizer/cse.hpp"

#include <gtest/gtest.h>

namespace korvane {
namespace {

EngineNode src(const char* name) { return {std::string("src|") + name, {}, true}; }
EngineNode op(const char* name, Positions inputs) {
  return {std::string("op|") + name, std::move(inputs), false};
}

TEST(Cse, MergesTheSameTokenOnTheSameInputs) {
  const EngineGraph graph =
      EngineGraph::from_nodes({src("a"), src("b"), op("f", {0, 1}), op("f", {0, 1})}, {3, 2});
  const CseResult r = cse(graph);
  EXPECT_EQ(r.graph.to_nodes(),
            (std::vector<EngineNode>{src("a"), src("b"), op("f", {0, 1})}));
  EXPECT_EQ(r.map, (Positions{0, 1, 2, 2}));
  EXPECT_EQ(r.graph.outputs, (Positions{2, 2}));
}

TEST(Cse, InputOrderMatters) {
  const EngineGraph graph =
      EngineGraph::from_nodes({src("a"), src("b"), op("add", {0, 1}), op("add", {1, 0})}, {});
  EXPECT_EQ(cse(graph).graph.size(), 4u);
}

TEST(Cse, MergesChainsWhoseInputsMergeFirst) {
  // The chain f -> g is built twice on one source.
  const EngineGraph graph = EngineGraph::from_nodes(
      {src("s"), op("f", {0}), op("g", {1}), op("f", {0}), op("g", {3}), op("h", {2, 4})}, {5});
  const CseResult r = cse(graph);
  EXPECT_EQ(r.map, (Positions{0, 1, 2, 1, 2, 3}));
  EXPECT_EQ(r.graph.to_nodes().back(), op("h", {2, 2}));
  EXPECT_EQ(r.graph.outputs, (Positions{3}));
}

TEST(Cse, DifferentTokensOnTheSameInputsStay) {
  const EngineGraph graph = EngineGraph::from_nodes(
      {src("s"), op("f", {0}), op("g", {0}), src("t"), {"src|s", {}, true}}, {1, 2});
  const CseResult r = cse(graph);
  // Node 4 repeats node 0: a boundary node merges like any other.
  EXPECT_EQ(r.map, (Positions{0, 1, 2, 3, 0}));
}

TEST(Cse, GraphWithoutRepeatsIsUnchanged) {
  const std::vector<EngineNode> nodes{src("s"), op("f", {0}), op("g", {0, 1}), op("h", {2})};
  const CseResult r = cse(EngineGraph::from_nodes(nodes, {3, 1}));
  EXPECT_EQ(r.graph.to_nodes(), nodes);
  EXPECT_EQ(r.map, (Positions{0, 1, 2, 3}));
  EXPECT_EQ(r.graph.outputs, (Positions{3, 1}));
}

}  // namespace
}  // namespace korvane
