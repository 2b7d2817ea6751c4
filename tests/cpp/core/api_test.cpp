#include "api.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morvalen::api {
namespace {

// --- ApiError display texts --------------------------------------------------

struct DisplayRow {
  const char* name;
  ApiError error;
  const char* text;
};

std::vector<DisplayRow> display_rows() {
  return {
      {"parse", ApiError{ApiError::Parse{"syntax error: lex error"}}, "parse failed: syntax error: lex error"},
      {"parse_empty", ApiError{ApiError::Parse{""}}, "parse failed: "},
      {"lower", ApiError{ApiError::Lower{"undefined variable `y`"}}, "lowering failed: undefined variable `y`"},
      {"optimize", ApiError{ApiError::Optimize{"only single-output DAG is currently supported by optimize"}},
       "optimization failed: only single-output DAG is currently supported by optimize"},
      {"name", ApiError{ApiError::InvalidFunctionName{"class"}},
       "invalid Python function name `class`: expected a non-keyword identifier matching [A-Za-z_][A-Za-z0-9_]*"},
      {"name_verbatim", ApiError{ApiError::InvalidFunctionName{" a`b "}},
       "invalid Python function name ` a`b `: expected a non-keyword identifier matching [A-Za-z_][A-Za-z0-9_]*"},
      {"count_zero", ApiError{ApiError::OutputCount{0}}, "expected a single output expression, got 0"},
      {"count_two", ApiError{ApiError::OutputCount{2}}, "expected a single output expression, got 2"},
      {"count_max", ApiError{ApiError::OutputCount{18446744073709551615ULL}},
       "expected a single output expression, got 18446744073709551615"},
      {"diff_unknown", ApiError{ApiError::Diff{diff::DiffError{diff::DiffError::UnknownVariable{"y"}}}},
       "unknown differentiation variable `y`"},
      {"diff_tuple", ApiError{ApiError::Diff{diff::DiffError{diff::DiffError::TupleOutput{}}}},
       "differentiation does not support tuples"},
      {"too_long", ApiError{ApiError::OutputTooLong{"rendered expression is longer than 268435456 bytes"}},
       "rendered expression is longer than 268435456 bytes"},
  };
}

TEST(ApiErrorDisplay, EveryVariant) {
  for (const DisplayRow& row : display_rows()) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.error.to_string(), row.text);
  }
}

// --- format_diags --------------------------------------------------------------

diag::Diag make_diag(diag::DiagKind kind, std::size_t start, std::string message) {
  return diag::Diag::make(kind, Span{start, start + 1}, std::move(message));
}

TEST(FormatDiags, EmptyListGivesEmptyText) { EXPECT_EQ(format_diags({}), ""); }

TEST(FormatDiags, OneDiagnosticIsItsMessageAlone) {
  EXPECT_EQ(format_diags({make_diag(diag::DiagKind::Syntax, 0, "syntax error: lex error")}), "syntax error: lex error");
}

TEST(FormatDiags, JoinsMessagesInListOrderOnly) {
  // Kind, span and help never appear; the order is the list's, not the spans'.
  std::vector<diag::Diag> diags = {
      make_diag(diag::DiagKind::TypeMismatch, 9, "b"),
      make_diag(diag::DiagKind::Syntax, 1, "a"),
      make_diag(diag::DiagKind::UndefinedVariable, 4, "c; d"),
  };
  EXPECT_EQ(format_diags(diags), "b; a; c; d");
}

TEST(FormatDiags, EmptyMessagesStillSeparated) {
  EXPECT_EQ(format_diags({make_diag(diag::DiagKind::Syntax, 0, ""), make_diag(diag::DiagKind::Syntax, 0, "")}), "; ");
}

// --- the pipeline's failures, whole messages -----------------------------------

std::string error_text(const Result<std::string, ApiError>& result) {
  if (result) return "<success: " + *result + ">";
  return result.error().to_string();
}

