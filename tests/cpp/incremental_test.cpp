#include "optimizer/incremental.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "optimizer/guarded_reducer.hpp"
#include "optimizer_support.hpp"
#include "store.hpp"

namespace korvane {
namespace {

using testing::identity_params;
using testing::op;
using testing::store_of;

NodeKey source(std::string name) { return testing::src(std::move(name)); }

NodeKey add_zero(NodeIds inputs, const char* side = "r") {
  return op("add", std::move(inputs), identity_params(0.0, side));
}

// A reducer fed `nodes` in one step.
IncrementalReducer fed(const std::vector<NodeKey>& nodes) {
  IncrementalReducer reducer;
  auto result = reducer.step(nodes);
  EXPECT_TRUE(result.has_value());
  return reducer;
}

std::vector<NodeKey> canonical_nodes(const IncrementalReducer& reducer) {
  std::vector<NodeKey> nodes;
  for (std::uint64_t p = 0; p < reducer.canonical_count(); ++p) nodes.push_back(reducer.canonical_node(p));
  return nodes;
}

// ---------------------------------------------------------------------------
// Identity elimination

TEST(IncrementalStep, UnaryIdentityTakesItsOperandsPlace) {
  const std::vector<NodeKey> nodes = {
      source("a"),
      add_zero({0}, "r"),
      add_zero({1}, "l"),
      op("mul", {2}, identity_params(1.0, "r")),
      op("mul", {3}, identity_params(1.0, "l")),
      op("neg", {4}),
  };
  IncrementalReducer reducer = fed(nodes);
  EXPECT_EQ(reducer.watermark(), 6u);
  EXPECT_EQ(reducer.canonical_count(), 2u);
  EXPECT_EQ(reducer.consumed(), (std::vector<std::uint64_t>{0, 0, 0, 0, 0, 1}));
  // Consumers read the operand.
  EXPECT_EQ(reducer.canonical_node(1), op("neg", {0}));
}

TEST(IncrementalStep, IdentityWithoutOneInputIsAnOrdinaryOperation) {
  IncrementalReducer reducer = fed({
      source("a"),
      source("b"),
      add_zero({0, 1}),  // two inputs: not an identity, keeps both operands
      add_zero({}),      // no operand to forward to
      add_zero({}),
  });
  EXPECT_EQ(reducer.consumed(), (std::vector<std::uint64_t>{0, 1, 2, 3, 3}));
  EXPECT_EQ(reducer.canonical_node(2), add_zero({0, 1}));
  EXPECT_EQ(reducer.canonical_node(3), add_zero({}));
}

TEST(IncrementalStep, NearIdentitiesStay) {
  auto extra = identity_params(0.0, "r");
  extra.push_back({"t", ParamValue::of_int(1)});
  IncrementalReducer reducer = fed({
      source("a"),
      op("add", {0}, identity_params(-0.0, "r")),
      op("add", {0}, identity_params(1.0, "r")),
      op("mul", {0}, identity_params(0.0, "r")),
      op("add", {0}, identity_params(0.0, "x")),
      op("add", {0}, make_param_map({{"scalar", ParamValue::of_int(0)}, {"side", ParamValue::of_str("r")}})),
      op("add", {0}, make_param_map(extra)),
      op("add", {0}, make_param_map({{"scalar", ParamValue::of_float(0.0)}})),
      NodeKey{ReductionNode{"add", identity_params(0.0, "r"), {0}}},
  });
  EXPECT_EQ(reducer.canonical_count(), 9u);
}

// ---------------------------------------------------------------------------
// Commutativity and hash-consing

TEST(IncrementalStep, CommutedDuplicateKeepsTheFirstForm) {
  for (const char* name : {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"}) {
    IncrementalReducer reducer = fed({source("a"), source("b"), op(name, {1, 0}), op(name, {0, 1})});
    EXPECT_EQ(reducer.consumed(), (std::vector<std::uint64_t>{0, 1, 2, 2})) << name;
    EXPECT_EQ(reducer.canonical_node(2), op(name, {1, 0})) << name;
  }
}

TEST(IncrementalStep, OnlyParameterlessBinaryCommutativeOpsAreSwapped) {
  const ParamMap p = make_param_map({{"k", ParamValue::of_int(1)}});
  IncrementalReducer reducer = fed({
      source("a"), source("b"), source("c"),
      op("sub", {0, 1}), op("sub", {1, 0}),              // not commutative
      op("add", {0, 1}, p), op("add", {1, 0}, p),        // parameters present
      op("add", {0, 1, 2}), op("add", {1, 0, 2}),        // three operands
      NodeKey{ReductionNode{"add", {}, {0, 1}}}, NodeKey{ReductionNode{"add", {}, {1, 0}}},
      op("add", {0, 0}), op("add", {0, 0}),              // equal, not swapped
  });
  EXPECT_EQ(reducer.consumed(),
            (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 11}));
}

TEST(IncrementalStep, EqualNodesAfterRewritingShareAPosition) {
  IncrementalReducer reducer = fed({
      source("a"),
      op("neg", {0}),
      add_zero({0}),
      op("neg", {2}),            // neg of a again, through the identity
      op("add", {1, 3}),         // add(neg a, neg a)
      op("add", {3, 1}),
      source("a"),               // a repeat that the store would not hold: still merged
  });
  EXPECT_EQ(reducer.consumed(), (std::vector<std::uint64_t>{0, 1, 0, 1, 2, 2, 0}));
  EXPECT_EQ(reducer.canonical_count(), 3u);
}

TEST(IncrementalStep, FloatParametersFollowNodeEquality) {
  const auto with_x = [](double x) {
    return op("scale", {0}, make_param_map({{"x", ParamValue::of_float(x)}}));
  };
  double nan_a, nan_b;
  const std::uint64_t bits_a = 0x7FF8000000000001ull, bits_b = 0xFFF0000000000100ull;
  std::memcpy(&nan_a, &bits_a, 8);
  std::memcpy(&nan_b, &bits_b, 8);
  IncrementalReducer reducer = fed({source("a"), with_x(nan_a), with_x(nan_b), with_x(0.0), with_x(-0.0)});
  EXPECT_EQ(reducer.consumed(), (std::vector<std::uint64_t>{0, 1, 1, 2, 3}));
}

TEST(IncrementalStep, InputsOfEveryKindAreRewritten) {
  auto descriptor = std::make_shared<const PayloadDescriptor>(
      PayloadDescriptor{"model", "h", "fw", "1", "io", std::nullopt});
  const ParamMap scheme = make_param_map({{"scheme", ParamValue::of_str("hash")}});
  IncrementalReducer reducer = fed({
      source("a"),                                         // 0 -> 0
      source("b"),                                         // 1 -> 1
      add_zero({1}),                                       // 2 -> 1
      NodeKey{ReductionNode{"sum", {}, {2}}},              // 3 -> 2
      NodeKey{ExternalNode{descriptor, {}, {2, 0}}},       // 4 -> 3
      NodeKey{ExchangeNode{scheme, {2}}},                  // 5 -> 4
      NodeKey{JoinNode{{}, {0, 2}}},                       // 6 -> 5
      NodeKey{StageNode{{2, 0}, {StageOp{"op|neg", {StageRef::input(0)}},
                                 StageOp{"op|abs", {StageRef::member(0)}}}}},  // 7 -> 6
      NodeKey{StageNode{{1, 0}, {StageOp{"op|neg", {StageRef::input(0)}},
                                 StageOp{"op|abs", {StageRef::member(0)}}}}},  // equal to 7
  });
  EXPECT_EQ(reducer.consumed(), (std::vector<std::uint64_t>{0, 1, 1, 2, 3, 4, 5, 6, 6}));
  EXPECT_EQ(inputs(reducer.canonical_node(2)), (NodeIds{1}));
  EXPECT_EQ(inputs(reducer.canonical_node(3)), (NodeIds{1, 0}));
  EXPECT_EQ(inputs(reducer.canonical_node(4)), (NodeIds{1}));
  EXPECT_EQ(inputs(reducer.canonical_node(5)), (NodeIds{0, 1}));
  const NodeKey stage = reducer.canonical_node(6);
  EXPECT_EQ(inputs(stage), (NodeIds{1, 0}));
  EXPECT_EQ(stage.as<StageNode>().members.size(), 2u);
}

// ---------------------------------------------------------------------------
// Steps and counters

TEST(IncrementalStep, EmptyDeltaChangesNothing) {
  IncrementalReducer reducer;
  auto result = reducer.step(std::vector<NodeKey>{});
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, 0u);
  EXPECT_EQ(reducer.watermark(), 0u);
  EXPECT_EQ(reducer.canonical_count(), 0u);
  EXPECT_EQ(reducer.total_work(), 0u);
}

TEST(IncrementalStep, UnconsumedInputStopsTheStep) {
  IncrementalReducer reducer = fed({source("a")});
  auto result = reducer.step({op("neg", {0}), op("neg", {1}), op("neg", {5}), op("neg", {0})});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().id, 5u);
  // The nodes before the offending one stay consumed; the step's work is not counted.
  EXPECT_EQ(reducer.watermark(), 3u);
  EXPECT_EQ(reducer.total_work(), 1u);
  // An id equal to the watermark is not consumed yet either.
  auto at_watermark = reducer.step({op("neg", {3})});
  ASSERT_FALSE(at_watermark);
  EXPECT_EQ(at_watermark.error().id, 3u);
}

