#include "store.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "error.hpp"
#include "record.hpp"
#include "node_builders.hpp"

namespace korvane {
namespace {

using namespace test;

NodeId must_intern(GraphStore& store, const NodeKey& node) {
  auto id = store.intern(node);
  if (!id) ADD_FAILURE() << "unexpected BadNodeId " << id.error().id;
  return id ? *id : ~NodeId{0};
}

// A store holding three sources, ids 0 to 2.
void add_three_sources(GraphStore& store) {
  for (const char* name : {"a", "b", "c"}) must_intern(store, source(name));
}

TEST(GraphStoreTest, EqualNodesShareOneId) {
  GraphStore store;
  EXPECT_EQ(must_intern(store, source("s")), 0u);
  EXPECT_EQ(must_intern(store, source("s")), 0u);
  EXPECT_EQ(store.node_count(), 1u);
  EXPECT_EQ(must_intern(store, source("t")), 1u);
  EXPECT_EQ(must_intern(store, op("f", {0, 1})), 2u);
  EXPECT_EQ(must_intern(store, op("f", {1, 0})), 3u);
  EXPECT_EQ(must_intern(store, reduction("f", {0, 1})), 4u);
  EXPECT_EQ(must_intern(store, op("f", {0, 1})), 2u);
  EXPECT_EQ(must_intern(store, source("s", params({}))), 0u);
  EXPECT_EQ(store.node_count(), 5u);
}

TEST(GraphStoreTest, FloatIdentityInTheStore) {
  GraphStore store;
  const auto with_x = [](double x) { return source("s", params({entry("x", ParamValue::of_float(x))})); };
  const NodeId nan = must_intern(store, with_x(float_from_bits(0x7FF0000000000001ULL)));
  EXPECT_EQ(must_intern(store, with_x(float_from_bits(0xFFF8000000000002ULL))), nan);
  EXPECT_EQ(store.node_count(), 1u);
  // The first payload is the one kept.
  const double kept = store.snapshot().nodes[0].as<SourceNode>().params[0].value.as_float();
  EXPECT_EQ(std::bit_cast<std::uint64_t>(kept), 0x7FF0000000000001ULL);

  const NodeId zero = must_intern(store, with_x(0.0));
  const NodeId negative_zero = must_intern(store, with_x(-0.0));
  EXPECT_NE(zero, negative_zero);
  EXPECT_EQ(must_intern(store, source("s", params({entry("x", ParamValue::of_int(0))}))), 3u);
  EXPECT_EQ(must_intern(store, source("s", params({entry("x", ParamValue::of_bool(false))}))), 4u);
}

TEST(GraphStoreTest, OutOfRangeInputsLeaveTheStoreUnchanged) {
  GraphStore empty;
  auto result = empty.intern(op("f", {0}));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().id, 0u);
  EXPECT_EQ(empty.node_count(), 0u);

  GraphStore store;
  add_three_sources(store);
  result = store.intern(op("f", {0, 7, 9}));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().id, 7u);  // the first offending input, in list order
  // The id a node would receive is not yet valid as its own input.
  result = store.intern(join({1, 3}));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().id, 3u);
  result = store.intern(stage({2, 5}, {}));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().id, 5u);

  EXPECT_EQ(store.node_count(), 3u);
  // Nothing was half-added: the next node still gets id 3, and the rejected
  // node can be added once its inputs exist.
  EXPECT_EQ(must_intern(store, op("f", {0, 2})), 3u);
  EXPECT_EQ(must_intern(store, join({1, 3})), 4u);
  EXPECT_EQ(bad_node_id_message(BadNodeId{7}), "no node with id 7");
}

