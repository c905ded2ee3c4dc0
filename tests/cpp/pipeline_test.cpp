#include "optimizer/pipeline.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "error.hpp"
#include "optimizer/node_list.hpp"
#include "optimizer_support.hpp"

namespace korvane {
namespace {

using namespace korvane::testing;

StageRef in(std::uint64_t k) { return StageRef::input(k); }
StageRef mem(std::uint64_t j) { return StageRef::member(j); }

const HashConsEngine kEngine;

void expect_same_store(const GraphStore& a, const GraphStore& b) {
  EXPECT_EQ(nodes_of(a), nodes_of(b));
  EXPECT_EQ(a.outputs(), b.outputs());
}

TEST(ReduceWithMode, NoOutputsGiveAnEmptyReduction) {
  auto store = store_of({src("s"), op("f", {0})});
  auto [reduced, report] = store->reduce_with(kEngine, false);
  EXPECT_EQ(reduced->node_count(), 0u);
  EXPECT_EQ(report, (ReductionReport{2, 0, 0, 0, 0, 0}));
  EXPECT_EQ(reduced->node_map(), NodeMap(2));
}

TEST(ReduceWithMode, SingleOperationBecomesAOneMemberStage) {
  auto store = store_of({src("s"), op("f", {0}), op("dead", {0})}, {1});
  auto [reduced, report] = store->reduce_with(kEngine, false);
  EXPECT_EQ(report, (ReductionReport{3, 2, 2, 1, 2, 1}));
  EXPECT_EQ(nodes_of(*reduced), (std::vector<NodeKey>{src("s"), stage({0}, {{"op|f", {in(0)}}})}));
  EXPECT_EQ(reduced->outputs(), (NodeIds{1}));
  EXPECT_EQ(reduced->node_map(),
            (NodeMap{Landing{0, std::nullopt}, Landing{1, 0}, std::nullopt}));
}

TEST(ReduceWithMode, MergedOutputsLandOnce) {
  // Decoded lists may hold repeats (a store never does); hash-consing merges
  // them and the reduced store marks the shared landing once.
  const std::vector<NodeKey> nodes{src("s"), op("f", {0}), op("f", {0}), op("g", {1}), op("g", {2})};
  Reduced r = reduce_with_mode(nodes, {3, 4}, kEngine, false);
  EXPECT_EQ(r.outputs, (NodeIds{1, 1}));
  EXPECT_EQ(r.node_map[3], r.node_map[4]);
  EXPECT_EQ(r.node_map[1], r.node_map[2]);
  EXPECT_EQ(r.report, (ReductionReport{5, 5, 3, 1, 2, 1}));
  auto [store, report] = GraphStore::from_reduced(std::move(r));
  EXPECT_EQ(store->outputs(), (NodeIds{1}));
}

TEST(ReduceWithMode, ExplicitOutputsIgnoreAndKeepTheMarks) {
  auto store = store_of({src("s"), op("f", {0}), op("g", {0})}, {1});
  auto result = store->reduce_with_outputs({2, 0, 2}, kEngine, false);
  ASSERT_TRUE(result.has_value());
  const GraphStore& reduced = *result->first;
  EXPECT_EQ(nodes_of(reduced), (std::vector<NodeKey>{src("s"), stage({0}, {{"op|g", {in(0)}}})}));
  EXPECT_EQ(reduced.outputs(), (NodeIds{1, 0}));
  EXPECT_EQ(reduced.node_map()[1], std::nullopt);
  EXPECT_EQ(store->outputs(), (NodeIds{1}));
}

TEST(ReduceWithMode, ExplicitOutputOutOfRangeIsRefused) {
  auto store = store_of({src("s"), op("f", {0})}, {1});
  auto result = store->reduce_with_outputs({1, 2, 7}, kEngine, false);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().id, 2u);
  EXPECT_EQ(store->node_count(), 2u);
}

TEST(ReduceWithMode, ReducingTwiceGivesTheSameResult) {
  auto store = store_of({src("s"), op("a", {0}), op("b", {1}), op("c", {1}), op("d", {2, 3}),
                         red("sum", {4}), op("e", {5})},
                        {6, 4});
  for (bool maximal : {false, true}) {
    auto [first, first_report] = store->reduce_with(kEngine, maximal);
    auto [second, second_report] = store->reduce_with(kEngine, maximal);
    expect_same_store(*first, *second);
    EXPECT_EQ(first->node_map(), second->node_map());
    EXPECT_EQ(first_report, second_report);
    EXPECT_EQ(first_report.reduced_nodes, first_report.stages + first_report.boundary_nodes);
  }
}

TEST(ReduceWithMode, StoreAndDecodedNodesReduceAlike) {
  const std::vector<NodeKey> nodes{src("s", params({{"p", ParamValue::of_int(1)}})),
                                   op("f", {0}, params({{"k", ParamValue::of_str("v")}})),
                                   op("g", {1}), op("h", {1}), join({2, 3}), op("k", {4})};
  auto store = store_of(nodes, {5});
  const ArenaView view = store->view();
  for (bool maximal : {false, true}) {
    const Reduced packed = reduce_with_mode(NodeList(view), {5}, kEngine, maximal);
    const Reduced decoded = reduce_with_mode(nodes, {5}, kEngine, maximal);
    EXPECT_EQ(nodes_of(*packed.store), nodes_of(*decoded.store));
    EXPECT_EQ(packed.outputs, decoded.outputs);
    EXPECT_EQ(packed.node_map, decoded.node_map);
    EXPECT_EQ(packed.report, decoded.report);
  }
}

// ---------------------------------------------------------------------------
// Boundary nodes that the public token does not tell apart

TEST(ReduceWithMode, ExternalsWithCollidingTokensStayApart) {
  const PayloadDescriptor pipe_in_kind{"a|b", "c", "fw", "1", "io", std::nullopt};
  const PayloadDescriptor pipe_in_hash{"a", "b|c", "fw", "1", "io", std::nullopt};
  const PayloadDescriptor dash{"a", "b|c", "fw", "1", "io", "-"};
  auto store = store_of({src("s"), ext(pipe_in_kind, {0}), ext(pipe_in_hash, {0}), ext(dash, {0}),
                         join({1, 2, 3})},
                        {4});
  auto [reduced, report] = store->reduce_with(kEngine, false);
  EXPECT_EQ(nodes_of(*reduced), nodes_of(*store));
  EXPECT_EQ(report.canonical_nodes, 5u);
}

TEST(ReduceWithMode, StagesWithEqualMemberCountsStayApart) {
  auto store = store_of({src("s"), stage({0}, {{"op|neg", {in(0)}}}),
                         stage({0}, {{"op|abs", {in(0)}}}), join({1, 2})},
                        {3});
  auto [reduced, report] = store->reduce_with(kEngine, false);
  EXPECT_EQ(nodes_of(*reduced), nodes_of(*store));
}

TEST(ReduceWithMode, ReducingAReducedStoreGivesTheIdenticalStore) {
  const PayloadDescriptor d{"model", "h", "fw", "1", "io", "prep"};
  auto store = store_of({src("s"), op("f", {0}), op("neg", {1}), op("abs", {1}), ext(d, {2}),
                         join({3, 4}), op("g", {5}), red("sum", {6}), op("neg", {0})},
                        {7, 8, 3});
  for (bool maximal : {false, true}) {
    auto [once, once_report] = store->reduce_with(kEngine, maximal);
    auto [twice, twice_report] = once->reduce_with(kEngine, maximal);
    expect_same_store(*once, *twice);
    EXPECT_EQ(twice_report.input_nodes, once->node_count());
    EXPECT_EQ(twice_report.reduced_nodes, once->node_count());
    EXPECT_EQ(twice_report.stages, 0u);
  }
}

TEST(ReduceWithMode, PoisonedStoreStopsEveryEntryPoint) {
  auto store = store_of({src("s"), op("f", {0})}, {1});
  EXPECT_THROW(store->fail_while_locked_for_testing(), InternalError);
  const auto starts_poisoned = [](const InternalError& e) {
    return std::string(e.what()).starts_with("korvane-core store mutex poisoned");
  };
  try {
    store->reduce_with(kEngine, false);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_TRUE(starts_poisoned(e)) << e.what();
  }
  EXPECT_THROW(store->reduce_with_outputs({1}, kEngine, false), InternalError);
  EXPECT_THROW(store->cone({1}), InternalError);
}

TEST(ReduceWithMode, ReducesWhileAnotherThreadInterns) {
  // The reduction reads records below the count it saw without the lock,
  // while the writer appends above it; every reduction sees a consistent
  // prefix of the same chain.
  GraphStore store;
  NodeId last = *store.intern(src("s"));
  for (int k = 0; k < 100; ++k) last = *store.intern(op("f", {last}, params({{"k", ParamValue::of_int(k)}})));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    NodeId tip = last;
    for (int k = 0; k < 20000; ++k) {
      tip = *store.intern(op(k % 2 ? "add" : "g", {tip, 0}, params({{"k", ParamValue::of_int(k)}})));
    }
    done = true;
  });
  int reductions = 0;
  while (!done || reductions == 0) {
    const std::uint64_t seen = store.node_count();
    auto result = store.reduce_with_outputs({seen - 1}, kEngine, reductions % 2 == 1);
    ASSERT_TRUE(result.has_value());
    const ReductionReport& report = result->second;
    EXPECT_GE(report.input_nodes, seen);
    EXPECT_EQ(report.reachable_nodes, seen);
    EXPECT_EQ(report.reduced_nodes, report.stages + report.boundary_nodes);
    ++reductions;
  }
  writer.join();
}