TEST(PipelineFailure, TwoLexErrorsJoined) {
  EXPECT_EQ(error_text(simplify_expr("|x: f64| 99999999999999999999 + 99999999999999999999")),
            "parse failed: syntax error: invalid integer literal; syntax error: invalid integer literal");
}

TEST(PipelineFailure, MissingHeaderThroughAllOperations) {
  const char* message = "parse failed: syntax error: expected function header `|...|`";
  EXPECT_EQ(error_text(simplify_expr("x + 1")), message);
  EXPECT_EQ(error_text(simplify_expr("x + 1", true)), message);
  EXPECT_EQ(error_text(emit_python("x + 1", "f")), message);
  // The variable is not examined when the source does not parse.
  EXPECT_EQ(error_text(diff("x + 1", "nope")), message);
}

TEST(PipelineFailure, LoweringErrorsOnlyNotWarnings) {
  // `a + b` promotes i32 with f32 (a note), then the undefined name fails.
  EXPECT_EQ(error_text(simplify_expr("|a: i32, b: f32| a + b + y")), "lowering failed: undefined variable `y`");
  EXPECT_EQ(error_text(simplify_expr("|a: i32, b: f32| a + b + y", true)), "lowering failed: undefined variable `y`");
}

TEST(PipelineFailure, TupleResult) {
  EXPECT_EQ(error_text(simplify_expr("|x: f64| (x, x + 1.5)")), "expected a single output expression, got 2");
  EXPECT_EQ(error_text(simplify_expr("|x: f64| (x, x + 1.5)", true)),
            "optimization failed: only single-output DAG is currently supported by optimize");
  EXPECT_EQ(error_text(emit_python("|x: f64| (x, x + 1.5)", "f", true)),
            "optimization failed: only single-output DAG is currently supported by optimize");
  EXPECT_EQ(error_text(diff("|x: f64| (x, x)", "x")), "differentiation does not support tuples");
}

TEST(PipelineFailure, BadFunctionNameCheckedBeforeSource) {
  for (const char* name : {"class", "1f", "", "math", "float", "int", "abs", "bool", "complex", "f-g", "None",
                           "gr\xc3\xb6\xc3\x9f"
                           "e"}) {
    SCOPED_TRACE(name);
    std::string expected = std::string("invalid Python function name `") + name +
                           "`: expected a non-keyword identifier matching [A-Za-z_][A-Za-z0-9_]*";
    EXPECT_EQ(error_text(emit_python("not a program", name)), expected);
    EXPECT_EQ(error_text(emit_python("|x: f64| x", name, true)), expected);
  }
}

// Forty bindings that each square the previous one denote a text of 2^40
// leaves: refused as an error value, never built.
TEST(PipelineFailure, ExponentialTextIsRefused) {
  std::string source = "|x: f64|\ny0 = x\n";
  for (int i = 1; i <= 40; ++i) {
    const std::string prev = std::to_string(i - 1);
    source.append("y").append(std::to_string(i)).append(" = y").append(prev).append(" * y").append(prev).append("\n");
  }
  source += "y40";
  EXPECT_EQ(error_text(simplify_expr(source)), "rendered expression is longer than 268435456 bytes");
  EXPECT_TRUE(emit_python(source, "f").has_value());
}

TEST(PipelineFailure, DiffVariableMessagesHaveNoPrefix) {
  EXPECT_EQ(error_text(diff("|x: f64| x * x", "y")), "unknown differentiation variable `y`");
  EXPECT_EQ(error_text(diff("|n: i32| n * 2", "n")), "differentiation requires a floating parameter, got `n: i32`");
}

// --- the pipeline's successes ----------------------------------------------------

TEST(PipelineSuccess, ConstantsAreFolded) { EXPECT_EQ(simplify_expr("|x: f64| 2 * 3 + x").value(), "6 + x"); }

TEST(PipelineSuccess, WarningsNeverShow) { EXPECT_EQ(simplify_expr("|a: i32, b: f32| a + b").value(), "a + b"); }

