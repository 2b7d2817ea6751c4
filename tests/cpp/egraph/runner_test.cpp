#include "egraph/runner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "egraph/extract.h"
#include "egraph/test_util.h"

namespace morvalen::egraph {
namespace {

using testing::internal_failure;
using testing::term;

Rewrite rule(const char* name, const char* lhs, const char* rhs) {
  auto r = Rewrite::parse(name, lhs, rhs);
  if (!r) throw InternalError(r.error());
  return std::move(*r);
}

std::vector<Rewrite> identity_rules() {
  std::vector<Rewrite> rules;
  rules.push_back(rule("comm-add", "(+ ?a ?b)", "(+ ?b ?a)"));
  rules.push_back(rule("comm-add-rev", "(+ ?b ?a)", "(+ ?a ?b)"));
  rules.push_back(rule("comm-mul", "(* ?a ?b)", "(* ?b ?a)"));
  rules.push_back(rule("comm-mul-rev", "(* ?b ?a)", "(* ?a ?b)"));
  rules.push_back(rule("assoc-add", "(+ (+ ?a ?b) ?c)", "(+ ?a (+ ?b ?c))"));
  rules.push_back(rule("assoc-add-rev", "(+ ?a (+ ?b ?c))", "(+ (+ ?a ?b) ?c)"));
  rules.push_back(rule("assoc-mul", "(* (* ?a ?b) ?c)", "(* ?a (* ?b ?c))"));
  rules.push_back(rule("assoc-mul-rev", "(* ?a (* ?b ?c))", "(* (* ?a ?b) ?c)"));
  return rules;
}

std::size_t applied(const Iteration& it, const char* name) {
  for (const auto& [n, count] : it.applied)
    if (n == support::Symbol::intern(name)) return count;
  return 0;
}

TEST(Runner, Defaults) {
  Runner r;
  EXPECT_EQ(r.iter_limit(), 30u);
  EXPECT_EQ(r.node_limit(), 10000u);
  EXPECT_EQ(r.time_limit(), std::chrono::seconds(5));
  EXPECT_EQ(r.scheduler().default_match_limit(), 1000u);
  EXPECT_EQ(r.scheduler().default_ban_length(), 5u);
  EXPECT_FALSE(r.stop_reason().has_value());
}

TEST(Runner, SingleParameterSaturatesInTheFirstIteration) {
  Runner r;
  r.with_expr(term("(param 0)"));
  auto rules = identity_rules();
  r.run(rules);
  ASSERT_TRUE(r.stop_reason().has_value());
  EXPECT_EQ(r.stop_reason()->to_string(), "Saturated");
  ASSERT_EQ(r.iterations().size(), 1u);
  const Iteration& it = r.iterations()[0];
  EXPECT_TRUE(it.applied.empty());
  EXPECT_EQ(it.egraph_nodes, 2u);
  EXPECT_EQ(it.egraph_classes, 2u);
  EXPECT_EQ(it.n_rebuilds, 0u);
  ASSERT_TRUE(it.stop_reason.has_value());
  EXPECT_TRUE(std::holds_alternative<StopReason::Saturated>(it.stop_reason->detail));
  for (const auto& [name, stats] : r.scheduler().stats()) EXPECT_EQ(stats.times_banned, 0u) << name.text();
}

TEST(Runner, SumSaturatesAfterCommutation) {
  Runner r;
  r.with_expr(term("(+ (param 0) (param 1))"));
  auto rules = identity_rules();
  r.run(rules);
  EXPECT_EQ(r.stop_reason()->to_string(), "Saturated");
  ASSERT_EQ(r.iterations().size(), 2u);
  EXPECT_EQ(applied(r.iterations()[0], "comm-add"), 1u);
  EXPECT_EQ(applied(r.iterations()[0], "comm-add-rev"), 0u);
  EXPECT_EQ(r.iterations()[0].applied.size(), 1u);
  EXPECT_TRUE(r.iterations()[1].applied.empty());
  ASSERT_EQ(r.roots().size(), 1u);
  EXPECT_EQ(r.egraph().eclass(r.roots()[0]).nodes.size(), 2u);
  EXPECT_EQ(r.iterations()[1].egraph_nodes, 6u);
}

// What one run leaves behind that a reused runner could get wrong.
struct RunSummary {
  std::string stop;
  std::vector<std::size_t> sizes;
  std::size_t classes = 0;
  std::string best;
  friend bool operator==(const RunSummary&, const RunSummary&) = default;
};

RunSummary summarize_run(Runner& r, const char* text, std::size_t iter_limit) {
  r.with_iter_limit(iter_limit);
  r.with_expr(term(text));
  auto rules = identity_rules();
  r.run(rules);
  RunSummary s{r.stop_reason()->to_string(), {}, r.egraph().number_of_classes(), ""};
  for (const Iteration& it : r.iterations()) s.sizes.push_back(it.egraph_nodes);
  s.best = Extractor(r.egraph()).find_best(r.roots()[0]).expr.to_string();
  return s;
}

TEST(Runner, ResetRunnerRunsLikeANewOne) {
  const char* larger = "(* (+ (param 0) (param 1)) (+ (param 2) (* (param 0) 3)))";
  const char* smaller = "(+ (param 1) (param 0))";
  for (std::size_t kept : {std::size_t{0}, std::size_t{1} << 20}) {
    Runner reused;
    reused.egraph().logger().install([](LogLevel, std::string_view) {}, LogLevel::Trace);
    summarize_run(reused, larger, 3);
    reused.reset(kept);
    EXPECT_FALSE(reused.egraph().logger().enabled(LogLevel::Warning));
    EXPECT_EQ(reused.egraph().total_size(), 0u);
    Runner fresh;
    EXPECT_EQ(summarize_run(reused, smaller, 30), summarize_run(fresh, smaller, 30)) << kept;
  }
}

TEST(Runner, IterationLimit) {
  Runner r;
  r.with_iter_limit(2).with_expr(term("(+ (+ (+ (param 0) (param 1)) (param 2)) (param 3))"));
  auto rules = identity_rules();
  r.run(rules);
  EXPECT_EQ(r.stop_reason()->to_string(), "IterationLimit(2)");
  EXPECT_EQ(r.iterations().size(), 2u);
}

TEST(Runner, ZeroIterationLimitStillRecordsOneIteration) {
  Runner r;
  r.with_iter_limit(0).with_expr(term("(+ (param 0) (param 1))"));
  auto rules = identity_rules();
  r.run(rules);
  EXPECT_EQ(r.stop_reason()->to_string(), "IterationLimit(0)");
  ASSERT_EQ(r.iterations().size(), 1u);
  EXPECT_TRUE(r.iterations()[0].applied.empty());
  EXPECT_EQ(r.egraph().total_size(), 5u);
}

TEST(Runner, ExpiredTimeLimit) {
  Runner r;
  r.with_time_limit(std::chrono::nanoseconds(-1)).with_expr(term("(+ (param 0) (param 1))"));
  auto rules = identity_rules();
  r.run(rules);
  ASSERT_TRUE(r.stop_reason().has_value());
  EXPECT_TRUE(std::holds_alternative<StopReason::TimeLimit>(r.stop_reason()->detail));
  EXPECT_EQ(r.iterations().size(), 1u);
  EXPECT_EQ(r.egraph().total_size(), 5u);
}

TEST(Runner, NodeLimitDuringApplyStopsAfterRebuildAndStillExtracts) {
  Runner r;
  RecExpr start = term("(+ (* (param 0) (param 1)) (+ (* (param 2) (param 3)) (* (param 4) (param 5))))");
  r.with_node_limit(20).with_expr(start);
  std::size_t initial = r.egraph().total_size();
  ASSERT_EQ(initial, 17u);
  auto rules = identity_rules();
  r.run(rules);
  ASSERT_TRUE(r.stop_reason().has_value());
  const auto* limit = std::get_if<StopReason::NodeLimit>(&r.stop_reason()->detail);
  ASSERT_NE(limit, nullptr) << r.stop_reason()->to_string();
  EXPECT_EQ(limit->size, r.egraph().total_size());
  EXPECT_GT(limit->size, 20u);
  ASSERT_EQ(r.iterations().size(), 1u);
  EXPECT_FALSE(r.iterations()[0].applied.empty());
  EXPECT_TRUE(r.egraph().is_clean());
  Extractor ex(r.egraph());
  BestTerm best = ex.find_best(r.roots()[0]);
  EXPECT_EQ(best.cost, 3u * 8 + 2 * 2);  // the cost of the input term
  EXPECT_EQ(best.expr.size(), start.size());
}

TEST(Runner, RunStopsWithLimitsNotErrors) {
  Runner r;
  r.with_iter_limit(8).with_node_limit(20000).with_expr(term("(+ (+ (param 0) (param 1)) (+ (param 2) (param 3)))"));
  auto rules = identity_rules();
  r.run(rules);
  ASSERT_TRUE(r.stop_reason().has_value());
  EXPECT_LE(r.iterations().size(), 8u);
  EXPECT_EQ(r.iterations().back().stop_reason->to_string(), r.stop_reason()->to_string());
}

TEST(Runner, DuplicateRuleNamesAreReportedOnStandardError) {
  Runner r;
  r.with_expr(term("(param 0)"));
  std::vector<Rewrite> rules;
  rules.push_back(rule("comm-add", "(+ ?a ?b)", "(+ ?b ?a)"));
  rules.push_back(rule("x", "(* ?a ?b)", "(* ?b ?a)"));
  rules.push_back(rule("comm-add", "(+ ?b ?a)", "(+ ?a ?b)"));
  rules.push_back(rule("x", "(neg ?a)", "(neg ?a)"));
  rules.push_back(rule("x", "(exp ?a)", "(exp ?a)"));
  ::testing::internal::CaptureStderr();
  r.run(rules);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n"
            "Rule 'comm-add' appears 2 times\n"
            "Rule 'x' appears 3 times\n");
  EXPECT_EQ(r.stop_reason()->to_string(), "Saturated");
}

TEST(Runner, NoWarningForDistinctNames) {
  Runner r;
  r.with_expr(term("(param 0)"));
  auto rules = identity_rules();
  ::testing::internal::CaptureStderr();
  r.run(rules);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(Runner, LogsTheStopReasonToAnInstalledSink) {
  Runner r;
  std::vector<std::string> info;
  r.egraph().logger().install(
      [&](LogLevel level, std::string_view text) {
        if (level == LogLevel::Info) info.emplace_back(text);
      },
      LogLevel::Info);
  r.with_expr(term("(param 0)"));
  auto rules = identity_rules();
  r.run(rules);
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info.back(), "Stopping: Saturated");
}

// 1001 distinct sums: one more than the first match limit of a rule.
Runner many_sums() {
  Runner r;
  RecExpr e;
  std::vector<Id> params;
  for (int i = 0; i <= 1001; ++i)
    params.push_back(e.add(MathLang::make(MathKind::Param, e.add(MathLang::make_int(i)))));
  for (int i = 0; i < 1001; ++i)
    r.push_root(r.egraph().add_expr([&] {
      RecExpr s = e;
      s.add(MathLang::make(MathKind::Add, params[i], params[i + 1]));
      return s;
    }()));
  r.egraph().rebuild();
  return r;
}

TEST(Scheduler, RuleMatchingMoreThanItsLimitIsBannedAndNothingApplied) {
  Runner r = many_sums();
  BackoffScheduler s;
  Rewrite comm = rule("comm-add", "(+ ?a ?b)", "(+ ?b ?a)");
  std::vector<std::string> info;
  r.egraph().logger().install([&](LogLevel, std::string_view text) { info.emplace_back(text); }, LogLevel::Debug);
  EXPECT_TRUE(s.search_rewrite(0, r.egraph(), comm).empty());
  RuleStats& st = s.rule_stats(comm.name());
  EXPECT_EQ(st.banned_until, 5u);
  EXPECT_EQ(st.times_banned, 1u);
  EXPECT_EQ(st.times_applied, 0u);
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0], "Banning comm-add (0-1) for 5 iters: 1000 < 1001");
  // Skipped while banned.
  EXPECT_TRUE(s.search_rewrite(4, r.egraph(), comm).empty());
  EXPECT_EQ(info.back(), "Skipping comm-add (0-1), banned until 5...");
  // Then allowed twice as many matches.
  auto ms = s.search_rewrite(5, r.egraph(), comm);
  std::size_t total = 0;
  for (const auto& m : ms) total += m.substs.size();
  EXPECT_EQ(total, 1001u);
  EXPECT_EQ(st.times_applied, 1u);
}