TEST(GraphStoreTest, OutputsAreMarkedOnceInFirstOrder) {
  GraphStore store;
  add_three_sources(store);
  EXPECT_TRUE(store.mark_output(2));
  EXPECT_TRUE(store.mark_output(0));
  EXPECT_TRUE(store.mark_output(2));
  EXPECT_EQ(store.outputs(), (NodeIds{2, 0}));
  const Status<BadNodeId> bad = store.mark_output(3);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().id, 3u);
  EXPECT_EQ(store.outputs(), (NodeIds{2, 0}));
}

TEST(GraphStoreTest, SnapshotsCopyNodesAndOutputs) {
  GraphStore store;
  const std::vector<NodeKey> nodes = one_of_each_kind();
  for (std::size_t i = 0; i < nodes.size(); ++i) EXPECT_EQ(must_intern(store, nodes[i]), i);
  ASSERT_TRUE(store.mark_output(7));

  const GraphStore::Snapshot all = store.snapshot();
  EXPECT_EQ(all.nodes, nodes);
  EXPECT_EQ(all.outputs, (NodeIds{7}));

  EXPECT_EQ(store.snapshot_from(0), nodes);
  EXPECT_EQ(store.snapshot_from(6), std::vector<NodeKey>(nodes.begin() + 6, nodes.end()));
  EXPECT_TRUE(store.snapshot_from(nodes.size()).empty());
  EXPECT_TRUE(store.snapshot_from(1000).empty());
  EXPECT_TRUE(GraphStore().snapshot_from(0).empty());
}

TEST(GraphStoreTest, NodeMapIsEmptyUntilSet) {
  GraphStore store;
  EXPECT_TRUE(store.node_map().empty());
  const NodeMap map = {Landing{0, std::nullopt}, std::nullopt, Landing{1, 2}};
  store.set_node_map(map);
  EXPECT_EQ(store.node_map(), map);
}

TEST(NodeMapTest, KeepsEveryLandingItCanHold) {
  // Absent, a whole node, member 0 (not "no member") and the largest ids a
  // store can hand out all read back as written.
  const std::uint64_t largest = 0xFFFFFFFEULL;
  NodeMap map(2);
  map.push_back(Landing{0, 0});
  map.push_back(Landing{largest, std::nullopt});
  map.push_back(Landing{7, largest});
  EXPECT_EQ(map.size(), 5u);
  EXPECT_EQ(map[0], std::nullopt);
  EXPECT_EQ(map[2], (Landing{0, 0}));
  EXPECT_NE(map[2], (Landing{0, std::nullopt}));
  EXPECT_EQ(map[3], (Landing{largest, std::nullopt}));
  EXPECT_EQ(map[4], (Landing{7, largest}));
  map.set(4, std::nullopt);
  map.copy_from(1, map, 2);
  EXPECT_EQ(map, (NodeMap{std::nullopt, Landing{0, 0}, Landing{0, 0}, Landing{largest, std::nullopt},
                          std::nullopt}));
  // 2^32 - 1 marks "absent"; a landing there is a broken invariant.
  EXPECT_THROW(map.set(0, Landing{0xFFFFFFFFULL, std::nullopt}), InternalError);
  EXPECT_THROW(map.push_back(Landing{0, 0xFFFFFFFFULL}), InternalError);
}

TEST(GraphStoreTest, RecordsInternLikeTheirNodes) {
  GraphStore store;
  ASSERT_EQ(must_intern(store, source("s", params({entry("z", ParamValue::of_bool(true))}))), 0u);
  // The reader's wider form: a bool byte of 5 is true.
  std::string loose;
  encode_record(source("s", params({entry("z", ParamValue::of_bool(true))})), loose);
  loose.back() = '\x05';
  auto id = store.intern_record(loose);
  ASSERT_TRUE(id);
  EXPECT_EQ(*id, 0u);

  std::string record;
  encode_record(op("f", {0}), record);
  id = store.intern_record(record);
  ASSERT_TRUE(id);
  EXPECT_EQ(*id, 1u);
  record.clear();
  encode_record(op("f", {1, 2}), record);
  id = store.intern_record(record);
  ASSERT_FALSE(id);
  EXPECT_EQ(id.error().id, 2u);
  EXPECT_EQ(store.node_count(), 2u);
}

