#include "diff/engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "diff/test_render.h"
#include "ir/dag.h"
#include "support/internal_error.h"

namespace morvalen::diff {
namespace {

using ir::BinaryOp;
using ir::Builtin;
using ir::DType;
using ir::NodeId;
using testing::render;

// Builds a TypedDag by hand: parameters are declared in the order they are
// added and every node carries the dtype given.
class DagMaker {
 public:
  NodeId param(std::string name, DType t) {
    params_.push_back({std::move(name), t});
    return b_.push(ir::Param{params_.size() - 1}, t);
  }
  // A parameter node with a given index and dtype, declared elsewhere.
  NodeId param_node(std::size_t index, DType t) { return b_.push(ir::Param{index}, t); }
  void declare(std::string name, DType t) { params_.push_back({std::move(name), t}); }
  NodeId f(double v, DType t = DType::f64()) { return b_.push(ir::Const{ir::Scalar{v}}, t); }
  NodeId i(std::int64_t v, DType t = DType::i64()) { return b_.push(ir::Const{ir::Scalar{v}}, t); }
  NodeId bin(BinaryOp op, NodeId l, NodeId r) { return b_.push(ir::Binary{op, l, r}, b_.dtype(l)); }
  NodeId cmp(BinaryOp op, NodeId l, NodeId r) { return b_.push(ir::Binary{op, l, r}, DType::boolean()); }
  NodeId neg(NodeId x) { return b_.push(ir::Unary{x, ir::UnaryOp::Neg}, b_.dtype(x)); }
  NodeId lnot(NodeId x) { return b_.push(ir::Unary{x, ir::UnaryOp::Not}, DType::boolean()); }
  NodeId call(Builtin f, std::vector<NodeId> args) {
    const DType t = b_.dtype(args.front());
    return b_.push(ir::Call{f, std::move(args)}, t);
  }
  NodeId cast(NodeId x, DType t, bool is_explicit = false) { return b_.push(ir::Cast{x, t, is_explicit}, t); }
  NodeId select(NodeId c, NodeId a, NodeId e) { return b_.push(ir::If{c, a, e}, b_.dtype(a)); }

  ir::TypedDag finish(std::vector<NodeId> outputs) && {
    return std::move(b_).finish(params_, std::move(outputs), "test DAG: ");
  }

