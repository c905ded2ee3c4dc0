// Where a reduction spends its time: every phase of reducing a serialized
// store, timed on its own, and the rewrite engine's run iteration by
// iteration (classes, hash-cons size, effective unions per rule, bans, and the
// search, apply and rebuild time of each), so a size-dependent cost can be
// pinned on a phase or on the number and cost of iterations.
//
//   bench_phases BLOB [--maximal] [--repeat N] [--whole-only]
//
// BLOB is a store written by GraphStore.serialize(outputs=...); the reduction
// runs against the blob's outputs. The last rows time one whole
// GraphStore::reduce_with of the same store for comparison; --whole-only
// runs just those (for a memory profiler).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
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

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(2);
  }
  return std::string(std::istreambuf_iterator<char>(in), {});
}

const char* stop_text(const egraph::Runner& runner) {
  static std::string text;
  text = runner.stop_reason() ? egraph::to_string(*runner.stop_reason()) : "-";
  return text.c_str();
}

// The engine's run, as EggEngine::canonicalize does it, with its iterations
// printed.
void run_engine_verbose(const EngineGraph& graph, const EggEngine& engine) {
  auto start = Clock::now();
  egraph::EGraph egraph;
  egraph.reserve(graph.size());
  std::vector<egraph::Id> ids;
  ids.reserve(graph.size());
  for (Position p = 0; p < graph.size(); ++p) {
    egraph::Children children;
    for (Position x : graph.inputs(p)) children.push_back(ids[x]);
    ids.push_back(egraph.add(egraph::SymbolLang(egraph::GlobalSymbol::intern(graph.token_text(p)),
                                                std::move(children))));
  }
  std::printf("  e-graph load                 %8.3f s  (%zu classes)\n", seconds_since(start),
              egraph.class_count());

  egraph::Runner runner;
  runner.set_iteration_limit(engine.iteration_limit());
  runner.set_node_limit(EggEngine::node_limit(graph.size()));
  auto scheduler = std::make_unique<egraph::BackoffScheduler>();
  auto* backoff = scheduler.get();
  runner.set_scheduler(std::move(scheduler));
  runner.set_egraph(std::move(egraph));
  start = Clock::now();
  runner.run(engine.rules());
  std::printf("  runner                       %8.3f s  (%zu iterations, %s)\n", seconds_since(start),
              runner.iterations().size(), stop_text(runner));
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
  for (const auto& [name, stats] : backoff->stats()) {
    if (stats.bans > 0) bans += std::string(name.as_str()) + "x" + std::to_string(stats.bans) + " ";
  }
  std::printf("    bans: %s\n", bans.empty() ? "none" : bans.c_str());
}

// Each phase of reduce_with_mode on its own.
void phase_by_phase(const NodeList& nodes, const NodeIds& outputs, const EggEngine& engine,
                    bool maximal) {
  auto start = Clock::now();
  const Cone cone = find_cone(nodes, outputs);
  std::printf("  dead-code elimination        %8.3f s  (%zu kept)\n", seconds_since(start),
              cone.kept.size());
  start = Clock::now();
  std::vector<Position> first_with_token;
  const EngineGraph kept = to_engine_graph(nodes, cone, first_with_token);
  const TemplateTable templates(nodes, &cone.kept, std::move(first_with_token));
  std::printf("  engine graph and templates   %8.3f s  (%zu tokens)\n", seconds_since(start),
              kept.tokens().size());
  run_engine_verbose(kept, engine);
  start = Clock::now();
  const Canonical canonical = engine.canonicalize(kept);
  std::printf("  canonicalize (whole)         %8.3f s  (%zu canonical)\n", seconds_since(start),
              canonical.graph.size());
  start = Clock::now();
  const CseResult deduplicated = cse(canonical.graph);
  std::printf("  common subexpressions        %8.3f s  (%zu left)\n", seconds_since(start),
              deduplicated.graph.size());
  start = Clock::now();
  FusionResult fused = stage_fusion(deduplicated.graph, templates, maximal);
  std::printf("  stage fusion                 %8.3f s  (%zu reduced)\n", seconds_since(start),
              fused.nodes.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_phases BLOB [--maximal] [--repeat N] [--whole-only]\n");
    return 2;
  }
  bool maximal = false;
  bool whole_only = false;
  int repeat = 1;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--maximal") == 0) maximal = true;
    if (std::strcmp(argv[i], "--whole-only") == 0) whole_only = true;
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
  const EggEngine engine;
  std::printf("%llu nodes, %zu outputs%s\n", static_cast<unsigned long long>(view.size()),
              view.outputs().size(), maximal ? ", maximal fusion" : "");

  if (!whole_only) phase_by_phase(nodes, view.outputs(), engine, maximal);

  for (int r = 0; r < repeat; ++r) {
    auto start = Clock::now();
    auto [reduced, report] = store.reduce_with(engine, maximal);
    const double whole = seconds_since(start);
    start = Clock::now();
    reduced.reset();
    std::printf("  GraphStore::reduce_with      %8.3f s  (+ %.3f s freeing the result)\n", whole,
                seconds_since(start));
  }
  return 0;
}
