#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "egraph/egraph.h"

namespace morvalen::egraph {

using Cost = std::uint64_t;

/// Cost of one e-node given the best costs of its children, in child order.
using CostFunction = Cost (*)(const MathLang& node, std::span<const Cost> child_costs);

/// The variant's cost from the term-language table: 1 for Bool, Int, Num,
/// TypeToken and the two fused builtins; 2 otherwise.
Cost base_cost(MathKind kind);
/// The optimizer's cost: base cost plus the children's costs (saturating).
Cost math_cost(const MathLang& node, std::span<const Cost> child_costs);

/// The cheapest term of an extracted class.
struct BestTerm {
  Cost cost = 0;
  RecExpr expr;  ///< shared subterms laid out once; root last
};

/// Best cost and e-node of every class of a (rebuilt) e-graph, computed by
/// passes to a fixed point when the extractor is created (or by `compute`).
class Extractor {
 public:
  explicit Extractor(const EGraph& egraph, CostFunction cost = math_cost) { compute(egraph, cost); }
  /// An extractor for no e-graph yet: `compute` must come before any query.
  Extractor() = default;
  Extractor(const Extractor&) = delete;
  Extractor& operator=(const Extractor&) = delete;

  /// Computes the best costs of `egraph`'s classes afresh, reusing the storage
  /// of any earlier computation; the extractor then refers to `egraph`.
  void compute(const EGraph& egraph, CostFunction cost = math_cost);
  /// Back to an extractor for no e-graph. The storage is kept for the next
  /// `compute` unless it holds more than `max_kept_bytes`.
  void clear(std::size_t max_kept_bytes);

  /// The cheapest term of `find(eclass)`; a class without a cost is an internal
  /// failure.
  BestTerm find_best(Id eclass) const;
  /// `find_best` writing the term to `expr` (emptied first), so that a caller
  /// can reuse its storage; returns the cost.
  Cost find_best_into(Id eclass, RecExpr& expr) const;
  /// The best (cost, e-node) of a class, if it has one.
  std::optional<std::pair<Cost, MathLang>> best(Id eclass) const;

 private:
  const EGraph* egraph_ = nullptr;
  CostFunction cost_ = math_cost;
  // Indexed by class id; absent for classes that have no cost (yet).
  std::vector<std::optional<std::pair<Cost, MathLang>>> best_;
  // Working storage of `find_best`, kept between calls so that a reused
  // extractor does not allocate it again. It holds nothing between calls.
  mutable std::vector<std::uint32_t> position_;
  mutable std::vector<std::uint8_t> expanded_;
  mutable std::vector<Id> stack_;
  mutable NodeMemo dedup_;
};

}  // namespace morvalen::egraph
