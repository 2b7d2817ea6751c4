#include "opt/strip.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ir/dag.h"
#include "ir/dtype.h"
#include "ir/node.h"
#include "ir/ops.h"

namespace morvalen::opt {
namespace {

using ir::DType;
using ir::NodeId;

ir::TypedDag make_dag(std::vector<ir::Node> nodes, std::vector<DType> dtypes, std::vector<ir::ParamDecl> params,
                      std::vector<NodeId> outputs) {
  auto dag = ir::TypedDag::try_new(std::move(nodes), std::move(dtypes), std::move(params), std::move(outputs));
  if (!dag) throw InternalError(dag.error().to_string());
  return std::move(*dag);
}

std::string terms(const StripResult& r) {
  std::string out;
  for (std::size_t i = 0; i < r.expr.size(); ++i) {
    if (i) out += " ";
    out += r.expr.nodes()[i].to_string();
    out += ":";
    out += ir::to_str(r.types.node_dtypes[i]);
  }
  return out;
}

StripResult strip_ok(const ir::TypedDag& dag) {
  auto r = strip_types(dag);
  if (!r) throw InternalError("strip failed: " + r.error().to_string());
  return std::move(*r);
}

TEST(Strip, ParameterReference) {
  auto dag = make_dag({ir::Param{0}}, {DType::f32()}, {{"x", DType::f32()}}, {NodeId{0}});
  StripResult r = strip_ok(dag);
  EXPECT_EQ(terms(r), "Int(0):i64 Param([0]):f32");
  EXPECT_EQ(r.output, Id{1});
  EXPECT_EQ(r.types.param_dtypes, std::vector<DType>{DType::f32()});
  EXPECT_EQ(r.types.output_dtypes, std::vector<DType>{DType::f32()});
}

TEST(Strip, IntoAReusedResultReplacesItsContents) {
  auto two = make_dag({ir::Param{0}, ir::Param{1}}, {DType::f32(), DType::i32()},
                      {{"x", DType::f32()}, {"y", DType::i32()}}, {NodeId{1}});
  auto one = make_dag({ir::Param{0}}, {DType::f64()}, {{"x", DType::f64()}}, {NodeId{0}});
  StripResult r;
  ASSERT_TRUE(strip_types_into(two, r).has_value());
  ASSERT_TRUE(strip_types_into(one, r).has_value());
  EXPECT_EQ(terms(r), "Int(0):i64 Param([0]):f64");
  EXPECT_EQ(r.output, Id{1});
  EXPECT_EQ(r.types.param_dtypes, std::vector<DType>{DType::f64()});
  EXPECT_EQ(r.types.output_dtypes, std::vector<DType>{DType::f64()});
}

TEST(Strip, OutputNeedNotBeTheLastTerm) {
  auto dag = make_dag({ir::Param{0}, ir::Param{1}}, {DType::f32(), DType::i32()},
                      {{"x", DType::f32()}, {"y", DType::i32()}}, {NodeId{0}});
  StripResult r = strip_ok(dag);
  EXPECT_EQ(terms(r), "Int(0):i64 Param([0]):f32 Int(1):i64 Param([2]):i32");
  EXPECT_EQ(r.output, Id{1});
  EXPECT_EQ(r.types.param_dtypes, (std::vector<DType>{DType::f32(), DType::i32()}));
  EXPECT_EQ(r.types.output_dtypes, std::vector<DType>{DType::f32()});
}

TEST(Strip, Constants) {
  struct Case {
    ir::Scalar value;
    DType dtype;
    std::string terms;
  };
  const Case cases[] = {
      {true, DType::boolean(), "Bool(true):bool"},
      {std::int64_t{-7}, DType::i16(), "Int(-7):i16"},
      {2.5, DType::f16(), "Num(2.5):f16"},
      {ir::ComplexValue{1.0, -2.0}, DType::c64(), "Num(1.0):f32 Num(-2.0):f32 Complex([0, 1]):c64"},
      {ir::ComplexValue{0.5, 3.0}, DType::c128(), "Num(0.5):f64 Num(3.0):f64 Complex([0, 1]):c128"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.terms);
    auto dag = make_dag({ir::Const{c.value}}, {c.dtype}, {}, {NodeId{0}});
    StripResult r = strip_ok(dag);
    EXPECT_EQ(terms(r), c.terms);
    EXPECT_EQ(r.output, r.expr.root());
  }
}

TEST(Strip, UnaryOperators) {
  auto dag = make_dag(
      {ir::Param{0}, ir::Unary{NodeId{0}, ir::UnaryOp::Neg}, ir::Param{1}, ir::Unary{NodeId{2}, ir::UnaryOp::Not}},
      {DType::f64(), DType::f64(), DType::boolean(), DType::boolean()}, {{"x", DType::f64()}, {"b", DType::boolean()}},
      {NodeId{3}});
  StripResult r = strip_ok(dag);
  EXPECT_EQ(terms(r), "Int(0):i64 Param([0]):f64 Neg([1]):f64 Int(1):i64 Param([3]):bool Not([4]):bool");
  EXPECT_EQ(r.output, Id{5});
}

TEST(Strip, EveryBinaryOperator) {
  const std::pair<ir::BinaryOp, const char*> ops[] = {
      {ir::BinaryOp::Add, "Add"},
      {ir::BinaryOp::Sub, "Sub"},
      {ir::BinaryOp::Mul, "Mul"},
      {ir::BinaryOp::Div, "Div"},
      {ir::BinaryOp::FloorDiv, "FloorDiv"},
      {ir::BinaryOp::Rem, "Rem"},
      {ir::BinaryOp::Pow, "Pow"},
      {ir::BinaryOp::Eq, "Eq"},
      {ir::BinaryOp::Ne, "Ne"},
      {ir::BinaryOp::Lt, "Lt"},
      {ir::BinaryOp::Le, "Le"},
      {ir::BinaryOp::Gt, "Gt"},
      {ir::BinaryOp::Ge, "Ge"},
      {ir::BinaryOp::And, "And"},
      {ir::BinaryOp::Or, "Or"},
  };
  for (const auto& [op, name] : ops) {
    SCOPED_TRACE(name);
    bool result_bool = ir::is_comparison(op) || ir::is_logical(op);
    DType d = result_bool ? DType::boolean() : DType::i32();
    auto dag = make_dag({ir::Param{0}, ir::Const{std::int64_t{3}}, ir::Binary{op, NodeId{0}, NodeId{1}}},
                        {DType::i32(), DType::i32(), d}, {{"n", DType::i32()}}, {NodeId{2}});
    StripResult r = strip_ok(dag);
    EXPECT_EQ(terms(r),
              std::string("Int(0):i64 Param([0]):i32 Int(3):i32 ") + name + "([1, 2]):" + std::string(ir::to_str(d)));
  }
}

TEST(Strip, IfNode) {
  auto dag = make_dag({ir::Const{true}, ir::Const{1.0}, ir::Const{2.0}, ir::If{NodeId{0}, NodeId{1}, NodeId{2}}},
                      {DType::boolean(), DType::f32(), DType::f32(), DType::f32()}, {}, {NodeId{3}});
  EXPECT_EQ(terms(strip_ok(dag)), "Bool(true):bool Num(1.0):f32 Num(2.0):f32 IfElse([0, 1, 2]):f32");
}

TEST(Strip, EveryBuiltinCall) {
  const std::pair<ir::Builtin, const char*> builtins[] = {
      {ir::Builtin::Exp, "Exp"},
      {ir::Builtin::Log, "Log"},
      {ir::Builtin::Sqrt, "Sqrt"},
      {ir::Builtin::Abs, "Abs"},
      {ir::Builtin::Sin, "Sin"},
      {ir::Builtin::Cos, "Cos"},
      {ir::Builtin::Tanh, "Tanh"},
      {ir::Builtin::Sigmoid, "Sigmoid"},
      {ir::Builtin::Relu, "Relu"},
      {ir::Builtin::Softplus, "Softplus"},
      {ir::Builtin::Floor, "Floor"},
      {ir::Builtin::Ceil, "Ceil"},
      {ir::Builtin::ExpSigmoid, "FusedExpSigmoid"},
      {ir::Builtin::SigmoidLog, "FusedSigmoidLog"},
  };
  ASSERT_EQ(std::size(builtins), ir::kBuiltinCount);
  for (const auto& [builtin, name] : builtins) {
    SCOPED_TRACE(name);
    auto dag = make_dag({ir::Param{0}, ir::Call{builtin, {NodeId{0}}}}, {DType::f32(), DType::f32()},
                        {{"x", DType::f32()}}, {NodeId{1}});
    EXPECT_EQ(terms(strip_ok(dag)), std::string("Int(0):i64 Param([0]):f32 ") + name + "([1]):f32");
  }
}

TEST(StripFailure, CallsWithOtherThanOneArgument) {
  auto none = make_dag({ir::Call{ir::Builtin::Exp, {}}}, {DType::f32()}, {}, {NodeId{0}});
  auto r = strip_types(none);
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(std::holds_alternative<OptError::UnsupportedCall>(r.error().detail));
  EXPECT_EQ(r.error().to_string(), "unsupported call `exp` in opt conversion");
  auto two = make_dag({ir::Param{0}, ir::Call{ir::Builtin::SigmoidLog, {NodeId{0}, NodeId{0}}}},
                      {DType::f32(), DType::f32()}, {{"x", DType::f32()}}, {NodeId{1}});
  r = strip_types(two);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(), "unsupported call `sigmoid_log` in opt conversion");
}

TEST(Strip, CastTokens) {
  auto dag = make_dag({ir::Param{0}, ir::Cast{NodeId{0}, DType::f32(), false}, ir::Cast{NodeId{0}, DType::f32(), true},
                       ir::Cast{NodeId{2}, DType::i32(), true}},
                      {DType::i16(), DType::f32(), DType::f32(), DType::i32()}, {{"n", DType::i16()}}, {NodeId{3}});
  StripResult r = strip_ok(dag);
  EXPECT_EQ(terms(r),
            "Int(0):i64 Param([0]):i16 TypeToken(\"f32\"):f32 Cast([2, 1]):f32 TypeToken(\"explicit:f32\"):f32 "
            "Cast([4, 1]):f32 TypeToken(\"explicit:i32\"):i32 Cast([6, 5]):i32");
  EXPECT_NE(r.expr[Id{2}], r.expr[Id{4}]);
}

TEST(Strip, TermsAreNotDeduplicated) {
  auto dag = make_dag({ir::Param{0}, ir::Param{0}, ir::Binary{ir::BinaryOp::Mul, NodeId{0}, NodeId{1}}},
                      {DType::f64(), DType::f64(), DType::f64()}, {{"x", DType::f64()}}, {NodeId{2}});
  EXPECT_EQ(terms(strip_ok(dag)), "Int(0):i64 Param([0]):f64 Int(0):i64 Param([2]):f64 Mul([1, 3]):f64");
}

TEST(StripFailure, MissingMappings) {
  struct Case {
    ir::Node node;
    std::string message;
  };
  const NodeId later{5};
  const NodeId ok{0};
  const Case cases[] = {
      {ir::Unary{later, ir::UnaryOp::Neg}, "missing unary child mapping for node 1"},
      {ir::Binary{ir::BinaryOp::Add, later, later}, "missing binary lhs mapping for node 1"},
      {ir::Binary{ir::BinaryOp::Add, ok, later}, "missing binary rhs mapping for node 1"},
      {ir::If{later, later, later}, "missing if condition mapping for node 1"},
      {ir::If{ok, later, later}, "missing if true branch mapping for node 1"},
      {ir::If{ok, ok, later}, "missing if false branch mapping for node 1"},
      {ir::Call{ir::Builtin::Exp, {later}}, "missing call arg mapping for node 1"},
      {ir::Cast{later, DType::f32(), false}, "missing cast child mapping for node 1"},
      {ir::Unary{NodeId{1}, ir::UnaryOp::Neg}, "missing unary child mapping for node 1"},  // itself
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    auto dag = make_dag({ir::Const{true}, c.node}, {DType::boolean(), DType::boolean()}, {}, {NodeId{1}});
    auto r = strip_types(dag);
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(std::holds_alternative<OptError::InvalidExpr>(r.error().detail));
    EXPECT_EQ(r.error().to_string(), "invalid expr during conversion: " + c.message);
  }
}

TEST(StripFailure, NoOutput) {
  auto dag = make_dag({ir::Const{true}}, {DType::boolean()}, {}, {});
  auto r = strip_types(dag);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(), "invalid expr during conversion: DAG has no output");
}

TEST(Strip, TypeMapListsEveryOutput) {
  auto dag = make_dag({ir::Param{0}, ir::Cast{NodeId{0}, DType::f64(), false}}, {DType::f32(), DType::f64()},
                      {{"x", DType::f32()}}, {NodeId{1}, NodeId{0}});
  StripResult r = strip_ok(dag);
  EXPECT_EQ(r.types.output_dtypes, (std::vector<DType>{DType::f64(), DType::f32()}));
  EXPECT_EQ(r.output, Id{3});
}

}  // namespace
}  // namespace morvalen::opt
