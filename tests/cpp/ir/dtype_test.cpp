#include "ir/dtype.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace morvalen::ir {
namespace {

// Row a, column b of the promotion table, both in canonical order; "-" is the
// cannot-promote failure.
constexpr std::array<std::array<const char*, 15>, 15> kPromotionTable = {{
    {"bool", "u8", "u16", "u32", "u64", "i8", "i16", "i32", "i64", "f16", "bf16", "f32", "f64", "c64", "c128"},
    {"u8", "u8", "u16", "u32", "u64", "i16", "i16", "i32", "i64", "f16", "-", "f32", "f64", "c64", "c128"},
    {"u16", "u16", "u16", "u32", "u64", "i32", "i32", "i32", "i64", "f32", "-", "f32", "f64", "c64", "c128"},
    {"u32", "u32", "u32", "u32", "u64", "i64", "i64", "i64", "i64", "f64", "-", "f64", "f64", "c128", "c128"},
    {"u64", "u64", "u64", "u64", "u64", "i64", "i64", "i64", "i64", "f64", "-", "f64", "f64", "c128", "c128"},
    {"i8", "i16", "i32", "i64", "i64", "i8", "i16", "i32", "i64", "f16", "-", "f32", "f64", "c64", "c128"},
    {"i16", "i16", "i32", "i64", "i64", "i16", "i16", "i32", "i64", "f32", "-", "f32", "f64", "c64", "c128"},
    {"i32", "i32", "i32", "i64", "i64", "i32", "i32", "i32", "i64", "f64", "-", "f64", "f64", "c128", "c128"},
    {"i64", "i64", "i64", "i64", "i64", "i64", "i64", "i64", "i64", "f64", "-", "f64", "f64", "c128", "c128"},
    {"f16", "f16", "f32", "f64", "f64", "f16", "f32", "f64", "f64", "f16", "f32", "f32", "f64", "c64", "c128"},
    {"bf16", "-", "-", "-", "-", "-", "-", "-", "-", "f32", "bf16", "f32", "f64", "-", "-"},
    {"f32", "f32", "f32", "f64", "f64", "f32", "f32", "f64", "f64", "f32", "f32", "f32", "f64", "c64", "c128"},
    {"f64", "f64", "f64", "f64", "f64", "f64", "f64", "f64", "f64", "f64", "f64", "f64", "f64", "c128", "c128"},
    {"c64", "c64", "c64", "c128", "c128", "c64", "c64", "c128", "c128", "c64", "-", "c64", "c128", "c64", "c128"},
    {"c128", "c128", "c128", "c128", "c128", "c128", "c128", "c128", "c128", "c128", "-", "c128", "c128", "c128",
     "c128"},
}};

TEST(PromoteTest, EveryCellOfTheTable) {
  for (std::size_t row = 0; row < all_dtypes.size(); ++row) {
    for (std::size_t col = 0; col < all_dtypes.size(); ++col) {
      DType a = all_dtypes[row];
      DType b = all_dtypes[col];
      SCOPED_TRACE(std::string(to_str(a)) + " with " + std::string(to_str(b)));
      auto result = promote(a, b);
      std::string expected = kPromotionTable[row][col];
      if (expected == "-") {
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), (CannotPromote{a, b}));
      } else {
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(to_str(*result), expected);
      }
    }
  }
}

TEST(PromoteTest, UnsafeOnlyForU64WithSigned) {
  for (DType a : all_dtypes) {
    for (DType b : all_dtypes) {
      bool expected = (a == DType::u64() && b.is_signed()) || (b == DType::u64() && a.is_signed());
      EXPECT_EQ(is_unsafe_promotion(a, b), expected) << to_str(a) << " " << to_str(b);
    }
  }
}

