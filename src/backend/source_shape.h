#pragma once

// The shape lowering gives the DAG of a program's text. Lowering casts every
// operand to the dtype its operation computes in, writes only the builtins the
// language has, and refuses `//` on non-integers; the optimizer's type
// restoration and the differentiator's canonical lowering do not always keep
// to that. A DAG brought into this shape is what lowering and folding build
// again from a text written for it, node for node.

#include <cstddef>
#include <optional>
#include <span>

#include "ir/dag.h"
#include "ir/dtype.h"
#include "ir/node.h"

namespace morvalen::backend {

/// An operand as its user sees it: its dtype, and its scalar when it is a
/// constant.
struct OperandView {
  ir::DType dtype;
  const ir::Scalar* constant = nullptr;
};

/// The dtype lowering gives operand `slot` of `node` (of dtype `dtype`, with
/// `operands` in operand order) after promotion: the operation's dtype for
/// arithmetic, `if` branches, negation and calls; `bool` for conditions and
/// the operands of `!`, `&&` and `||`; for a comparison the common dtype of
/// both sides (that of the other side when one side is a constant folded out
/// of an overflowing integer operation of that dtype). None for the operand of
/// a cast, which lowering leaves as it is.
std::optional<ir::DType> expected_operand_dtype(const ir::Node& node, ir::DType dtype,
                                                std::span<const OperandView> operands, std::size_t slot);

/// The expression of the DAG's single output (other nodes dropped), in the
/// shape lowering gives it:
/// - an operand whose dtype differs from `expected_operand_dtype` gets the
///   implicit cast promotion would add, or, when it is a constant, becomes the
///   constant folding makes of that cast; a constant folded out of an
///   overflowing integer operation stays under its promoted dtype;
/// - `exp_sigmoid(x)` becomes `sigmoid(exp(x))` and `sigmoid_log(x)` becomes
///   `log(sigmoid(x))`, which compute the same in the same order;
/// - `a // b` of non-integers becomes `floor(a / b)`;
/// - what the language refuses to write: `a / b` of other than floats and
///   complex values is computed in f64 and cast back; `-x` of a bool
///   becomes `x * -1@bool`.
/// Throws `InternalError` when the DAG has other than one output or an
/// operand does not precede its user.
ir::TypedDag in_source_shape(const ir::TypedDag& dag);

}  // namespace morvalen::backend
