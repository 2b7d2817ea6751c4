#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/rewrite.h"
#include "support/symbol.h"

namespace morvalen::egraph {

/// Why a run stopped.
struct StopReason {
  struct Saturated {};
  struct IterationLimit {
    std::size_t iterations;
  };
  struct NodeLimit {
    std::size_t size;
  };
  struct TimeLimit {
    double seconds;
  };
  struct Other {
    std::string message;
  };
  std::variant<Saturated, IterationLimit, NodeLimit, TimeLimit, Other> detail;

  /// "Saturated", "IterationLimit(8)", "NodeLimit(20001)", "TimeLimit(5.1)", "Other(text)".
  std::string to_string() const;
};

/// Rule name → count, in first-insertion order.
using AppliedCounts = std::vector<std::pair<support::Symbol, std::size_t>>;

/// One completed iteration.
struct Iteration {
  AppliedCounts applied;           ///< rules with a non-zero merging-application count
  std::size_t egraph_nodes = 0;    ///< total size at the start of the iteration
  std::size_t egraph_classes = 0;  ///< class count at the start of the iteration
  double hook_time = 0.0;
  double search_time = 0.0;
  double apply_time = 0.0;
  double rebuild_time = 0.0;
  double total_time = 0.0;     ///< since the run started
  std::size_t n_rebuilds = 0;  ///< merges performed by the iteration's rebuild
  std::optional<StopReason> stop_reason;
};

/// Per-rule state of the backoff scheduler.
struct RuleStats {
  std::size_t times_applied = 0;
  std::size_t banned_until = 0;
  std::size_t times_banned = 0;
  std::size_t match_limit = 1000;
  std::size_t ban_length = 5;
};

/// Lets each rule find at most `match_limit << times_banned` matches per
/// iteration; a rule that finds more is banned for `ban_length << times_banned`
/// iterations and none of its matches is applied.
class BackoffScheduler {
 public:
  BackoffScheduler() = default;
  BackoffScheduler(std::size_t match_limit, std::size_t ban_length)
      : default_match_limit_(match_limit), default_ban_length_(ban_length) {}

  /// The matches of `rule` in iteration `iteration`, or none when it is banned
  /// or gets banned now.
  std::vector<SearchMatches> search_rewrite(std::size_t iteration, const EGraph& egraph, const Rewrite& rule) {
    return search_rewrite_at(iteration, egraph, rule, stats_index(rule.name()));
  }
  /// `search_rewrite` with the rule's entry given by its `stats_index`.
  std::vector<SearchMatches> search_rewrite_at(std::size_t iteration, const EGraph& egraph, const Rewrite& rule,
                                               std::size_t index);
  /// `search_rewrite_at` appending the matches to `out` in flat form (see
  /// `Pattern::search_into`); returns their number, 0 when none are kept.
  std::size_t search_rewrite_into(std::size_t iteration, const EGraph& egraph, const Rewrite& rule, std::size_t index,
                                  std::vector<Id>& out) {
    // Most rules cannot match a small graph at all: those are settled here,
    // without a call.
    RuleStats& s = stats_[index].second;
    if (iteration >= s.banned_until && !rule.searcher().may_match(egraph)) {
      egraph.check_clean();
      s.times_applied += 1;
      return 0;
    }
    return search_rewrite_matching(iteration, egraph, rule, index, out);
  }
  /// Applies `matches` and returns the number of merging applications.
  std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rule,
                            std::span<const SearchMatches> matches);
  /// `apply_rewrite` for flat matches.
  std::size_t apply_rewrite_flat(std::size_t iteration, EGraph& egraph, const Rewrite& rule,
                                 std::span<const Id> matches);
  /// Yes when no rule is banned past `iteration`; otherwise fast-forwards the
  /// bans so the earliest-released rules run next, and says no.
  bool can_stop(std::size_t iteration, const Logger& logger);

  /// The stats of `name` (created with the defaults on first use).
  RuleStats& rule_stats(support::Symbol name) { return stats_[stats_index(name)].second; }
  /// The position of `name`'s entry in `stats()` (created on first use); it
  /// stays the same for the life of the scheduler.
  std::size_t stats_index(support::Symbol name);
  /// Forgets every rule's stats (keeping their storage) and restores the
  /// default limits.
  void clear() {
    default_match_limit_ = 1000;
    default_ban_length_ = 5;
    stats_.clear();
  }
  /// Appends an entry for `name`, which the caller knows has none yet, and
  /// returns its position (what `stats_index` would do, without the search).
  std::size_t add_absent(support::Symbol name) {
    RuleStats fresh;
    fresh.match_limit = default_match_limit_;
    fresh.ban_length = default_ban_length_;
    stats_.emplace_back(name, fresh);
    return stats_.size() - 1;
  }
  bool empty() const { return stats_.empty(); }
  /// Makes room for the entries of `n` rules.
  void reserve(std::size_t n) { stats_.reserve(n); }
  /// Stats in first-use order.
  const std::vector<std::pair<support::Symbol, RuleStats>>& stats() const { return stats_; }

  std::size_t default_match_limit() const { return default_match_limit_; }
  std::size_t default_ban_length() const { return default_ban_length_; }

