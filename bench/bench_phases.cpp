// Where a reduction spends its time: every phase of reducing a serialized
// store, timed on its own, and the rewrite engine's run iteration by
// iteration (classes, hash-cons size, effective unions per rule, bans, and the
// search, apply and rebuild time of each), so a size-dependent cost can be
// pinned on a phase or on the number and cost of iterations.
//
//   bench_phases BLOB [--maximal] [--repeat N] [--whole-only] [--frozen-clock]
//
// BLOB is a store written by GraphStore.serialize(outputs=...); the reduction
// runs against the blob's outputs. The last rows time one whole
// GraphStore::reduce_with of the same store for comparison; --whole-only
// runs just those (for a profiler). --frozen-clock stops the rewrite engine's
// clock, so its 5-second limit never ends a run early: under an instruction
// counter (callgrind) the run would otherwise stop after fewer iterations
// and count less work than it does.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/runner.hpp"
#include "optimizer/cse.hpp"
#include "optimizer/dce.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/fusion.hpp"
#include "optimizer/node_list.hpp"
#include "optimizer/pipeline.hpp"
#include "serialize.hpp"
#include "store.hpp"

namespace {

using namespace korvane;
using Clock = std::chrono::steady_clock;

// CPU time of the calling thread: on a machine shared with other work it
// counts only this thread's own running, unlike the wall clock.
double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

struct Start {
  Clock::time_point wall = Clock::now();
  double cpu = thread_seconds();
};

// "0.123 s (cpu 0.120 s)"
std::string seconds_since(const Start& start) {
  char text[64];
  std::snprintf(text, sizeof text, "%7.3f s (cpu %7.3f s)",
                std::chrono::duration<double>(Clock::now() - start.wall).count(),
                thread_seconds() - start.cpu);
  return text;
}

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(2);
  }
  in.seekg(0, std::ios::end);
  std::string bytes(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

const char* stop_text(const egraph::Runner& runner) {
  static std::string text;
  text = runner.stop_reason() ? egraph::to_string(*runner.stop_reason()) : "-";
  return text.c_str();
}

// The engine's run (loading the e-graph and running the rules), with its
// iterations printed.
void run_engine_verbose(const EngineGraph& graph, const EggEngine& engine) {
  Start start;
  std::vector<egraph::Id> ids;
  const egraph::Runner runner = engine.run(graph, ids);
  std::printf("  e-graph load and run         %s  (%zu iterations, %s)\n",
              seconds_since(start).c_str(), runner.iterations().size(), stop_text(runner));
  std::printf("    %4s %10s %10s %8s %8s %8s %8s  %s\n", "iter", "classes", "hashcons", "search",
              "apply", "rebuild", "merges", "unions per rule");
  for (std::size_t i = 0; i < runner.iterations().size(); ++i) {
    const egraph::Iteration& it = runner.iterations()[i];
    std::string applied;
    for (const auto& [name, count] : it.applied) {
      applied += std::string(name.as_str()) + "=" + std::to_string(count) + " ";
    }
    std::printf("    %4zu %10zu %10zu %8.3f %8.3f %8.3f %8zu  %s\n", i, it.egraph_classes,
                it.egraph_nodes, it.search_time, it.apply_time, it.rebuild_time, it.rebuild_merges,
                applied.c_str());
  }
  std::string bans;
  const auto* backoff = dynamic_cast<const egraph::BackoffScheduler*>(&runner.scheduler());
  for (const auto& [name, stats] : backoff->stats()) {
    bans += std::string(name.as_str()) + " " + std::to_string(stats.bans) + "/" +
            std::to_string(stats.uses) + " ";
  }
  std::printf("    bans/uses: %s\n", bans.c_str());
}

// Each phase of reduce_with_mode on its own.
void phase_by_phase(const NodeList& nodes, const NodeIds& outputs, const EggEngine& engine,
                    bool maximal) {
  Start start;
  const Cone cone = find_cone(nodes, outputs);
  std::printf("  dead-code elimination        %s  (%zu kept)\n", seconds_since(start).c_str(),
              cone.kept.size());
  start = Start();
  NodeIds first_with_token;
  const EngineGraph kept = to_engine_graph(nodes, cone, first_with_token);
  const TemplateTable templates(nodes, std::move(first_with_token));
  std::printf("  engine graph and templates   %s  (%zu tokens)\n", seconds_since(start).c_str(),
              kept.tokens().size());
  run_engine_verbose(kept, engine);
  start = Start();
  const Canonical canonical = engine.canonicalize(kept);
  std::printf("  canonicalize (whole)         %s  (%zu canonical)\n", seconds_since(start).c_str(),
              canonical.graph.size());
  start = Start();
  const CseResult deduplicated = cse(canonical.graph);
  std::printf("  common subexpressions        %s  (%zu left%s)\n", seconds_since(start).c_str(),
              deduplicated.graph.size(), canonical.congruent ? "; skipped when reducing" : "");
  start = Start();
  RecordList reduced;
  stage_fusion(deduplicated.graph, templates, maximal, reduced);
  std::printf("  stage fusion                 %s  (%zu reduced)\n", seconds_since(start).c_str(),
              reduced.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_phases BLOB [--maximal] [--repeat N] [--whole-only] [--frozen-clock]\n");
    return 2;
  }
  EggEngine engine;
  bool maximal = false;
  bool whole_only = false;
  int repeat = 1;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--maximal") == 0) maximal = true;
    if (std::strcmp(argv[i], "--whole-only") == 0) whole_only = true;
    if (std::strcmp(argv[i], "--frozen-clock") == 0) {
      engine.set_clock_for_measurement([] { return egraph::Runner::Clock::time_point{}; });
    }
    if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) repeat = std::atoi(argv[++i]);
  }
  const std::string bytes = read_file(argv[1]);
  auto decoded = deserialize(bytes);
  if (!decoded) {
    std::fprintf(stderr, "%s\n", decode_error_message(decoded.error()).c_str());
    return 2;
  }
  const GraphStore& store = **decoded;
  const ArenaView view = store.view();
  const NodeList nodes(view);
  std::printf("%llu nodes, %zu outputs%s\n", static_cast<unsigned long long>(view.size()),
              view.outputs().size(), maximal ? ", maximal fusion" : "");

  if (!whole_only) phase_by_phase(nodes, view.outputs(), engine, maximal);

  for (int r = 0; r < repeat; ++r) {
    Start start;
    auto [reduced, report] = store.reduce_with(engine, maximal);
    const std::string whole = seconds_since(start);
    start = Start();
    reduced.reset();
    std::printf("  GraphStore::reduce_with      %s  (+ %s freeing the result)\n", whole.c_str(),
                seconds_since(start).c_str());
  }
  return 0;
}