TEST(Scheduler, SecondBanIsTwiceAsLong) {
  EGraph g;
  for (int i = 0; i < 5; ++i) g.add_expr(term("(neg " + std::to_string(i) + ")"));
  g.rebuild();
  BackoffScheduler s(2, 3);
  Rewrite r = rule("n", "(neg ?x)", "?x");
  EXPECT_TRUE(s.search_rewrite(0, g, r).empty());  // 5 > 2
  EXPECT_EQ(s.rule_stats(r.name()).banned_until, 3u);
  EXPECT_TRUE(s.search_rewrite(3, g, r).empty());  // 5 > 4
  EXPECT_EQ(s.rule_stats(r.name()).banned_until, 9u);
  EXPECT_EQ(s.rule_stats(r.name()).times_banned, 2u);
  EXPECT_EQ(s.search_rewrite(9, g, r).size(), 5u);  // 5 <= 8
}

TEST(Scheduler, CanStopFastForwardsBans) {
  BackoffScheduler s;
  Logger log;
  std::vector<std::string> info;
  log.install([&](LogLevel, std::string_view text) { info.emplace_back(text); }, LogLevel::Info);
  support::Symbol a = support::Symbol::intern("rule-a");
  support::Symbol b = support::Symbol::intern("rule-b");
  support::Symbol c = support::Symbol::intern("rule-c");
  s.rule_stats(a).banned_until = 7;
  s.rule_stats(b).banned_until = 9;
  s.rule_stats(c).banned_until = 2;  // already released
  EXPECT_FALSE(s.can_stop(3, log));
  EXPECT_EQ(s.rule_stats(a).banned_until, 3u);
  EXPECT_EQ(s.rule_stats(b).banned_until, 5u);
  EXPECT_EQ(s.rule_stats(c).banned_until, 2u);
  EXPECT_EQ(info.back(), "Banned 2/3, fast-forwarded by 4 to unban rule-a");
  EXPECT_FALSE(s.can_stop(3, log));
  EXPECT_EQ(s.rule_stats(b).banned_until, 3u);
  EXPECT_EQ(info.back(), "Banned 1/3, fast-forwarded by 2 to unban rule-b");
  EXPECT_TRUE(s.can_stop(3, log));
}

