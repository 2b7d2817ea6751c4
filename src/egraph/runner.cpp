#include "egraph/runner.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <limits>
#include <string>

#include "support/internal_error.h"
#include "support/overloaded.h"

namespace morvalen::egraph {
namespace {

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

using Clock = std::chrono::steady_clock;

std::string format_seconds(double s) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, s);
  return std::string(buf, res.ptr);
}

// `value << shift` saturating at the largest word; a shift of 64 or more is a
// state that the ban counts never reach.
std::size_t shifted(std::size_t value, std::size_t shift) {
  if (shift >= 64) throw InternalError("backoff shift of " + std::to_string(shift) + " bits");
  if (value > (kMax >> shift)) return kMax;
  return value << shift;
}

std::size_t saturating_add(std::size_t a, std::size_t b) { return a > kMax - b ? kMax : a + b; }

}  // namespace

std::string StopReason::to_string() const {
  return std::visit(
      support::Overloaded{
          [](const Saturated&) { return std::string("Saturated"); },
          [](const IterationLimit& it) { return "IterationLimit(" + std::to_string(it.iterations) + ")"; },
          [](const NodeLimit& n) { return "NodeLimit(" + std::to_string(n.size) + ")"; },
          [](const TimeLimit& t) { return "TimeLimit(" + format_seconds(t.seconds) + ")"; },
          [](const Other& o) { return "Other(" + o.message + ")"; },
      },
      detail);
}

std::size_t BackoffScheduler::stats_index(support::Symbol name) {
  for (std::size_t i = 0; i < stats_.size(); ++i)
    if (stats_[i].first == name) return i;
  RuleStats fresh;
  fresh.match_limit = default_match_limit_;
  fresh.ban_length = default_ban_length_;
  stats_.emplace_back(name, fresh);
  return stats_.size() - 1;
}

std::vector<SearchMatches> BackoffScheduler::search_rewrite_at(std::size_t iteration, const EGraph& egraph,
                                                               const Rewrite& rule, std::size_t index) {
  std::vector<Id> flat;
  search_rewrite_into(iteration, egraph, rule, index, flat);
  return rule.searcher().group_matches(flat);
}

namespace {

// The limit of a rule banned `times_banned` times; most rules were never
// banned, and those need no shift.
std::size_t scaled(std::size_t value, std::size_t times_banned) {
  return times_banned == 0 ? value : shifted(value, times_banned);
}

// Kept out of the search so that its string building does not weigh on every
// search's entry and exit.
[[gnu::noinline]] void log_skipped(const Logger& log, const Rewrite& rule, const RuleStats& s) {
  log.log(LogLevel::Debug, [&] {
    return "Skipping " + std::string(rule.name_text()) + " (" + std::to_string(s.times_applied) + "-" +
           std::to_string(s.times_banned) + "), banned until " + std::to_string(s.banned_until) + "...";
  });
}

// Bans a rule that found `total` matches, more than its `threshold`.
[[gnu::noinline]] void ban(std::size_t iteration, const Logger& log, const Rewrite& rule, RuleStats& s,
                           std::size_t threshold, std::size_t total) {
  std::size_t ban_length = scaled(s.ban_length, s.times_banned);
  s.times_banned += 1;
  s.banned_until = saturating_add(iteration, ban_length);
  log.log(LogLevel::Info, [&] {
    return "Banning " + std::string(rule.name_text()) + " (" + std::to_string(s.times_applied) + "-" +
           std::to_string(s.times_banned) + ") for " + std::to_string(ban_length) +
           " iters: " + std::to_string(threshold) + " < " + std::to_string(total);
  });
}

}  // namespace

std::size_t BackoffScheduler::search_rewrite_matching(std::size_t iteration, const EGraph& egraph, const Rewrite& rule,
                                                      std::size_t index, std::vector<Id>& out) {
  RuleStats& s = stats_[index].second;
  if (iteration < s.banned_until) {
    log_skipped(egraph.logger(), rule, s);
    return 0;
  }
  if (!rule.searcher().may_match(egraph)) {
    egraph.check_clean();
    s.times_applied += 1;
    return 0;
  }
  const std::size_t threshold = scaled(s.match_limit, s.times_banned);
  const std::size_t start = out.size();
  std::size_t total = rule.searcher().search_into(egraph, threshold == kMax ? kMax : threshold + 1, out);
  if (total > threshold) {
    out.resize(start);
    ban(iteration, egraph.logger(), rule, s, threshold, total);
    return 0;
  }
  s.times_applied += 1;
  return total;
}

std::size_t BackoffScheduler::apply_rewrite(std::size_t, EGraph& egraph, const Rewrite& rule,
                                            std::span<const SearchMatches> matches) {
  return rule.apply(egraph, matches).size();
}

std::size_t BackoffScheduler::apply_rewrite_flat(std::size_t, EGraph& egraph, const Rewrite& rule,
                                                 std::span<const Id> matches) {
  return rule.apply_flat(egraph, matches);
}

