#pragma once

#include <span>

#include "ir/dag.h"

namespace morvalen::ir {

/// One DAG computing the outputs of every DAG of `dags`, in order (the outputs
/// of the first, then those of the second, ...), in which equal nodes are one
/// node: same kind and payload, same dtype and the same merged operands. Two
/// constants are equal when their scalars hold the same alternative with the
/// same bits (so 0.0 and -0.0 stay apart); two casts to one dtype are equal
/// whether written or inserted by promotion (the first one's flag is kept).
/// Nodes are kept in their order, operands before users.
///
/// Every DAG must declare the same parameters; the result declares them too.
/// Throws `InternalError` otherwise, for an empty `dags`, and for an operand
/// that does not precede its user.
TypedDag merge_outputs(std::span<const TypedDag> dags);

}  // namespace morvalen::ir
