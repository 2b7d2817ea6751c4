#include "backend/const_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string_view>
#include <utility>
#include <variant>

#include "ir/const_conv.h"
#include "ir/literal.h"
#include "support/number_text.h"

namespace morvalen::backend {
namespace {

using ir::DType;
using ir::Int128;

constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();

// A text under construction, and whether a suffix written after it would
// belong to one literal: a number token, or one negated by a prefix sign
// (lowering folds the sign into the literal, suffix included).
struct Piece {
  ConstText text;
  bool takes_suffix = false;
};

// Concatenation without `"(" + text`, whose inlined copy GCC 12 misreads as
// overlapping (-Wrestrict).
std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view part : parts) out += part;
  return out;
}

std::string decimal(std::int64_t value) {
  std::string out;
  support::append_decimal(out, value);
  return out;
}

// A real value as a float literal, negated when its sign bit is set; NaN,
// which has no literal, as the difference of two infinities.
Piece real_literal(double x) {
  if (std::isnan(x)) return {{"(1e999 - 1e999)", DType::f16(), TextForm::of(TextForm::Kind::Atom), false}, false};
  const bool negative = std::signbit(x);
  return {{float_literal(x), ir::default_float_dtype(x),
           negative ? TextForm::of(TextForm::Kind::Prefix) : TextForm::of(TextForm::Kind::Atom), !negative},
          true};
}

// The smallest i64 has no literal: 9223372036854775808 does not lex.
Piece int_literal(std::int64_t v) {
  if (v == kI64Min)
    return {{"(-9223372036854775807 - 1)", DType::i64(), TextForm::of(TextForm::Kind::Atom), false}, false};
  return {{decimal(v), ir::default_int_dtype(v),
           v < 0 ? TextForm::of(TextForm::Kind::Prefix) : TextForm::of(TextForm::Kind::Atom), v >= 0},
          true};
}

// The imaginary literal of a non-negative (or infinite) part.
Piece imag_literal(double part) {
  return {{float_literal(part) + "j", ir::default_complex_dtype(0.0, part), TextForm::of(TextForm::Kind::Atom), true},
          true};
}

// A literal read as one constant of `dtype`.
ConstText with_suffix(Piece literal, DType dtype) {
  ConstText text = std::move(literal.text);
  text.text += '@';
  text.text += ir::to_str(dtype);
  text.dtype = dtype;
  text.bare_literal = false;
  return text;
}

// An explicit cast, which folding turns into a constant of `dtype`.
ConstText cast_to(ConstText operand, DType dtype) {
  std::string text;
  if (needs_parens_before_postfix(operand.form) || operand.bare_literal) {
    text = cat({"(", operand.text, ")"});
  } else {
    text = std::move(operand.text);
  }
  text += '@';
  text += ir::to_str(dtype);
  return {std::move(text), dtype, TextForm::of(TextForm::Kind::Postfix), false};
}

Piece negated(Piece literal) {
  literal.text.text = cat({"-", literal.text.text});
  literal.text.form = TextForm::of(TextForm::Kind::Prefix);
  literal.text.bare_literal = false;
  return literal;
}

Piece sum(const Piece& a, const Piece& b) {
  return {{cat({a.text.text, " + ", b.text.text}), ir::promote(a.text.dtype, b.text.dtype).value(),
           TextForm::infix(ir::BinaryOp::Add), false},
          false};
}

// Negation of a whole sum: folding flips both parts, signed zeros included.
Piece negated_group(const Piece& p) {
  return {{cat({"-(", p.text.text, ")"}), p.text.dtype, TextForm::of(TextForm::Kind::Prefix), false}, false};
}

bool is_positive_zero(double x) { return x == 0.0 && !std::signbit(x); }
bool is_negative_zero(double x) { return x == 0.0 && std::signbit(x); }

// A complex value as literals that fold to exactly its two parts. A real
// literal cast to complex has the imaginary part +0.0, and an imaginary
// literal the real part +0.0 (-0.0 when negated); IEEE sums keep a part only
// when the other addend's part is a zero of the right sign (x + -0.0 is x for
// every x, x + 0.0 is not when x is -0.0), so the signs of zeros choose the
// form.
Piece complex_literal(double re, double im) {
  if (std::isnan(im)) {
    const Piece nan_part{{"(1e999j - 1e999j)", DType::c64(), TextForm::of(TextForm::Kind::Atom), false},
                         false};  // (+0.0, NaN)
    if (is_positive_zero(re)) return nan_part;
    if (is_negative_zero(re)) return negated_group(sum(real_literal(0.0), nan_part));
    return sum(real_literal(re), nan_part);
  }
  if (is_positive_zero(im)) {
    if (is_positive_zero(re)) return imag_literal(0.0);
    return sum(real_literal(re), negated(imag_literal(0.0)));
  }
  if (is_negative_zero(im)) {
    if (is_negative_zero(re)) return negated(imag_literal(0.0));
    return negated_group(sum(real_literal(-re), negated(imag_literal(0.0))));
  }
  if (std::signbit(im)) {
    Piece part = negated(imag_literal(-im));  // (-0.0, im)
    if (is_negative_zero(re)) return part;
    return sum(real_literal(re), part);
  }
  if (is_positive_zero(re)) return imag_literal(im);
  if (is_negative_zero(re)) return negated_group(sum(real_literal(0.0), negated(imag_literal(im))));
  return sum(real_literal(re), imag_literal(im));
}

