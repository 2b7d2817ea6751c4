#include "ir/dtype.h"

#include <algorithm>

namespace morvalen::ir {
namespace {

// Width used when an integer meets a float: 8-bit integers fit f16, 16-bit
// integers f32, wider ones f64.
std::uint16_t integer_float_width(DType i) { return i.bits == 8 ? 16 : i.bits == 16 ? 32 : 64; }

DType ieee_float(std::uint16_t bits) { return bits <= 16 ? DType::f16() : bits == 32 ? DType::f32() : DType::f64(); }

}  // namespace

std::string_view to_str(DType dtype) {
  switch (dtype.kind) {
    case DTypeKind::Bool:
      return kDTypeSpellings[0];  // all_dtypes starts with bool
    case DTypeKind::UInt:
    case DTypeKind::Int:
      if (dtype.is_bfloat) return "<invalid-dtype>";
      break;
    case DTypeKind::Float:
    case DTypeKind::Complex:
      break;
  }
  for (std::size_t i = 0; i < all_dtypes.size(); ++i) {
    const DType& d = all_dtypes[i];
    if (d.kind == dtype.kind && d.bits == dtype.bits && d.is_bfloat == dtype.is_bfloat) return kDTypeSpellings[i];
  }
  return "<invalid-dtype>";
}

Result<DType, std::string> parse_dtype(std::string_view text) {
  for (std::size_t i = 0; i < kDTypeSpellings.size(); ++i) {
    if (kDTypeSpellings[i] == text) return all_dtypes[i];
  }
  return unexpected(std::string(text));
}

Result<DType, CannotPromote> float_merge(DType a, DType b) {
  if (!a.is_float() || !b.is_float()) return unexpected(CannotPromote{a, b});
  if (a.is_bfloat == b.is_bfloat) {
    if (a.is_bfloat) return DType::bf16();
    return ieee_float(std::max(a.bits, b.bits));
  }
  if (a.bits == b.bits) return DType::f32();
  return ieee_float(std::max(a.bits, b.bits));
}

DType complex_of_float(DType f) {
  if (!f.is_float()) return f;
  return f.bits <= 32 ? DType::c64() : DType::c128();
}

DType complex_element(DType c) { return c.bits <= 64 ? DType::f32() : DType::f64(); }

Result<DType, CannotPromote> promote(DType a, DType b) {
  const CannotPromote fail{a, b};
  if (a == b) return a;
  if (a.is_bool()) return b;
  if (b.is_bool()) return a;
  if (a.is_integer() && b.is_integer()) {
    if (a.kind == b.kind) return a.bits >= b.bits ? a : b;
    DType u = a.is_unsigned() ? a : b;
    DType s = a.is_unsigned() ? b : a;
    if (s.bits > u.bits) return s;
    switch (std::min<int>(u.bits * 2, 64)) {
      case 16:
        return DType::i16();
      case 32:
        return DType::i32();
      default:
        return DType::i64();
    }
  }
  if (a.is_integer() || b.is_integer()) {
    DType i = a.is_integer() ? a : b;
    DType other = a.is_integer() ? b : a;
    if (other.is_float()) {
      if (other.is_bfloat) return unexpected(fail);
      return ieee_float(std::max(integer_float_width(i), other.bits));
    }
    // other is complex
    DType merged = ieee_float(std::max(integer_float_width(i), complex_element(other).bits));
    return complex_of_float(merged);
  }
  if (a.is_float() && b.is_float()) return float_merge(a, b);
  if (a.is_complex() && b.is_complex()) return a.bits >= b.bits ? a : b;
  // One float, one complex.
  DType f = a.is_float() ? a : b;
  DType c = a.is_float() ? b : a;
  if (f.is_bfloat) return unexpected(fail);
  auto merged = float_merge(complex_element(c), f);
  if (!merged) return unexpected(fail);
  return complex_of_float(*merged);
}

bool is_implicit_promotion(DType a, DType b, DType result) { return !(result == a) || !(result == b); }

bool is_unsafe_promotion(DType a, DType b) {
  return (a == DType::u64() && b.is_signed()) || (b == DType::u64() && a.is_signed());
}

}  // namespace morvalen::ir
