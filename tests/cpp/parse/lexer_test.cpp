#include "parse/lexer.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace morvalen::parse {
namespace {

std::vector<Token> lex_ok(std::string_view text) {
  LexOutput out = lexer(text);
  EXPECT_TRUE(out.errors.empty()) << text;
  EXPECT_TRUE(out.tokens.has_value()) << text;
  return out.tokens ? *out.tokens : std::vector<Token>{};
}

std::vector<TokenKind> kinds(std::string_view text) {
  std::vector<TokenKind> out;
  for (const Token& t : lex_ok(text)) out.push_back(t.kind);
  return out;
}

TEST(LexerTest, TokenTableHasOneRowPerKindInOrder) {
  EXPECT_EQ(kTokenTable.size(), 36u);
  EXPECT_EQ(token_index<tok::If>(), 0u);
  EXPECT_EQ(token_index<tok::Ident>(), 9u);
  EXPECT_EQ(token_index<tok::TypeName>(), 10u);
  EXPECT_EQ(token_index<tok::Imag>(), 13u);
  EXPECT_EQ(token_index<tok::OrOr>(), 22u);
  EXPECT_EQ(token_index<tok::At>(), 35u);
  EXPECT_EQ(token_name(tok::LtEq{}), "LtEq");
  EXPECT_EQ(kTokenTable[token_index<tok::StarStar>()].spelling, "**");
}

// Every one of the 36 kinds, each spelled once, with its byte span.
TEST(LexerTest, AllKindsWithSpans) {
  const std::string text =
      "if then else cast diff true false e pi x f32 7 1.5 2.5j + - * / // % ** && || ! == != <= >= < > ( ) [ ] , @";
  std::vector<Token> tokens = lex_ok(text);
  ASSERT_EQ(tokens.size(), 36u);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(tokens[i].kind.index(), i);
    std::string_view spelled =
        std::string_view(text).substr(tokens[i].span.start, tokens[i].span.end - tokens[i].span.start);
    std::string_view fixed = kTokenTable[i].spelling;
    if (!fixed.empty()) {
      EXPECT_EQ(spelled, fixed);
    }
  }
  EXPECT_EQ(tokens[9].kind, TokenKind(tok::Ident{"x"}));
  EXPECT_EQ(tokens[10].kind, TokenKind(tok::TypeName{"f32"}));
  EXPECT_EQ(tokens[11].kind, TokenKind(tok::Int{7}));
  EXPECT_EQ(tokens[12].kind, TokenKind(tok::Float{1.5}));
  EXPECT_EQ(tokens[13].kind, TokenKind(tok::Imag{2.5}));
  EXPECT_EQ(tokens[13].span, (Span{51, 55}));
  EXPECT_EQ(tokens[0].span, (Span{0, 2}));
}

struct KindsCase {
  const char* text;
  std::vector<TokenKind> expected;
};

class LexerKindsTest : public ::testing::TestWithParam<KindsCase> {};

