// Differentiation of programs given as source text, through the parser and
// lowering.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag.h"
#include "diff/engine.h"
#include "diff/test_render.h"
#include "ir/lower.h"
#include "parse/parser.h"

namespace morvalen::diff {
namespace {

// The derivative of the program's result rendered from the canonical builder,
// or "error: " and the first failure.
std::string derivative_of(std::string_view source, std::string_view variable) {
  auto program = parse::parse_dsl_with_errors(source);
  if (!program) return "error: parse failed";
  ir::LowerResultWithErrors lowered = ir::lower_with_config_collect(*program, diag::DiagConfig{});
  if (!lowered.errors.empty()) return "error: lowering failed: " + lowered.errors.front().message;
  TypedDagDifferentiator differentiator(lowered.dag);
  auto fn = differentiator.differentiate(variable);
  if (!fn) return "error: " + fn.error().to_string();
  auto dag = fn->lower_to_typed_dag();
  if (!dag) return "error: " + dag.error().to_string();
  return testing::render(fn->exprs(), fn->outputs().at(0));
}

struct SourceCase {
  const char* source;
  const char* variable;
  const char* expected;
};

TEST(SourceDiffTest, Table) {
  const std::vector<SourceCase> cases = {
      {"|x: f64| x * x", "x", "(x + x)"},
      {"|x: f64| x ** 2", "x", "(x * 2.0)"},
      {"|x: f64, y: f64| x * y", "x", "y"},
      {"|x: f64, y: f64| x * y", "y", "x"},
      {"|x: f64, y: f64| y", "x", "0.0"},
      {"|x: f32| 3", "x", "0.0"},
      {"|x: f32| floor(x)", "x", "0.0"},
      {"|x: f32| relu(x)", "x", "select((x > 0.0), 1.0, 0.0)"},
      {"|x: f64, c: bool| if c then x else 2.0", "x", "select(c, 1.0, 0.0)"},
      {"|x: f64|\ny = x * x\ny * x", "x", "((x * x) + (x * (x + x)))"},
      {"|x: f64| sin(x * x)", "x", "((x + x) * cos((x * x)))"},
      {"|x: f64| diff[x](x * x)", "x", "2.0"},
      {"|x: f64| x", "y", "error: unknown differentiation variable `y`"},
      {"|n: i32| n", "n", "error: differentiation requires a floating parameter, got `n: i32`"},
      {"|z: c64| z", "z", "error: differentiation requires a floating parameter, got `z: c64`"},
  };
  for (const SourceCase& c : cases) {
    SCOPED_TRACE(c.source);
    EXPECT_EQ(derivative_of(c.source, c.variable), c.expected);
  }
}

TEST(SourceDiffTest, DeeplyNestedProgram) {
  constexpr int kDepth = 100000;
  std::string source = "|x: f64| ";
  for (int k = 0; k < kDepth; ++k) source += "sin(";
  source += "x";
  source.append(kDepth, ')');
  auto program = parse::parse_dsl_with_errors(source);
  ASSERT_TRUE(program);
  ir::LowerResultWithErrors lowered = ir::lower_with_config_collect(*program, diag::DiagConfig{});
  ASSERT_TRUE(lowered.errors.empty());
  TypedDagDifferentiator differentiator(lowered.dag);
  auto fn = differentiator.differentiate("x");
  ASSERT_TRUE(fn) << fn.error().to_string();
  auto dag = fn->lower_to_typed_dag();
  ASSERT_TRUE(dag) << dag.error().to_string();
  // The primal chain of sin, one cos per level and the product chain.
  EXPECT_GT(dag->size(), 2u * kDepth);
  EXPECT_LT(dag->size(), 4u * kDepth);
}

}  // namespace
}  // namespace morvalen::diff