// A random pipeline in store form: every node distinct from the earlier ones,
// inputs naming earlier ids, with identities and commuted twins mixed in.
std::vector<NodeKey> random_pipeline(std::mt19937_64& rng, std::size_t size) {
  std::vector<NodeKey> nodes;
  const char* names[] = {"add", "mul", "sub", "neg", "max", "eq"};
  const auto any = [&] { return static_cast<NodeId>(rng() % nodes.size()); };
  const auto push_new = [&](NodeKey node) {
    if (std::find(nodes.begin(), nodes.end(), node) == nodes.end()) nodes.push_back(std::move(node));
  };
  while (nodes.size() < size) {
    if (nodes.empty() || rng() % 8 == 0) {
      push_new(source("s" + std::to_string(rng() % 4)));
      continue;
    }
    switch (rng() % 6) {
      case 0:
        push_new(add_zero({any()}, rng() % 2 ? "r" : "l"));
        break;
      case 1:
        push_new(op("mul", {any()}, identity_params(1.0, "l")));
        break;
      case 2:
        push_new(op("neg", {any()}));
        break;
      case 3:
        push_new(NodeKey{ReductionNode{"sum", {}, {any()}}});
        break;
      default: {
        push_new(op(names[rng() % 6], {any(), any()}));
        break;
      }
    }
  }
  return nodes;
}