bool BackoffScheduler::can_stop(std::size_t iteration, const Logger& logger) {
  std::vector<RuleStats*> banned;
  std::size_t earliest = kMax;
  for (auto& [name, s] : stats_) {
    if (s.banned_until > iteration) {
      banned.push_back(&s);
      earliest = std::min(earliest, s.banned_until);
    }
  }
  if (banned.empty()) return true;
  if (earliest < iteration) throw InternalError("ban ends before the current iteration");
  std::size_t delta = earliest - iteration;
  std::string unbanned;
  for (auto& [name, s] : stats_) {
    if (s.banned_until <= iteration) continue;
    s.banned_until -= delta;
    if (s.banned_until == iteration) {
      if (!unbanned.empty()) unbanned += ", ";
      unbanned += name.text();
    }
  }
  logger.log(LogLevel::Info, [&] {
    return "Banned " + std::to_string(banned.size()) + "/" + std::to_string(stats_.size()) + ", fast-forwarded by " +
           std::to_string(delta) + " to unban " + unbanned;
  });
  return false;
}

void Runner::reset(std::size_t max_kept_bytes) {
  egraph_.clear(max_kept_bytes);
  iterations_.clear();
  roots_.clear();
  stop_reason_.reset();
  iter_limit_ = 30;
  node_limit_ = 10000;
  time_limit_ = std::chrono::seconds(5);
  start_time_.reset();
  scheduler_.clear();
  rule_stats_index_.clear();
  matches_.clear();
  rule_matches_.clear();
}

Runner& Runner::with_expr(const RecExpr& expr) {
  push_root(egraph_.add_expr(expr));
  return *this;
}

std::optional<StopReason> Runner::check_limits(std::size_t iterations_done, Clock::time_point now) const {
  if (start_time_) {
    auto elapsed = now - *start_time_;
    if (elapsed > time_limit_) return StopReason{StopReason::TimeLimit{std::chrono::duration<double>(elapsed).count()}};
  }
  if (egraph_.total_size() > node_limit_) return StopReason{StopReason::NodeLimit{egraph_.total_size()}};
  if (iterations_done >= iter_limit_) return StopReason{StopReason::IterationLimit{iterations_done}};
  return std::nullopt;
}

std::optional<StopReason> Runner::check_limits_between_rules(std::size_t iterations_done) const {
  if (egraph_.total_size() >= kTimedSize) return check_limits(iterations_done, Clock::now());
  if (egraph_.total_size() > node_limit_) return StopReason{StopReason::NodeLimit{egraph_.total_size()}};
  if (iterations_done >= iter_limit_) return StopReason{StopReason::IterationLimit{iterations_done}};
  return std::nullopt;
}

namespace {

// Whether no two rules share a name: sorting the names costs less than
// comparing every pair.
bool names_are_distinct(std::span<const Rewrite> rules) {
  std::array<std::uint32_t, 64> small{};
  if (rules.size() > small.size()) return false;  // the caller's full check decides
  for (std::size_t k = 0; k < rules.size(); ++k) small[k] = rules[k].name().index();
  auto end = small.begin() + static_cast<std::ptrdiff_t>(rules.size());
  std::sort(small.begin(), end);
  return std::adjacent_find(small.begin(), end) == end;
}

}  // namespace

bool Runner::rule_names_distinct(std::span<const Rewrite> rules) {
  // The same rule list is typically run again and again: the answer is kept
  // with the names it was found for.
  bool same = checked_names_.size() == rules.size();
  for (std::size_t k = 0; same && k < rules.size(); ++k) same = checked_names_[k] == rules[k].name();
  if (!same) {
    checked_names_.clear();
    for (const Rewrite& r : rules) checked_names_.push_back(r.name());
    checked_distinct_ = names_are_distinct(rules);
  }
  return checked_distinct_;
}

Runner& Runner::run(std::span<const Rewrite> rules) {
  fresh_distinct_names_ = scheduler_.empty() && rule_names_distinct(rules);
  if (!fresh_distinct_names_) warn_duplicate_names(rules);

  rule_stats_index_.assign(rules.size(), kMax);
  scheduler_.reserve(rules.size());
  iterations_.reserve(std::min<std::size_t>(iter_limit_, 32) + 1);
  egraph_.rebuild();
  for (;;) {
    Iteration iter = run_one(rules);
    std::optional<StopReason> stop = iter.stop_reason;
    iterations_.push_back(std::move(iter));
    // The iteration has just ended: its end time is the clock's reading.
    if (!stop) stop = check_limits(iterations_.size(), iteration_end_);
    if (stop) {
      iterations_.back().stop_reason = stop;
      egraph_.logger().log(LogLevel::Info, [&] { return "Stopping: " + stop->to_string(); });
      stop_reason_ = std::move(stop);
      break;
    }
  }
  return *this;
}

