#pragma once

// Literal typing: the dtype a literal takes when no suffix names one, the
// ranges integer suffixes accept, and the narrow float formats that decide
// whether a float literal is exact in `f16`, `bf16` or `f32`. Lowering types
// every literal with these; the program back end uses them to predict how the
// text it writes will be typed when it is read again.

#include <cstdint>

#include "ir/dtype.h"

namespace morvalen::ir {

/// The narrowest signed integer dtype (`i8` to `i64`) holding `value`.
DType default_int_dtype(std::int64_t value);

/// Whether `value` fits the integer dtype `dtype` (`u64` accepts 0 to 2^63-1,
/// since literals are signed 64-bit). Non-integer dtypes accept everything.
bool int_literal_fits(std::int64_t value, DType dtype);

/// The narrowest of `f16`, `f32`, `f64` holding `value` exactly; NaN and the
/// infinities take `f16`.
DType default_float_dtype(double value);

/// `c64` when both parts are NaN, infinite or exact in `f32`, else `c128`.
DType default_complex_dtype(double re, double im);

/// IEEE half-precision bits of `value`, rounded to nearest, ties to even;
/// overflow gives an infinity, NaN a quiet NaN.
std::uint16_t to_half_bits(double value);
double from_half_bits(std::uint16_t bits);

/// Brain-float bits of `value` (8-bit exponent, 7-bit fraction), rounded to
/// nearest, ties to even.
std::uint16_t to_bfloat16_bits(double value);
double from_bfloat16_bits(std::uint16_t bits);

/// Whether converting `value` to the float dtype `dtype` and back gives
/// `value` again. `f64` holds everything; non-float dtypes hold nothing.
bool exactly_representable(double value, DType dtype);

}  // namespace morvalen::ir
