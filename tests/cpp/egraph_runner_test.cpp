#include "egraph/runner.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "error.hpp"

namespace korvane::egraph {
namespace {

using std::chrono::nanoseconds;
using std::chrono::seconds;

Rewrite rule(const char* name, const char* searcher, const char* applier) {
  Result<Rewrite, std::string> made = Rewrite::parse(name, searcher, applier);
  if (!made) throw std::runtime_error(made.error());
  return std::move(*made);
}

SymbolLang leaf(const std::string& op) { return SymbolLang::from_op(op, {}); }

// `count` classes f(x_k) over distinct leaves: `(f ?x)` matches `count` times.
EGraph fan(int count, const char* op = "f") {
  EGraph g;
  for (int k = 0; k < count; ++k) {
    Id x = g.add(leaf("runner-leaf-" + std::to_string(k)));
    g.add(SymbolLang::from_op(op, {x}));
  }
  return g;
}

std::size_t applied_by(const Iteration& record, const char* name) {
  for (const auto& [rule_name, count] : record.applied) {
    if (rule_name == intern(name)) return count;
  }
  return 0;
}

TEST(RewriteTest, ApplierVariablesMustBeBoundByTheSearcher) {
  Result<Rewrite, std::string> bad = Rewrite::parse("bad-rule", "(f ?x)", "(g ?x ?y)");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), "Rewrite bad-rule refers to unbound var ?y");

  Result<Rewrite, std::string> good = Rewrite::parse("good-rule", "(f ?x ?y)", "?y");
  ASSERT_TRUE(good);
  EXPECT_EQ(good->name(), intern("good-rule"));
  Rewrite copy = *good;
  EXPECT_EQ(&copy.searcher(), &good->searcher());  // patterns are shared, not copied

  Result<Rewrite, std::string> unparsable = Rewrite::parse("broken", "(f ?x", "?x");
  ASSERT_FALSE(unparsable);
  EXPECT_NE(unparsable.error().find("broken"), std::string::npos);
}

TEST(RunnerTest, NothingMatchingSaturatesInTheFirstIteration) {
  Runner runner;
  runner.set_egraph(fan(3));
  runner.run({rule("no-match", "(absent ?x)", "(other ?x)")});
  ASSERT_EQ(runner.iterations().size(), 1u);
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
  EXPECT_EQ(runner.iterations()[0].stop_reason, StopReason::saturated());
  EXPECT_TRUE(runner.egraph().is_clean());
}