TEST_P(LexerKindsTest, Lexes) {
  const KindsCase& c = GetParam();
  EXPECT_EQ(kinds(c.text), c.expected) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, LexerKindsTest,
    ::testing::Values(
        KindsCase{"x**-2", {tok::Ident{"x"}, tok::StarStar{}, tok::Minus{}, tok::Int{2}}},
        KindsCase{"a//b", {tok::Ident{"a"}, tok::SlashSlash{}, tok::Ident{"b"}}},
        KindsCase{"a/ /b", {tok::Ident{"a"}, tok::Slash{}, tok::Slash{}, tok::Ident{"b"}}},
        KindsCase{"007", {tok::Int{0}, tok::Int{0}, tok::Int{7}}}, KindsCase{"2.5j", {tok::Imag{2.5}}},
        KindsCase{"1e3j", {tok::Imag{1000.0}}}, KindsCase{"2.5 j", {tok::Float{2.5}, tok::Ident{"j"}}},
        KindsCase{"1.5e3 2.0E-7 1e10", {tok::Float{1500.0}, tok::Float{2.0e-7}, tok::Float{1e10}}},
        KindsCase{"1e", {tok::Int{1}, tok::E{}}}, KindsCase{"1e+", {tok::Int{1}, tok::E{}, tok::Plus{}}},
        KindsCase{"00.5", {tok::Float{0.5}}}, KindsCase{"9223372036854775807", {tok::Int{9223372036854775807LL}}},
        KindsCase{"True PI E", {tok::Ident{"True"}, tok::Ident{"PI"}, tok::Ident{"E"}}},
        KindsCase{"f32 bf16 f8 u128",
                  {tok::TypeName{"f32"}, tok::TypeName{"bf16"}, tok::Ident{"f8"}, tok::Ident{"u128"}}},
        KindsCase{"bool u8 u16 u32 u64 i8 i16 i32 i64 f16 f64 c64 c128",
                  {tok::TypeName{"bool"}, tok::TypeName{"u8"}, tok::TypeName{"u16"}, tok::TypeName{"u32"},
                   tok::TypeName{"u64"}, tok::TypeName{"i8"}, tok::TypeName{"i16"}, tok::TypeName{"i32"},
                   tok::TypeName{"i64"}, tok::TypeName{"f16"}, tok::TypeName{"f64"}, tok::TypeName{"c64"},
                   tok::TypeName{"c128"}}},
        KindsCase{"iffy elsewhere e2 _x __",
                  {tok::Ident{"iffy"}, tok::Ident{"elsewhere"}, tok::Ident{"e2"}, tok::Ident{"_x"}, tok::Ident{"__"}}},
        KindsCase{"größe", {tok::Ident{"größe"}}},
        KindsCase{"x\u3000+\u00a0y\r\n", {tok::Ident{"x"}, tok::Plus{}, tok::Ident{"y"}}},
        KindsCase{"<=<>=>", {tok::LtEq{}, tok::Lt{}, tok::GtEq{}, tok::Gt{}}},
        KindsCase{"!!=", {tok::Bang{}, tok::NotEq{}}}, KindsCase{"***", {tok::StarStar{}, tok::Star{}}},
        KindsCase{"x@f32", {tok::Ident{"x"}, tok::At{}, tok::TypeName{"f32"}}}, KindsCase{"", {}},
        KindsCase{" \t\n ", {}}));

TEST(LexerTest, SpansAreByteOffsets) {
  std::vector<Token> tokens = lex_ok("é + 1");
  ASSERT_EQ(tokens.size(), 3u);
  EXPECT_EQ(tokens[0].span, (Span{0, 2}));
  EXPECT_EQ(tokens[1].span, (Span{3, 4}));
  EXPECT_EQ(tokens[2].span, (Span{5, 6}));
}

TEST(LexerTest, SpansExcludeWhitespace) {
  std::vector<Token> tokens = lex_ok("  ab  **\tc ");
  ASSERT_EQ(tokens.size(), 3u);
  EXPECT_EQ(tokens[0].span, (Span{2, 4}));
  EXPECT_EQ(tokens[1].span, (Span{6, 8}));
  EXPECT_EQ(tokens[2].span, (Span{9, 10}));
}

TEST(LexerTest, FloatOverflowIsInfinityAndUnderflowIsZero) {
  std::vector<Token> tokens = lex_ok("1e400 1e-400 0.0e99999 1e400j");
  ASSERT_EQ(tokens.size(), 4u);
  EXPECT_EQ(tokens[0].kind, TokenKind(tok::Float{std::numeric_limits<double>::infinity()}));
  EXPECT_EQ(tokens[1].kind, TokenKind(tok::Float{0.0}));
  EXPECT_EQ(tokens[2].kind, TokenKind(tok::Float{0.0}));
  EXPECT_EQ(tokens[3].kind, TokenKind(tok::Imag{std::numeric_limits<double>::infinity()}));
  // Exponents far beyond any range still saturate rather than fail.
  tokens = lex_ok("1e99999999999999999999 1e-99999999999999999999 0.0e99999999999999999999");
  ASSERT_EQ(tokens.size(), 3u);
  EXPECT_EQ(tokens[0].kind, TokenKind(tok::Float{std::numeric_limits<double>::infinity()}));
  EXPECT_EQ(tokens[1].kind, TokenKind(tok::Float{0.0}));
  EXPECT_EQ(tokens[2].kind, TokenKind(tok::Float{0.0}));
}

