#pragma once

// Source text for constants that reads back exactly. A constant of a typed
// DAG is a scalar (its alternative and its bits) under a dtype; the texts here
// lex, lower and fold back to that very scalar under that very dtype, and the
// code that `emit_python` writes for the text computes the value that it
// writes for the constant. Floats are written as float literals ("2.0"), a
// dtype that the literal would not take by itself as a suffix ("2.0@f64"),
// inf as "1e999", NaN as "(1e999 - 1e999)", values that no literal reaches
// (the smallest i64, u64 values with the top bit, signed zeros of complex
// parts) as small constant expressions that fold to them.

#include <optional>
#include <string>

#include "backend/text_form.h"
#include "ir/dtype.h"
#include "ir/node.h"

namespace morvalen::backend {

/// A piece of text and how the language reads it.
struct ConstText {
  std::string text;
  /// The dtype lowering gives the text, before any promotion casts it.
  ir::DType dtype;
  TextForm form;
  /// One unsuffixed number token ("5", "2.5", "1e999", "2.5j"): a `@dtype`
  /// written right after it would be read as its suffix, not as a cast.
  bool bare_literal = false;
};

/// Text of dtype `dtype` that folds to exactly `value` under `dtype`. With
/// `divisor` set, the text is never a constant node by itself (a constant
/// zero written as the divisor of `//` or `%` is refused when read).
ConstText typed_const_text(const ir::Scalar& value, ir::DType dtype, bool divisor = false);

/// Text of another dtype which, cast to `dtype` by promotion, folds to exactly
/// `value` under `dtype` ("2.0" for the f64 constant 2.0); none when only
/// `typed_const_text` reads back exactly.
std::optional<ConstText> castable_const_text(const ir::Scalar& value, ir::DType dtype);

/// Whether the constant is what folding makes of an integer sum, difference
/// or product that overflowed an operation of dtype `operation`: an `Int`
/// outside the range of `operation` under the dtype folding promotes it to,
/// or an integral `Float` beyond the signed 64-bit range under `f64`.
bool is_overflowed_const(const ir::Scalar& value, ir::DType dtype, ir::DType operation);

/// Text of dtype `operation` that folds, overflowing, to exactly the constant
/// (see `is_overflowed_const`), e.g. "(100@i8 + 100@i8)" for 200 under `i16`
/// in an `i8` operation. None when the constant is not such a result.
std::optional<ConstText> overflowed_const_text(const ir::Scalar& value, ir::DType dtype, ir::DType operation);

/// The shortest float literal reading back to `value` (finite or infinite):
/// "2.0", "0.1", "1e+300", "-0.0", "1e999".
std::string float_literal(double value);

}  // namespace morvalen::backend
