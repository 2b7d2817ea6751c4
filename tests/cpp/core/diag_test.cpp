#include "diag.h"

#include <gtest/gtest.h>

namespace morvalen::diag {
namespace {

using ir::DType;

struct KindRow {
  DiagKind kind;
  Severity severity;
  const char* help;
};

const KindRow kKindTable[] = {
    {DiagKind::IntImaginaryLiteral, Severity::Fatal,
     "use a float imaginary literal instead, e.g. `2.0j` instead of `2j`"},
    {DiagKind::UnknownDtype, Severity::Fatal,
     "use a supported dtype name such as `i32`, `i64`, `u8`, `f32`, `f64`, or `c128`"},
    {DiagKind::Syntax, Severity::Fatal, "check the surrounding tokens and parentheses for typos or missing separators"},
    {DiagKind::UnknownBinding, Severity::Error,
     "declare the variable earlier or fix the name to match an existing binding"},
    {DiagKind::ReservedIdentifier, Severity::Error,
     "choose a different identifier; reserved words cannot be used as variable names"},
    {DiagKind::UndefinedVariable, Severity::Error,
     "ensure the variable is defined as a parameter or let-binding before use"},
    {DiagKind::TypeMismatch, Severity::Error,
     "make operand dtypes compatible, for example by inserting explicit casts using `@dtype`"},
    {DiagKind::IntOutOfRange, Severity::Error,
     "adjust the literal value or choose a wider integer dtype that can represent it"},
    {DiagKind::UndefinedFunction, Severity::Error,
     "define the function or call a supported builtin such as `exp`, `log`, `sqrt`, `floor`, or `ceil`"},
    {DiagKind::ArgCount, Severity::Error, "add or remove arguments so the call matches the function's parameter count"},
    {DiagKind::DivByZero, Severity::Error,
     "ensure the divisor cannot be zero, e.g. by guarding with an `if` or changing the expression"},
    {DiagKind::ExpectedScalar, Severity::Error,
     "use a scalar expression here, or destructure the tuple before using it in a scalar position"},
    {DiagKind::ImplicitPromotion, Severity::Note,
     "consider inserting an explicit cast with `@dtype` on one operand to make the promotion clear"},
    {DiagKind::PrecisionLoss, Severity::Warning,
     "use a wider float dtype (e.g. `f32` or `f64`) if you need to preserve full precision"},
    {DiagKind::UnsafePromotion, Severity::Warning,
     "avoid mixing `u64` with signed ints, or cast to a wider float/complex dtype if large values are expected"},
    {DiagKind::SequentialCasts, Severity::Warning,
     "simplify the expression to a single cast like `expr@dtype` unless an intermediate cast is required"},
    {DiagKind::RestorePromotion, Severity::Allow,
     "if this promotion is surprising, make the intended dtype explicit in the source using `@dtype` casts"},
    {DiagKind::ConstOverflow, Severity::Warning,
     "rewrite the constant expression to avoid overflow, or choose a wider integer/float dtype for the result"},
    {DiagKind::ShadowedBinding, Severity::Warning,
     "rename one of the symbols if you intended the outer and inner bindings to be distinct"},
};

TEST(DiagKindTest, DefaultSeveritiesAndHelps) {
  ASSERT_EQ(std::size(kKindTable), kDiagKindCount);
  DiagConfig config;
  for (const KindRow& row : kKindTable) {
    SCOPED_TRACE(std::string(to_str(row.kind)));
    EXPECT_EQ(default_severity(row.kind), row.severity);
    EXPECT_EQ(config.severity(row.kind), row.severity);
    EXPECT_EQ(default_help(row.kind), row.help);
    Diag d = Diag::make(row.kind, Span{1, 2}, "m");
    EXPECT_EQ(d.help, std::optional<std::string>(row.help));
    EXPECT_FALSE(d.labels.has_value());
  }
}

TEST(DiagConfigTest, DenyWarningsRaisesWarningsOnly) {
  DiagConfig config;
  config.deny_warnings = true;
  EXPECT_EQ(config.severity(DiagKind::ImplicitPromotion), Severity::Note);
  EXPECT_EQ(config.severity(DiagKind::PrecisionLoss), Severity::Error);
  EXPECT_EQ(config.severity(DiagKind::RestorePromotion), Severity::Allow);
}

TEST(DiagConfigTest, OverridesDoNotReachParserKinds) {
  DiagConfig config;
  config.overrides[DiagKind::Syntax] = Severity::Allow;
  config.overrides[DiagKind::UnknownDtype] = Severity::Note;
  config.overrides[DiagKind::ImplicitPromotion] = Severity::Error;
  EXPECT_EQ(config.severity(DiagKind::Syntax), Severity::Fatal);
  EXPECT_EQ(config.severity(DiagKind::UnknownDtype), Severity::Fatal);
  EXPECT_EQ(config.severity(DiagKind::ImplicitPromotion), Severity::Error);
  EXPECT_EQ(config.severity(static_cast<DiagKind>(19)), Severity::Fatal);
  EXPECT_EQ(config.severity(static_cast<DiagKind>(200)), Severity::Fatal);
}

TEST(DiagConfigTest, OverrideToWarningIsRaisedUnderDenyWarnings) {
  DiagConfig config;
  config.overrides[DiagKind::ImplicitPromotion] = Severity::Warning;
  config.deny_warnings = true;
  EXPECT_EQ(config.severity(DiagKind::ImplicitPromotion), Severity::Error);
}

TEST(DiagCollectorTest, KeepsDropsAndStops) {
  DiagCollector collector;
  EXPECT_FALSE(collector.emit(Diag::make(DiagKind::ImplicitPromotion, std::nullopt, "note")).has_value());
  EXPECT_FALSE(collector.emit(Diag::make(DiagKind::PrecisionLoss, std::nullopt, "warn")).has_value());
  EXPECT_FALSE(collector.emit(Diag::make(DiagKind::RestorePromotion, std::nullopt, "dropped")).has_value());
  auto stop = collector.emit(Diag::make(DiagKind::DivByZero, std::nullopt, "division by zero in //"));
  ASSERT_TRUE(stop.has_value());
  EXPECT_EQ(stop->message, "division by zero in //");
  ASSERT_EQ(collector.diags().size(), 2u);
  EXPECT_EQ(collector.diags()[0].message, "note");
  EXPECT_EQ(collector.diags()[1].message, "warn");
}

TEST(DiagMakeTest, ExplicitHelpWins) {
  Diag d = Diag::make(DiagKind::DivByZero, Span{3, 4}, "x", std::string("custom"));
  EXPECT_EQ(d.help, std::optional<std::string>("custom"));
  EXPECT_EQ(d.span, (std::optional<Span>(Span{3, 4})));
}

TEST(MessageTest, Builders) {
  EXPECT_EQ(undefined_variable_message("y"), "undefined variable `y`");
  EXPECT_EQ(type_mismatch_message("/", DType::f32(), DType::i8()), "type mismatch in /: cannot promote f32 and i8");
  EXPECT_EQ(int_out_of_range_message(-5, DType::u8()), "integer literal `-5` is out of range for `u8`");
  EXPECT_EQ(undefined_function_message("exp_sigmoid"), "undefined function `exp_sigmoid`");
  EXPECT_EQ(arg_count_message("exp", 1, 2), "wrong argument count for `exp`: expected 1, got 2");
  EXPECT_EQ(div_by_zero_message("%"), "division by zero in %");
  EXPECT_EQ(expected_scalar_message("1", "2"), "expected 1 value, but expression produced 2");
  EXPECT_EQ(implicit_promotion_message("*", DType::f32(), DType::i8(), DType::f32()),
            "implicit promotion in *: f32 + i8 -> f32");
  EXPECT_EQ(precision_loss_message("0.1", DType::f32()), "literal `0.1` may lose precision in `f32`");
  EXPECT_EQ(unsafe_promotion_message("+", DType::u64(), DType::i64(), DType::i64()),
            "unsafe promotion in +: u64 and i64 promoted to i64");
  EXPECT_EQ(sequential_casts_message(DType::f32(), DType::f64()),
            "multiple sequential casts: f32 -> f64; consider casting directly to f64");
}

TEST(MessageTest, PromotionHints) {
  EXPECT_EQ(promotion_hint(DType::f32(), DType::i8(), DType::f32()),
            "cast the right operand from i8 to f32 using `@f32`");
  EXPECT_EQ(promotion_hint(DType::i8(), DType::f32(), DType::f32()),
            "cast the left operand from i8 to f32 using `@f32`");
  EXPECT_EQ(promotion_hint(DType::u8(), DType::i8(), DType::i16()), "cast one operand to i16 using `@i16`");
  EXPECT_EQ(precision_loss_help(DType::f32()), "consider f64 for full precision");
  EXPECT_EQ(precision_loss_help(DType::bf16()), "consider f32 or f64 for full precision");
}

}  // namespace
}  // namespace morvalen::diag