 private:
  /// `search_rewrite_into` for a rule that is banned or may match.
  std::size_t search_rewrite_matching(std::size_t iteration, const EGraph& egraph, const Rewrite& rule,
                                      std::size_t index, std::vector<Id>& out);

  std::size_t default_match_limit_ = 1000;
  std::size_t default_ban_length_ = 5;
  std::vector<std::pair<support::Symbol, RuleStats>> stats_;
};

/// Equality saturation over one e-graph; run once.
class Runner {
 public:
  Runner() = default;

  /// Back to the state of a new runner, with an empty e-graph. The storage of
  /// the e-graph and of the runner's own lists is kept for the next run unless
  /// the e-graph holds more than `max_kept_bytes`.
  void reset(std::size_t max_kept_bytes);

  /// Limits: iterations (default 30), total size (default 10000), seconds (default 5).
  Runner& with_iter_limit(std::size_t limit) {
    iter_limit_ = limit;
    return *this;
  }
  Runner& with_node_limit(std::size_t limit) {
    node_limit_ = limit;
    return *this;
  }
  Runner& with_time_limit(std::chrono::nanoseconds limit) {
    time_limit_ = limit;
    return *this;
  }
  Runner& with_scheduler(BackoffScheduler scheduler) {
    scheduler_ = std::move(scheduler);
    return *this;
  }
  /// Adds `expr` to the e-graph and records the canonical class of its last node
  /// as a root.
  Runner& with_expr(const RecExpr& expr);
  /// Records `id` (canonicalized) as a root.
  void push_root(Id id) { roots_.push_back(egraph_.find(id)); }

  /// Runs until saturation or a limit; afterwards `stop_reason()` is set and
  /// there is at least one iteration. Writes the duplicate-rule-name warning to
  /// standard error when a name occurs more than once.
  Runner& run(std::span<const Rewrite> rules);

  EGraph& egraph() { return egraph_; }
  const EGraph& egraph() const { return egraph_; }
  const std::vector<Id>& roots() const { return roots_; }
  const std::vector<Iteration>& iterations() const { return iterations_; }
  const std::optional<StopReason>& stop_reason() const { return stop_reason_; }
  const BackoffScheduler& scheduler() const { return scheduler_; }

  std::size_t iter_limit() const { return iter_limit_; }
  std::size_t node_limit() const { return node_limit_; }
  std::chrono::nanoseconds time_limit() const { return time_limit_; }

 private:
  Iteration run_one(std::span<const Rewrite> rules);
  /// Whether no two of `rules` share a name (false may also mean "too many
  /// rules to tell cheaply"; the duplicate-name check then decides).
  bool rule_names_distinct(std::span<const Rewrite> rules);
  /// Writes the warning about rule names occurring more than once, if any do.
  void warn_duplicate_names(std::span<const Rewrite> rules);
  /// The limit reached, if any, when the clock reads `now`.
  std::optional<StopReason> check_limits(std::size_t iterations_done, std::chrono::steady_clock::time_point now) const;
  /// `check_limits` between two rules: the clock is read only once the
  /// e-graph is large enough for one rule to take noticeable time, since on a
  /// small one reading it would cost more than the rules themselves.
  std::optional<StopReason> check_limits_between_rules(std::size_t iterations_done) const;
  /// Whether `check_limits_between_rules` can only find nothing, without the
  /// cost of building its answer.
  bool clearly_within_limits(std::size_t iterations_done) const {
    return egraph_.total_size() < kTimedSize && egraph_.total_size() <= node_limit_ && iterations_done < iter_limit_;
  }
  // From this total size on, the clock is read between rules.
  static constexpr std::size_t kTimedSize = 1024;

  EGraph egraph_;
  std::vector<Iteration> iterations_;
  std::vector<Id> roots_;
  std::optional<StopReason> stop_reason_;
  std::size_t iter_limit_ = 30;
  std::size_t node_limit_ = 10000;
  std::chrono::nanoseconds time_limit_ = std::chrono::seconds(5);
  std::optional<std::chrono::steady_clock::time_point> start_time_;
  // When the last iteration ended (its rebuild done).
  std::chrono::steady_clock::time_point iteration_end_{};
  BackoffScheduler scheduler_;
  // Whether the scheduler had no entry and every rule of the current run has
  // its own name, so that a rule's first lookup cannot find an entry.
  bool fresh_distinct_names_ = false;
  // The names of the rule list last checked by `rule_names_distinct`, and its
  // answer; kept across runs and resets.
  std::vector<support::Symbol> checked_names_;
  bool checked_distinct_ = true;  // right for the empty list
  // Per rule of the current run: its scheduler entry, once looked up.
  std::vector<std::size_t> rule_stats_index_;
  // The matches of the current iteration's search phase, flat, rule after
  // rule, and where those of each rule that found any lie in `matches_`.
  struct RuleMatches {
    std::size_t rule;
    std::size_t begin;
    std::size_t end;
  };
  std::vector<Id> matches_;
  std::vector<RuleMatches> rule_matches_;
};

}  // namespace morvalen::egraph
