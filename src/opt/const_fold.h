#pragma once

#include <vector>

#include "diag.h"
#include "ir/dag.h"

namespace morvalen::opt {

/// The folded DAG and the diagnostics raised while folding (integer overflow
/// only), in the order raised.
struct FoldResult {
  ir::TypedDag dag;
  std::vector<diag::Diag> diags;
};

/// One forward pass over the node table that replaces operations on constants
/// by their values, simplifies `x ** 0`, `x ** 1`, `true and x`, `false or x`,
/// and replaces an `if` with a constant condition by the chosen branch.
///
/// Nodes copied before a fold stay in the output even when unused. Folding
/// never fails on user data: whatever cannot be computed (a zero divisor, the
/// minimum integer divided by -1, a complex comparison, an impossible
/// conversion) keeps its node. An integer `+`, `-` or `*` whose exact result
/// leaves the range of its dtype is folded under a wider dtype and reported as
/// a `ConstOverflow` diagnostic.
///
/// Throws `InternalError` when the input breaks the operands-first order or
/// the output DAG fails validation.
FoldResult const_fold(const ir::TypedDag& dag);

/// `const_fold` of a DAG handed over: its tables are folded in place, so no
/// second node table is built.
FoldResult const_fold(ir::TypedDag&& dag);

}  // namespace morvalen::opt