TEST(RunnerTest, CommutedDuplicatesMergeAndRecordsCountUnions) {
  EGraph g;
  Id a = g.add(leaf("a"));
  Id b = g.add(leaf("b"));
  Id ab = g.add(SymbolLang::from_op("op|add", {a, b}));
  Id ba = g.add(SymbolLang::from_op("op|add", {b, a}));
  Id neg_ab = g.add(SymbolLang::from_op("op|neg", {ab}));
  Id neg_ba = g.add(SymbolLang::from_op("op|neg", {ba}));
  Runner runner;
  runner.set_egraph(std::move(g));
  runner.run({rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)")});
  const EGraph& result = runner.egraph();
  EXPECT_EQ(result.find(ab), result.find(ba));
  EXPECT_EQ(result.find(neg_ab), result.find(neg_ba));  // congruence
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
  ASSERT_EQ(runner.iterations().size(), 2u);
  // Two matches, but the second union finds the classes already merged.
  EXPECT_EQ(applied_by(runner.iterations()[0], "commute-add"), 1u);
  EXPECT_EQ(runner.iterations()[0].rebuild_merges, 1u);
  EXPECT_EQ(runner.iterations()[0].egraph_nodes, 6u);
  EXPECT_TRUE(runner.iterations()[1].applied.empty());
}

TEST(BackoffSchedulerTest, BanAfterTooManyMatchesThenDoubledAllowance) {
  Rewrite f_to_g = rule("f-to-g", "(f ?x)", "(g ?x)");
  for (int matches : {1001, 2000, 2001}) {
    EGraph g = fan(matches);
    g.rebuild();
    BackoffScheduler scheduler;
    EXPECT_TRUE(scheduler.search_rewrite(0, g, f_to_g).empty()) << matches;
    RuleStats stats = scheduler.rule_stats(f_to_g.name());
    EXPECT_EQ(stats.bans, 1u);
    EXPECT_EQ(stats.ban_end, 5u);
    EXPECT_EQ(stats.uses, 0u);

    // Nothing changed in iteration 0: the ban is moved forward to end now.
    EXPECT_FALSE(scheduler.can_stop(0));
    EXPECT_EQ(scheduler.rule_stats(f_to_g.name()).ban_end, 0u);

    std::vector<SearchMatches> retried = scheduler.search_rewrite(1, g, f_to_g);
    stats = scheduler.rule_stats(f_to_g.name());
    if (matches <= 2000) {
      EXPECT_EQ(retried.size(), static_cast<std::size_t>(matches));
      EXPECT_EQ(stats.uses, 1u);
      EXPECT_EQ(stats.bans, 1u);
      EXPECT_TRUE(scheduler.can_stop(1));
    } else {
      EXPECT_TRUE(retried.empty());
      EXPECT_EQ(stats.bans, 2u);
      EXPECT_EQ(stats.ban_end, 11u);  // banned for 10 iterations from 1
      EXPECT_FALSE(scheduler.can_stop(1));
      EXPECT_EQ(scheduler.rule_stats(f_to_g.name()).ban_end, 1u);
    }
  }
}

TEST(BackoffSchedulerTest, FastForwardMovesEveryBanByTheSameAmount) {
  BackoffScheduler scheduler;
  scheduler.rule_stats(intern("early")).ban_end = 7;
  scheduler.rule_stats(intern("late")).ban_end = 12;
  scheduler.rule_stats(intern("free")).ban_end = 1;
  EXPECT_FALSE(scheduler.can_stop(3));
  EXPECT_EQ(scheduler.rule_stats(intern("early")).ban_end, 3u);
  EXPECT_EQ(scheduler.rule_stats(intern("late")).ban_end, 8u);
  EXPECT_EQ(scheduler.rule_stats(intern("free")).ban_end, 1u);
  EXPECT_EQ(scheduler.stats().size(), 3u);
  EXPECT_EQ(scheduler.stats()[0].first, intern("early"));
}

TEST(RunnerTest, BannedRuleIsRetriedAfterTheFastForward) {
  Runner runner;
  runner.set_egraph(fan(1001));
  runner.run({rule("f-to-g", "(f ?x)", "(g ?x)")});
  const auto& records = runner.iterations();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_TRUE(records[0].applied.empty());  // banned: nothing applied, yet no stop
  EXPECT_EQ(records[0].stop_reason, std::nullopt);
  EXPECT_EQ(applied_by(records[1], "f-to-g"), 1001u);
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());
  auto& scheduler = dynamic_cast<BackoffScheduler&>(runner.scheduler());
  EXPECT_EQ(scheduler.rule_stats(intern("f-to-g")).bans, 1u);
  EXPECT_EQ(scheduler.rule_stats(intern("f-to-g")).uses, 2u);
}

// (f ?x) => (f (s ?x)) adds two new nodes for every match, forever.
Rewrite grow() { return rule("grow", "(f ?x)", "(f (s ?x))"); }

TEST(RunnerTest, IterationLimitGivesExactlyThatManyRecords) {
  Runner runner;
  runner.set_egraph(fan(1));
  runner.set_iteration_limit(12);
  runner.run({grow()});
  EXPECT_EQ(runner.iterations().size(), 12u);
  EXPECT_EQ(runner.stop_reason(), StopReason::iteration_limit(12));
  for (const Iteration& record : runner.iterations()) {
    EXPECT_EQ(record.stop_reason, std::nullopt);
    EXPECT_GT(applied_by(record, "grow"), 0u);
  }
}

TEST(RunnerTest, IterationLimitZeroStillRecordsOneIteration) {
  Runner runner;
  runner.set_egraph(fan(1));
  runner.set_iteration_limit(0);
  runner.run({grow()});
  ASSERT_EQ(runner.iterations().size(), 1u);
  EXPECT_EQ(runner.stop_reason(), StopReason::iteration_limit(0));
  EXPECT_TRUE(runner.iterations()[0].applied.empty());
}

