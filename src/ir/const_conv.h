#pragma once

#include <cstdint>
#include <optional>

#include "ir/dtype.h"
#include "ir/node.h"

namespace morvalen::ir {

/// Converts a constant to the kind of `target`; the width of `target` never
/// matters, so an `Int` keeps its magnitude (300 cast to `u8` stays 300) and a
/// `Float` keeps its 64-bit value under `f32`.
///
/// - to `bool`: only a `Bool` converts (to itself);
/// - to an integer kind: `Bool` gives 1 or 0, `Int` keeps its exact value,
///   `Float` is truncated toward zero with saturation (NaN gives 0);
/// - to a float kind: `Bool` gives 1.0 or 0.0, `Int` its nearest double,
///   `Float` itself;
/// - to a complex kind: any real value becomes (value, 0.0); `Complex` stays.
/// Every other pair (a complex value to a real kind, a number to `bool`)
/// answers no conversion.
std::optional<Scalar> cast_const_to_dtype(const Scalar& value, DType target);

/// Wide enough for the exact sum, difference or product of two signed 64-bit
/// values (|a * b| <= 2^126).
__extension__ typedef __int128 Int128;

/// Whether `value` lies in the range of the integer dtype `dtype` (`u64`: 0 to
/// 2^64 - 1).
bool in_integer_range(Int128 value, DType dtype);

/// The dtype constant folding gives an exact integer sum, difference or
/// product `value` that overflowed its node's integer dtype `node_dtype`: the
/// narrowest unsigned dtype holding it when the node was unsigned and `value`
/// is not negative, else the narrowest signed one; `i64` when none holds it.
DType overflow_dtype(Int128 value, DType node_dtype);

/// Truncates toward zero, saturating at the signed 64-bit limits; NaN gives 0.
std::int64_t f64_to_i64_saturating(double x);

/// The value of a real constant as a double: `Bool` is 1.0 or 0.0, `Int` its
/// nearest double, `Float` itself. A `Complex` has no real reading.
std::optional<double> scalar_to_f64(const Scalar& value);

/// Stores a real result computed in doubles under `target`: an integer kind
/// truncates with saturation, a float kind keeps the double, a complex kind
/// takes (x, 0.0). A `bool` target has no numeric reading and answers none.
std::optional<Scalar> f64_to_dtype(double x, DType target);

/// Stores an exact integer result under `target` without passing it through a
/// double when `target` is an integer kind; otherwise as `f64_to_dtype` of its
/// nearest double.
std::optional<Scalar> i64_to_dtype(std::int64_t value, DType target);

}  // namespace morvalen::ir
