#include "ir/const_conv.h"

#include <cmath>
#include <limits>

#include "support/overloaded.h"

namespace morvalen::ir {
namespace {

// 2^63 exactly; every double at or above it saturates.
constexpr double kTwoPow63 = 9223372036854775808.0;

}  // namespace

bool in_integer_range(Int128 value, DType dtype) {
  if (dtype.is_unsigned()) return value >= 0 && value <= (Int128{1} << dtype.bits) - 1;
  const Int128 limit = Int128{1} << (dtype.bits - 1);
  return value >= -limit && value <= limit - 1;
}

DType overflow_dtype(Int128 value, DType node_dtype) {
  static constexpr DType kUnsigned[] = {DType::u8(), DType::u16(), DType::u32(), DType::u64()};
  static constexpr DType kSigned[] = {DType::i8(), DType::i16(), DType::i32(), DType::i64()};
  const auto& candidates = (node_dtype.is_unsigned() && value >= 0) ? kUnsigned : kSigned;
  for (DType c : candidates) {
    if (in_integer_range(value, c)) return c;
  }
  return DType::i64();
}

std::int64_t f64_to_i64_saturating(double x) {
  if (std::isnan(x)) return 0;
  if (x >= kTwoPow63) return std::numeric_limits<std::int64_t>::max();
  if (x <= -kTwoPow63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(x);  // truncates toward zero; in range here
}

std::optional<double> scalar_to_f64(const Scalar& value) {
  return std::visit(support::Overloaded{
                        [](bool b) -> std::optional<double> { return b ? 1.0 : 0.0; },
                        [](std::int64_t i) -> std::optional<double> { return static_cast<double>(i); },
                        [](double x) -> std::optional<double> { return x; },
                        [](const ComplexValue&) -> std::optional<double> { return std::nullopt; },
                    },
                    value);
}

std::optional<Scalar> f64_to_dtype(double x, DType target) {
  switch (target.kind) {
    case DTypeKind::Bool:
      return std::nullopt;
    case DTypeKind::UInt:
    case DTypeKind::Int:
      return Scalar{f64_to_i64_saturating(x)};
    case DTypeKind::Float:
      return Scalar{x};
    case DTypeKind::Complex:
      return Scalar{ComplexValue{x, 0.0}};
  }
  return std::nullopt;
}

std::optional<Scalar> i64_to_dtype(std::int64_t value, DType target) {
  if (target.is_integer()) return Scalar{value};
  return f64_to_dtype(static_cast<double>(value), target);
}

std::optional<Scalar> cast_const_to_dtype(const Scalar& value, DType target) {
  if (const auto* c = std::get_if<ComplexValue>(&value)) {
    if (target.is_complex()) return Scalar{*c};
    return std::nullopt;
  }
  if (const bool* b = std::get_if<bool>(&value)) {
    if (target.is_bool()) return Scalar{*b};
    return i64_to_dtype(*b ? 1 : 0, target);
  }
  if (target.is_bool()) return std::nullopt;
  // An integer goes to an integer kind unchanged: a trip through a double
  // would round every magnitude beyond 2^53.
  if (const auto* i = std::get_if<std::int64_t>(&value)) return i64_to_dtype(*i, target);
  return f64_to_dtype(std::get<double>(value), target);
}

}  // namespace morvalen::ir
