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
/// passes to a fixed point when the extractor is created.
class Extractor {
 public:
  explicit Extractor(const EGraph& egraph, CostFunction cost = math_cost);

  /// The cheapest term of `find(eclass)`; a class without a cost is an internal
  /// failure.
  BestTerm find_best(Id eclass) const;
  /// The best (cost, e-node) of a class, if it has one.
  std::optional<std::pair<Cost, MathLang>> best(Id eclass) const;

 private:
  const EGraph& egraph_;
  CostFunction cost_;
  // Indexed by class id; absent for classes that have no cost (yet).
  std::vector<std::optional<std::pair<Cost, MathLang>>> best_;
};

}  // namespace morvalen::egraph
