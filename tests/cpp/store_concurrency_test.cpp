// Several threads on one store. Also built with ThreadSanitizer (build-tsan),
// where it checks that views read records without the lock safely.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "node_builders.hpp"
#include "record.hpp"
#include "store.hpp"

namespace korvane {
namespace {

using namespace test;

constexpr int kThreads = 4;
constexpr int kSources = 64;
constexpr int kOpsPerThread = 3000;

// The operation every thread may build at step i: its content depends only on
// i and on the ids of earlier steps, so threads that reach the same step build
// equal nodes. Overlap comes from threads walking the same steps; each thread
// also adds some steps of its own.
NodeKey step_node(int i, const std::vector<NodeId>& ids) {
  const NodeId a = ids[static_cast<std::size_t>(i * 31 % (kSources + i))];
  const NodeId b = ids[static_cast<std::size_t>(kSources + i - 1)];
  return op(i % 2 ? "map" : "filter", {a, b},
            params({entry("k", ParamValue::of_int(i % 5)), entry("x", ParamValue::of_float(i * 0.25))}));
}

TEST(StoreConcurrencyTest, EqualNodesGetOneIdAcrossThreads) {
  GraphStore store;
  std::vector<std::vector<NodeId>> seen(kThreads);
  std::vector<std::vector<NodeId>> own(kThreads);
  std::atomic<int> ready{0};

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      std::vector<NodeId>& ids = seen[t];
      // Shared sources, each thread in its own order.
      ids.assign(kSources, 0);
      for (int k = 0; k < kSources; ++k) {
        const int s = (k * (2 * t + 1) + t) % kSources;
        ids[s] = *store.intern(source("src" + std::to_string(s)));
      }
      for (int i = 0; i < kOpsPerThread; ++i) {
        ids.push_back(*store.intern(step_node(i, ids)));
        if (i % 10 == t) {
          own[t].push_back(*store.intern(source("own" + std::to_string(t) + "_" + std::to_string(i))));
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]) << "thread " << t;
  std::size_t own_total = 0;
  for (const auto& list : own) own_total += list.size();
  EXPECT_EQ(store.node_count(), kSources + kOpsPerThread + own_total);

  // Ids are dense and every node's inputs precede it.
  const ArenaView view = store.view();
  for (NodeId id = 0; id < view.size(); ++id) {
    const RecordInputs ids = record_inputs(view.record(id));
    for (std::uint32_t i = 0; i < ids.size(); ++i) ASSERT_LT(ids[i], id);
  }
}

TEST(StoreConcurrencyTest, ReadersSeeConsistentViewsWhileWritersAppend) {
  GraphStore store;
  for (int s = 0; s < kSources; ++s) ASSERT_TRUE(store.intern(source("src" + std::to_string(s))));
  std::atomic<int> writers_done{0};
  std::atomic<int> started{0};
  constexpr int kWriters = 2, kReaders = 2;
  const auto start_together = [&] {
    started.fetch_add(1);
    while (started.load() < kWriters + kReaders) std::this_thread::yield();
  };

  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      const std::string name(1, static_cast<char>('p' + w));
      start_together();
      for (int i = 0; i < 4000; ++i) {
        const NodeId count = store.node_count();
        const NodeId id = *store.intern(op(name, {(count * 7 + i) % count, count - 1},
                                           params({entry("i", ParamValue::of_int(i))})));
        if (i % 50 == 0) {
          ASSERT_TRUE(store.mark_output(id));
        }
      }
      writers_done.fetch_add(1);
    });
  }
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&] {
      start_together();
      std::uint64_t last_size = 0;
      std::size_t last_outputs = 0;
      do {
        const ArenaView view = store.view();
        ASSERT_GE(view.size(), last_size);
        ASSERT_GE(view.outputs().size(), last_outputs);
        last_size = view.size();
        last_outputs = view.outputs().size();
        for (NodeId out : view.outputs()) ASSERT_LT(out, view.size());
        // Read the newest records, the ones most recently written.
        for (NodeId id = view.size() > 20 ? view.size() - 20 : 0; id < view.size(); ++id) {
          const NodeKey node = view.node(id);
          for (NodeId input : inputs(node)) ASSERT_LT(input, id);
        }
        const auto tail = store.snapshot_from(view.size() > 5 ? view.size() - 5 : 0);
        ASSERT_GE(tail.size(), std::min<std::uint64_t>(5, view.size()));
      } while (writers_done.load() < kWriters);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(store.node_count(), kSources + kWriters * 4000u);
  EXPECT_EQ(store.outputs().size(), kWriters * 80u);

  // A final snapshot agrees with the arena, record by record.
  const GraphStore::Snapshot all = store.snapshot();
  const ArenaView view = store.view();
  ASSERT_EQ(all.nodes.size(), view.size());
  std::string record;
  for (NodeId id = 0; id < view.size(); ++id) {
    record.clear();
    encode_record(all.nodes[id], record);
    ASSERT_EQ(record, view.record(id));
  }
}

}  // namespace
}  // namespace korvane