TEST(RunnerTest, NodeLimitStopsInTheMiddleOfThePhase) {
  EGraph g = fan(100);
  Id a = g.add(leaf("runner-a"));
  Id b = g.add(leaf("runner-b"));
  std::size_t initial = g.hashcons_size();
  Runner runner;
  runner.set_egraph(std::move(g));
  runner.set_node_limit(initial + 10);
  runner.run({grow(), rule("a-is-b", "runner-a", "runner-b")});
  ASSERT_EQ(runner.iterations().size(), 1u);
  // grow added s(x) and f(s(x)) for all 100 matches before the check.
  EXPECT_EQ(runner.stop_reason(), StopReason::node_limit(initial + 200));
  EXPECT_EQ(applied_by(runner.iterations()[0], "grow"), 100u);
  EXPECT_EQ(applied_by(runner.iterations()[0], "a-is-b"), 0u);
  EXPECT_NE(runner.egraph().find(a), runner.egraph().find(b));
  EXPECT_TRUE(runner.egraph().is_clean());
}

// A fake clock: the first read is the start; every later read is `later`
// after it.
Runner::Clock::time_point g_start{seconds(1000)};
Runner::Clock::duration g_later{};
int g_reads = 0;
Runner::Clock::time_point fake_clock() { return g_reads++ == 0 ? g_start : g_start + g_later; }

TEST(RunnerTest, ElapsedTimeEqualToTheLimitDoesNotStop) {
  g_reads = 0;
  g_later = seconds(5);
  Runner runner;
  runner.set_clock(&fake_clock);
  runner.set_egraph(fan(1));
  runner.set_iteration_limit(3);
  runner.run({grow()});
  EXPECT_EQ(runner.stop_reason(), StopReason::iteration_limit(3));
  EXPECT_EQ(runner.iterations().size(), 3u);
}

TEST(RunnerTest, ElapsedTimeAboveTheLimitStopsBeforeSearching) {
  g_reads = 0;
  g_later = seconds(5) + nanoseconds(1);
  Runner runner;
  runner.set_clock(&fake_clock);
  runner.set_egraph(fan(1));
  runner.run({grow()});
  ASSERT_EQ(runner.iterations().size(), 1u);
  ASSERT_TRUE(runner.stop_reason().has_value());
  EXPECT_EQ(runner.stop_reason()->kind, StopReason::Kind::TimeLimit);
  EXPECT_DOUBLE_EQ(runner.stop_reason()->seconds, 5.000000001);
  EXPECT_TRUE(runner.iterations()[0].applied.empty());
}

TEST(RunnerTest, DuplicatedNamesWarnOnStandardErrorAndShareStats) {
  Runner runner;
  runner.set_egraph(fan(2));
  testing::internal::CaptureStderr();
  runner.run({rule("dup", "(f ?x)", "(g ?x)"), rule("once", "(g ?x)", "(h ?x)"),
              rule("dup", "(h ?x)", "(k ?x)"), rule("twice", "(k ?x)", "?x"),
              rule("twice", "(nothing ?x)", "?x"), rule("dup", "(k ?x)", "(g ?x)")});
  std::string warning = testing::internal::GetCapturedStderr();
  EXPECT_EQ(warning,
            "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n"
            "Rule 'dup' appears 3 times\n"
            "Rule 'twice' appears 2 times\n");
  auto& scheduler = dynamic_cast<BackoffScheduler&>(runner.scheduler());
  EXPECT_EQ(scheduler.stats().size(), 3u);
  EXPECT_EQ(runner.stop_reason(), StopReason::saturated());

  Runner quiet;
  testing::internal::CaptureStderr();
  quiet.run({grow(), rule("other", "(g ?x)", "?x")});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(RunnerTest, RunRebuildsFirstAndRunsOnce) {
  EGraph g;
  Id x = g.add(leaf("x"));
  Id y = g.add(leaf("y"));
  Id fx = g.add(SymbolLang::from_op("f", {x}));
  Id fy = g.add(SymbolLang::from_op("f", {y}));
  g.union_(x, y);  // pending congruence: the run must rebuild before searching
  Runner runner;
  runner.set_egraph(std::move(g));
  runner.run({rule("f-to-g", "(f ?x)", "(g ?x)")});
  EXPECT_EQ(runner.egraph().find(fx), runner.egraph().find(fy));
  EXPECT_THROW(runner.run({}), InternalError);
}

}  // namespace
}  // namespace korvane::egraph