 private:
  ir::DagBuilder b_;
  std::vector<ir::ParamDecl> params_;
};

Result<CanonFunction, DiffError> differentiate(const ir::TypedDag& dag, std::string_view var) {
  TypedDagDifferentiator d(dag);
  return d.differentiate(var);
}

// The derivative rendered, or the error text.
std::string derivative_text(const ir::TypedDag& dag, std::string_view var) {
  auto fn = differentiate(dag, var);
  if (!fn) return "error: " + fn.error().to_string();
  return render(fn->exprs(), fn->outputs().at(0));
}

const CanonExpr& output_expr(const CanonFunction& fn) { return fn.exprs().at(fn.outputs().at(0).value); }

std::vector<std::string> all_exprs(const CanonFunction& fn) {
  std::vector<std::string> out;
  for (std::size_t k = 0; k < fn.exprs().size(); ++k) {
    out.push_back(render(fn.exprs(), CanonExprId{static_cast<std::uint32_t>(k)}));
  }
  return out;
}

// ---------------------------------------------------------------------------
// Basic rules

TEST(EngineTest, ConstantGivesZero) {
  DagMaker m;
  m.param("x", DType::f64());
  const NodeId c = m.f(3.0);
  EXPECT_EQ(derivative_text(std::move(m).finish({c}), "x"), "0.0");
}

TEST(EngineTest, ConstantOfAnotherDtypeIsCastToTheParameterDtype) {
  DagMaker m;
  m.param("x", DType::f32());
  const NodeId c = m.i(3, DType::i32());
  auto fn = differentiate(std::move(m).finish({c}), "x");
  ASSERT_TRUE(fn) << fn.error().to_string();
  EXPECT_EQ(render(fn->exprs(), fn->outputs()[0]), "0.0");
  EXPECT_EQ(std::get<canon::Constant>(output_expr(*fn)).dtype, DType::f32());
}

TEST(EngineTest, ParameterGivesOneOfItsDtype) {
  DagMaker m;
  const NodeId x = m.param("x", DType::f32());
  auto fn = differentiate(std::move(m).finish({x}), "x");
  ASSERT_TRUE(fn);
  EXPECT_EQ(render(fn->exprs(), fn->outputs()[0]), "1.0");
  EXPECT_EQ(std::get<canon::Constant>(output_expr(*fn)).dtype, DType::f32());
  EXPECT_EQ(fn->signature(), (std::vector<ir::ParamDecl>{{"x", DType::f32()}}));
}

TEST(EngineTest, OtherParameterGivesZero) {
  DagMaker m;
  m.param("x", DType::f64());
  const NodeId y = m.param("y", DType::f64());
  EXPECT_EQ(derivative_text(std::move(m).finish({y}), "x"), "0.0");
}

TEST(EngineTest, ConditionalDifferentiatesItsBranches) {
  DagMaker m;
  const NodeId c = m.param("c", DType::boolean());
  const NodeId x = m.param("x", DType::f64());
  const NodeId y = m.param("y", DType::f64());
  const NodeId s = m.select(c, x, y);
  EXPECT_EQ(derivative_text(std::move(m).finish({s}), "x"), "select(c, 1.0, 0.0)");
}

TEST(EngineTest, ConditionalWithEqualBranchDerivativesCollapses) {
  DagMaker m;
  const NodeId x = m.param("x", DType::f64());
  const NodeId y = m.param("y", DType::f64());
  const NodeId s = m.select(m.cmp(BinaryOp::Lt, x, y), y, m.f(2.0));
  EXPECT_EQ(derivative_text(std::move(m).finish({s}), "x"), "0.0");
}

TEST(EngineTest, SquareGivesTwoLikeTerms) {
  DagMaker m;
  const NodeId x = m.param("x", DType::f64());
  const NodeId sq = m.bin(BinaryOp::Mul, x, x);
  auto fn = differentiate(std::move(m).finish({sq}), "x");
  ASSERT_TRUE(fn);
  EXPECT_EQ(render(fn->exprs(), fn->outputs()[0]), "(x + x)");
  // Construction order: u (x), du (1.0), then the sum; x * 1 builds nothing new.
  EXPECT_EQ(all_exprs(*fn), (std::vector<std::string>{"x", "1.0", "(x + x)"}));
}

TEST(EngineTest, PowerWithIntegerLiteralExponent) {
  DagMaker m;
  const NodeId x = m.param("x", DType::f64());
  const NodeId two = m.cast(m.i(2), DType::f64());
  const NodeId p = m.bin(BinaryOp::Pow, x, two);
  EXPECT_EQ(derivative_text(std::move(m).finish({p}), "x"), "(x * 2.0)");
}

TEST(EngineTest, PowerWithRespectToTheExponent) {
  DagMaker m;
  const NodeId x = m.param("x", DType::f64());
  const NodeId y = m.param("y", DType::f64());
  const NodeId p = m.bin(BinaryOp::Pow, x, y);
  const ir::TypedDag dag = std::move(m).finish({p});
  EXPECT_EQ(derivative_text(dag, "y"), "((x ** y) * log(x))");
  EXPECT_EQ(derivative_text(dag, "x"), "(y * (x ** (y + -1.0)))");
}

TEST(EngineTest, ProductRuleDropsZeroTerms) {
  DagMaker m;
  const NodeId x = m.param("x", DType::f64());
  const NodeId y = m.param("y", DType::f64());
  const NodeId p = m.bin(BinaryOp::Mul, x, y);
  const ir::TypedDag dag = std::move(m).finish({p});
  EXPECT_EQ(derivative_text(dag, "x"), "y");
  EXPECT_EQ(derivative_text(dag, "y"), "x");
}

struct BinaryCase {
  const char* name;
  BinaryOp op;
  const char* by_x;
  const char* by_y;
};

TEST(EngineTest, BinaryOperatorTable) {
  const std::vector<BinaryCase> cases = {
      {"add", BinaryOp::Add, "1.0", "1.0"},
      {"sub", BinaryOp::Sub, "1.0", "-1.0"},
      {"mul", BinaryOp::Mul, "y", "x"},
      {"div", BinaryOp::Div, "(y / (y * y))", "(neg(x) / (y * y))"},
      {"floordiv", BinaryOp::FloorDiv, "0.0", "0.0"},
      {"rem", BinaryOp::Rem, "1.0", "neg((x // y))"},
  };
  for (const BinaryCase& c : cases) {
    SCOPED_TRACE(c.name);
    DagMaker m;
    const NodeId x = m.param("x", DType::f64());
    const NodeId y = m.param("y", DType::f64());
    const ir::TypedDag dag = std::move(m).finish({m.bin(c.op, x, y)});
    EXPECT_EQ(derivative_text(dag, "x"), c.by_x);
    EXPECT_EQ(derivative_text(dag, "y"), c.by_y);
  }
}

TEST(EngineTest, ComparisonsAndLogicGiveZeroCastToTheParameterDtype) {
  for (BinaryOp op : {BinaryOp::Eq, BinaryOp::Ne, BinaryOp::Lt, BinaryOp::Le, BinaryOp::Gt, BinaryOp::Ge}) {
    SCOPED_TRACE(ir::as_str(op));
    DagMaker m;
    const NodeId x = m.param("x", DType::f64());
    const NodeId out = m.cmp(op, x, m.f(1.0));
    auto fn = differentiate(std::move(m).finish({out}), "x");
    ASSERT_TRUE(fn);
    EXPECT_EQ(render(fn->exprs(), fn->outputs()[0]), "0.0");
    EXPECT_EQ(std::get<canon::Constant>(output_expr(*fn)).dtype, DType::f64());
  }
  DagMaker m;
  m.param("x", DType::f64());
  const NodeId p = m.param("p", DType::boolean());
  const NodeId q = m.param("q", DType::boolean());
  const NodeId out = m.lnot(m.cmp(BinaryOp::And, p, m.cmp(BinaryOp::Or, p, q)));
  EXPECT_EQ(derivative_text(std::move(m).finish({out}), "x"), "0.0");
}

TEST(EngineTest, NegationNegatesTheDerivative) {
  DagMaker m;
  const NodeId x = m.param("x", DType::f64());
  const NodeId y = m.param("y", DType::f64());
  const ir::TypedDag dag = std::move(m).finish({m.neg(m.bin(BinaryOp::Mul, x, y))});
  EXPECT_EQ(derivative_text(dag, "x"), "neg(y)");
}

TEST(EngineTest, CastsPassTheDerivativeThroughAndTheResultIsCastBack) {
  DagMaker m;
  const NodeId x = m.param("x", DType::f32());
  const NodeId wide = m.cast(x, DType::f64());
  const NodeId sq = m.bin(BinaryOp::Mul, wide, wide);
  EXPECT_EQ(derivative_text(std::move(m).finish({sq}), "x"), "cast<f32>((cast<f64>(x) + cast<f64>(x)))");
}

TEST(EngineTest, CastOfTheParameterKeepsItsDerivativeDtype) {
  DagMaker m;
  const NodeId x = m.param("x", DType::f32());
  const NodeId wide = m.cast(x, DType::f64(), true);
  auto fn = differentiate(std::move(m).finish({wide}), "x");
  ASSERT_TRUE(fn);
  EXPECT_EQ(std::get<canon::Constant>(output_expr(*fn)).dtype, DType::f32());
}

TEST(EngineTest, BfloatParametersAreAccepted) {
  DagMaker m;
  const NodeId x = m.param("x", DType::bf16());
  EXPECT_EQ(derivative_text(std::move(m).finish({m.bin(BinaryOp::Add, x, x)}), "x"), "2.0");
}

// ---------------------------------------------------------------------------
// Builtins

struct BuiltinCase {
  Builtin builtin;
  const char* expected;
};

TEST(EngineTest, BuiltinDerivativeTable) {
  const std::vector<BuiltinCase> cases = {
      {Builtin::Exp, "exp(x)"},
      {Builtin::Log, "(1.0 / x)"},
      {Builtin::Sqrt, "(0.5 / sqrt(x))"},
      {Builtin::Abs, "select((x > 0.0), 1.0, select((x < 0.0), -1.0, 0.0))"},
      {Builtin::Sin, "cos(x)"},
      {Builtin::Cos, "neg(sin(x))"},
      {Builtin::Tanh, "(1.0 + neg((tanh(x) * tanh(x))))"},
      {Builtin::Sigmoid, "((1.0 + neg(sigmoid(x))) * sigmoid(x))"},
      {Builtin::Relu, "select((x > 0.0), 1.0, 0.0)"},
      {Builtin::Softplus, "sigmoid(x)"},
      {Builtin::Floor, "0.0"},
      {Builtin::Ceil, "0.0"},
      {Builtin::ExpSigmoid, "(((1.0 + neg(exp_sigmoid(x))) * exp(x)) * exp_sigmoid(x))"},
      {Builtin::SigmoidLog, "(1.0 + neg(sigmoid(x)))"},
  };
  ASSERT_EQ(cases.size(), ir::kBuiltinCount);
  for (const BuiltinCase& c : cases) {
    SCOPED_TRACE(ir::to_str(c.builtin));
    DagMaker m;
    const NodeId x = m.param("x", DType::f64());
    EXPECT_EQ(derivative_text(std::move(m).finish({m.call(c.builtin, {x})}), "x"), c.expected);
  }
}

TEST(EngineTest, ChainRuleMultipliesByTheArgumentDerivative) {
  DagMaker m;
  const NodeId x = m.param("x", DType::f64());
  const NodeId out = m.call(Builtin::Sin, {m.bin(BinaryOp::Mul, x, x)});
  EXPECT_EQ(derivative_text(std::move(m).finish({out}), "x"), "((x + x) * cos((x * x)))");
}

TEST(EngineTest, BuiltinConstructionOrder) {
  {
    DagMaker m;
    const NodeId x = m.param("x", DType::f64());
    auto fn = differentiate(std::move(m).finish({m.call(Builtin::Relu, {x})}), "x");
    ASSERT_TRUE(fn);
    // The argument's derivative first, then its primal, then the rule.
    EXPECT_EQ(all_exprs(*fn),
              (std::vector<std::string>{"1.0", "x", "0.0", "(x > 0.0)", "select((x > 0.0), 1.0, 0.0)"}));
  }
  {
    DagMaker m;
    const NodeId x = m.param("x", DType::f64());
    auto fn = differentiate(std::move(m).finish({m.call(Builtin::Abs, {x})}), "x");
    ASSERT_TRUE(fn);
    EXPECT_EQ(all_exprs(*fn), (std::vector<std::string>{"1.0", "x", "0.0", "(x > 0.0)", "(x < 0.0)", "-1.0",
                                                        "select((x < 0.0), -1.0, 0.0)",
                                                        "select((x > 0.0), 1.0, select((x < 0.0), -1.0, 0.0))"}));
  }
}

TEST(EngineTest, ComplexDerivativeIsCastToTheParameterDtype) {
  DagMaker m;
  m.param("x", DType::f64());
  const NodeId z = m.param("z", DType::c128());
  EXPECT_EQ(derivative_text(std::move(m).finish({m.call(Builtin::Sqrt, {z})}), "x"), "0.0");
}

// ---------------------------------------------------------------------------
// Errors

TEST(EngineErrorTest, UnknownVariable) {
  DagMaker m;
  const NodeId x = m.param("x", DType::f64());
  // Checked before the output count.
  EXPECT_EQ(derivative_text(std::move(m).finish({x, x}), "y"), "error: unknown differentiation variable `y`");
}

TEST(EngineErrorTest, NonFloatParameters) {
  for (DType t : {DType::i32(), DType::c64(), DType::boolean(), DType::u8(), DType::c128()}) {
    SCOPED_TRACE(ir::to_str(t));
    DagMaker m;
    const NodeId n = m.param("n", t);
    EXPECT_EQ(derivative_text(std::move(m).finish({n, n}), "n"),
              "error: differentiation requires a floating parameter, got `n: " + std::string(ir::to_str(t)) + "`");
  }
}

TEST(EngineErrorTest, FirstParameterOfTheNameDecides) {
  DagMaker m;
  const NodeId n = m.param("n", DType::i32());
  m.param("n", DType::f64());
  EXPECT_EQ(derivative_text(std::move(m).finish({n}), "n"),
            "error: differentiation requires a floating parameter, got `n: i32`");
}

TEST(EngineErrorTest, TupleOutputs) {
  DagMaker m;
  const NodeId x = m.param("x", DType::f64());
  EXPECT_EQ(derivative_text(std::move(m).finish({x, x}), "x"), "error: differentiation does not support tuples");
  DagMaker none;
  none.param("x", DType::f64());
  EXPECT_EQ(derivative_text(std::move(none).finish({}), "x"), "error: differentiation does not support tuples");
}

TEST(EngineErrorTest, CallsWithOtherThanOneArgument) {
  DagMaker m;
  const NodeId x = m.param("x", DType::f64());
  const NodeId two = m.call(Builtin::Exp, {x, x});
  EXPECT_EQ(derivative_text(std::move(m).finish({m.bin(BinaryOp::Add, x, two)}), "x"),
            "error: differentiation does not support call `exp`");
}

TEST(EngineErrorTest, CallsOffThePathAreNotVisited) {
  DagMaker m;
  const NodeId x = m.param("x", DType::f64());
  m.call(Builtin::Exp, {x, x});
  EXPECT_EQ(derivative_text(std::move(m).finish({m.call(Builtin::Sin, {x})}), "x"), "cos(x)");
}

TEST(EngineErrorTest, ParameterIndexOutOfRange) {
  DagMaker m;
  m.param("x", DType::f64());
  const NodeId bad = m.param_node(3, DType::f64());
  EXPECT_EQ(derivative_text(std::move(m).finish({m.call(Builtin::Sin, {bad})}), "x"),
            "error: typed differentiation invariant failed: invalid param id 3");
}

TEST(EngineErrorTest, ParameterDtypeMismatch) {
  DagMaker m;
  m.param("x", DType::f64());
  const NodeId bad = m.param_node(0, DType::f32());
  EXPECT_EQ(derivative_text(std::move(m).finish({m.call(Builtin::Sin, {bad})}), "x"),
            "error: typed differentiation invariant failed: param `x` dtype mismatch: node uses f32, signature uses "
            "f64");
}

TEST(EngineErrorTest, BuilderFailuresAreWrapped) {
  DagMaker m;
  const NodeId x = m.param("x", DType::f64());
  m.param("x", DType::f64());
  EXPECT_EQ(derivative_text(std::move(m).finish({x}), "x"),
            "error: typed differentiation invariant failed: canonical builder failed: duplicate parameter `x` in "
            "canonical function signature");
}

TEST(EngineErrorTest, DisplayTexts) {
  EXPECT_EQ(DiffError{DiffError::UnknownVariable{"y"}}.to_string(), "unknown differentiation variable `y`");
  EXPECT_EQ((DiffError{DiffError::NonFloatParameter{"n", DType::i32()}}.to_string()),
            "differentiation requires a floating parameter, got `n: i32`");
  EXPECT_EQ(DiffError{DiffError::TupleOutput{}}.to_string(), "differentiation does not support tuples");
  EXPECT_EQ(DiffError{DiffError::UnsupportedCall{"exp"}}.to_string(), "differentiation does not support call `exp`");
  EXPECT_EQ(DiffError{DiffError::Invariant{"oops"}}.to_string(), "typed differentiation invariant failed: oops");
}

TEST(EngineErrorTest, ASecondCallIsAnInternalError) {
  DagMaker m;
  const NodeId x = m.param("x", DType::f64());
  TypedDagDifferentiator d(std::move(m).finish({x}));
  ASSERT_TRUE(d.differentiate("x"));
  EXPECT_THROW((void)d.differentiate("x"), InternalError);
}

// ---------------------------------------------------------------------------
// Finite differences as an oracle

// Evaluates a DAG of f64 and bool nodes at the given parameter values (bools
// as 0 and 1), in node order.
double evaluate(const ir::TypedDag& dag, const std::vector<double>& args) {
  std::vector<double> v(dag.size());
  for (std::size_t k = 0; k < dag.size(); ++k) {
    v[k] = std::visit(
        [&](const auto& n) -> double {
          using T = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<T, ir::Param>) {
            return args.at(n.index);
          } else if constexpr (std::is_same_v<T, ir::Const>) {
            if (const auto* d = std::get_if<double>(&n.value)) return *d;
            if (const auto* i = std::get_if<std::int64_t>(&n.value)) return static_cast<double>(*i);
            if (const auto* b = std::get_if<bool>(&n.value)) return *b ? 1.0 : 0.0;
            ADD_FAILURE() << "complex constant";
            return 0.0;
          } else if constexpr (std::is_same_v<T, ir::Unary>) {
            return n.op == ir::UnaryOp::Neg ? -v[n.arg.value] : (v[n.arg.value] == 0.0 ? 1.0 : 0.0);
          } else if constexpr (std::is_same_v<T, ir::Binary>) {
            const double a = v[n.lhs.value];
            const double c = v[n.rhs.value];
            switch (n.op) {
              case BinaryOp::Add:
                return a + c;
              case BinaryOp::Sub:
                return a - c;
              case BinaryOp::Mul:
                return a * c;
              case BinaryOp::Div:
                return a / c;
              case BinaryOp::FloorDiv:
                return std::floor(a / c);
              case BinaryOp::Rem:
                return a - std::floor(a / c) * c;
              case BinaryOp::Pow:
                return std::pow(a, c);
              case BinaryOp::Eq:
                return a == c;
              case BinaryOp::Ne:
                return a != c;
              case BinaryOp::Lt:
                return a < c;
              case BinaryOp::Le:
                return a <= c;
              case BinaryOp::Gt:
                return a > c;
              case BinaryOp::Ge:
                return a >= c;
              case BinaryOp::And:
                return a != 0.0 && c != 0.0;
              case BinaryOp::Or:
                return a != 0.0 || c != 0.0;
            }
            return 0.0;
          } else if constexpr (std::is_same_v<T, ir::If>) {
            return v[n.cond.value] != 0.0 ? v[n.then_branch.value] : v[n.else_branch.value];
          } else if constexpr (std::is_same_v<T, ir::Call>) {
            const double x = v[n.args.at(0).value];
            auto sigmoid = [](double z) { return 1.0 / (1.0 + std::exp(-z)); };
            switch (n.builtin) {
              case Builtin::Exp:
                return std::exp(x);
              case Builtin::Log:
                return std::log(x);
              case Builtin::Sqrt:
                return std::sqrt(x);
              case Builtin::Abs:
                return std::fabs(x);
              case Builtin::Sin:
                return std::sin(x);
              case Builtin::Cos:
                return std::cos(x);
              case Builtin::Tanh:
                return std::tanh(x);
              case Builtin::Sigmoid:
                return sigmoid(x);
              case Builtin::Relu:
                return x > 0.0 ? x : 0.0;
              case Builtin::Softplus:
                return std::log1p(std::exp(x));
              case Builtin::Floor:
                return std::floor(x);
              case Builtin::Ceil:
                return std::ceil(x);
              case Builtin::ExpSigmoid:
                return sigmoid(std::exp(x));
              case Builtin::SigmoidLog:
                return std::log(sigmoid(x));
            }
            return 0.0;
          } else {
            return v[n.arg.value];
          }
        },
        dag.nodes()[k]);
  }
  return v.at(dag.outputs().at(0).value);
}

struct OracleCase {
  const char* name;
  // Builds the result from the nodes of x and y.
  NodeId (*build)(DagMaker&, NodeId, NodeId);
};

TEST(EngineOracleTest, DerivativesAgreeWithFiniteDifferences) {
  using M = DagMaker;
  const std::vector<OracleCase> cases = {
      {"x*y + sin(x)",
       [](M& m, NodeId x, NodeId y) {
         return m.bin(BinaryOp::Add, m.bin(BinaryOp::Mul, x, y), m.call(Builtin::Sin, {x}));
       }},
      {"x / (y + x*x)",
       [](M& m, NodeId x, NodeId y) {
         return m.bin(BinaryOp::Div, x, m.bin(BinaryOp::Add, y, m.bin(BinaryOp::Mul, x, x)));
       }},
      {"exp(x) * cos(y*x)",
       [](M& m, NodeId x, NodeId y) {
         return m.bin(BinaryOp::Mul, m.call(Builtin::Exp, {x}), m.call(Builtin::Cos, {m.bin(BinaryOp::Mul, y, x)}));
       }},
      {"x ** 3 - y ** 2",
       [](M& m, NodeId x, NodeId y) {
         return m.bin(BinaryOp::Sub, m.bin(BinaryOp::Pow, x, m.cast(m.i(3), DType::f64())),
                      m.bin(BinaryOp::Pow, y, m.f(2.0)));
       }},
      {"x ** y", [](M& m, NodeId x, NodeId y) { return m.bin(BinaryOp::Pow, x, y); }},
      {"(x ** 2) ** y",
       [](M& m, NodeId x, NodeId y) { return m.bin(BinaryOp::Pow, m.bin(BinaryOp::Pow, x, m.f(2.0)), y); }},
      {"tanh(x*y) - sigmoid(x)",
       [](M& m, NodeId x, NodeId y) {
         return m.bin(BinaryOp::Sub, m.call(Builtin::Tanh, {m.bin(BinaryOp::Mul, x, y)}),
                      m.call(Builtin::Sigmoid, {x}));
       }},
      {"sqrt(x*x + 1) / y",
       [](M& m, NodeId x, NodeId y) {
         return m.bin(BinaryOp::Div,
                      m.call(Builtin::Sqrt, {m.bin(BinaryOp::Add, m.bin(BinaryOp::Mul, x, x), m.f(1.0))}), y);
       }},
      {"log(x*x + y)",
       [](M& m, NodeId x, NodeId y) {
         return m.call(Builtin::Log, {m.bin(BinaryOp::Add, m.bin(BinaryOp::Mul, x, x), y)});
       }},
      {"softplus(x) * relu(y - 1)",
       [](M& m, NodeId x, NodeId y) {
         return m.bin(BinaryOp::Mul, m.call(Builtin::Softplus, {x}),
                      m.call(Builtin::Relu, {m.bin(BinaryOp::Sub, y, m.f(1.0))}));
       }},
      {"abs(x - y) * x",
       [](M& m, NodeId x, NodeId y) {
         return m.bin(BinaryOp::Mul, m.call(Builtin::Abs, {m.bin(BinaryOp::Sub, x, y)}), x);
       }},
      {"if x > y then x*x else -(y*x)",
       [](M& m, NodeId x, NodeId y) {
         return m.select(m.cmp(BinaryOp::Gt, x, y), m.bin(BinaryOp::Mul, x, x), m.neg(m.bin(BinaryOp::Mul, y, x)));
       }},
      {"exp_sigmoid(x) + sigmoid_log(y*x)",
       [](M& m, NodeId x, NodeId y) {
         return m.bin(BinaryOp::Add, m.call(Builtin::ExpSigmoid, {x}),
                      m.call(Builtin::SigmoidLog, {m.bin(BinaryOp::Mul, y, x)}));
       }},
      {"x % y + floor(x) * x",
       [](M& m, NodeId x, NodeId y) {
         return m.bin(BinaryOp::Add, m.bin(BinaryOp::Rem, x, y), m.bin(BinaryOp::Mul, m.call(Builtin::Floor, {x}), x));
       }},
      {"(x - 2) * (y - x) - x + 3",
       [](M& m, NodeId x, NodeId y) {
         const NodeId p = m.bin(BinaryOp::Mul, m.bin(BinaryOp::Sub, x, m.f(2.0)), m.bin(BinaryOp::Sub, y, x));
         return m.bin(BinaryOp::Add, m.bin(BinaryOp::Sub, p, x), m.f(3.0));
       }},
  };
  const std::vector<std::vector<double>> points = {{0.7, 1.3}, {1.9, 0.45}, {2.6, 3.1}};
  for (const OracleCase& c : cases) {
    SCOPED_TRACE(c.name);
    DagMaker m;
    const NodeId x = m.param("x", DType::f64());
    const NodeId y = m.param("y", DType::f64());
    const NodeId out = c.build(m, x, y);
    const ir::TypedDag primal = std::move(m).finish({out});
    for (std::size_t var = 0; var < 2; ++var) {
      auto fn = differentiate(primal, var == 0 ? "x" : "y");
      ASSERT_TRUE(fn) << fn.error().to_string();
      auto derivative = fn->lower_to_typed_dag();
      ASSERT_TRUE(derivative) << derivative.error().to_string();
      for (const auto& point : points) {
        const double h = 1e-6;
        std::vector<double> up = point;
        std::vector<double> down = point;
        up[var] += h;
        down[var] -= h;
        const double numeric = (evaluate(primal, up) - evaluate(primal, down)) / (2 * h);
        const double symbolic = evaluate(*derivative, point);
        EXPECT_NEAR(symbolic, numeric, 1e-5 * (1.0 + std::fabs(numeric)))
            << "d/d" << (var == 0 ? "x" : "y") << " at (" << point[0] << ", " << point[1]
            << ") = " << render(fn->exprs(), fn->outputs()[0]);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Size and depth

TEST(EngineScaleTest, DeepChainDifferentiatesAndLowers) {
  DagMaker m;
  NodeId cur = m.param("x", DType::f64());
  constexpr int kDepth = 100000;
  for (int k = 0; k < kDepth; ++k) cur = m.call(Builtin::Sin, {cur});
  auto fn = differentiate(std::move(m).finish({cur}), "x");
  ASSERT_TRUE(fn) << fn.error().to_string();
  // The primal chain, one cos per level and the product chain.
  EXPECT_LT(fn->exprs().size(), 4u * kDepth);
  auto dag = fn->lower_to_typed_dag();
  ASSERT_TRUE(dag) << dag.error().to_string();
  EXPECT_GT(dag->size(), 2u * kDepth);
  EXPECT_LT(dag->size(), 4u * kDepth);
}

TEST(EngineScaleTest, HeavilySharedChainStaysLinear) {
  // v(k) = v(k-1) * v(k-2): written out as a tree it has Fibonacci-many leaves.
  DagMaker m;
  NodeId prev = m.param("x", DType::f64());
  NodeId cur = m.param("y", DType::f64());
  constexpr int kDepth = 1000;
  for (int k = 0; k < kDepth; ++k) {
    const NodeId next = m.bin(BinaryOp::Mul, cur, prev);
    prev = cur;
    cur = next;
  }
  auto fn = differentiate(std::move(m).finish({cur}), "x");
  ASSERT_TRUE(fn) << fn.error().to_string();
  auto dag = fn->lower_to_typed_dag();
  ASSERT_TRUE(dag) << dag.error().to_string();
  EXPECT_LT(fn->exprs().size(), 8u * kDepth);
  EXPECT_LT(dag->size(), 8u * kDepth);
}

}  // namespace
}  // namespace morvalen::diff
