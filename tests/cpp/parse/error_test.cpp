#include "parse/error.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace morvalen::parse {
namespace {

constexpr const char* kSyntaxHelp = "check the surrounding tokens and parentheses for typos or missing separators";
constexpr const char* kDtypeHelp =
    "expected one of: bool, u8, u16, u32, u64, i8, i16, i32, i64, f16, bf16, f32, f64, c64, c128";

void expect_diag(const diag::Diag& d, diag::DiagKind kind, const std::string& message, const std::string& help,
                 Span span) {
  EXPECT_EQ(d.kind, kind);
  EXPECT_EQ(d.message, message);
  ASSERT_TRUE(d.help.has_value());
  EXPECT_EQ(*d.help, help);
  ASSERT_TRUE(d.span.has_value());
  EXPECT_EQ(*d.span, span);
  EXPECT_FALSE(d.labels.has_value());
}

TEST(ParseErrorTest, ParseSyntax) {
  expect_diag(parse_syntax("invalid assignment", {3, 9}), diag::DiagKind::Syntax, "syntax error: invalid assignment",
              kSyntaxHelp, {3, 9});
}

TEST(ParseErrorTest, SyntaxDiagUsesTheDefaultHelpOfTheKind) {
  diag::Diag d = syntax_diag("missing function body", {4, 4});
  expect_diag(d, diag::DiagKind::Syntax, "syntax error: missing function body", kSyntaxHelp, {4, 4});
  EXPECT_EQ(*d.help, diag::default_help(diag::DiagKind::Syntax));
}

TEST(ParseErrorTest, IntImaginary) {
  expect_diag(parse_int_imaginary(3, {10, 12}), diag::DiagKind::IntImaginaryLiteral,
              "integer imaginary literal `3j` is not supported; use float form `3.0j` instead",
              "use a float imaginary literal instead, e.g. `2.0j` instead of `2j`", {10, 12});
  EXPECT_EQ(parse_int_imaginary(std::numeric_limits<std::int64_t>::max(), {0, 20}).message,
            "integer imaginary literal `9223372036854775807j` is not supported; use float form "
            "`9223372036854775807.0j` instead");
  EXPECT_EQ(parse_int_imaginary(0, {0, 2}).message,
            "integer imaginary literal `0j` is not supported; use float form `0.0j` instead");
}

TEST(ParseErrorTest, UnknownDtype) {
  expect_diag(parse_unknown_dtype("float", {5, 10}), diag::DiagKind::UnknownDtype, "unknown type `float`", kDtypeHelp,
              {5, 10});
}

TEST(ParseErrorTest, ReservedIdentifier) {
  expect_diag(parse_reserved_identifier("pi", {1, 3}), diag::DiagKind::ReservedIdentifier,
              "reserved word `pi` cannot be used as an identifier",
              "use a different name for the variable or parameter", {1, 3});
}

TEST(ParseErrorTest, SeveritiesOfTheFrontEndKinds) {
  diag::DiagConfig config;
  EXPECT_EQ(config.severity(parse_syntax("x", {}).kind), diag::Severity::Fatal);
  EXPECT_EQ(config.severity(parse_unknown_dtype("x", {}).kind), diag::Severity::Fatal);
  EXPECT_EQ(config.severity(parse_int_imaginary(1, {}).kind), diag::Severity::Fatal);
  EXPECT_EQ(config.severity(parse_reserved_identifier("e", {}).kind), diag::Severity::Error);
}

struct RichCase {
  Rich error;
  diag::DiagKind kind;
  const char* message;
  const char* help;
};

class RichConversionTest : public ::testing::TestWithParam<RichCase> {};

TEST_P(RichConversionTest, Converts) {
  const RichCase& c = GetParam();
  expect_diag(parse_error_from_rich(c.error), c.kind, c.message, c.help, c.error.span);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RichConversionTest,
    ::testing::Values(
        RichCase{{ExpectedFound{}, {4, 5}}, diag::DiagKind::Syntax, "syntax error: syntax error", kSyntaxHelp},
        RichCase{{CustomReason{"unknown-dtype:foo"}, {6, 9}},
                 diag::DiagKind::UnknownDtype,
                 "unknown type `foo`",
                 kDtypeHelp},
        // The prefix alone still names a (empty) dtype.
        RichCase{{CustomReason{"unknown-dtype:"}, {6, 6}}, diag::DiagKind::UnknownDtype, "unknown type ``", kDtypeHelp},
        // Shorter than the prefix, or a different text: an ordinary custom syntax error.
        RichCase{{CustomReason{"unknown-dtype"}, {1, 2}},
                 diag::DiagKind::Syntax,
                 "syntax error: unknown-dtype",
                 kSyntaxHelp},
        RichCase{{CustomReason{"something odd"}, {1, 2}},
                 diag::DiagKind::Syntax,
                 "syntax error: something odd",
                 kSyntaxHelp}));

TEST(LexErrorConversionTest, CustomTextWithShiftedSpan) {
  expect_diag(lex_error_to_diag(Rich{CustomReason{"invalid integer literal"}, {2, 22}}, 100), diag::DiagKind::Syntax,
              "syntax error: invalid integer literal", kSyntaxHelp, {102, 122});
  expect_diag(lex_error_to_diag(Rich{CustomReason{"invalid float literal"}, {0, 3}}, 1), diag::DiagKind::Syntax,
              "syntax error: invalid float literal", kSyntaxHelp, {1, 4});
  expect_diag(lex_error_to_diag(Rich{CustomReason{"invalid complex literal"}, {0, 4}}, 0), diag::DiagKind::Syntax,
              "syntax error: invalid complex literal", kSyntaxHelp, {0, 4});
}

TEST(LexErrorConversionTest, UnexpectedInputIsLexError) {
  expect_diag(lex_error_to_diag(Rich{ExpectedFound{}, {3, 4}}, 10), diag::DiagKind::Syntax, "syntax error: lex error",
              kSyntaxHelp, {13, 14});
}

}  // namespace
}  // namespace morvalen::parse
