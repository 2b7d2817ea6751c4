#pragma once

#include <vector>

#include "ir/dag.h"
#include "ir/dtype.h"
#include "opt/lang.h"
#include "support/result.h"

namespace morvalen::opt {

/// The dtypes that a stripped term does not carry.
struct TypeMap {
  std::vector<ir::DType> node_dtypes;    ///< one per node of the stripped RecExpr
  std::vector<ir::DType> param_dtypes;   ///< one per DAG parameter, in order
  std::vector<ir::DType> output_dtypes;  ///< one per DAG output, in order
};

/// The stripped form of a single-output DAG.
struct StripResult {
  RecExpr expr;   ///< every DAG node's terms, in DAG order (not deduplicated)
  TypeMap types;  ///< node, parameter and output dtypes
  Id output;      ///< the term of the DAG's first output (need not be the last node)
};

/// Converts `dag` (operands before users) into an untyped term plus the dtypes
/// it drops. Fails with `UnsupportedCall` for a call whose argument count is not
/// one, and with `InvalidExpr` ("missing ... mapping for node N") when an operand
/// refers to a node that does not precede it. A DAG without outputs fails with
/// `InvalidExpr` "DAG has no output".
Result<StripResult, OptError> strip_types(const ir::TypedDag& dag);
/// `strip_types` writing to `out`, whose lists are emptied first and keep
/// their storage, so that a caller can reuse them from one term to the next.
/// On failure `out` holds a partial result.
Result<void, OptError> strip_types_into(const ir::TypedDag& dag, StripResult& out);

}  // namespace morvalen::opt
