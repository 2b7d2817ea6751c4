#pragma once

#include <optional>
#include <vector>

#include "diag.h"
#include "egraph/rewrite.h"
#include "ir/dag.h"
#include "opt/lang.h"
#include "support/result.h"

namespace morvalen::opt {

/// Optimizer configuration. The effective aggressive setting is
/// `aggressive_override` when present, else `aggressive`.
struct OptConfig {
  bool aggressive = false;
  std::optional<bool> aggressive_override;
};

/// The aggressive setting that `config` selects.
bool effective_aggressive(const OptConfig& config);

/// The rule list the optimizer runs, in run order: the simplify rules, the
/// aggressive rules when `aggressive` is set, the identity rules, the fusion
/// rules (23 rules, or 25 in aggressive mode). Each list is built once per
/// process, on first use.
const std::vector<egraph::Rewrite>& optimizer_rules(bool aggressive);

/// Limits the driver gives its runner (the time limit keeps the runner's default).
inline constexpr std::size_t kOptIterLimit = 8;
inline constexpr std::size_t kOptNodeLimit = 20000;

/// The optimized DAG and the diagnostics raised on the way: those of constant
/// folding, then the `RestorePromotion` diagnostics of type restoration.
struct OptimizeResult {
  ir::TypedDag dag;
  std::vector<diag::Diag> diags;
};

/// Folds constants, strips types, saturates the term with the optimizer's rule
/// list (at most 8 iterations and 20000 e-nodes), extracts the cheapest
/// equivalent of the output term and restores a typed single-output DAG. In
/// aggressive mode the restored DAG is folded once more (those diagnostics are
/// dropped). Reaching a runner limit is not an error.
///
/// Fails with `SingleOutputOnly` unless `dag` has exactly one output (checked
/// first), and passes on the errors of type stripping and restoration.
Result<OptimizeResult, OptError> optimize_with_info_and_config(const ir::TypedDag& dag, const OptConfig& config);

}  // namespace morvalen::opt
