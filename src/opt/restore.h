#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "diag.h"
#include "ir/dag.h"
#include "ir/dtype.h"
#include "opt/lang.h"
#include "opt/strip.h"
#include "support/result.h"

namespace morvalen::opt {

/// The target of a cast as carried by its `TypeToken`.
struct CastToken {
  ir::DType dtype;
  bool is_explicit = false;
  friend bool operator==(const CastToken&, const CastToken&) = default;
};

/// Reads a cast token: "explicit:" followed by a dtype name is an explicit cast
/// to that dtype, a bare dtype name an implicit one. Anything else (including a
/// bare "explicit:") gives no result.
std::optional<CastToken> parse_cast_token(std::string_view text);

/// The promotion of `a` and `b` for the restored node `node` at term position
/// `index`. When the result differs from either operand a `RestorePromotion`
/// diagnostic "implicit promotion in LABEL at node#I: A + B -> P" is appended to
/// `diags` (the operands are joined by " + " whatever the operator). Operands
/// that do not promote fail with `InvalidExpr` "invalid node #I: " followed by
/// the node's debug rendering.
Result<ir::DType, OptError> try_promote(std::string_view label, ir::DType a, ir::DType b, std::size_t index,
                                        const MathLang& node, std::vector<diag::Diag>& diags);

/// A rebuilt DAG and the promotions noticed while rebuilding it.
struct RestoreResult {
  ir::TypedDag dag;
  std::vector<diag::Diag> diags;  ///< `RestorePromotion` only, in creation order
};

/// Rebuilds a single-output `TypedDag` from an untyped term (root last).
///
/// Literal dtypes are inferred: the root is seeded with `types.output_dtypes[0]`,
/// comparisons and logic with bool, parameters with `types.param_dtypes`, cast
/// tokens with their target; propagation sweeps then run from the last node to
/// the first until one assigns nothing. A literal left untyped is i64 (`Int`),
/// f64 (`Num`) or c128 (`Complex`). Every other dtype is derived bottom-up from
/// the built operands; no cast is inserted. The DAG's nodes follow the term's
/// order, without the type tokens, and its parameters are a copy of `params`.
///
/// Fails with `InvalidExpr`: "cannot restore empty expression"; "invalid node #I:
/// RENDERING" for a node of the wrong shape or referring to a term that was not
/// built (I is the position of the node being built; the root's position when
/// the root itself was not built); "restored TypedDag invalid: " + the
/// validation error.
Result<RestoreResult, OptError> restore_types_with_info(const RecExpr& expr, const TypeMap& types,
                                                        const std::vector<ir::ParamDecl>& params);

}  // namespace morvalen::opt