TEST(Scheduler, SeveralRulesUnbannedTogether) {
  BackoffScheduler s;
  Logger log;
  std::vector<std::string> info;
  log.install([&](LogLevel, std::string_view text) { info.emplace_back(text); }, LogLevel::Info);
  s.rule_stats(support::Symbol::intern("p")).banned_until = 6;
  s.rule_stats(support::Symbol::intern("q")).banned_until = 6;
  EXPECT_FALSE(s.can_stop(1, log));
  EXPECT_EQ(info.back(), "Banned 2/2, fast-forwarded by 5 to unban p, q");
}

TEST(Runner, BannedRuleRunsAgainAfterFastForward) {
  Runner r = many_sums();
  std::vector<Rewrite> rules;
  rules.push_back(rule("comm-add", "(+ ?a ?b)", "(+ ?b ?a)"));
  r.run(rules);
  ASSERT_GE(r.iterations().size(), 2u);
  EXPECT_TRUE(r.iterations()[0].applied.empty());
  EXPECT_EQ(applied(r.iterations()[1], "comm-add"), 1001u);
  // Iteration 2 finds 2002 matches (all in-class), more than the 2000 allowed:
  // banned again, and the run only saturates once the ban is fast-forwarded.
  EXPECT_EQ(r.stop_reason()->to_string(), "Saturated");
  const RuleStats& st = r.scheduler().stats()[0].second;
  EXPECT_EQ(st.times_banned, 2u);
}

TEST(StopReasonText, Rendering) {
  EXPECT_EQ(StopReason{StopReason::IterationLimit{8}}.to_string(), "IterationLimit(8)");
  EXPECT_EQ(StopReason{StopReason::NodeLimit{20001}}.to_string(), "NodeLimit(20001)");
  EXPECT_EQ(StopReason{StopReason::TimeLimit{5.5}}.to_string(), "TimeLimit(5.5)");
  EXPECT_EQ(StopReason{StopReason::Other{"hook"}}.to_string(), "Other(hook)");
}

}  // namespace
}  // namespace morvalen::egraph