// ---------------------------------------------------------------------------
// Cones

TEST(Cone, ChainKeepsItsIds) {
  auto store = store_of({src("s"), op("a", {0}), op("b", {1}), op("c", {2})});
  auto whole = store->cone({3});
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(nodes_of(**whole), nodes_of(*store));
  auto upto_b = store->cone({2});
  ASSERT_TRUE(upto_b.has_value());
  EXPECT_EQ(nodes_of(**upto_b), (std::vector<NodeKey>{src("s"), op("a", {0}), op("b", {1})}));
  EXPECT_EQ((*upto_b)->node_map(), (NodeMap{Landing{0, std::nullopt}, Landing{1, std::nullopt},
                                            Landing{2, std::nullopt}, std::nullopt}));
}

TEST(Cone, DropsUnreachedNodesAndMarksOutputsOnce) {
  auto store = store_of({src("s"), op("f", {0}), op("g", {0}), op("h", {1})}, {2});
  auto cone = store->cone({3, 1, 3});
  ASSERT_TRUE(cone.has_value());
  EXPECT_EQ(nodes_of(**cone), (std::vector<NodeKey>{src("s"), op("f", {0}), op("h", {1})}));
  EXPECT_EQ((*cone)->outputs(), (NodeIds{2, 1}));
  EXPECT_EQ((*cone)->node_map(), (NodeMap{Landing{0, std::nullopt}, Landing{1, std::nullopt},
                                          std::nullopt, Landing{2, std::nullopt}}));
  EXPECT_EQ(store->outputs(), (NodeIds{2}));
}