// A u64 value with the top bit set, held as the negative `v`. u64 literals
// stop at 2^63 - 1; the sum of two of them folds exactly up to 2^64 - 2, and
// 2^64 - 1 is a product.
ConstText u64_with_top_bit(std::int64_t v) {
  const auto pattern = static_cast<std::uint64_t>(v);
  if (pattern == std::numeric_limits<std::uint64_t>::max()) {
    return {"(4294967295@u64 * 4294967297@u64)", DType::u64(), TextForm::of(TextForm::Kind::Atom), false};
  }
  const auto rest = static_cast<std::int64_t>(pattern - static_cast<std::uint64_t>(kI64Max));
  return {cat({"(9223372036854775807@u64 + ", decimal(rest), "@u64)"}), DType::u64(),
          TextForm::of(TextForm::Kind::Atom), false};
}

ConstText int_text(std::int64_t v, DType dtype) {
  if (v != kI64Min && ir::int_literal_fits(v, dtype)) {
    Piece literal = int_literal(v);
    if (literal.text.dtype == dtype) return std::move(literal.text);
    return with_suffix(std::move(literal), dtype);
  }
  if (v == kI64Min && dtype == DType::i64()) return int_literal(v).text;
  if (dtype.is_unsigned() && v < 0) {
    ConstText pattern = u64_with_top_bit(v);
    return dtype == DType::u64() ? pattern : cast_to(std::move(pattern), dtype);
  }
  // Beyond the literals of `dtype`: an integer keeps its exact value when a
  // cast to an integer dtype folds it.
  return cast_to(int_literal(v).text, dtype);
}

ConstText float_text(double x, DType dtype) {
  Piece literal = real_literal(x);
  if (literal.text.dtype == dtype) return std::move(literal.text);
  if (!literal.takes_suffix) return cast_to(std::move(literal.text), dtype);
  return with_suffix(std::move(literal), dtype);
}

ConstText complex_text(const ir::ComplexValue& c, DType dtype) {
  Piece literal = complex_literal(c.re, c.im);
  if (literal.text.dtype == dtype) return std::move(literal.text);
  if (literal.takes_suffix) return with_suffix(std::move(literal), dtype);
  return cast_to(std::move(literal.text), dtype);
}

// Integer texts of dtype `op` built only from literals of `op` with `+`, `-`
// and `*`, each of which folding computes exactly on its operands read as
// signed 64-bit values. Every intermediate result stays within that range (it
// may overflow `op` and be promoted, which changes no value); only the last
// operation may leave it.
class ExactIntegerText {
 public:
  explicit ExactIntegerText(DType op) : op_(op) {
    const int bits = op.bits;
    if (op.is_unsigned()) {
      lo_ = 0;
      hi_ = bits >= 64 ? Int128{kI64Max} : (Int128{1} << bits) - 1;
    } else {
      hi_ = (Int128{1} << (bits - 1)) - 1;
      lo_ = bits >= 64 ? -hi_ : -hi_ - 1;
    }
  }

  std::optional<std::string> text(Int128 r) const {
    if (r >= lo_ && r <= hi_) return literal(r);
    if (r >= 2 * lo_ && r <= 2 * hi_) return cat({"(", literal(r / 2), " + ", literal(r - r / 2), ")"});
    if (op_.is_unsigned() && r < 0 && r >= -hi_) return cat({"(", literal(0), " - ", literal(-r), ")"});
    if (r >= kI64Min && r <= kI64Max) return within_i64(r);
    return product(r);
  }

 private:
  std::string literal(Int128 v) const {
    std::string out =
        v < 0 ? cat({"-", decimal(static_cast<std::int64_t>(-v))}) : decimal(static_cast<std::int64_t>(v));
    out += '@';
    out += ir::to_str(op_);
    return out;
  }

  // r = q * m + c with m the literal of largest magnitude, |c| < |m|.
  std::optional<std::string> within_i64(Int128 r) const {
    if (r < 0 && op_.is_unsigned()) {
      if (r == kI64Min) {
        auto rest = text(kI64Max);
        if (!rest) return std::nullopt;
        return cat({"(", literal(0), " - ", *rest, " - ", literal(1), ")"});
      }
      auto magnitude = text(-r);
      if (!magnitude) return std::nullopt;
      return cat({"(", literal(0), " - ", *magnitude, ")"});
    }
    const Int128 m = r > 0 ? hi_ : lo_;
    const Int128 q = r / m;
    const Int128 c = r - q * m;
    auto factor = text(q);
    if (!factor) return std::nullopt;
    std::string out = cat({"(", *factor, " * ", literal(m)});
    if (c != 0) {
      out += " + ";
      out += literal(c);
    }
    out += ')';
    return out;
  }

