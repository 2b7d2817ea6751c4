#include "ir/const_conv.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace morvalen::ir {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kTwo53Plus1 = 9007199254740993;  // the first integer a double cannot hold
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::string show_double(double x) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, x);
  return std::string(buf, res.ptr);
}

std::string show(const std::optional<Scalar>& s) {
  if (!s) return "no conversion";
  if (const bool* b = std::get_if<bool>(&*s)) return *b ? "Bool(true)" : "Bool(false)";
  if (const auto* i = std::get_if<std::int64_t>(&*s)) return "Int(" + std::to_string(*i) + ")";
  if (const auto* x = std::get_if<double>(&*s)) return "Float(" + show_double(*x) + ")";
  const auto& c = std::get<ComplexValue>(*s);
  return "Complex(" + show_double(c.re) + ", " + show_double(c.im) + ")";
}

// Doubles compare by bit pattern so that -0.0 and 0.0 differ; NaN equals NaN.
bool same_double(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (std::isnan(a) && std::isnan(b));
}

bool same(const std::optional<Scalar>& a, const std::optional<Scalar>& b) {
  if (!a || !b) return !a && !b;
  if (a->index() != b->index()) return false;
  if (const bool* x = std::get_if<bool>(&*a)) return *x == std::get<bool>(*b);
  if (const auto* x = std::get_if<std::int64_t>(&*a)) return *x == std::get<std::int64_t>(*b);
  if (const auto* x = std::get_if<double>(&*a)) return same_double(*x, std::get<double>(*b));
  const auto& x = std::get<ComplexValue>(*a);
  const auto& y = std::get<ComplexValue>(*b);
  return same_double(x.re, y.re) && same_double(x.im, y.im);
}

struct CastCase {
  const char* name;
  Scalar value;
  DType target;
  std::optional<Scalar> expected;
};

const std::vector<CastCase>& cast_cases() {
  static const std::vector<CastCase> cases = {
      // From Bool.
      {"true to bool", true, DType::boolean(), Scalar{true}},
      {"false to bool", false, DType::boolean(), Scalar{false}},
      {"true to u8", true, DType::u8(), Scalar{std::int64_t{1}}},
      {"false to i64", false, DType::i64(), Scalar{std::int64_t{0}}},
      {"true to f32", true, DType::f32(), Scalar{1.0}},
      {"false to bf16", false, DType::bf16(), Scalar{0.0}},
      {"true to c64", true, DType::c64(), Scalar{ComplexValue{1.0, 0.0}}},
      {"false to c128", false, DType::c128(), Scalar{ComplexValue{0.0, 0.0}}},
      // From Int: the magnitude is kept whatever the target width.
      {"int to bool", std::int64_t{5}, DType::boolean(), std::nullopt},
      {"int 0 to bool", std::int64_t{0}, DType::boolean(), std::nullopt},
      {"300 to u8 keeps 300", std::int64_t{300}, DType::u8(), Scalar{std::int64_t{300}}},
      {"-2 to u64 keeps -2", std::int64_t{-2}, DType::u64(), Scalar{std::int64_t{-2}}},
      {"max to u32", kMax, DType::u32(), Scalar{kMax}},
      {"min to i8", kMin, DType::i8(), Scalar{kMin}},
      {"2^53+1 to i64 stays exact", kTwo53Plus1, DType::i64(), Scalar{kTwo53Plus1}},
      {"max-1 to u64 stays exact", kMax - 1, DType::u64(), Scalar{kMax - 1}},
      {"int to f16", std::int64_t{7}, DType::f16(), Scalar{7.0}},
      {"2^53+1 to f64 rounds", kTwo53Plus1, DType::f64(), Scalar{9007199254740992.0}},
      {"int to c64", std::int64_t{-3}, DType::c64(), Scalar{ComplexValue{-3.0, 0.0}}},
      // From Float: truncation toward zero with saturation.
      {"float to bool", 2.5, DType::boolean(), std::nullopt},
      {"2.9 to i8", 2.9, DType::i8(), Scalar{std::int64_t{2}}},
      {"-2.9 to i32", -2.9, DType::i32(), Scalar{std::int64_t{-2}}},
      {"-0.5 to u8", -0.5, DType::u8(), Scalar{std::int64_t{0}}},
      {"NaN to u8", kNaN, DType::u8(), Scalar{std::int64_t{0}}},
      {"1e300 to i64", 1e300, DType::i64(), Scalar{kMax}},
      {"-1e300 to i64", -1e300, DType::i64(), Scalar{kMin}},
      {"inf to u64", kInf, DType::u64(), Scalar{kMax}},
      {"-inf to i16", -kInf, DType::i16(), Scalar{kMin}},
      {"2^63 saturates", 9223372036854775808.0, DType::i64(), Scalar{kMax}},
      {"-2^63 is the minimum", -9223372036854775808.0, DType::i64(), Scalar{kMin}},
      {"largest double below 2^63", 9223372036854774784.0, DType::i64(), Scalar{std::int64_t{9223372036854774784}}},
      {"0.1 to f32 keeps 64 bits", 0.1, DType::f32(), Scalar{0.1}},
      {"float to f64", -0.0, DType::f64(), Scalar{-0.0}},
      {"float to c128", 1.5, DType::c128(), Scalar{ComplexValue{1.5, 0.0}}},
      // From Complex: only a complex target converts.
      {"complex to bool", ComplexValue{1.0, 2.0}, DType::boolean(), std::nullopt},
      {"complex to i32", ComplexValue{1.0, 0.0}, DType::i32(), std::nullopt},
      {"complex to f64", ComplexValue{1.0, 0.0}, DType::f64(), std::nullopt},
      {"complex to c64", ComplexValue{1.0, 2.0}, DType::c64(), Scalar{ComplexValue{1.0, 2.0}}},
      {"complex to c128", ComplexValue{-0.5, 3.0}, DType::c128(), Scalar{ComplexValue{-0.5, 3.0}}},
  };
  return cases;
}

