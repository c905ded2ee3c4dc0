#include "egraph/runner.hpp"

#include <algorithm>
#include <iostream>
#include <limits>
#include <sstream>

#include "error.hpp"

namespace korvane::egraph {

// ---------------------------------------------------------------------------
// Rewrites

Result<Rewrite, std::string> Rewrite::create(std::string_view name, Pattern searcher,
                                              Pattern applier) {
  std::vector<Var> bound = searcher.vars();
  for (Var var : applier.vars()) {
    if (std::find(bound.begin(), bound.end(), var) == bound.end()) {
      return unexpected("Rewrite " + std::string(name) + " refers to unbound var " +
                        std::string(var.name()));
    }
  }
  return Rewrite(GlobalSymbol::intern(name), std::make_shared<const Pattern>(std::move(searcher)),
                 std::make_shared<const Pattern>(std::move(applier)));
}

Result<Rewrite, std::string> Rewrite::parse(std::string_view name, std::string_view searcher,
                                            std::string_view applier) {
  Result<Pattern, PatternError> search = Pattern::from_str(searcher);
  if (!search) {
    return unexpected("Rewrite " + std::string(name) + ": bad searcher: " + to_string(search.error()));
  }
  Result<Pattern, PatternError> apply = Pattern::from_str(applier);
  if (!apply) {
    return unexpected("Rewrite " + std::string(name) + ": bad applier: " + to_string(apply.error()));
  }
  return create(name, std::move(*search), std::move(*apply));
}

std::string to_string(const StopReason& reason) {
  std::ostringstream out;
  switch (reason.kind) {
    case StopReason::Kind::Saturated:
      out << "Saturated";
      break;
    case StopReason::Kind::IterationLimit:
      out << "IterationLimit(" << reason.iterations << ")";
      break;
    case StopReason::Kind::NodeLimit:
      out << "NodeLimit(" << reason.size << ")";
      break;
    case StopReason::Kind::TimeLimit:
      out << "TimeLimit(" << reason.seconds << ")";
      break;
  }
  return out.str();
}

// ---------------------------------------------------------------------------
// Back-off scheduler

namespace {

constexpr std::size_t kMaxSize = std::numeric_limits<std::size_t>::max();

// `value` << `bits`, or the largest value if bits would be lost.
std::size_t saturating_shift(std::size_t value, std::size_t bits) {
  if (value == 0) return 0;
  if (bits >= 64 || value > (kMaxSize >> bits)) return kMaxSize;
  return value << bits;
}

std::size_t saturating_add(std::size_t a, std::size_t b) { return a > kMaxSize - b ? kMaxSize : a + b; }

}  // namespace

RuleStats& BackoffScheduler::rule_stats(GlobalSymbol name) {
  for (auto& [rule, stats] : stats_) {
    if (rule == name) return stats;
  }
  RuleStats fresh;
  fresh.limit = default_match_limit_;
  fresh.ban_span = default_ban_length_;
  return stats_.emplace_back(name, fresh).second;
}

std::vector<SearchMatches> BackoffScheduler::search_rewrite(std::size_t iteration,
                                                            const EGraph& egraph,
                                                            const Rewrite& rewrite) {
  RuleStats& stats = rule_stats(rewrite.name());
  if (iteration < stats.ban_end) return {};

  check_invariant(stats.bans < 64, "a rule was banned more than 63 times");
  std::size_t threshold = saturating_shift(stats.limit, stats.bans);
  std::vector<SearchMatches> matches =
      rewrite.search_with_limit(egraph, saturating_add(threshold, 1));
  std::size_t total = 0;
  for (const SearchMatches& match : matches) total += match.substs.size();

  if (total > threshold) {
    std::size_t span = saturating_shift(stats.ban_span, stats.bans % 64);
    stats.bans += 1;
    stats.ban_end = saturating_add(iteration, span);
    return {};
  }
  stats.uses += 1;
  return matches;
}

std::size_t BackoffScheduler::apply_rewrite(std::size_t iteration, EGraph& egraph,
                                            const Rewrite& rewrite,
                                            const std::vector<SearchMatches>& matches) {
  return rewrite.apply(egraph, matches).size();
}

bool BackoffScheduler::can_stop(std::size_t iteration) {
  std::size_t earliest = kMaxSize;
  bool any_banned = false;
  for (const auto& [name, stats] : stats_) {
    if (stats.ban_end > iteration) {
      any_banned = true;
      earliest = std::min(earliest, stats.ban_end);
    }
  }
  if (!any_banned) return true;

  check_invariant(earliest >= iteration, "a ban ends before the current iteration");
  std::size_t delta = earliest - iteration;
  bool unbanned = false;
  for (auto& [name, stats] : stats_) {
    if (stats.ban_end > iteration) {
      stats.ban_end -= delta;
      unbanned = unbanned || stats.ban_end == iteration;
    }
  }
  check_invariant(unbanned, "fast-forwarding the bans unbanned no rule");
  return false;
}

// ---------------------------------------------------------------------------
// Runner

Runner::Runner() : scheduler_(std::make_unique<BackoffScheduler>()) {}

void warn_duplicate_names(const std::vector<Rewrite>& rules, std::ostream& out) {
  std::vector<std::pair<GlobalSymbol, std::size_t>> counts;
  for (const Rewrite& rule : rules) {
    auto found = std::find_if(counts.begin(), counts.end(),
                              [&](const auto& entry) { return entry.first == rule.name(); });
    if (found == counts.end()) {
      counts.emplace_back(rule.name(), 1);
    } else {
      ++found->second;
    }
  }
  bool warned = false;
  for (const auto& [name, count] : counts) {
    if (count < 2) continue;
    if (!warned) {
      out << "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n";
      warned = true;
    }
    out << "Rule '" << name << "' appears " << count << " times\n";
  }
  if (warned) out.flush();
}

double Runner::seconds_since(Clock::time_point start) const {
  return std::chrono::duration<double>(clock_() - start).count();
}

std::optional<StopReason> Runner::check_limits() const {
  Clock::duration elapsed = clock_() - *start_;
  if (elapsed > time_limit_) {
    return StopReason::time_limit(std::chrono::duration<double>(elapsed).count());
  }
  std::size_t size = egraph_.hashcons_size();
  if (size > node_limit_) return StopReason::node_limit(size);
  if (iterations_.size() >= iteration_limit_) return StopReason::iteration_limit(iterations_.size());
  return std::nullopt;
}

Runner& Runner::run(const std::vector<Rewrite>& rules) {
  check_invariant(scheduler_ != nullptr && clock_ != nullptr, "a runner needs a scheduler and a clock");
  warn_duplicate_names(rules, std::cerr);
  egraph_.rebuild();
  for (;;) {
    std::optional<StopReason> stop = run_one(rules);
    if (!stop) stop = check_limits();
    if (stop) {
      stop_reason_ = stop;
      break;
    }
  }
  check_invariant(!iterations_.empty() && stop_reason_.has_value(),
                  "a run ended without an iteration record or a stop reason");
  return *this;
}

std::optional<StopReason> Runner::run_one(const std::vector<Rewrite>& rules) {
  check_invariant(!stop_reason_.has_value(), "an iteration started after the run stopped");
  if (!start_) start_ = clock_();

  std::optional<StopReason> result = check_limits();
  Iteration record;
  record.egraph_nodes = egraph_.hashcons_size();
  record.egraph_classes = egraph_.class_count();
  std::size_t i = iterations_.size();

  Clock::time_point search_start = clock_();
  std::vector<std::vector<SearchMatches>> matches;
  matches.reserve(rules.size());
  if (!result) {
    for (const Rewrite& rule : rules) {
      matches.push_back(scheduler_->search_rewrite(i, egraph_, rule));
      result = check_limits();
      if (result) break;
    }
  }
  Clock::time_point apply_start = clock_();
  record.search_time = std::chrono::duration<double>(apply_start - search_start).count();

  if (!result) {
    for (std::size_t r = 0; r < rules.size(); ++r) {
      std::size_t applied = scheduler_->apply_rewrite(i, egraph_, rules[r], matches[r]);
      if (applied > 0) {
        auto entry = std::find_if(record.applied.begin(), record.applied.end(),
                                  [&](const auto& e) { return e.first == rules[r].name(); });
        if (entry == record.applied.end()) {
          record.applied.emplace_back(rules[r].name(), applied);
        } else {
          entry->second += applied;
        }
      }
      result = check_limits();
      if (result) break;
    }
  }
  Clock::time_point rebuild_start = clock_();
  record.apply_time = std::chrono::duration<double>(rebuild_start - apply_start).count();

  record.rebuild_merges = egraph_.rebuild();
  record.rebuild_time = seconds_since(rebuild_start);

  if (record.applied.empty()) {
    bool scheduler_agrees = scheduler_->can_stop(i);
    if (scheduler_agrees && !result && egraph_.hashcons_size() == record.egraph_nodes &&
        egraph_.class_count() == record.egraph_classes) {
      result = StopReason::saturated();
    }
  }
  record.total_time = seconds_since(search_start);
  record.stop_reason = result;
  iterations_.push_back(std::move(record));
  return result;
}

}  // namespace korvane::egraph