TEST(PipelineSuccess, EmitTupleWithoutOptimize) {
  EXPECT_EQ(emit_python("|x: f64| (x, x)", "f").value(), "import math\n\ndef f(x):\n    t0 = x\n    return (t0, t0)\n");
}

TEST(PipelineSuccess, EmitNamesDefault) {
  EXPECT_EQ(emit_python("|x: f64| x", "_kernel").value(),
            "import math\n\ndef _kernel(x):\n    t0 = x\n    return t0\n");
}

TEST(PipelineSuccess, DerivativeOfSquare) {
  EXPECT_EQ(diff("|x: f64| x * x", "x").value(), "x + x");
  EXPECT_EQ(diff("|x: f64, y: f64| x * y", "x").value(), "y");
}

// --- which alternative each stage produces -------------------------------------

template <typename Alternative, typename T>
const Alternative* alternative(const Result<T, ApiError>& result) {
  if (result) return nullptr;
  return std::get_if<Alternative>(&result.error().detail);
}

TEST(PipelineStages, ParsedAndLoweredDagKeepsParametersAndOneOutput) {
  auto dag = parsed_and_lowered_dag("|x: f64, n: i32| x * n");
  ASSERT_TRUE(dag.has_value());
  ASSERT_EQ(dag->params().size(), 2u);
  EXPECT_EQ(dag->params()[0].name, "x");
  EXPECT_EQ(dag->params()[1].name, "n");
  EXPECT_EQ(dag->outputs().size(), 1u);
}

TEST(PipelineStages, LoweredDagWithoutOptimizeIsTheLoweredDag) {
  auto plain = parsed_and_lowered_dag("|x: f64| x * 1.0 + 0.0");
  auto same = lowered_dag("|x: f64| x * 1.0 + 0.0", false);
  ASSERT_TRUE(plain.has_value());
  ASSERT_TRUE(same.has_value());
  EXPECT_EQ(plain->nodes().size(), same->nodes().size());
  EXPECT_EQ(plain->dtypes(), same->dtypes());
  EXPECT_EQ(plain->outputs().size(), same->outputs().size());
}

TEST(PipelineStages, FailureAlternatives) {
  // Each result is kept alive while the pointer into it is read.
  auto parse_result = parsed_and_lowered_dag("|x: f64| x +");
  const auto* parse = alternative<ApiError::Parse>(parse_result);
  ASSERT_NE(parse, nullptr);
  EXPECT_EQ(parse->message, "syntax error: syntax error");

  auto lower_result = lowered_dag("|x: f64| y", true);
  const auto* lower = alternative<ApiError::Lower>(lower_result);
  ASSERT_NE(lower, nullptr);
  EXPECT_EQ(lower->message, "undefined variable `y`");

  auto optimize_result = lowered_dag("|x: f64| (x, x)", true);
  const auto* optimize = alternative<ApiError::Optimize>(optimize_result);
  ASSERT_NE(optimize, nullptr);
  EXPECT_EQ(optimize->message, "only single-output DAG is currently supported by optimize");

  auto count_result = simplify_expr("|x: f64| (x, x, x)");
  const auto* count = alternative<ApiError::OutputCount>(count_result);
  ASSERT_NE(count, nullptr);
  EXPECT_EQ(count->count, 3u);

  auto name_result = emit_python("|x: f64| x", "for");
  const auto* name = alternative<ApiError::InvalidFunctionName>(name_result);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->name, "for");

  auto diff_result = diff("|x: f64| x", "y");
  const auto* derivative = alternative<ApiError::Diff>(diff_result);
  ASSERT_NE(derivative, nullptr);
  const auto* unknown = std::get_if<diff::DiffError::UnknownVariable>(&derivative->error.detail);
  ASSERT_NE(unknown, nullptr);
  EXPECT_EQ(unknown->name, "y");
}

TEST(PipelineStages, DiffExaminesNoVariableWhenTheSourceFails) {
  auto result = diff("|x: f64| q", "nope");
  EXPECT_NE(alternative<ApiError::Lower>(result), nullptr);
}

}  // namespace
}  // namespace morvalen::api
