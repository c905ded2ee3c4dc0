// Rewrites, the saturation runner and the back-off scheduler.
//
// A Rewrite is a named pair of patterns: wherever the searcher occurs, the
// applier's instance is merged with the matched class. The Runner owns an
// e-graph and runs iterations of search, apply and rebuild until nothing
// changes or a limit is hit:
//
//   Result<Rewrite, std::string> rule =
//       Rewrite::parse("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)");
//   Runner runner;
//   runner.set_egraph(std::move(graph));
//   runner.set_iteration_limit(12);
//   runner.set_node_limit(4 * n + 1024);
//   runner.run({*rule});
//   const EGraph& result = runner.egraph();   // rebuilt, whatever stopped the run
//
// The BackoffScheduler bans a rule that matches too often for a while and
// doubles its allowance with every ban.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/pattern.hpp"
#include "egraph/symbol.hpp"
#include "result.hpp"

namespace korvane::egraph {

class Rewrite {
 public:
  // Checks that every variable of the applier is bound by the searcher;
  // otherwise "Rewrite {name} refers to unbound var {var}".
  static Result<Rewrite, std::string> create(std::string_view name, Pattern searcher,
                                             Pattern applier);

  // Parses both pattern texts, then creates the rule. A pattern that does
  // not parse gives "Rewrite {name}: bad searcher: {error}" (or applier).
  static Result<Rewrite, std::string> parse(std::string_view name, std::string_view searcher,
                                            std::string_view applier);

  GlobalSymbol name() const { return name_; }
  const Pattern& searcher() const { return *searcher_; }
  const Pattern& applier() const { return *applier_; }

  std::vector<SearchMatches> search_with_limit(const EGraph& egraph, std::size_t limit) const {
    return searcher_->search_with_limit(egraph, limit);
  }
  // Returns the ids whose union changed the e-graph.
  std::vector<Id> apply(EGraph& egraph, const std::vector<SearchMatches>& matches) const {
    return applier_->apply_matches(egraph, matches);
  }

 private:
  Rewrite(GlobalSymbol name, std::shared_ptr<const Pattern> searcher,
          std::shared_ptr<const Pattern> applier)
      : name_(name), searcher_(std::move(searcher)), applier_(std::move(applier)) {}

  GlobalSymbol name_;
  // Shared, so copying a rule does not copy its compiled patterns.
  std::shared_ptr<const Pattern> searcher_;
  std::shared_ptr<const Pattern> applier_;
};

// Why a run ended.
struct StopReason {
  enum class Kind : std::uint8_t { Saturated, IterationLimit, NodeLimit, TimeLimit };

  Kind kind = Kind::Saturated;
  std::size_t iterations = 0;  // IterationLimit: completed iterations
  std::size_t size = 0;        // NodeLimit: the hash-cons size that exceeded the limit
  double seconds = 0;          // TimeLimit: elapsed time

  static StopReason saturated() { return {}; }
  static StopReason iteration_limit(std::size_t n) { return {Kind::IterationLimit, n, 0, 0}; }
  static StopReason node_limit(std::size_t size) { return {Kind::NodeLimit, 0, size, 0}; }
  static StopReason time_limit(double seconds) { return {Kind::TimeLimit, 0, 0, seconds}; }

  friend bool operator==(const StopReason&, const StopReason&) = default;
};

// "Saturated", "IterationLimit(12)", "NodeLimit(5000)", "TimeLimit(5.000001)".
std::string to_string(const StopReason& reason);

// What one iteration did.
struct Iteration {
  std::size_t egraph_nodes = 0;    // hash-cons size at the start
  std::size_t egraph_classes = 0;  // class count at the start
  // Effective unions per rule name, in order of first effect; rules without
  // any are absent.
  std::vector<std::pair<GlobalSymbol, std::size_t>> applied;
  double search_time = 0;  // seconds
  double apply_time = 0;
  double rebuild_time = 0;
  double total_time = 0;  // from the start of the search phase to the end
  std::size_t rebuild_merges = 0;
  std::optional<StopReason> stop_reason;
};

// How the runner asks which rules to search and how many matches to take.
class RewriteScheduler {
 public:
  virtual ~RewriteScheduler() = default;

  // Whether the scheduler agrees that an iteration that changed nothing ends
  // the run. May change the scheduler's state.
  virtual bool can_stop(std::size_t iteration) = 0;

  virtual std::vector<SearchMatches> search_rewrite(std::size_t iteration, const EGraph& egraph,
                                                    const Rewrite& rewrite) = 0;