TEST(Cone, EmptyAndOutOfRangeOutputs) {
  auto store = store_of({src("s"), op("f", {0})});
  auto empty = store->cone({});
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ((*empty)->node_count(), 0u);
  EXPECT_EQ((*empty)->node_map(), NodeMap(2));
  auto bad = store->cone({0, 2});
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().id, 2u);
}

// ---------------------------------------------------------------------------
// Rebuilding a store from a reduction

TEST(FromReduced, BrokenReductionsStopWithTheirMessage) {
  Reduced bad_output;
  bad_output.store = store_of({src("s")});
  bad_output.outputs = {1};
  try {
    GraphStore::from_reduced(std::move(bad_output));
    FAIL() << "an output beyond the nodes was accepted";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "reduced output is valid");
  }

  Reduced bad_landing;
  bad_landing.store = store_of({src("s")});
  bad_landing.node_map = {Landing{1, std::nullopt}};
  try {
    GraphStore::from_reduced(std::move(bad_landing));
    FAIL() << "a landing beyond the nodes was accepted";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "reduced node map is valid");
  }
}

TEST(FromReduced, MarksOutputsOnceSetsTheNodeMapAndKeepsTheReport) {
  Reduced r;
  r.store = store_of({src("s"), stage({0}, {{"op|f", {in(0)}}, {"op|g", {mem(0)}}})});
  r.outputs = {1, 1, 0};
  r.node_map = {Landing{0, std::nullopt}, std::nullopt, Landing{1, 1}};
  r.report = {3, 2, 2, 1, 2, 1};
  auto [store, report] = GraphStore::from_reduced(std::move(r));
  EXPECT_EQ(store->outputs(), (NodeIds{1, 0}));
  EXPECT_EQ(store->node_map(), (NodeMap{Landing{0, std::nullopt}, std::nullopt, Landing{1, 1}}));
  EXPECT_EQ(report, (ReductionReport{3, 2, 2, 1, 2, 1}));
}

}  // namespace
}  // namespace korvane
