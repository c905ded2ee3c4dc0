#include "optimizer/fusion.hpp"

#include <gtest/gtest.h>

#include "optimizer/dce.hpp"
#include "optimizer/node_list.hpp"
#include "optimizer_support.hpp"

namespace korvane {
namespace {

using namespace korvane::testing;

StageRef in(std::uint64_t k) { return StageRef::input(k); }
StageRef mem(std::uint64_t j) { return StageRef::member(j); }
Landing at(NodeId node) { return Landing{node, std::nullopt}; }
Landing at(NodeId node, std::uint64_t member) { return Landing{node, member}; }

// What fusion reports, with the records it emitted.
struct Fused : FusionResult {
  RecordList nodes;
};

// Fuses `nodes`, all of which the outputs must reach (positions stay as given).
Fused fuse(const std::vector<NodeKey>& nodes, const NodeIds& outputs, bool maximal) {
  const NodeList list(nodes);
  const Cone cone = find_cone(list, outputs);
  EXPECT_EQ(cone.kept.size(), nodes.size()) << "every node must be reachable";
  NodeIds first;
  const EngineGraph graph = to_engine_graph(list, cone, first);
  const TemplateTable templates(list, std::move(first));
  Fused fused;
  static_cast<FusionResult&>(fused) = stage_fusion(graph, templates, maximal, fused.nodes);
  EXPECT_EQ(fused.emitted, fused.nodes.size());
  return fused;
}

TEST(StageFusion, ChainBecomesOneStageUnderBothRules) {
  const std::vector<NodeKey> nodes{src("s"), op("a", {0}), op("b", {1}), op("c", {2})};
  for (bool maximal : {false, true}) {
    const Fused r = fuse(nodes, {3}, maximal);
    ASSERT_EQ(r.nodes.size(), 2u);
    EXPECT_EQ(r.nodes.node(0), src("s"));
    EXPECT_EQ(r.nodes.node(1), stage({0}, {{"op|a", {in(0)}}, {"op|b", {mem(0)}}, {"op|c", {mem(1)}}}));
    EXPECT_EQ(r.landings, (NodeMap{at(0), at(1, 0), at(1, 1), at(1, 2)}));
    EXPECT_EQ(r.outputs, (NodeIds{1}));
    EXPECT_EQ(r.stages, 1u);
    EXPECT_EQ(r.boundary_nodes, 1u);
  }
}

TEST(StageFusion, DiamondSplitsUnderSingleUseAndFusesUnderMaximal) {
  // a feeds b and c, which both feed d.
  const std::vector<NodeKey> nodes{src("s"), op("a", {0}), op("b", {1}), op("c", {1}),
                                   op("d", {2, 3})};
  const Fused single = fuse(nodes, {4}, false);
  ASSERT_EQ(single.nodes.size(), 3u);
  EXPECT_EQ(single.nodes.node(1), stage({0}, {{"op|a", {in(0)}}}));
  // b and c read a's stage through one shared slot.
  EXPECT_EQ(single.nodes.node(2),
            stage({1}, {{"op|b", {in(0)}}, {"op|c", {in(0)}}, {"op|d", {mem(0), mem(1)}}}));
  EXPECT_EQ(single.landings,
            (NodeMap{at(0), at(1, 0), at(2, 0), at(2, 1), at(2, 2)}));
  EXPECT_EQ(single.stages, 2u);

  const Fused maximal = fuse(nodes, {4}, true);
  ASSERT_EQ(maximal.nodes.size(), 2u);
  EXPECT_EQ(maximal.nodes.node(1), stage({0}, {{"op|a", {in(0)}},
                                          {"op|b", {mem(0)}},
                                          {"op|c", {mem(0)}},
                                          {"op|d", {mem(1), mem(2)}}}));
  EXPECT_EQ(maximal.stages, 1u);
}

TEST(StageFusion, OperationUsedTwiceByOneConsumer) {
  const std::vector<NodeKey> nodes{src("s"), op("a", {0}), op("mul", {1, 1})};
  const Fused single = fuse(nodes, {2}, false);
  ASSERT_EQ(single.nodes.size(), 3u);
  EXPECT_EQ(single.nodes.node(2), stage({1}, {{"op|mul", {in(0), in(0)}}}));

  const Fused maximal = fuse(nodes, {2}, true);
  ASSERT_EQ(maximal.nodes.size(), 2u);
  EXPECT_EQ(maximal.nodes.node(1), stage({0}, {{"op|a", {in(0)}}, {"op|mul", {mem(0), mem(0)}}}));
}

TEST(StageFusion, BoundaryConsumerReadsTheStage) {
  const PayloadDescriptor d{"model", "h", "fw", "1", "io", std::nullopt};
  for (bool maximal : {false, true}) {
    const std::vector<NodeKey> nodes{src("s"), op("a", {0}), op("b", {1}),
                                     red("sum", {2}), exch({3}), ext(d, {4}), join({5, 0})};
    const Fused r = fuse(nodes, {6}, maximal);
    ASSERT_EQ(r.nodes.size(), 6u);
    EXPECT_EQ(r.nodes.node(1), stage({0}, {{"op|a", {in(0)}}, {"op|b", {mem(0)}}}));
    EXPECT_EQ(r.nodes.node(2), red("sum", {1}));
    EXPECT_EQ(r.nodes.node(3), exch({2}));
    EXPECT_EQ(r.nodes.node(4), ext(d, {3}));
    EXPECT_EQ(r.nodes.node(5), join({4, 0}));
    EXPECT_EQ(r.boundary_nodes, 5u);
    EXPECT_EQ(r.stages, 1u);
  }
}

TEST(StageFusion, MarkedOutputEndsAStage) {
  const std::vector<NodeKey> nodes{src("s"), op("a", {0}), op("b", {1}), op("c", {2})};
  for (bool maximal : {false, true}) {
    const Fused r = fuse(nodes, {3, 1}, maximal);
    ASSERT_EQ(r.nodes.size(), 3u);
    EXPECT_EQ(r.nodes.node(1), stage({0}, {{"op|a", {in(0)}}}));
    EXPECT_EQ(r.nodes.node(2), stage({1}, {{"op|b", {in(0)}}, {"op|c", {mem(0)}}}));
    EXPECT_EQ(r.outputs, (NodeIds{2, 1}));
  }
}

TEST(StageFusion, MembersShareSlotsPerProducer) {
  // f reads s and t; g reads t, f and s again; slots follow first use.
  const std::vector<NodeKey> nodes{src("s"), src("t"), op("f", {0, 1}), op("g", {1, 2, 0})};
  const Fused r = fuse(nodes, {3}, false);
  ASSERT_EQ(r.nodes.size(), 3u);
  EXPECT_EQ(r.nodes.node(2), stage({0, 1}, {{"op|f", {in(0), in(1)}}, {"op|g", {in(1), mem(0), in(0)}}}));
}

TEST(StageFusion, AStageReadingManyProducersKeepsOneSlotEach) {
  // A chain whose links each read another source (40 in all), then read
  // three of them again, early and late ones: slots follow first use, and a
  // repeat reuses its slot however many producers came in between.
  constexpr int kSources = 40;
  const NodeId repeats[] = {0, 25, 39};
  std::vector<NodeKey> nodes;
  for (int k = 0; k < kSources; ++k) nodes.push_back(src("s" + std::to_string(k)));
  std::vector<StageOp> members;
  NodeIds stage_inputs;
  for (int k = 0; k < kSources + 3; ++k) {
    const NodeId source = k < kSources ? k : repeats[k - kSources];
    if (k == 0) {
      nodes.push_back(op("f", {source}));
      members.push_back({"op|f", {in(0)}});
    } else {
      nodes.push_back(op("f", {nodes.size() - 1, source}));
      members.push_back({"op|f", {mem(k - 1), in(source)}});
    }
    if (k < kSources) stage_inputs.push_back(source);
  }
  const Fused r = fuse(nodes, {nodes.size() - 1}, false);
  ASSERT_EQ(r.nodes.size(), kSources + 1u);
  EXPECT_EQ(r.nodes.node(kSources), stage(stage_inputs, members));
}

TEST(StageFusion, LoneOperationIsAOneMemberStage) {
  const Fused r = fuse({src("s"), op("f", {0})}, {1}, false);
  ASSERT_EQ(r.nodes.size(), 2u);
  EXPECT_EQ(r.nodes.node(1), stage({0}, {{"op|f", {in(0)}}}));
  EXPECT_EQ(r.landings[1], at(1, 0));
  EXPECT_EQ(r.stages, 1u);
}

TEST(StageFusion, GroupsEmitAfterTheGroupsThatFeedThem) {
  // Under the single-use rule x (a fan-out) ends its stage; y and z join the
  // join node's inputs through separate stages; emission follows each
  // group's last member.
  const std::vector<NodeKey> nodes{src("s"),    op("x", {0}), op("y", {1}), src("t"),
                                   op("z", {1, 3}), join({2, 4}), op("w", {5})};
  const Fused r = fuse(nodes, {6}, false);
  ASSERT_EQ(r.nodes.size(), 7u);
  EXPECT_EQ(r.nodes.node(0), src("s"));
  EXPECT_EQ(r.nodes.node(1), stage({0}, {{"op|x", {in(0)}}}));
  EXPECT_EQ(r.nodes.node(2), stage({1}, {{"op|y", {in(0)}}}));
  EXPECT_EQ(r.nodes.node(3), src("t"));
  EXPECT_EQ(r.nodes.node(4), stage({1, 3}, {{"op|z", {in(0), in(1)}}}));
  EXPECT_EQ(r.nodes.node(5), join({2, 4}));
  EXPECT_EQ(r.nodes.node(6), stage({5}, {{"op|w", {in(0)}}}));
  for (const NodeKey& node : r.nodes.nodes()) EXPECT_NE(node.kind(), NodeKind::Op);
}

TEST(StageFusion, MaximalRuleNeedsAllConsumersInOneStage) {
  // a feeds b and c, which end in different stages (both are outputs), so a
  // stays on its own even under the maximal rule.
  const std::vector<NodeKey> nodes{src("s"), op("a", {0}), op("b", {1}), op("c", {1})};
  const Fused r = fuse(nodes, {2, 3}, true);
  ASSERT_EQ(r.nodes.size(), 4u);
  EXPECT_EQ(r.nodes.node(1), stage({0}, {{"op|a", {in(0)}}}));
  EXPECT_EQ(r.stages, 3u);
}

}  // namespace
}  // namespace korvane