void Runner::warn_duplicate_names(std::span<const Rewrite> rules) {
  // Duplicate names share one scheduler entry and one applied-count entry.
  std::vector<std::pair<support::Symbol, std::size_t>> counts;
  counts.reserve(rules.size());
  for (const Rewrite& r : rules) {
    auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == r.name(); });
    if (it == counts.end())
      counts.emplace_back(r.name(), 1);
    else
      ++it->second;
  }
  bool warned = false;
  for (const auto& [name, count] : counts) {
    if (count < 2) continue;
    if (!warned) {
      const char* header = "WARNING: Duplicated rule names may affect rule reporting and scheduling.";
      std::fprintf(stderr, "%s\n", header);
      egraph_.logger().write(LogLevel::Warning, header);
      warned = true;
    }
    std::string line = "Rule '" + std::string(name.text()) + "' appears " + std::to_string(count) + " times";
    std::fprintf(stderr, "%s\n", line.c_str());
    egraph_.logger().write(LogLevel::Warning, line);
  }
}

Iteration Runner::run_one(std::span<const Rewrite> rules) {
  // One clock reading serves both as the end of a phase and the start of the next.
  const Clock::time_point search_start = Clock::now();
  if (!start_time_) start_time_ = search_start;
  const std::size_t i = iterations_.size();
  const Logger& log = egraph_.logger();
  log.log(LogLevel::Info, [&] { return "\nIteration " + std::to_string(i); });

  Iteration iter;
  std::optional<StopReason> pending = check_limits(i, search_start);
  iter.egraph_nodes = egraph_.total_size();
  iter.egraph_classes = egraph_.number_of_classes();

  // Whether the limits are clearly not reached; it can change only when the
  // e-graph grows, that is when a rule has been applied, so it is computed
  // again only then.
  bool within = clearly_within_limits(i);
  auto stop_between_rules = [&] {
    if (within) return false;
    pending = check_limits_between_rules(i);
    return pending.has_value();
  };

  matches_.clear();
  rule_matches_.clear();
  if (!pending) {
    for (std::size_t k = 0; k < rules.size(); ++k) {
      // Looked up on first use, so that entries are created in the order the
      // rules are first searched.
      if (rule_stats_index_[k] == kMax)
        rule_stats_index_[k] =
            fresh_distinct_names_ ? scheduler_.add_absent(rules[k].name()) : scheduler_.stats_index(rules[k].name());
      const std::size_t begin = matches_.size();
      scheduler_.search_rewrite_into(i, egraph_, rules[k], rule_stats_index_[k], matches_);
      if (matches_.size() != begin) rule_matches_.push_back(RuleMatches{k, begin, matches_.size()});
      if (stop_between_rules()) break;
    }
  }
  const Clock::time_point apply_start = Clock::now();
  iter.search_time = std::chrono::duration<double>(apply_start - search_start).count();

  if (!pending) {
    std::size_t next = 0;  // the first entry of `rule_matches_` not applied yet
    for (std::size_t k = 0; k < rules.size(); ++k) {
      // While the limits are clearly not reached nothing is checked between
      // rules, so the rules without matches are passed over at once.
      if (within) {
        if (next == rule_matches_.size()) break;
        k = rule_matches_[next].rule;
      }
      if (next < rule_matches_.size() && rule_matches_[next].rule == k) {
        const RuleMatches& m = rule_matches_[next++];
        std::span<const Id> matches(matches_.data() + m.begin, m.end - m.begin);
        std::size_t n = scheduler_.apply_rewrite_flat(i, egraph_, rules[k], matches);
        within = clearly_within_limits(i);
        if (n > 0) {
          support::Symbol name = rules[k].name();
          auto it = std::find_if(iter.applied.begin(), iter.applied.end(),
                                 [&](const auto& entry) { return entry.first == name; });
          if (it == iter.applied.end())
            iter.applied.emplace_back(name, n);
          else
            it->second += n;
        }
      }
      if (stop_between_rules()) break;
    }
  }
  const Clock::time_point rebuild_start = Clock::now();
  iter.apply_time = std::chrono::duration<double>(rebuild_start - apply_start).count();

  iter.n_rebuilds = egraph_.rebuild();
  iteration_end_ = Clock::now();
  iter.rebuild_time = std::chrono::duration<double>(iteration_end_ - rebuild_start).count();
  log.log(LogLevel::Debug, [&] {
    return "Search: " + format_seconds(iter.search_time) + ", apply: " + format_seconds(iter.apply_time) +
           ", rebuild: " + format_seconds(iter.rebuild_time) + ", size " + std::to_string(egraph_.total_size()) +
           ", classes " + std::to_string(egraph_.number_of_classes());
  });

  if (iter.applied.empty()) {
    bool can_stop = scheduler_.can_stop(i, log);
    if (can_stop && egraph_.total_size() == iter.egraph_nodes && egraph_.number_of_classes() == iter.egraph_classes &&
        !pending)
      pending = StopReason{StopReason::Saturated{}};
  }
  iter.total_time = std::chrono::duration<double>(iteration_end_ - *start_time_).count();
  iter.stop_reason = std::move(pending);
  return iter;
}

}  // namespace morvalen::egraph
