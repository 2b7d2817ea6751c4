#include "opt/optimize.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "ir/dtype.h"
#include "ir/lower.h"
#include "ir/node.h"
#include "ir/ops.h"
#include "opt/dag_fixture.h"
#include "parse/parser.h"

namespace morvalen::opt {
namespace {

using ir::BinaryOp;
using ir::Builtin;
using ir::DType;
using testing::DagMaker;
using testing::show_output;

OptimizeResult optimize_ok(const ir::TypedDag& dag, OptConfig config = {}) {
  auto r = optimize_with_info_and_config(dag, config);
  if (!r.has_value()) throw std::runtime_error("unexpected optimize failure: " + r.error().to_string());
  return std::move(r).value();
}

std::string optimize_error(const ir::TypedDag& dag, OptConfig config = {}) {
  auto r = optimize_with_info_and_config(dag, config);
  if (r.has_value()) return "no error; optimized to " + show_output(r->dag);
  return r.error().to_string();
}

// A real-valued evaluator of the nodes used here, for comparing a DAG before
// and after optimization.
double eval(const ir::TypedDag& dag, ir::NodeId id, const std::vector<double>& args) {
  const ir::Node& node = dag.node(id);
  if (const auto* p = std::get_if<ir::Param>(&node)) return args.at(p->index);
  if (const auto* c = std::get_if<ir::Const>(&node)) {
    if (const auto* b = std::get_if<bool>(&c->value)) return *b ? 1.0 : 0.0;
    if (const auto* i = std::get_if<std::int64_t>(&c->value)) return static_cast<double>(*i);
    return std::get<double>(c->value);
  }
  if (const auto* u = std::get_if<ir::Unary>(&node)) {
    double a = eval(dag, u->arg, args);
    return u->op == ir::UnaryOp::Neg ? -a : (a == 0.0 ? 1.0 : 0.0);
  }
  if (const auto* c = std::get_if<ir::Cast>(&node)) return eval(dag, c->arg, args);
  if (const auto* f = std::get_if<ir::If>(&node))
    return eval(dag, f->cond, args) != 0.0 ? eval(dag, f->then_branch, args) : eval(dag, f->else_branch, args);
  if (const auto* c = std::get_if<ir::Call>(&node)) {
    double a = eval(dag, c->args.at(0), args);
    auto sigmoid = [](double v) { return 1.0 / (1.0 + std::exp(-v)); };
    switch (c->builtin) {
      case Builtin::Exp:
        return std::exp(a);
      case Builtin::Log:
        return std::log(a);
      case Builtin::Sigmoid:
        return sigmoid(a);
      case Builtin::ExpSigmoid:
        return sigmoid(std::exp(a));
      case Builtin::SigmoidLog:
        return std::log(sigmoid(a));
      case Builtin::Sqrt:
      case Builtin::Abs:
      case Builtin::Sin:
      case Builtin::Cos:
      case Builtin::Tanh:
      case Builtin::Relu:
      case Builtin::Softplus:
      case Builtin::Floor:
      case Builtin::Ceil:
        break;
    }
    throw std::runtime_error("builtin not evaluated in tests");
  }
  const auto& b = std::get<ir::Binary>(node);
  double l = eval(dag, b.lhs, args);
  double r = eval(dag, b.rhs, args);
  switch (b.op) {
    case BinaryOp::Add:
      return l + r;
    case BinaryOp::Sub:
      return l - r;
    case BinaryOp::Mul:
      return l * r;
    case BinaryOp::Div:
      return l / r;
    case BinaryOp::Pow:
      return std::pow(l, r);
    case BinaryOp::Lt:
      return l < r ? 1.0 : 0.0;
    case BinaryOp::FloorDiv:
    case BinaryOp::Rem:
    case BinaryOp::Eq:
    case BinaryOp::Ne:
    case BinaryOp::Le:
    case BinaryOp::Gt:
    case BinaryOp::Ge:
    case BinaryOp::And:
    case BinaryOp::Or:
      break;
  }
  throw std::runtime_error("operator not evaluated in tests");
}

double eval_output(const ir::TypedDag& dag, const std::vector<double>& args) {
  return eval(dag, dag.outputs().at(0), args);
}

// ---------------------------------------------------------------- configuration

TEST(OptConfig, EffectiveAggressiveSetting) {
  struct Case {
    bool aggressive;
    std::optional<bool> override_value;
    bool expected;
  };
  const Case cases[] = {
      {false, std::nullopt, false}, {true, std::nullopt, true}, {false, true, true},
      {true, false, false},         {true, true, true},         {false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.aggressive) + " " + (c.override_value ? std::to_string(*c.override_value) : "-"));
    EXPECT_EQ(effective_aggressive(OptConfig{c.aggressive, c.override_value}), c.expected);
  }
}

TEST(OptConfig, RuleListSizes) {
  EXPECT_EQ(optimizer_rules(effective_aggressive(OptConfig{})).size(), 23u);
  EXPECT_EQ(optimizer_rules(effective_aggressive(OptConfig{false, true})).size(), 25u);
  EXPECT_EQ(optimizer_rules(effective_aggressive(OptConfig{true, std::nullopt})).size(), 25u);
}

// ---------------------------------------------------------------- simplifications

TEST(Optimize, IntegerAddZeroBecomesTheOperand) {
  DagMaker m;
  auto x = m.param("x", DType::i32());
  auto zero = m.int_const(0, DType::i32());
  ir::TypedDag dag = std::move(m).finish(m.add(x, zero));
  OptimizeResult r = optimize_ok(dag);
  EXPECT_EQ(show_output(r.dag), "x");
  EXPECT_EQ(r.dag.dtype(r.dag.outputs()[0]), DType::i32());
  EXPECT_TRUE(r.diags.empty());
}

TEST(Optimize, IntegerZeroUnderFloatDtypeIsSimplified) {
  // An integer constant 0 typed f32 (what an explicit cast of the literal gives).
  DagMaker m;
  auto x = m.param("x", DType::f32());
  auto zero = m.int_const(0, DType::f32());
  OptimizeResult r = optimize_ok(std::move(m).finish(m.add(x, zero)));
  EXPECT_EQ(show_output(r.dag), "x");
  EXPECT_EQ(r.dag.dtype(r.dag.outputs()[0]), DType::f32());
}

TEST(Optimize, FloatZeroIsLeftAlone) {
  DagMaker m;
  auto x = m.param("x", DType::f32());
  auto zero = m.float_const(0.0, DType::f32());
  OptimizeResult r = optimize_ok(std::move(m).finish(m.add(x, zero)));
  EXPECT_EQ(show_output(r.dag), "add(x, 0f:f32)");
}

TEST(Optimize, LoweredFloatAdditionOfIntegerLiteralIsLeftAlone) {
  // x + 0 with x: f32 as lowering builds it: the i8 literal cast to f32, which
  // folding turns into a float constant before the rules run.
  DagMaker m;
  auto x = m.param("x", DType::f32());
  auto lit = m.int_const(0, DType::i8());
  auto cast = m.cast(lit, DType::f32(), false);
  OptimizeResult r = optimize_ok(std::move(m).finish(m.add(x, cast)));
  EXPECT_EQ(show_output(r.dag), "add(x, 0f:f32)");
}

TEST(Optimize, LiteralTypedByPropagationFromItsSibling) {
  // x * 2 with x: f32, the literal lowered as an i8 constant cast to f32.
  DagMaker m;
  auto x = m.param("x", DType::f32());
  auto lit = m.int_const(2, DType::i8());
  auto cast = m.cast(lit, DType::f32(), false);
  OptimizeResult r = optimize_ok(std::move(m).finish(m.mul(x, cast)));
  EXPECT_EQ(show_output(r.dag), "mul(x, 2f:f32)");
  const auto& mul = std::get<ir::Binary>(r.dag.node(r.dag.outputs()[0]));
  EXPECT_EQ(r.dag.dtype(mul.rhs), DType::f32());
}

TEST(Optimize, FusionIsExtractedInBothDirections) {
  struct Case {
    Builtin inner;
    Builtin outer;
    const char* expected;
  };
  const Case cases[] = {
      {Builtin::Exp, Builtin::Sigmoid, "exp_sigmoid(x)"},
      {Builtin::Sigmoid, Builtin::Log, "sigmoid_log(x)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    DagMaker m;
    auto x = m.param("x", DType::f64());
    auto inner = m.call(c.inner, x);
    ir::TypedDag dag = std::move(m).finish(m.call(c.outer, inner));
    OptimizeResult r = optimize_ok(dag);
    EXPECT_EQ(show_output(r.dag), c.expected);
    EXPECT_EQ(r.dag.dtype(r.dag.outputs()[0]), DType::f64());
    for (double v : {-1.5, 0.25, 2.0}) EXPECT_NEAR(eval_output(r.dag, {v}), eval_output(dag, {v}), 1e-12);
  }
  // A fused call stays fused although the e-graph also holds its unfused form.
  for (Builtin fused : {Builtin::ExpSigmoid, Builtin::SigmoidLog}) {
    DagMaker m;
    auto x = m.param("x", DType::f32());
    OptimizeResult r = optimize_ok(std::move(m).finish(m.call(fused, x)));
    EXPECT_EQ(show_output(r.dag), std::string(ir::to_str(fused)) + "(x)");
  }
}

TEST(Optimize, LogOfExpSimplifiesButExpOfLogDoesNot) {
  {
    DagMaker m;
    auto x = m.param("x", DType::f32());
    auto e = m.call(Builtin::Exp, x);
    EXPECT_EQ(show_output(optimize_ok(std::move(m).finish(m.call(Builtin::Log, e))).dag), "x");
  }
  {
    DagMaker m;
    auto x = m.param("x", DType::f32());
    auto l = m.call(Builtin::Log, x);
    EXPECT_EQ(show_output(optimize_ok(std::move(m).finish(m.call(Builtin::Exp, l))).dag), "exp(log(x))");
  }
}

TEST(Optimize, DoubleCastCollapsesOnlyWithEqualTokens) {
  struct Case {
    bool inner_explicit;
    bool outer_explicit;
    const char* expected;
  };
  const Case cases[] = {
      {false, false, "cast<f64>(x)"},
      {true, true, "cast<explicit:f64>(x)"},
      {false, true, "cast<explicit:f64>(cast<f64>(x))"},
      {true, false, "cast<f64>(cast<explicit:f64>(x))"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    DagMaker m;
    auto x = m.param("x", DType::i32());
    auto inner = m.cast(x, DType::f64(), c.inner_explicit);
    OptimizeResult r = optimize_ok(std::move(m).finish(m.cast(inner, DType::f64(), c.outer_explicit)));
    EXPECT_EQ(show_output(r.dag), c.expected);
  }
  // Different target dtypes never collapse.
  DagMaker m;
  auto x = m.param("x", DType::i32());
  auto inner = m.cast(x, DType::f32(), false);
  OptimizeResult r = optimize_ok(std::move(m).finish(m.cast(inner, DType::f64(), false)));
  EXPECT_EQ(show_output(r.dag), "cast<f64>(cast<f32>(x))");
}

TEST(Optimize, SelectWithLiteralConditionBecomesTheChosenBranch) {
  for (bool cond : {true, false}) {
    SCOPED_TRACE(cond);
    DagMaker m;
    auto x = m.param("x", DType::f32());
    auto y = m.param("y", DType::f32());
    auto c = m.bool_const(cond);
    OptimizeResult r = optimize_ok(std::move(m).finish(m.select(c, x, y)));
    EXPECT_EQ(show_output(r.dag), cond ? "x" : "y");
  }
  // The double negation of a condition is removed; the select stays.
  DagMaker m;
  auto x = m.param("x", DType::f32());
  auto y = m.param("y", DType::f32());
  auto b = m.param("b", DType::boolean());
  auto nn = m.logical_not(m.logical_not(b));
  OptimizeResult r = optimize_ok(std::move(m).finish(m.select(nn, x, y)));
  EXPECT_EQ(show_output(r.dag), "if(b, x, y)");
}

TEST(Optimize, NestedSimplificationsCompose) {
  DagMaker m;
  auto x = m.param("x", DType::i64());
  auto one = m.int_const(1, DType::i64());
  auto zero = m.int_const(0, DType::i64());
  auto nn = m.neg(m.neg(x));
  auto prod = m.mul(one, nn);
  auto diff = m.bin(BinaryOp::Sub, prod, zero);
  EXPECT_EQ(show_output(optimize_ok(std::move(m).finish(diff)).dag), "x");
}

// ---------------------------------------------------------------- the output term

TEST(Optimize, OutputIsTheRootNotTheLastNode) {
  // |x, y| x: the DAG ends with the parameter y.
  DagMaker m;
  auto x = m.param("x", DType::f32());
  m.param("y", DType::f32());
  OptimizeResult r = optimize_ok(std::move(m).finish(x));
  EXPECT_EQ(show_output(r.dag), "x");
  ASSERT_EQ(r.dag.params().size(), 2u);
  EXPECT_EQ(r.dag.params()[1].name, "y");
  EXPECT_EQ(r.dag.dtype(r.dag.outputs()[0]), DType::f32());
}

TEST(Optimize, LaterUnusedBindingsAreIgnored) {
  // a = x * 2 is the result; b = y + 1 comes after it and is unused.
  DagMaker m;
  auto x = m.param("x", DType::i32());
  auto y = m.param("y", DType::i32());
  auto two = m.int_const(2, DType::i32());
  auto a = m.mul(x, two);
  auto one = m.int_const(1, DType::i32());
  m.add(y, one);
  OptimizeResult r = optimize_ok(std::move(m).finish(a));
  EXPECT_EQ(show_output(r.dag), "mul(x, 2:i32)");
  EXPECT_EQ(r.dag.dtype(r.dag.outputs()[0]), DType::i32());
  EXPECT_EQ(r.dag.outputs()[0].value + 1, r.dag.size());
}

TEST(Optimize, FoldingThatMapsTheResultOntoAnEarlierNode) {
  // x ** 1 folds to x itself.
  DagMaker m;
  auto x = m.param("x", DType::f64());
  auto one = m.int_const(1, DType::f64());
  OptimizeResult r = optimize_ok(std::move(m).finish(m.bin(BinaryOp::Pow, x, one)));
  EXPECT_EQ(show_output(r.dag), "x");
}

TEST(Optimize, IdenticalSubexpressionsBecomeOneSharedNode) {
  DagMaker m;
  auto x = m.param("x", DType::f64());
  auto y = m.param("y", DType::f64());
  auto p1 = m.mul(x, y);
  auto p2 = m.mul(x, y);
  ir::TypedDag dag = std::move(m).finish(m.add(p1, p2));
  OptimizeResult r = optimize_ok(dag);
  const auto* sum = std::get_if<ir::Binary>(&r.dag.node(r.dag.outputs()[0]));
  ASSERT_NE(sum, nullptr);
  EXPECT_EQ(sum->op, BinaryOp::Add);
  EXPECT_EQ(sum->lhs, sum->rhs);
  ASSERT_TRUE(std::holds_alternative<ir::Binary>(r.dag.node(sum->lhs)));
  EXPECT_EQ(std::get<ir::Binary>(r.dag.node(sum->lhs)).op, BinaryOp::Mul);
  // Two parameters with their index literals, one product, the sum.
  EXPECT_EQ(r.dag.size(), 6u);
  EXPECT_DOUBLE_EQ(eval_output(r.dag, {1.5, -3.0}), eval_output(dag, {1.5, -3.0}));
}

// ---------------------------------------------------------------- diagnostics

TEST(Optimize, FoldingDiagnosticsComeBeforeRestoreDiagnostics) {
  DagMaker m;
  auto x = m.param("x", DType::i32());
  auto y = m.param("y", DType::i64());
  auto a = m.int_const(100, DType::i8());
  auto b = m.int_const(100, DType::i8());
  m.add(a, b);  // overflows i8 while folding; unused
  // Mixed operand dtypes, as re-association can leave them.
  auto d = m.bin(BinaryOp::Sub, x, y);
  ir::TypedDag dag = std::move(m).finish(d);
  OptimizeResult r = optimize_ok(dag);
  EXPECT_EQ(show_output(r.dag), "sub(x, y)");
  EXPECT_EQ(r.dag.dtype(r.dag.outputs()[0]), DType::i64());
  ASSERT_EQ(r.diags.size(), 2u);
  EXPECT_EQ(r.diags[0].kind, diag::DiagKind::ConstOverflow);
  EXPECT_EQ(r.diags[0].message,
            "const_fold node#4: integer overflow: 100 + 100 = 200; promoted i8 -> i16; write result directly `200` "
            "or wrapping result");
  EXPECT_EQ(r.diags[1].kind, diag::DiagKind::RestorePromotion);
  EXPECT_EQ(r.diags[1].message, "implicit promotion in restore:Sub at node#4: i32 + i64 -> i64");
}

// ---------------------------------------------------------------- aggressive mode

ir::TypedDag complex_plus_real_constant() {
  // A complex constant plus a real constant under c128: folding declines the
  // mixed scalars, but restoration re-types the real literal as complex.
  DagMaker m;
  auto z = m.complex_const(1.0, 2.0, DType::c128());
  auto r = m.float_const(3.0, DType::c128());
  return std::move(m).finish(m.add(z, r));
}

TEST(Optimize, AggressiveModeFoldsTheRestoredDag) {
  OptimizeResult normal = optimize_ok(complex_plus_real_constant());
  const std::string normal_text = show_output(normal.dag);
  EXPECT_TRUE(normal_text == "add((1,2):c128, (3,0):c128)" || normal_text == "add((3,0):c128, (1,2):c128)")
      << normal_text;
  for (OptConfig config : {OptConfig{false, true}, OptConfig{true, std::nullopt}}) {
    OptimizeResult aggressive = optimize_ok(complex_plus_real_constant(), config);
    EXPECT_EQ(show_output(aggressive.dag), "(4,2):c128");
  }
  // An override of false wins over aggressive = true.
  EXPECT_EQ(show_output(optimize_ok(complex_plus_real_constant(), OptConfig{true, false}).dag), normal_text);
}

// ---------------------------------------------------------------- limits

TEST(Optimize, LongSumReachesTheNodeLimitAndStillGivesAResult) {
  // Commutativity and associativity over many distinct terms grow the e-graph
  // past its node limit; extraction proceeds with what it holds.
  constexpr std::size_t kTerms = 60;
  DagMaker m;
  std::vector<ir::NodeId> xs;
  for (std::size_t k = 0; k < kTerms; ++k) {
    std::string name = "x";
    name.append(std::to_string(k));
    xs.push_back(m.param(std::move(name), DType::f64()));
  }
  ir::NodeId sum = xs[0];
  for (std::size_t k = 1; k < kTerms; ++k) sum = m.add(sum, xs[k]);
  ir::TypedDag dag = std::move(m).finish(sum);
  OptimizeResult r = optimize_ok(dag);
  EXPECT_EQ(r.dag.params().size(), kTerms);
  EXPECT_EQ(r.dag.dtype(r.dag.outputs()[0]), DType::f64());
  std::vector<double> args;
  for (std::size_t k = 0; k < kTerms; ++k) args.push_back(1.0 + 0.125 * static_cast<double>(k % 5));
  double expected = eval_output(dag, args);
  EXPECT_NEAR(eval_output(r.dag, args), expected, 1e-9 * std::abs(expected));
}

// ---------------------------------------------------------------- from source

ir::TypedDag lower_source(std::string_view source) {
  auto parsed = parse::parse_dsl_with_errors(source);
  if (!parsed.has_value()) throw std::runtime_error("test program does not parse: " + parsed.error().at(0).message);
  ir::LowerResultWithErrors lowered = ir::lower_with_config_collect(*parsed, diag::DiagConfig{});
  if (!lowered.errors.empty()) throw std::runtime_error("test program does not lower: " + lowered.errors[0].message);
  return std::move(lowered.dag);
}

std::string optimize_source(std::string_view source) { return show_output(optimize_ok(lower_source(source)).dag); }

TEST(OptimizeSource, Table) {
  struct Case {
    const char* source;
    const char* expected;
  };
  const Case cases[] = {
      {"|x: i32| x + 0", "x"},
      {"|x: i64| 1 * (x - 0)", "x"},
      // The literal is cast to f32 and folded into a float constant first, so
      // the integer pattern 0 no longer matches it.
      {"|x: f32| x + 0", "add(x, 0f:f32)"},
      {"|x: f32| x + 0.0", "add(x, 0f:f32)"},
      // An explicitly typed integer literal stays an integer constant under f32.
      {"|x: f32| x + 0@f32", "x"},
      {"|x: f32| x * 2", "mul(x, 2f:f32)"},
      {"|x: f64| sigmoid(exp(x))", "exp_sigmoid(x)"},
      {"|x: f64| log(sigmoid(x))", "sigmoid_log(x)"},
      {"|x: f64| log(exp(x))", "x"},
      {"|x: f64| exp(log(x))", "exp(log(x))"},
      {"|x: f32, y: f32| x", "x"},
      {"|x: f64| x ** 1", "x"},
      {"|x: i32, y: i32|\na = x * 2\nb = y + 1\na", "mul(x, 2:i32)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    EXPECT_EQ(optimize_source(c.source), c.expected);
  }
}

TEST(OptimizeSource, RepeatedSubexpressionIsShared) {
  ir::TypedDag dag = lower_source("|x: f64, y: f64| x * y + x * y");
  OptimizeResult r = optimize_ok(dag);
  const auto& sum = std::get<ir::Binary>(r.dag.node(r.dag.outputs()[0]));
  EXPECT_EQ(sum.lhs, sum.rhs);
  EXPECT_EQ(show_output(r.dag), "add(mul(x, y), mul(x, y))");
}

TEST(OptimizeSource, TupleResultIsRefusedBeforeFolding) {
  EXPECT_EQ(optimize_error(lower_source("|x: f32, y: f32| (x, y)")),
            "only single-output DAG is currently supported by optimize");
}

TEST(Optimize, DeepTermIsOptimized) {
  // A term far deeper than any recursion could take: log(exp(...)) pairs
  // around a parameter, compared with a literal.
  constexpr std::size_t kPairs = 20000;
  DagMaker m;
  auto x = m.param("x", DType::f64());
  ir::NodeId e = x;
  for (std::size_t k = 0; k < kPairs; ++k) e = m.call(Builtin::Log, m.call(Builtin::Exp, e));
  auto lit = m.int_const(1, DType::i8());
  auto cast = m.cast(lit, DType::f64(), false);
  OptimizeResult r = optimize_ok(std::move(m).finish(m.bin(BinaryOp::Lt, e, cast)));
  // The e-graph starts above its node limit, so no rule runs; the term comes back whole.
  EXPECT_EQ(r.dag.dtype(r.dag.outputs()[0]), DType::boolean());
  const auto& lt = std::get<ir::Binary>(r.dag.node(r.dag.outputs()[0]));
  EXPECT_EQ(r.dag.dtype(lt.lhs), DType::f64());
  EXPECT_EQ(r.dag.dtype(lt.rhs), DType::f64());
  EXPECT_GT(r.dag.size(), 2 * kPairs);
}

TEST(Optimize, DeepTermBelowTheNodeLimitCollapses) {
  constexpr std::size_t kPairs = 3000;
  DagMaker m;
  auto x = m.param("x", DType::f64());
  ir::NodeId e = x;
  for (std::size_t k = 0; k < kPairs; ++k) e = m.call(Builtin::Log, m.call(Builtin::Exp, e));
  OptimizeResult r = optimize_ok(std::move(m).finish(e));
  EXPECT_EQ(show_output(r.dag), "x");
}

// ---------------------------------------------------------------- errors

TEST(OptimizeErrors, MoreThanOneOutput) {
  DagMaker m;
  auto x = m.param("x", DType::f32());
  auto y = m.param("y", DType::f32());
  EXPECT_EQ(optimize_error(std::move(m).finish(std::vector<ir::NodeId>{x, y})),
            "only single-output DAG is currently supported by optimize");
}

TEST(OptimizeErrors, NoOutput) {
  DagMaker m;
  m.param("x", DType::f32());
  EXPECT_EQ(optimize_error(std::move(m).finish(std::vector<ir::NodeId>{})),
            "only single-output DAG is currently supported by optimize");
}

TEST(OptimizeErrors, CallWithTwoArguments) {
  DagMaker m;
  auto x = m.param("x", DType::f32());
  auto y = m.param("y", DType::f32());
  EXPECT_EQ(optimize_error(std::move(m).finish(m.call_n(Builtin::Sigmoid, {x, y}, DType::f32()))),
            "unsupported call `sigmoid` in opt conversion");
}

TEST(OptimizeErrors, ParameterWithoutDeclaration) {
  // A Param node whose index has no declaration cannot be restored.
  ir::DagBuilder b;
  auto p = b.push(ir::Param{1}, DType::f32());
  ir::TypedDag dag = std::move(b).finish({{"x", DType::f32()}}, {p}, "test DAG invalid: ");
  EXPECT_EQ(optimize_error(dag), "invalid expr during conversion: invalid node #1: Param([0])");
}

}  // namespace
}  // namespace morvalen::opt