TEST(CastConstToDtypeTest, Table) {
  for (const CastCase& c : cast_cases()) {
    SCOPED_TRACE(c.name);
    std::optional<Scalar> got = cast_const_to_dtype(c.value, c.target);
    EXPECT_TRUE(same(got, c.expected)) << "got " << show(got) << ", expected " << show(c.expected);
  }
}

TEST(CastConstToDtypeTest, OnlyTheKindOfTheTargetMatters) {
  // Every width of one kind gives the same answer.
  const std::vector<Scalar> values = {true, std::int64_t{-70000}, 123456.75, ComplexValue{1.0, -1.0}};
  for (const Scalar& v : values) {
    SCOPED_TRACE(show(v));
    for (DType a : all_dtypes) {
      for (DType b : all_dtypes) {
        if (a.kind != b.kind) continue;
        EXPECT_TRUE(same(cast_const_to_dtype(v, a), cast_const_to_dtype(v, b))) << to_str(a) << " vs " << to_str(b);
      }
    }
  }
}

TEST(ConstConversionHelpersTest, SaturatingTruncation) {
  EXPECT_EQ(f64_to_i64_saturating(0.0), 0);
  EXPECT_EQ(f64_to_i64_saturating(-7.99), -7);
  EXPECT_EQ(f64_to_i64_saturating(kNaN), 0);
  EXPECT_EQ(f64_to_i64_saturating(kInf), kMax);
  EXPECT_EQ(f64_to_i64_saturating(-kInf), kMin);
  EXPECT_EQ(f64_to_i64_saturating(-9223372036854777856.0), kMin);  // the double below -2^63
}

TEST(ConstConversionHelpersTest, RealReading) {
  EXPECT_EQ(scalar_to_f64(true), 1.0);
  EXPECT_EQ(scalar_to_f64(false), 0.0);
  EXPECT_EQ(scalar_to_f64(std::int64_t{-4}), -4.0);
  EXPECT_EQ(scalar_to_f64(2.25), 2.25);
  EXPECT_FALSE(scalar_to_f64(ComplexValue{1.0, 0.0}).has_value());
}

TEST(ConstConversionHelpersTest, ResultsUnderATarget) {
  EXPECT_TRUE(same(f64_to_dtype(2.75, DType::u16()), Scalar{std::int64_t{2}}));
  EXPECT_TRUE(same(f64_to_dtype(2.75, DType::f16()), Scalar{2.75}));
  EXPECT_TRUE(same(f64_to_dtype(2.75, DType::c64()), Scalar{ComplexValue{2.75, 0.0}}));
  EXPECT_FALSE(f64_to_dtype(1.0, DType::boolean()).has_value());
  EXPECT_TRUE(same(i64_to_dtype(kMax - 1, DType::i64()), Scalar{kMax - 1}));
  EXPECT_TRUE(same(i64_to_dtype(kTwo53Plus1, DType::f32()), Scalar{9007199254740992.0}));
  EXPECT_TRUE(same(i64_to_dtype(-1, DType::c128()), Scalar{ComplexValue{-1.0, 0.0}}));
  EXPECT_FALSE(i64_to_dtype(1, DType::boolean()).has_value());
}

}  // namespace
}  // namespace morvalen::ir
