#include "diff/lower.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diff/engine.h"
#include "diff/test_render.h"

namespace morvalen::diff {
namespace {

using ir::BinaryOp;
using ir::DType;
using testing::dag_text;

CanonFunction function(std::vector<ir::ParamDecl> signature, std::vector<CanonExpr> exprs,
                       std::vector<std::uint32_t> outputs) {
  std::vector<CanonExprId> ids;
  for (std::uint32_t o : outputs) ids.push_back(CanonExprId{o});
  return CanonFunction(std::move(signature), std::move(exprs), std::move(ids));
}

std::string lowered(const CanonFunction& fn) {
  auto dag = fn.lower_to_typed_dag();
  if (!dag) return "error: " + dag.error().to_string();
  return dag_text(*dag);
}

canon::Constant constant(Literal lit, std::optional<DType> t) { return canon::Constant{lit, t}; }

TEST(CanonLowerTest, ParameterOutput) {
  const auto fn = function({{"x", DType::f64()}}, {canon::Parameter{"x", DType::f64()}}, {0});
  auto dag = fn.lower_to_typed_dag();
  ASSERT_TRUE(dag) << dag.error().to_string();
  EXPECT_EQ(dag_text(*dag), "0: f64 = param 0\nout: %0");
  EXPECT_EQ(dag->params(), (std::vector<ir::ParamDecl>{{"x", DType::f64()}}));
}

TEST(CanonLowerTest, RepeatedOutputsShareOneNode) {
  const auto fn = function({{"x", DType::f64()}}, {canon::Parameter{"x", DType::f64()}}, {0, 0});
  EXPECT_EQ(lowered(fn), "0: f64 = param 0\nout: %0 %0");
}

TEST(CanonLowerTest, ConstantsAndTheirDtypes) {
  const auto fn = function({},
                           {constant(literal::Float{1.5}, std::nullopt), constant(literal::E{}, DType::f32()),
                            constant(literal::Pi{}, DType::c64()), constant(literal::Int{-7}, std::nullopt),
                            constant(literal::Int{7}, DType::u8()), constant(literal::Complex{1.0, -2.0}, std::nullopt),
                            constant(literal::Bool{true}, DType::i32()), constant(literal::Float{2.0}, DType::bf16())},
                           {0, 1, 2, 3, 4, 5, 6, 7});
  EXPECT_EQ(lowered(fn),
            "0: f64 = const 1.5\n"
            "1: f64 = const 2.718281828459045\n"
            "2: f64 = const 3.141592653589793\n"
            "3: i64 = const -7\n"
            "4: u8 = const 7\n"
            "5: c128 = const (1.0,-2.0j)\n"
            "6: bool = const true\n"
            "7: bf16 = const 2.0\n"
            "out: %0 %1 %2 %3 %4 %5 %6 %7");
}

TEST(CanonLowerTest, PostOrderFromTheOutputsWithSharing) {
  // ((x + y) * sin(x)), with y declared before x and an unused entry.
  const DType t = DType::f64();
  const auto fn = function(
      {{"y", t}, {"x", t}},
      {canon::Parameter{"x", t}, canon::Parameter{"y", t}, canon::Binary{t, {0}, {1}, BinaryOp::Add},
       canon::Call{"sin", {{0}}, t}, canon::Binary{t, {2}, {3}, BinaryOp::Mul}, canon::Unary{t, {1}, ir::UnaryOp::Neg}},
      {4});
  EXPECT_EQ(lowered(fn),
            "0: f64 = param 1\n"
            "1: f64 = param 0\n"
            "2: f64 = %0 + %1\n"
            "3: f64 = sin(%0)\n"
            "4: f64 = %2 * %3\n"
            "out: %4");
}

TEST(CanonLowerTest, OutputsAreLoweredInOrder) {
  const DType t = DType::f64();
  const auto fn =
      function({{"x", t}, {"y", t}},
               {canon::Parameter{"x", t}, canon::Parameter{"y", t}, canon::Unary{t, {1}, ir::UnaryOp::Neg}}, {2, 0});
  EXPECT_EQ(lowered(fn), "0: f64 = param 1\n1: f64 = neg %0\n2: f64 = param 0\nout: %1 %2");
}

TEST(CanonLowerTest, SelectCastAndNot) {
  const auto fn =
      function({{"c", DType::boolean()}, {"x", DType::f32()}},
               {canon::Parameter{"c", DType::boolean()}, canon::Parameter{"x", DType::f32()},
                canon::Cast{DType::f64(), {1}, true}, canon::Cast{DType::f64(), {1}, false},
                canon::Select{DType::f64(), {4}, {2}, {3}}, canon::Unary{DType::boolean(), {0}, ir::UnaryOp::Not}},
               {4});
  // Entry 4 refers to entry 4 itself as its condition: a cycle.
  EXPECT_EQ(lowered(fn), "error: invalid canonical expression id CanonExprId(4)");
  const auto ok =
      function({{"c", DType::boolean()}, {"x", DType::f32()}},
               {canon::Parameter{"c", DType::boolean()}, canon::Parameter{"x", DType::f32()},
                canon::Cast{DType::f64(), {1}, true}, canon::Cast{DType::f64(), {1}, false},
                canon::Unary{DType::boolean(), {0}, ir::UnaryOp::Not}, canon::Select{DType::f64(), {4}, {2}, {3}}},
               {5});
  EXPECT_EQ(lowered(ok),
            "0: bool = param 0\n"
            "1: bool = not %0\n"
            "2: f32 = param 1\n"
            "3: f64 = cast! %2\n"
            "4: f64 = cast %2\n"
            "5: f64 = if %1 %3 %4\n"
            "out: %5");
}

TEST(CanonLowerTest, RepeatedSignatureNameKeepsTheLaterEntry) {
  const auto fn = function({{"x", DType::f32()}, {"x", DType::f64()}}, {canon::Parameter{"x", DType::f64()}}, {0});
  EXPECT_EQ(lowered(fn), "0: f64 = param 1\nout: %0");
}

TEST(CanonLowerTest, DeepExpressionsLower) {
  std::vector<CanonExpr> exprs = {canon::Parameter{"x", DType::f64()}};
  constexpr std::uint32_t kDepth = 100000;
  for (std::uint32_t k = 0; k < kDepth; ++k) exprs.push_back(canon::Unary{DType::f64(), {k}, ir::UnaryOp::Neg});
  const auto fn = function({{"x", DType::f64()}}, std::move(exprs), {kDepth});
  auto dag = fn.lower_to_typed_dag();
  ASSERT_TRUE(dag) << dag.error().to_string();
  EXPECT_EQ(dag->size(), kDepth + 1);
  EXPECT_EQ(dag->outputs().front().value, kDepth);
}

TEST(CanonLowerTest, DerivativeRoundTrip) {
  // d/dx (x * y + sin(x)) = y + cos(x)
  ir::DagBuilder b;
  const ir::NodeId x = b.push(ir::Param{0}, DType::f64());
  const ir::NodeId y = b.push(ir::Param{1}, DType::f64());
  const ir::NodeId xy = b.push(ir::Binary{BinaryOp::Mul, x, y}, DType::f64());
  const ir::NodeId s = b.push(ir::Call{ir::Builtin::Sin, {x}}, DType::f64());
  const ir::NodeId sum = b.push(ir::Binary{BinaryOp::Add, xy, s}, DType::f64());
  const ir::TypedDag dag = std::move(b).finish({{"x", DType::f64()}, {"y", DType::f64()}}, {sum}, "test DAG: ");
  TypedDagDifferentiator d(dag);
  auto fn = d.differentiate("x");
  ASSERT_TRUE(fn) << fn.error().to_string();
  EXPECT_EQ(lowered(*fn),
            "0: f64 = param 1\n"
            "1: f64 = param 0\n"
            "2: f64 = cos(%1)\n"
            "3: f64 = %0 + %2\n"
            "out: %3");
}

// ---------------------------------------------------------------------------
// Errors

struct ErrorCase {
  const char* name;
  CanonFunction fn;
  const char* expected;
};

TEST(CanonLowerErrorTest, Table) {
  const DType t = DType::f64();
  const std::vector<ErrorCase> cases = {
      {"invalid output", function({}, {constant(literal::Float{1.0}, t)}, {0, 9}),
       "invalid canonical expression id CanonExprId(9)"},
      {"invalid operand", function({}, {canon::Unary{t, {5}, ir::UnaryOp::Neg}}, {0}),
       "invalid canonical expression id CanonExprId(5)"},
      {"missing parameter", function({{"x", t}}, {canon::Parameter{"y", t}}, {0}),
       "canonical parameter `y` missing from function signature"},
      {"dtype mismatch", function({{"x", t}}, {canon::Parameter{"x", DType::f32()}}, {0}),
       "canonical parameter `x` dtype mismatch: node uses f32, signature uses f64"},
      {"bfloat differs", function({{"x", DType::f16()}}, {canon::Parameter{"x", DType::bf16()}}, {0}),
       "canonical parameter `x` dtype mismatch: node uses bf16, signature uses f16"},
      {"unknown builtin", function({}, {constant(literal::Float{1.0}, t), canon::Call{"foo", {{0}}, t}}, {1}),
       "unknown builtin call `foo` in canonical lowering"},
      {"builtin names are case-sensitive",
       function({}, {constant(literal::Float{1.0}, t), canon::Call{"Exp", {{0}}, t}}, {1}),
       "unknown builtin call `Exp` in canonical lowering"},
      {"two arguments", function({}, {constant(literal::Float{1.0}, t), canon::Call{"exp", {{0}, {0}}, t}}, {1}),
       "builtin `exp` expects 1 arguments, got 2"},
      {"no argument", function({}, {canon::Call{"sqrt", {}, t}}, {0}), "builtin `sqrt` expects 1 arguments, got 0"},
      // The arity is checked before the arguments are lowered.
      {"arity before arguments", function({}, {canon::Call{"exp", {{7}, {8}}, t}}, {0}),
       "builtin `exp` expects 1 arguments, got 2"},
      {"first error wins", function({{"x", t}}, {canon::Parameter{"z", t}, canon::Call{"foo", {{0}}, t}}, {0, 1}),
       "canonical parameter `z` missing from function signature"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(lowered(c.fn), std::string("error: ") + c.expected);
  }
}

TEST(CanonLowerErrorTest, DisplayTexts) {
  EXPECT_EQ(CanonLowerError{CanonLowerError::InvalidId{CanonExprId{7}}}.to_string(),
            "invalid canonical expression id CanonExprId(7)");
  EXPECT_EQ(CanonLowerError{CanonLowerError::MissingParameter{"x"}}.to_string(),
            "canonical parameter `x` missing from function signature");
  EXPECT_EQ((CanonLowerError{CanonLowerError::ParameterDtypeMismatch{"x", DType::f32(), DType::f64()}}.to_string()),
            "canonical parameter `x` dtype mismatch: node uses f32, signature uses f64");
  EXPECT_EQ(CanonLowerError{CanonLowerError::UnknownBuiltin{"foo"}}.to_string(),
            "unknown builtin call `foo` in canonical lowering");
  EXPECT_EQ((CanonLowerError{CanonLowerError::ArityMismatch{"exp", 1, 2}}.to_string()),
            "builtin `exp` expects 1 arguments, got 2");
  EXPECT_EQ(
      (CanonLowerError{CanonLowerError::Dag{ir::TypedDagError{ir::TypedDagError::OutputOutOfRange{5, 3}}}}.to_string()),
      "output node id 5 out of range (nodes len 3)");
}

}  // namespace
}  // namespace morvalen::diff
