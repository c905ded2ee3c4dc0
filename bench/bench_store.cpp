// Cost of interning into the graph store: 1,000 sources, then 1,000,000 Op
// nodes with two inputs and two parameters, about 10% of them exact repeats of
// earlier ones. Prints ns per intern and bytes per stored node, next to a
// baseline that keeps every node twice as plain values (a vector of nodes and a
// hash map from node to id), measured in the same run.
#include <malloc.h>

#include <time.h>

#include <cstdio>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "node.hpp"
#include "store.hpp"

namespace {

using namespace korvane;

constexpr int kSources = 1000;
constexpr int kCalls = 1'000'000;
const char* const kNames[] = {"map", "filter", "add", "mul"};

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDULL;
  x ^= x >> 33;
  return x;
}

// Rewrites `node` in place into fresh node f (f-th distinct op): no
// allocation, so the loop measures interning rather than node building.
void make_fresh(OpNode& node, std::uint64_t f) {
  node.name = kNames[f % 4];
  node.params[0].value.value = static_cast<std::int64_t>(f);
  node.params[1].value.value = static_cast<double>(f) * 0.5;
  const std::uint64_t visible = kSources + f;  // ids below this exist
  node.inputs[0] = f == 0 ? 0 : visible - 1;
  node.inputs[1] = mix(f) % visible;
}

NodeKey op_template() {
  return NodeKey{OpNode{"map",
                        make_param_map({{"k", ParamValue::of_int(0)}, {"scale", ParamValue::of_float(0)}}),
                        {0, 0}}};
}

// Calls `intern` with the benchmark's sequence of nodes; returns the count of
// distinct ops made.
template <class Intern>
std::uint64_t run(Intern&& intern) {
  for (int s = 0; s < kSources; ++s) {
    intern(NodeKey{SourceNode{"source" + std::to_string(s), {}}});
  }
  NodeKey key = op_template();
  OpNode& node = std::get<OpNode>(key.node);
  std::uint64_t fresh = 0;
  for (int call = 0; call < kCalls; ++call) {
    if (call % 10 == 9 && fresh > 0) {
      make_fresh(node, mix(call) % fresh);  // an exact repeat of an earlier op
    } else {
      make_fresh(node, fresh++);
    }
    intern(key);
  }
  return fresh;
}

std::size_t heap_in_use() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

struct Figures {
  double ns_per_intern;
  double ns_per_hit;
  double bytes_per_node;
};

// CPU time of this thread: the machine is shared, and wall time would mostly
// measure the other tenants.
double cpu_ns() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

template <class Intern, class Count>
Figures measure(Intern&& intern, Count&& count) {
  const std::size_t heap_before = heap_in_use();
  const double start = cpu_ns();
  run(intern);
  const double middle = cpu_ns();
  const std::size_t heap_after = heap_in_use();
  run(intern);  // every node is present now: lookups only
  const double end = cpu_ns();
  const double calls = kSources + kCalls;
  return {(middle - start) / calls, (end - middle) / calls,
          static_cast<double>(heap_after - heap_before) / static_cast<double>(count())};
}

}  // namespace

// With the argument "store" only the store runs (for profiling).
int main(int argc, char** argv) {
  const bool store_only = argc > 1 && std::string_view(argv[1]) == "store";
  Figures store_figures{};
  double store_reported = 0;
  std::uint64_t stored = 0;
  {
    GraphStore store;
    store_figures = measure(
        [&](const NodeKey& node) {
          if (!store.intern(node)) std::abort();
        },
        [&] { return store.node_count(); });
    stored = store.node_count();
    store_reported = static_cast<double>(store.memory_bytes()) / static_cast<double>(stored);
  }

  Figures baseline{};
  if (!store_only) {
    std::vector<NodeKey> arena;
    std::unordered_map<NodeKey, NodeId, NodeKeyHash> index;
    baseline = measure(
        [&](const NodeKey& node) {
          auto [it, added] = index.try_emplace(node, arena.size());
          if (added) arena.push_back(node);
        },
        [&] { return arena.size(); });
  }

  std::printf("graph store, %d calls (%llu distinct nodes)\n", kSources + kCalls,
              static_cast<unsigned long long>(stored));
  std::printf("%-28s %12s %12s %8s\n", "figure", "store", "baseline", "ratio");
  std::printf("%-28s %12.1f %12.1f %7.2fx\n", "cpu ns/intern (10% repeats)", store_figures.ns_per_intern,
              baseline.ns_per_intern, baseline.ns_per_intern / store_figures.ns_per_intern);
  std::printf("%-28s %12.1f %12.1f %7.2fx\n", "cpu ns/intern (all present)", store_figures.ns_per_hit,
              baseline.ns_per_hit, baseline.ns_per_hit / store_figures.ns_per_hit);
  std::printf("%-28s %12.1f %12.1f %7.2fx\n", "heap bytes per stored node", store_figures.bytes_per_node,
              baseline.bytes_per_node, baseline.bytes_per_node / store_figures.bytes_per_node);
  std::printf("%-28s %12.1f\n", "store-reported bytes/node", store_reported);
  return 0;
}
