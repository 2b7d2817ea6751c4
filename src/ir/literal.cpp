#include "ir/literal.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace morvalen::ir {
namespace {

// Narrow binary floating formats. A format has `MantBits` stored fraction bits
// and `ExpBits` exponent bits, with IEEE subnormals, infinities and NaNs.

template <int MantBits, int ExpBits>
std::uint32_t encode_narrow(double value) {
  constexpr int bias = (1 << (ExpBits - 1)) - 1;
  constexpr int emin = 1 - bias;
  constexpr std::uint32_t exp_all = (1u << ExpBits) - 1;
  constexpr std::uint64_t implicit_bit = std::uint64_t{1} << MantBits;

  const auto bits = std::bit_cast<std::uint64_t>(value);
  const std::uint32_t sign = static_cast<std::uint32_t>(bits >> 63) << (MantBits + ExpBits);
  const int dexp = static_cast<int>((bits >> 52) & 0x7ff);
  const std::uint64_t dmant = bits & ((std::uint64_t{1} << 52) - 1);
  if (dexp == 0x7ff) {
    if (dmant != 0) return sign | (exp_all << MantBits) | (1u << (MantBits - 1));
    return sign | (exp_all << MantBits);
  }
  // Double subnormals (and zeros) lie far below half of the narrow format's
  // smallest subnormal, so they round to zero.
  if (dexp == 0) return sign;

  // |value| = m * 2^(e - 52) with m in [2^52, 2^53).
  const int e = dexp - 1023;
  const std::uint64_t m = dmant | (std::uint64_t{1} << 52);
  // Exponent of the unit in the last place of the result; below the normal
  // range the spacing stays that of the subnormals.
  int ulp_exp = std::max(e, emin) - MantBits;
  const int shift = ulp_exp - (e - 52);  // at least 52 - MantBits, so positive
  std::uint64_t q = 0;
  if (shift < 64) {
    q = m >> shift;
    const std::uint64_t rem = m & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    if (rem > half || (rem == half && (q & 1) != 0)) ++q;
  }
  // Rounding up may carry into the next binade; q is then a power of two.
  if (q >= (implicit_bit << 1)) {
    q >>= 1;
    ++ulp_exp;
  }
  if (q < implicit_bit) return sign | static_cast<std::uint32_t>(q);  // subnormal or zero
  const int biased = ulp_exp + MantBits + bias;
  if (biased >= static_cast<int>(exp_all)) return sign | (exp_all << MantBits);
  return sign | (static_cast<std::uint32_t>(biased) << MantBits) | static_cast<std::uint32_t>(q - implicit_bit);
}

template <int MantBits, int ExpBits>
double decode_narrow(std::uint32_t bits) {
  constexpr int bias = (1 << (ExpBits - 1)) - 1;
  constexpr int emin = 1 - bias;
  constexpr std::uint32_t exp_all = (1u << ExpBits) - 1;
  const bool negative = ((bits >> (MantBits + ExpBits)) & 1) != 0;
  const std::uint32_t exp_field = (bits >> MantBits) & exp_all;
  const std::uint32_t mant = bits & ((1u << MantBits) - 1);
  double magnitude = 0.0;
  if (exp_field == exp_all) {
    magnitude = mant != 0 ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
  } else if (exp_field == 0) {
    magnitude = std::ldexp(static_cast<double>(mant), emin - MantBits);
  } else {
    magnitude = std::ldexp(static_cast<double>(mant | (1u << MantBits)), static_cast<int>(exp_field) - bias - MantBits);
  }
  return negative ? -magnitude : magnitude;
}

// Whether `value` converts to the narrow format and back unchanged, read off
// its bits: the same answer as the round trip through `encode_narrow` and
// `decode_narrow`, without building the narrow value. An infinity holds; a NaN
// never equals itself; a double subnormal rounds to zero, so only zeros hold.
template <int MantBits, int ExpBits>
bool fits_narrow(double value) {
  constexpr int bias = (1 << (ExpBits - 1)) - 1;
  constexpr int emin = 1 - bias;
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const int dexp = static_cast<int>((bits >> 52) & 0x7ff);
  const std::uint64_t dmant = bits & ((std::uint64_t{1} << 52) - 1);
  if (dexp == 0x7ff || dexp == 0) return dmant == 0;
  const int e = dexp - 1023;
  // Beyond the largest finite exponent the value becomes an infinity.
  if (e > bias) return false;
  // The bits below the unit in the last place of the narrow result (see
  // `encode_narrow`) must all be zero; the rest then fit as they are.
  const int shift = std::max(e, emin) - MantBits - (e - 52);
  if (shift >= 53) return false;  // a nonzero value below half the smallest subnormal
  return (dmant & ((std::uint64_t{1} << shift) - 1)) == 0;
}

}  // namespace

DType default_int_dtype(std::int64_t value) {
  if (value >= std::numeric_limits<std::int8_t>::min() && value <= std::numeric_limits<std::int8_t>::max()) {
    return DType::i8();
  }
  if (value >= std::numeric_limits<std::int16_t>::min() && value <= std::numeric_limits<std::int16_t>::max()) {
    return DType::i16();
  }
  if (value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max()) {
    return DType::i32();
  }
  return DType::i64();
}

bool int_literal_fits(std::int64_t value, DType dtype) {
  if (!dtype.is_integer()) return true;
  if (dtype.is_unsigned()) {
    if (value < 0) return false;
    if (dtype.bits >= 64) return true;  // a signed 64-bit literal never exceeds 2^63 - 1
    return static_cast<std::uint64_t>(value) <= (std::uint64_t{1} << dtype.bits) - 1;
  }
  if (dtype.bits >= 64) return true;
  const std::int64_t max = (std::int64_t{1} << (dtype.bits - 1)) - 1;
  return value >= -max - 1 && value <= max;
}

DType default_float_dtype(double value) {
  if (std::isnan(value) || std::isinf(value)) return DType::f16();
  if (exactly_representable(value, DType::f16())) return DType::f16();
  if (exactly_representable(value, DType::f32())) return DType::f32();
  return DType::f64();
}

DType default_complex_dtype(double re, double im) {
  auto fits = [](double v) { return std::isnan(v) || std::isinf(v) || exactly_representable(v, DType::f32()); };
  return fits(re) && fits(im) ? DType::c64() : DType::c128();
}

std::uint16_t to_half_bits(double value) { return static_cast<std::uint16_t>(encode_narrow<10, 5>(value)); }
double from_half_bits(std::uint16_t bits) { return decode_narrow<10, 5>(bits); }
std::uint16_t to_bfloat16_bits(double value) { return static_cast<std::uint16_t>(encode_narrow<7, 8>(value)); }
double from_bfloat16_bits(std::uint16_t bits) { return decode_narrow<7, 8>(bits); }

bool exactly_representable(double value, DType dtype) {
  if (!dtype.is_float()) return false;
  if (dtype == DType::f64()) return true;
  if (dtype == DType::f32()) return fits_narrow<23, 8>(value);
  if (dtype == DType::bf16()) return fits_narrow<7, 8>(value);
  if (dtype == DType::f16()) return fits_narrow<10, 5>(value);
  return false;
}

}  // namespace morvalen::ir