TEST(IncrementalStep, StepBoundariesDoNotMatter) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 30; ++round) {
    const std::vector<NodeKey> nodes = random_pipeline(rng, 60);
    const IncrementalReducer once = fed(nodes);

    IncrementalReducer each;
    IncrementalReducer chunks;
    std::size_t chunk_start = 0;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      ASSERT_TRUE(each.step({nodes[i]}));
      if (rng() % 5 == 0 || i + 1 == nodes.size()) {
        std::vector<NodeKey> delta(nodes.begin() + chunk_start, nodes.begin() + i + 1);
        ASSERT_TRUE(chunks.step(delta));
        chunk_start = i + 1;
        EXPECT_EQ(chunks.total_work(), chunks.watermark());
      }
    }
    for (const IncrementalReducer* other : {&each, &chunks}) {
      EXPECT_EQ(other->consumed(), once.consumed());
      EXPECT_EQ(canonical_nodes(*other), canonical_nodes(once));
      EXPECT_EQ(other->total_work(), nodes.size());
      EXPECT_EQ(other->watermark(), nodes.size());
    }
  }
}

TEST(IncrementalStep, CanonicalFormInvariants) {
  std::mt19937_64 rng(9);
  const std::vector<NodeKey> nodes = random_pipeline(rng, 3000);
  const IncrementalReducer reducer = fed(nodes);
  const std::vector<NodeKey> canonical = canonical_nodes(reducer);
  for (std::uint64_t position : reducer.consumed()) EXPECT_LT(position, canonical.size());
  for (std::size_t p = 0; p < canonical.size(); ++p) {
    for (NodeId input : inputs(canonical[p])) EXPECT_LT(input, p);
    for (std::size_t q = 0; q < p; ++q) ASSERT_FALSE(canonical[p] == canonical[q]) << p << " " << q;
  }
}

// ---------------------------------------------------------------------------
// Feeding from a store

