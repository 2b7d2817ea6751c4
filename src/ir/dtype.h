#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "support/result.h"

namespace morvalen::ir {

enum class DTypeKind : std::uint8_t { Bool, UInt, Int, Float, Complex };

/// The scalar element type of every value. Fifteen combinations are valid (see
/// `all_dtypes`); any other prints as "<invalid-dtype>".
struct DType {
  DTypeKind kind = DTypeKind::Bool;
  bool is_bfloat = false;
  std::uint16_t bits = 1;

  static constexpr DType boolean() { return {DTypeKind::Bool, false, 1}; }
  static constexpr DType u8() { return {DTypeKind::UInt, false, 8}; }
  static constexpr DType u16() { return {DTypeKind::UInt, false, 16}; }
  static constexpr DType u32() { return {DTypeKind::UInt, false, 32}; }
  static constexpr DType u64() { return {DTypeKind::UInt, false, 64}; }
  static constexpr DType i8() { return {DTypeKind::Int, false, 8}; }
  static constexpr DType i16() { return {DTypeKind::Int, false, 16}; }
  static constexpr DType i32() { return {DTypeKind::Int, false, 32}; }
  static constexpr DType i64() { return {DTypeKind::Int, false, 64}; }
  static constexpr DType f16() { return {DTypeKind::Float, false, 16}; }
  static constexpr DType bf16() { return {DTypeKind::Float, true, 16}; }
  static constexpr DType f32() { return {DTypeKind::Float, false, 32}; }
  static constexpr DType f64() { return {DTypeKind::Float, false, 64}; }
  static constexpr DType c64() { return {DTypeKind::Complex, false, 64}; }
  static constexpr DType c128() { return {DTypeKind::Complex, false, 128}; }

  constexpr bool is_bool() const { return kind == DTypeKind::Bool; }
  constexpr bool is_unsigned() const { return kind == DTypeKind::UInt; }
  constexpr bool is_signed() const { return kind == DTypeKind::Int; }
  constexpr bool is_integer() const { return is_unsigned() || is_signed(); }
  constexpr bool is_float() const { return kind == DTypeKind::Float; }
  constexpr bool is_complex() const { return kind == DTypeKind::Complex; }

  /// Kind and width equal; for floats and complex types the bfloat flag too.
  friend constexpr bool operator==(DType a, DType b) {
    if (a.kind != b.kind || a.bits != b.bits) return false;
    if (a.kind == DTypeKind::Float || a.kind == DTypeKind::Complex) return a.is_bfloat == b.is_bfloat;
    return true;
  }
};

/// The fifteen valid dtypes in canonical order.
inline constexpr std::array<DType, 15> all_dtypes = {
    DType::boolean(), DType::u8(),  DType::u16(),  DType::u32(), DType::u64(), DType::i8(),  DType::i16(), DType::i32(),
    DType::i64(),     DType::f16(), DType::bf16(), DType::f32(), DType::f64(), DType::c64(), DType::c128()};

/// The spellings of `all_dtypes`, in the same order.
inline constexpr std::array<std::string_view, 15> kDTypeSpellings = {
    "bool", "u8", "u16", "u32", "u64", "i8", "i16", "i32", "i64", "f16", "bf16", "f32", "f64", "c64", "c128"};

/// The spelling ("f32", "bf16", ...), or "<invalid-dtype>" outside the table.
std::string_view to_str(DType dtype);

/// Exact, case-sensitive parse of one of the fifteen spellings; the failure
/// carries the rejected text.
Result<DType, std::string> parse_dtype(std::string_view text);

/// The two operands of a failed promotion, in the order given.
struct CannotPromote {
  DType a;
  DType b;
  friend bool operator==(const CannotPromote&, const CannotPromote&) = default;
};

/// The common type of two operands by the fixed promotion table.
Result<DType, CannotPromote> promote(DType a, DType b);

/// The common type of two floats; fails when either is not a float.
Result<DType, CannotPromote> float_merge(DType a, DType b);

/// The complex type able to hold float `f`; a non-float is returned unchanged.
DType complex_of_float(DType f);

/// The component float of a complex dtype (`f32` for `c64`, `f64` for `c128`).
DType complex_element(DType c);

/// A successful promotion is implicit when `result` differs from an operand.
bool is_implicit_promotion(DType a, DType b, DType result);

/// `u64` with a signed integer: the `i64` result cannot hold every `u64`.
bool is_unsafe_promotion(DType a, DType b);

}  // namespace morvalen::ir

template <>
struct std::hash<morvalen::ir::DType> {
  std::size_t operator()(morvalen::ir::DType d) const noexcept {
    bool flag = d.is_bfloat && (d.kind == morvalen::ir::DTypeKind::Float || d.kind == morvalen::ir::DTypeKind::Complex);
    return (static_cast<std::size_t>(d.kind) << 20) | (static_cast<std::size_t>(flag) << 16) | d.bits;
  }
};