  // Applies what search_rewrite returned; returns the number of unions that
  // merged two classes.
  virtual std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rewrite,
                                    const std::vector<SearchMatches>& matches) = 0;
};

struct RuleStats {
  std::size_t uses = 0;     // searches whose matches were handed on
  std::size_t ban_end = 0;  // first iteration in which the rule is searched again
  std::size_t bans = 0;
  std::size_t limit = 0;     // base match allowance per search
  std::size_t ban_span = 0;  // base ban length in iterations
};

// A rule that matches more than limit << bans substitutions in one search is
// banned for ban_span << bans iterations (then bans grows by one). When an
// iteration changes nothing while rules are banned, the bans are moved
// forward so the earliest ends now, instead of stopping the run.
class BackoffScheduler : public RewriteScheduler {
 public:
  static constexpr std::size_t kDefaultMatchLimit = 1000;
  static constexpr std::size_t kDefaultBanLength = 5;

  explicit BackoffScheduler(std::size_t match_limit = kDefaultMatchLimit,
                            std::size_t ban_length = kDefaultBanLength)
      : default_match_limit_(match_limit), default_ban_length_(ban_length) {}

  bool can_stop(std::size_t iteration) override;
  std::vector<SearchMatches> search_rewrite(std::size_t iteration, const EGraph& egraph,
                                            const Rewrite& rewrite) override;
  std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rewrite,
                            const std::vector<SearchMatches>& matches) override;

  // The entry of `name`, created with the initial values if absent.
  RuleStats& rule_stats(GlobalSymbol name);
  // Every entry, in order of first scheduling.
  const std::vector<std::pair<GlobalSymbol, RuleStats>>& stats() const { return stats_; }

 private:
  std::size_t default_match_limit_;
  std::size_t default_ban_length_;
  std::vector<std::pair<GlobalSymbol, RuleStats>> stats_;
};

class Runner {
 public:
  using Clock = std::chrono::steady_clock;
  // Where the runner reads the time; tests substitute a fake.
  using ClockFunction = Clock::time_point (*)();

  static constexpr std::size_t kDefaultIterationLimit = 30;
  static constexpr std::size_t kDefaultNodeLimit = 10'000;
  static constexpr Clock::duration kDefaultTimeLimit = std::chrono::seconds(5);

  Runner();

  void set_iteration_limit(std::size_t limit) { iteration_limit_ = limit; }
  // Stops once hashcons_size() exceeds `limit`.
  void set_node_limit(std::size_t limit) { node_limit_ = limit; }
  // Stops once the time since the first iteration started exceeds `limit`.
  void set_time_limit(Clock::duration limit) { time_limit_ = limit; }
  void set_egraph(EGraph egraph) { egraph_ = std::move(egraph); }
  void set_scheduler(std::unique_ptr<RewriteScheduler> scheduler) { scheduler_ = std::move(scheduler); }
  void set_clock(ClockFunction clock) { clock_ = clock; }

  std::size_t iteration_limit() const { return iteration_limit_; }
  std::size_t node_limit() const { return node_limit_; }
  Clock::duration time_limit() const { return time_limit_; }

  // Runs `rules` in order until a stop reason; the e-graph is rebuilt when
  // this returns. A runner runs once: a second call is an internal error.
  Runner& run(const std::vector<Rewrite>& rules);

  EGraph& egraph() { return egraph_; }
  const EGraph& egraph() const { return egraph_; }
  const std::vector<Iteration>& iterations() const { return iterations_; }
  const std::optional<StopReason>& stop_reason() const { return stop_reason_; }
  RewriteScheduler& scheduler() { return *scheduler_; }
  const RewriteScheduler& scheduler() const { return *scheduler_; }

 private:
  std::optional<StopReason> run_one(const std::vector<Rewrite>& rules);
  std::optional<StopReason> check_limits() const;
  double seconds_since(Clock::time_point start) const;

  EGraph egraph_;
  std::vector<Iteration> iterations_;
  std::optional<StopReason> stop_reason_;
  std::optional<Clock::time_point> start_;
  std::size_t iteration_limit_ = kDefaultIterationLimit;
  std::size_t node_limit_ = kDefaultNodeLimit;
  Clock::duration time_limit_ = kDefaultTimeLimit;
  std::unique_ptr<RewriteScheduler> scheduler_;
  ClockFunction clock_ = &Clock::now;
};

// Writes the duplicate-name warning for `rules` to `out`, if any name repeats.
void warn_duplicate_names(const std::vector<Rewrite>& rules, std::ostream& out);

}  // namespace korvane::egraph