TEST(PromoteTest, ImplicitWhenResultDiffersFromAnOperand) {
  EXPECT_FALSE(is_implicit_promotion(DType::f32(), DType::f32(), DType::f32()));
  EXPECT_TRUE(is_implicit_promotion(DType::f32(), DType::i8(), DType::f32()));
  EXPECT_TRUE(is_implicit_promotion(DType::u8(), DType::i8(), DType::i16()));
  EXPECT_TRUE(is_implicit_promotion(DType::f16(), DType::bf16(), DType::f32()));
}

TEST(FloatMergeTest, RulesAndFailures) {
  EXPECT_EQ(*float_merge(DType::bf16(), DType::bf16()), DType::bf16());
  EXPECT_EQ(*float_merge(DType::f16(), DType::bf16()), DType::f32());
  EXPECT_EQ(*float_merge(DType::bf16(), DType::f64()), DType::f64());
  EXPECT_EQ(*float_merge(DType::f16(), DType::f32()), DType::f32());
  auto fail = float_merge(DType::i8(), DType::f32());
  ASSERT_FALSE(fail.has_value());
  EXPECT_EQ(fail.error(), (CannotPromote{DType::i8(), DType::f32()}));
}

TEST(ComplexOfFloatTest, WidthDecides) {
  EXPECT_EQ(complex_of_float(DType::f16()), DType::c64());
  EXPECT_EQ(complex_of_float(DType::bf16()), DType::c64());
  EXPECT_EQ(complex_of_float(DType::f32()), DType::c64());
  EXPECT_EQ(complex_of_float(DType::f64()), DType::c128());
  EXPECT_EQ(complex_of_float(DType::i32()), DType::i32());
}

TEST(DTypeTextTest, SpellingsRoundTrip) {
  const char* spellings[] = {"bool", "u8",  "u16",  "u32", "u64", "i8",  "i16", "i32",
                             "i64",  "f16", "bf16", "f32", "f64", "c64", "c128"};
  for (std::size_t i = 0; i < all_dtypes.size(); ++i) {
    EXPECT_EQ(to_str(all_dtypes[i]), spellings[i]);
    auto parsed = parse_dtype(spellings[i]);
    ASSERT_TRUE(parsed.has_value()) << spellings[i];
    EXPECT_EQ(*parsed, all_dtypes[i]);
  }
}

TEST(DTypeTextTest, ParseFailuresCarryTheText) {
  for (const char* bad : {"F32", "u128", "", "float", "bf16 ", "BF16"}) {
    auto parsed = parse_dtype(bad);
    ASSERT_FALSE(parsed.has_value()) << bad;
    EXPECT_EQ(parsed.error(), bad);
  }
}

TEST(DTypeTextTest, InvalidCombinationsPrintInvalid) {
  EXPECT_EQ(to_str(DType{DTypeKind::Int, false, 12}), "<invalid-dtype>");
  EXPECT_EQ(to_str(DType{DTypeKind::UInt, false, 128}), "<invalid-dtype>");
  EXPECT_EQ(to_str(DType{DTypeKind::Float, false, 8}), "<invalid-dtype>");
  EXPECT_EQ(to_str(DType{DTypeKind::Float, true, 32}), "<invalid-dtype>");
  EXPECT_EQ(to_str(DType{DTypeKind::Complex, false, 32}), "<invalid-dtype>");
  EXPECT_EQ(to_str(DType{DTypeKind::Int, true, 16}), "<invalid-dtype>");
  EXPECT_EQ(to_str(DType{DTypeKind::Bool, false, 8}), "bool");
}

TEST(DTypeEqualityTest, BfloatFlagMattersOnlyForFloats) {
  EXPECT_FALSE(DType::f16() == DType::bf16());
  EXPECT_TRUE((DType{DTypeKind::Int, true, 32}) == DType::i32());
  EXPECT_NE(std::hash<DType>{}(DType::f16()), std::hash<DType>{}(DType::bf16()));
  EXPECT_EQ(std::hash<DType>{}(DType{DTypeKind::Int, true, 32}), std::hash<DType>{}(DType::i32()));
}

}  // namespace
}  // namespace morvalen::ir