TEST(IncrementalStep, ReadsAStoresRecordsFromTheWatermark) {
  std::mt19937_64 rng(21);
  const std::vector<NodeKey> nodes = random_pipeline(rng, 200);
  GraphStore store;
  IncrementalReducer from_view;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    ASSERT_TRUE(store.intern(nodes[i]));
    if (i % 17 == 0) ASSERT_TRUE(from_view.step(store.view()));
  }
  auto last = from_view.step(store.view());
  ASSERT_TRUE(last);
  auto again = from_view.step(store.view());
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, 0u);

  const IncrementalReducer from_keys = fed(nodes);
  EXPECT_EQ(from_view.consumed(), from_keys.consumed());
  EXPECT_EQ(canonical_nodes(from_view), canonical_nodes(from_keys));
  EXPECT_EQ(from_view.total_work(), nodes.size());

  // A store shorter than the watermark has nothing left to consume.
  auto shorter = store_of({source("x")});
  auto none = from_view.step(shorter->view());
  ASSERT_TRUE(none);
  EXPECT_EQ(*none, 0u);
  EXPECT_EQ(from_view.watermark(), nodes.size());
}

// ---------------------------------------------------------------------------
// finalize

const testing::HashConsEngine kEngine;

struct StoreContent {
  std::vector<NodeKey> nodes;
  NodeIds outputs;
  NodeMap node_map;
  friend bool operator==(const StoreContent&, const StoreContent&) = default;
};

StoreContent content(const GraphStore& store) {
  auto snapshot = store.snapshot();
  return {std::move(snapshot.nodes), std::move(snapshot.outputs), store.node_map()};
}

TEST(IncrementalFinalize, WithoutFoldedNodesMatchesTheFullReduction) {
  // With no identities or commuted twins the canonical form is the store
  // itself, so the two roads must agree on everything, report included.
  std::mt19937_64 rng(13);
  for (int round = 0; round < 40; ++round) {
    std::vector<NodeKey> nodes = {source("a"), source("b")};
    while (nodes.size() < 40) {
      const NodeId x = rng() % nodes.size(), y = rng() % nodes.size();
      NodeKey node = rng() % 3 ? op(rng() % 2 ? "neg" : "abs", {x}) : op("sub", {x, y});
      if (std::find(nodes.begin(), nodes.end(), node) == nodes.end()) nodes.push_back(std::move(node));
    }
    const NodeIds outputs = {static_cast<NodeId>(rng() % nodes.size()), static_cast<NodeId>(nodes.size() - 1),
                             static_cast<NodeId>(rng() % nodes.size())};
    auto store = store_of(nodes);
    const IncrementalReducer reducer = fed(nodes);
    ASSERT_EQ(reducer.canonical_count(), nodes.size());
    for (bool maximal : {false, true}) {
      auto full = store->reduce_with_outputs(outputs, kEngine, maximal);
      ASSERT_TRUE(full);
      auto incremental = reducer.finalize(outputs, kEngine, maximal);
      ASSERT_TRUE(incremental);
      auto [reduced, report] = GraphStore::from_reduced(std::move(*incremental));
      EXPECT_EQ(content(*reduced), content(*full->first));
      EXPECT_EQ(report, full->second);
    }
  }
}

TEST(IncrementalFinalize, FoldedStoreNodesShareTheirCanonicalLanding) {
  const std::vector<NodeKey> nodes = {
      source("a"),          // 0
      source("b"),          // 1
      add_zero({0}),        // 2: is a
      op("add", {0, 1}),    // 3
      op("add", {1, 2}),    // 4: add(b, a), a commuted twin of 3
      op("neg", {4}),       // 5
      op("neg", {3}),       // 6: equal to 5 once 4 is folded
      source("dead"),       // 7
  };
  const IncrementalReducer reducer = fed(nodes);
  EXPECT_EQ(reducer.canonical_count(), 5u);
  auto result = reducer.finalize({6, 2}, kEngine, false);
  ASSERT_TRUE(result);
  const Reduced& reduced = *result;
  EXPECT_EQ(reduced.report.input_nodes, 5u);
  ASSERT_EQ(reduced.node_map.size(), nodes.size());
  ASSERT_TRUE(reduced.node_map[0] && reduced.node_map[3] && reduced.node_map[5]);
  EXPECT_EQ(reduced.node_map[2], reduced.node_map[0]);
  EXPECT_EQ(reduced.node_map[4], reduced.node_map[3]);
  EXPECT_EQ(reduced.node_map[6], reduced.node_map[5]);
  EXPECT_FALSE(reduced.node_map[7]);
  // Outputs land where their canonical nodes did.
  ASSERT_EQ(reduced.outputs.size(), 2u);
  EXPECT_EQ(reduced.outputs[0], reduced.node_map[6]->node);
  EXPECT_EQ(reduced.outputs[1], reduced.node_map[0]->node);
}