TEST(LexerTest, FloatRoundsToNearest) {
  std::vector<Token> tokens = lex_ok("0.1 4.9e-324");
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_EQ(std::get<tok::Float>(tokens[0].kind).value, 0.1);
  EXPECT_EQ(std::get<tok::Float>(tokens[1].kind).value, std::numeric_limits<double>::denorm_min());
}

// Literals on either side of the limits of exact conversion (2^53 digits, a
// power of ten up to 1e22) convert as the library's conversion does.
TEST(LexerTest, FloatsConvertAsTheLibraryDoes) {
  const std::string text =
      "2.5 1e-3 0.3 123456789012345.6 9007199254740991.0 9007199254740993.0 1e22 1e23 7e-22 7e-23 "
      "0.000000000000000000001 8.98846567431158e307 3.0e0022";
  std::vector<Token> tokens = lex_ok(text);
  ASSERT_EQ(tokens.size(), 13u);
  for (const Token& t : tokens) {
    double expected = 0.0;
    std::from_chars(text.data() + t.span.start, text.data() + t.span.end, expected);
    EXPECT_EQ(std::get<tok::Float>(t.kind).value, expected) << text.substr(t.span.start, t.span.end - t.span.start);
  }
}

// ---- Failures ----

TEST(LexerErrorTest, IntegerTooLargeKeepsLexingWithValueZero) {
  LexOutput out = lexer("1 + 9223372036854775808");
  ASSERT_TRUE(out.tokens.has_value());
  ASSERT_EQ(out.tokens->size(), 3u);
  EXPECT_EQ((*out.tokens)[2].kind, TokenKind(tok::Int{0}));
  ASSERT_EQ(out.errors.size(), 1u);
  EXPECT_EQ(out.errors[0], (Rich{CustomReason{"invalid integer literal"}, {4, 23}}));
}

TEST(LexerErrorTest, ConversionErrorsInSourceOrderThenUnexpectedInput) {
  LexOutput out = lexer("99999999999999999999 + 88888888888888888888 $");
  EXPECT_FALSE(out.tokens.has_value());
  ASSERT_EQ(out.errors.size(), 3u);
  EXPECT_EQ(out.errors[0], (Rich{CustomReason{"invalid integer literal"}, {0, 20}}));
  EXPECT_EQ(out.errors[1], (Rich{CustomReason{"invalid integer literal"}, {23, 43}}));
  EXPECT_EQ(out.errors[2], (Rich{ExpectedFound{}, {44, 45}}));
}

struct UnexpectedCase {
  const char* text;
  Span span;
};

class LexerUnexpectedTest : public ::testing::TestWithParam<UnexpectedCase> {};

TEST_P(LexerUnexpectedTest, StopsWithOneErrorAtTheFurthestPosition) {
  const UnexpectedCase& c = GetParam();
  LexOutput out = lexer(c.text);
  EXPECT_FALSE(out.tokens.has_value()) << c.text;
  ASSERT_EQ(out.errors.size(), 1u) << c.text;
  EXPECT_EQ(out.errors[0], (Rich{ExpectedFound{}, c.span})) << c.text;
}

INSTANTIATE_TEST_SUITE_P(Table, LexerUnexpectedTest,
                         ::testing::Values(UnexpectedCase{"$", {0, 1}},
                                           // The float rule read "1." and failed at the x.
                                           UnexpectedCase{"1.x", {2, 3}}, UnexpectedCase{"1.", {2, 2}},
                                           UnexpectedCase{"a = b", {2, 3}}, UnexpectedCase{"a | b", {2, 3}},
                                           UnexpectedCase{"a & b", {2, 3}}, UnexpectedCase{"a . b", {2, 3}},
                                           UnexpectedCase{"x : y", {2, 3}}, UnexpectedCase{"x;", {1, 2}},
                                           UnexpectedCase{".5", {0, 1}},
                                           // A non-identifier symbol spans its whole UTF-8 sequence.
                                           UnexpectedCase{"x + \u2200", {4, 7}}, UnexpectedCase{"\xff", {0, 1}}));

}  // namespace
}  // namespace morvalen::parse