TEST(GraphStoreTest, ManyNodesAcrossChunksBlocksAndIndexGrowth) {
  // Enough nodes to cross several location blocks, chunk sizes and index
  // rebuilds, plus records larger than a chunk.
  GraphStore store;
  std::vector<NodeKey> nodes;
  constexpr int kSources = 50;
  for (int i = 0; i < kSources; ++i) nodes.push_back(source("src" + std::to_string(i)));
  for (int i = 0; i < 40000; ++i) {
    const NodeId a = static_cast<NodeId>((i * 7919) % (kSources + i));
    const NodeId b = static_cast<NodeId>(kSources + i - 1);
    nodes.push_back(op(i % 3 ? "map" : "filter", {a, b},
                       params({entry("k", ParamValue::of_int(i % 11)), entry("w", ParamValue::of_float(i * 0.5))})));
  }
  nodes.push_back(source(std::string(3u << 20, 'x')));  // bigger than any chunk
  nodes.push_back(source("after the big one"));
  nodes.push_back(source(std::string(300u << 10, 'y')));

  for (std::size_t i = 0; i < nodes.size(); ++i) ASSERT_EQ(must_intern(store, nodes[i]), i);
  EXPECT_EQ(store.node_count(), nodes.size());
  for (std::size_t i = 0; i < nodes.size(); i += 97) ASSERT_EQ(must_intern(store, nodes[i]), i);
  EXPECT_EQ(must_intern(store, nodes.back()), nodes.size() - 1);
  EXPECT_EQ(store.node_count(), nodes.size());

  const ArenaView view = store.view();
  ASSERT_EQ(view.size(), nodes.size());
  std::string expected;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    expected.clear();
    encode_record(nodes[i], expected);
    ASSERT_EQ(view.record(i), expected) << i;
  }
  // Records are small and the index is compact: a typical node costs well under 150 bytes.
  EXPECT_LT(static_cast<double>(store.memory_bytes() - (3u << 20) - (300u << 10)) / nodes.size(), 150.0);
}

TEST(GraphStoreTest, ViewsStayFixedWhileTheStoreGrows) {
  GraphStore store;
  add_three_sources(store);
  ASSERT_TRUE(store.mark_output(1));
  const ArenaView early = store.view();
  const std::string first(early.record(0));

  for (int i = 0; i < 5000; ++i) must_intern(store, op("f", {static_cast<NodeId>(i + 2)}));
  ASSERT_TRUE(store.mark_output(4000));

  EXPECT_EQ(early.size(), 3u);
  EXPECT_EQ(early.outputs(), (NodeIds{1}));
  EXPECT_EQ(early.record(0), first);
  EXPECT_EQ(early.node(2), source("c"));
  EXPECT_THROW((void)early.record(3), InternalError);

  const ArenaView later = store.view();
  EXPECT_EQ(later.size(), 5003u);
  EXPECT_EQ(later.outputs(), (NodeIds{1, 4000}));
  EXPECT_EQ(later.node(5002), op("f", {5001}));
}