TEST(IncrementalFinalize, UnconsumedOutputIsRefusedUntilStepped) {
  const std::vector<NodeKey> nodes = {source("a"), op("neg", {0}), op("abs", {1})};
  IncrementalReducer reducer = fed({nodes[0], nodes[1]});
  auto refused = reducer.finalize({1, 2, 9}, kEngine, false);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().id, 2u);
  EXPECT_EQ(reducer.watermark(), 2u);

  ASSERT_TRUE(reducer.step({nodes[2]}));
  auto accepted = reducer.finalize({1, 2}, kEngine, false);
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->node_map.size(), 3u);
}

TEST(IncrementalFinalize, LeavesTheReducerAsItWas) {
  std::mt19937_64 rng(17);
  const std::vector<NodeKey> nodes = random_pipeline(rng, 80);
  IncrementalReducer reducer = fed(nodes);
  const auto consumed = reducer.consumed();
  const auto canonical = canonical_nodes(reducer);
  const NodeIds outputs = {79, 40, 79};

  auto first = reducer.finalize(outputs, kEngine, true);
  auto second = reducer.finalize(outputs, kEngine, true);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(testing::nodes_of(*first->store), testing::nodes_of(*second->store));
  EXPECT_EQ(first->outputs, second->outputs);
  EXPECT_EQ(first->node_map, second->node_map);
  EXPECT_EQ(first->report, second->report);
  EXPECT_EQ(reducer.consumed(), consumed);
  EXPECT_EQ(canonical_nodes(reducer), canonical);
  EXPECT_EQ(reducer.total_work(), nodes.size());
}

TEST(IncrementalFinalize, NoOutputsReducesToNothing) {
  const IncrementalReducer reducer = fed({source("a"), op("neg", {0})});
  auto result = reducer.finalize({}, kEngine, false);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->store->node_count(), 0u);
  EXPECT_EQ(result->node_map, (NodeMap{std::nullopt, std::nullopt}));
  EXPECT_EQ(result->report, (ReductionReport{2, 0, 0, 0, 0, 0}));

  const IncrementalReducer empty;
  auto nothing = empty.finalize({}, kEngine, false);
  ASSERT_TRUE(nothing);
  EXPECT_TRUE(nothing->node_map.empty());
}

// ---------------------------------------------------------------------------
// The shared reducer

TEST(GuardedReducer, AFailureWhileHoldingTheMutexPoisonsIt) {
  GuardedReducer guarded;
  EXPECT_EQ(guarded.run([](IncrementalReducer& r) { return *r.step({source("a")}); }), 1u);
  EXPECT_THROW(guarded.run([](IncrementalReducer&) -> int { throw InternalError("broken"); }), InternalError);
  EXPECT_TRUE(guarded.poisoned());
  try {
    guarded.run([](IncrementalReducer& r) { return r.watermark(); });
    FAIL() << "a poisoned reducer ran";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "incremental reducer poisoned");
  }
}

std::atomic<int> waits{0};
void counting_waiter(std::mutex& mutex) {
  ++waits;
  mutex.lock();
}

TEST(GuardedReducer, WaitsThroughTheWaiterOnlyWhenContended) {
  GuardedReducer guarded;
  waits = 0;
  guarded.run([](IncrementalReducer&) {}, &counting_waiter);
  EXPECT_EQ(waits.load(), 0);

  std::atomic<bool> holding{false}, release{false};
  std::thread holder([&] {
    guarded.run([&](IncrementalReducer& r) {
      holding = true;
      while (!release) std::this_thread::yield();
      ASSERT_TRUE(r.step({source("a")}));
    });
  });
  while (!holding) std::this_thread::yield();
  std::thread waiter([&] {
    EXPECT_EQ(guarded.run([](IncrementalReducer& r) { return r.watermark(); }, &counting_waiter), 1u);
  });
  while (waits.load() == 0) std::this_thread::yield();
  release = true;
  holder.join();
  waiter.join();
  EXPECT_EQ(waits.load(), 1);
  EXPECT_FALSE(guarded.poisoned());
}

}  // namespace
}  // namespace korvane
