#include "optimizer/dce.hpp"

#include <gtest/gtest.h>

#include "optimizer/node_list.hpp"
#include "optimizer_support.hpp"

namespace korvane {
namespace {

using namespace korvane::testing;
using Renumbering = std::vector<std::optional<NodeId>>;

// source -> a -> b -> c
std::vector<NodeKey> chain() {
  return {src("s"), op("a", {0}), op("b", {1}), op("c", {2})};
}

TEST(DeadCodeElimination, ChainKeepsWhatTheOutputNeeds) {
  const auto nodes = chain();
  DeadCodeResult all = dead_code_elimination(nodes, {3});
  EXPECT_EQ(all.nodes, nodes);
  EXPECT_EQ(all.outputs, (NodeIds{3}));
  EXPECT_EQ(all.renumbering, (Renumbering{0, 1, 2, 3}));

  DeadCodeResult upto_b = dead_code_elimination(nodes, {2});
  EXPECT_EQ(upto_b.nodes, (std::vector<NodeKey>{src("s"), op("a", {0}), op("b", {1})}));
  EXPECT_EQ(upto_b.renumbering, (Renumbering{0, 1, 2, std::nullopt}));
}

TEST(DeadCodeElimination, RenumbersDenselyAndRewritesInputs) {
  const std::vector<NodeKey> nodes{src("s"), op("f", {0}), op("g", {0}), op("h", {1})};
  DeadCodeResult r = dead_code_elimination(nodes, {3});
  EXPECT_EQ(r.nodes, (std::vector<NodeKey>{src("s"), op("f", {0}), op("h", {1})}));
  EXPECT_EQ(r.renumbering, (Renumbering{0, 1, std::nullopt, 2}));
  EXPECT_EQ(r.outputs, (NodeIds{2}));
}

TEST(DeadCodeElimination, OutputsKeepOrderAndRepeats) {
  const std::vector<NodeKey> nodes{src("s"), op("f", {0}), op("g", {0}), op("h", {1})};
  EXPECT_EQ(dead_code_elimination(nodes, {3, 1, 3}).outputs, (NodeIds{2, 1, 2}));
}

TEST(DeadCodeElimination, EmptyOutputsKeepNothing) {
  DeadCodeResult r = dead_code_elimination(chain(), {});
  EXPECT_TRUE(r.nodes.empty());
  EXPECT_TRUE(r.outputs.empty());
  EXPECT_EQ(r.renumbering, Renumbering(4, std::nullopt));
}

TEST(DeadCodeElimination, SharedInputsAreKeptOnceAndBoundaryKindsAreNotRoots) {
  // A diamond reaches its source along two paths; the external and the
  // exchange hang off it but no output reaches them.
  const PayloadDescriptor d{"model", "h", "fw", "1", "io", std::nullopt};
  const std::vector<NodeKey> nodes{src("s"),           op("l", {0}),   op("r", {0}),
                                   ext(d, {0}),        exch({0}),      join({1, 2}),
                                   op("m", {5, 5, 1})};
  DeadCodeResult r = dead_code_elimination(nodes, {6});
  EXPECT_EQ(r.nodes.size(), 5u);
  EXPECT_EQ(r.renumbering, (Renumbering{0, 1, 2, std::nullopt, std::nullopt, 3, 4}));
  EXPECT_EQ(r.nodes[4], op("m", {3, 3, 1}));
}

TEST(DeadCodeElimination, StoreRecordsGiveTheSameCone) {
  const std::vector<NodeKey> nodes{src("s"), op("f", {0}), op("g", {0}), op("h", {1}),
                                   join({3, 0}), stage({4, 1}, {{"op|k", {StageRef::input(1)}}})};
  auto store = store_of(nodes);
  const ArenaView view = store->view();
  const Cone from_records = find_cone(NodeList(view), {5, 3});
  const Cone from_nodes = find_cone(NodeList(nodes), {5, 3});
  EXPECT_EQ(from_records.kept, from_nodes.kept);
  EXPECT_EQ(from_records.position, from_nodes.position);
  EXPECT_EQ(from_records.outputs, from_nodes.outputs);
  EXPECT_EQ(from_nodes.kept, (NodeIds{0, 1, 3, 4, 5}));
}

}  // namespace
}  // namespace korvane