TEST(GraphStoreTest, AFailureWhileLockedPoisonsOnlyThatStore) {
  GraphStore store, other;
  add_three_sources(store);
  add_three_sources(other);
  EXPECT_FALSE(store.poisoned());
  EXPECT_THROW(store.fail_while_locked_for_testing(), InternalError);
  EXPECT_TRUE(store.poisoned());

  const std::vector<std::function<void()>> operations = {
      [&] { (void)store.intern(source("new")); },
      [&] { (void)store.intern(source("a")); },
      [&] {
        std::string record;
        encode_record(source("z"), record);
        (void)store.intern_record(record);
      },
      [&] { (void)store.mark_output(0); },
      [&] { (void)store.node_count(); },
      [&] { (void)store.outputs(); },
      [&] { (void)store.node_map(); },
      [&] { store.set_node_map({}); },
      [&] { (void)store.snapshot(); },
      [&] { (void)store.snapshot_from(0); },
      [&] { (void)store.view(); },
      [&] { (void)store.to_dot(); },
      [&] { (void)store.memory_bytes(); },
  };
  for (std::size_t i = 0; i < operations.size(); ++i) {
    try {
      operations[i]();
      ADD_FAILURE() << "operation " << i << " ran on a poisoned store";
    } catch (const InternalError& error) {
      EXPECT_EQ(std::string(error.what()), "korvane-core store mutex poisoned") << i;
    }
  }
  // The failure did not take the lock with it, and other stores carry on.
  EXPECT_FALSE(other.poisoned());
  EXPECT_EQ(must_intern(other, source("d")), 3u);
  EXPECT_EQ(other.node_count(), 4u);
}

// Waiters are plain function pointers, so the tests reach their state through
// globals.
std::atomic<int> g_waiter_calls{0};
std::atomic<int> g_other_waiter_calls{0};

void counting_waiter(std::mutex& mutex) {
  g_waiter_calls.fetch_add(1);
  mutex.lock();
}

void other_counting_waiter(std::mutex& mutex) {
  g_other_waiter_calls.fetch_add(1);
  mutex.lock();
}

void wait_for(const std::atomic<int>& counter, int value) {
  while (counter.load() < value) std::this_thread::yield();
}

TEST(GraphStoreTest, ABusyLockIsWaitedForThroughTheThreadsWaiter) {
  g_waiter_calls = 0;
  g_other_waiter_calls = 0;
  GraphStore store;
  add_three_sources(store);

  // A free lock is taken without consulting the waiter.
  {
    ScopedLockWaiter waiter(counting_waiter);
    EXPECT_EQ(store.node_count(), 3u);
  }
  EXPECT_EQ(g_waiter_calls.load(), 0);

  // A held lock is waited for through the waiter, which returns it locked.
  std::thread contender;
  std::optional<Result<NodeId, BadNodeId>> added;
  store.run_locked_for_testing([&] {
    contender = std::thread([&] {
      ScopedLockWaiter waiter(counting_waiter);
      added.emplace(store.intern(source("d")));
    });
    wait_for(g_waiter_calls, 1);
  });
  contender.join();
  ASSERT_TRUE(added.has_value() && added->has_value());
  EXPECT_EQ(**added, 3u);

  // Waiters nest: leaving an inner scope restores the outer waiter.
  store.run_locked_for_testing([&] {
    contender = std::thread([&] {
      ScopedLockWaiter outer(other_counting_waiter);
      { ScopedLockWaiter inner(counting_waiter); }
      (void)store.node_count();
    });
    wait_for(g_other_waiter_calls, 1);
  });
  contender.join();
  EXPECT_EQ(g_waiter_calls.load(), 1);
  EXPECT_EQ(store.node_count(), 4u);
}

TEST(GraphStoreTest, PoisoningReachesThreadsAlreadyWaiting) {
  g_waiter_calls = 0;
  GraphStore store;
  add_three_sources(store);
  std::thread waiting;
  std::atomic<bool> waiter_saw_poison{false};
  EXPECT_THROW(store.run_locked_for_testing([&] {
    waiting = std::thread([&] {
      ScopedLockWaiter waiter(counting_waiter);
      try {
        (void)store.node_count();
      } catch (const InternalError& error) {
        waiter_saw_poison = std::string(error.what()) == "korvane-core store mutex poisoned";
      }
    });
    wait_for(g_waiter_calls, 1);  // queued behind this holder
    throw InternalError("broken invariant");
  }),
               InternalError);
  waiting.join();
  EXPECT_TRUE(waiter_saw_poison.load());
  EXPECT_TRUE(store.poisoned());
}

}  // namespace
}  // namespace korvane