  // A result beyond the signed 64-bit range comes from a product; split it
  // into two factors within that range.
  std::optional<std::string> product(Int128 r) const {
    Int128 b = 1;
    while (b < (Int128{1} << 62) && r % (2 * b) == 0) b *= 2;
    const Int128 a = r / b;
    if (a < kI64Min || a > kI64Max) return std::nullopt;
    auto left = text(a);
    auto right = text(b);
    if (!left || !right) return std::nullopt;
    return cat({"(", *left, " * ", *right, ")"});
  }

  DType op_;
  Int128 lo_ = 0;
  Int128 hi_ = 0;
};

constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow126 = kTwoPow63 * kTwoPow63;

bool is_int_zero(const ir::Scalar& value) {
  const auto* i = std::get_if<std::int64_t>(&value);
  return i != nullptr && *i == 0;
}

}  // namespace

std::string float_literal(double value) {
  if (std::isinf(value)) return value < 0 ? "-1e999" : "1e999";
  char buf[32];
  char* end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  std::string text(buf, end);
  // An integral value prints without a fraction, which would read as an integer.
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

ConstText typed_const_text(const ir::Scalar& value, DType dtype, bool divisor) {
  if (divisor && is_int_zero(value)) {
    // Lowering refuses a constant zero divisor; a cast or a conditional that
    // folds to it is not a constant until folding.
    if (dtype.is_integer()) return cast_to(int_literal(0).text, dtype);
    const std::string zero = cat({"0@", ir::to_str(dtype)});
    return {cat({"(if true then ", zero, " else ", zero, ")"}), dtype, TextForm::of(TextForm::Kind::Atom), false};
  }
  if (const bool* b = std::get_if<bool>(&value)) {
    ConstText text{*b ? "true" : "false", DType::boolean(), TextForm::of(TextForm::Kind::Atom), false};
    return dtype.is_bool() ? text : cast_to(std::move(text), dtype);
  }
  if (const auto* i = std::get_if<std::int64_t>(&value)) {
    if (dtype.is_integer()) return int_text(*i, dtype);
    Piece literal = int_literal(*i);
    if (!literal.takes_suffix) return cast_to(std::move(literal.text), dtype);
    return with_suffix(std::move(literal), dtype);
  }
  if (const auto* x = std::get_if<double>(&value)) return float_text(*x, dtype);
  return complex_text(std::get<ir::ComplexValue>(value), dtype);
}

std::optional<ConstText> castable_const_text(const ir::Scalar& value, DType dtype) {
  std::optional<Piece> piece;
  if (const auto* x = std::get_if<double>(&value); x != nullptr && dtype.is_float()) {
    piece = real_literal(*x);
  } else if (const auto* i = std::get_if<std::int64_t>(&value);
             i != nullptr && dtype.is_integer() && (dtype.is_signed() || *i >= 0)) {
    // A negative value under an unsigned dtype is its 64-bit pattern, which
    // a signed literal cast to it would not compute.
    piece = int_literal(*i);
  } else if (const auto* c = std::get_if<ir::ComplexValue>(&value); c != nullptr && dtype.is_complex()) {
    piece = complex_literal(c->re, c->im);
  }
  if (!piece || piece->text.dtype == dtype) return std::nullopt;
  return std::move(piece->text);
}

bool is_overflowed_const(const ir::Scalar& value, DType dtype, DType operation) {
  if (!operation.is_integer()) return false;
  if (const auto* i = std::get_if<std::int64_t>(&value)) {
    return !ir::in_integer_range(*i, operation) && ir::overflow_dtype(*i, operation) == dtype;
  }
  if (const auto* x = std::get_if<double>(&value)) {
    return dtype == DType::f64() && std::trunc(*x) == *x && (*x >= kTwoPow63 || *x < -kTwoPow63) &&
           std::fabs(*x) <= kTwoPow126;
  }
  return false;
}

std::optional<ConstText> overflowed_const_text(const ir::Scalar& value, DType dtype, DType operation) {
  if (!is_overflowed_const(value, dtype, operation)) return std::nullopt;
  Int128 r = 0;
  if (const auto* i = std::get_if<std::int64_t>(&value)) {
    r = *i;
  } else {
    r = static_cast<Int128>(std::get<double>(value));
  }
  auto text = ExactIntegerText(operation).text(r);
  if (!text) return std::nullopt;
  return ConstText{std::move(*text), operation, TextForm::of(TextForm::Kind::Atom), false};
}

}  // namespace morvalen::backend
