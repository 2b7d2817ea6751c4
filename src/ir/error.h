#pragma once

// The diagnostics that lowering builds itself: literal messages and the texts
// of the lowering checks. (Differentiation failures are worded in ir/lower,
// which alone may see the differentiation layer.)

#include <string>
#include <string_view>

#include "diag.h"
#include "ir/dtype.h"
#include "support/span.h"

namespace morvalen::ir {

/// The shortest decimal text that reads back as `value`, written without an
/// exponent (`support::shortest_fixed`): 0.1 gives "0.1", 1.0 gives "1", 1e21
/// gives "1" and 21 zeros. NaN and the infinities give "nan", "inf" and "-inf".
std::string plain_float_text(double value);

/// "literal `0.1` may lose precision in `f16`" with the dtype's help.
diag::Diag precision_loss_diag(double value, DType dtype, Span span);

/// The `ExpectedScalar` diagnostic for an expression producing `count` values.
diag::Diag expected_scalar_diag(std::size_t count, Span span);

/// A `TypeMismatch` with the default help.
diag::Diag type_mismatch_diag(std::string_view operation, DType a, DType b, Span span);

/// The lowering diagnostic for a derivative that could not be turned back into
/// a typed DAG: "inline differentiation lowering failed: " + the display text
/// of its `diff::CanonLowerError`.
diag::Diag canon_lower_error_diag(std::string_view error_text, Span span);

}  // namespace morvalen::ir
