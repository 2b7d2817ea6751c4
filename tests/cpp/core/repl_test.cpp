#include "repl.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "diag.h"
#include "ir/dag.h"
#include "ir/lower.h"
#include "parse/parser.h"
#include "support/internal_error.h"

namespace morvalen::repl {
namespace {

using ir::BinaryOp;
using ir::Builtin;
using ir::DType;
using ir::NodeId;
using ir::UnaryOp;

// Builds DAGs by hand; the last node pushed is the root.
class Dag {
 public:
  NodeId param(std::size_t index, DType d = DType::f64()) { return b_.push(ir::Param{index}, d); }
  NodeId k(ir::Scalar v, DType d) { return b_.push(ir::Const{v}, d); }
  NodeId f(double v) { return k(v, DType::f64()); }
  NodeId i(std::int64_t v, DType d = DType::i64()) { return k(v, d); }
  NodeId un(UnaryOp op, NodeId a) { return b_.push(ir::Unary{a, op}, b_.dtype(a)); }
  NodeId neg(NodeId a) { return un(UnaryOp::Neg, a); }
  NodeId bin(BinaryOp op, NodeId l, NodeId r) {
    bool to_bool = ir::is_comparison(op) || ir::is_logical(op);
    return b_.push(ir::Binary{op, l, r}, to_bool ? DType::boolean() : b_.dtype(l));
  }
  NodeId cond(NodeId c, NodeId t, NodeId e) { return b_.push(ir::If{c, t, e}, b_.dtype(t)); }
  NodeId call(Builtin fn, NodeId a) { return b_.push(ir::Call{fn, {a}}, b_.dtype(a)); }
  NodeId shown(NodeId a, DType d) { return b_.push(ir::Cast{a, d, true}, d); }
  NodeId hidden(NodeId a, DType d) { return b_.push(ir::Cast{a, d, false}, d); }

  ir::TypedDag dag(std::vector<std::string> names = {"a", "b", "c", "x", "y", "z"}) && {
    NodeId root{b_.size() - 1};
    std::vector<ir::ParamDecl> params;
    for (auto& n : names) params.push_back({n, DType::f64()});
    return std::move(b_).finish(std::move(params), {root}, "test dag: ");
  }

  std::string render(std::vector<std::string> names = {"a", "b", "c", "x", "y", "z"}) && {
    ir::TypedDag built = std::move(*this).dag(std::move(names));
    return render_simplified_expr(built, built.outputs().front()).value();
  }

 private:
  ir::DagBuilder b_;
};

// Parameter indices in the default header.
constexpr std::size_t A = 0, B = 1, C = 2, X = 3, Y = 4, Z = 5;

struct Case {
  const char* name;
  std::function<void(Dag&)> build;
  std::string expected;
};

void run_cases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Dag d;
    c.build(d);
    EXPECT_EQ(std::move(d).render(), c.expected);
  }
}

TEST(ReplTest, PrecedenceAndAssociativity) {
  run_cases({
      {"left sub", [](Dag& d) { d.bin(BinaryOp::Sub, d.bin(BinaryOp::Sub, d.param(A), d.param(B)), d.param(C)); },
       "a - b - c"},
      {"right sub", [](Dag& d) { d.bin(BinaryOp::Sub, d.param(A), d.bin(BinaryOp::Sub, d.param(B), d.param(C))); },
       "a - (b - c)"},
      {"sum times", [](Dag& d) { d.bin(BinaryOp::Mul, d.bin(BinaryOp::Add, d.param(A), d.param(B)), d.param(C)); },
       "(a + b) * c"},
      {"times sum", [](Dag& d) { d.bin(BinaryOp::Add, d.bin(BinaryOp::Mul, d.param(A), d.param(B)), d.param(C)); },
       "a * b + c"},
      {"div of product", [](Dag& d) { d.bin(BinaryOp::Div, d.param(A), d.bin(BinaryOp::Mul, d.param(B), d.param(C))); },
       "a / (b * c)"},
      {"floor div rem",
       [](Dag& d) { d.bin(BinaryOp::Rem, d.bin(BinaryOp::FloorDiv, d.param(A), d.param(B)), d.param(C)); },
       "a // b % c"},
      {"pow right", [](Dag& d) { d.bin(BinaryOp::Pow, d.param(A), d.bin(BinaryOp::Pow, d.param(B), d.param(C))); },
       "a ** (b ** c)"},
      {"and or", [](Dag& d) { d.bin(BinaryOp::Or, d.bin(BinaryOp::And, d.param(A), d.param(B)), d.param(C)); },
       "a && b || c"},
      {"or in and", [](Dag& d) { d.bin(BinaryOp::And, d.param(A), d.bin(BinaryOp::Or, d.param(B), d.param(C))); },
       "a && (b || c)"},
      {"comparisons in and",
       [](Dag& d) {
         d.bin(BinaryOp::And, d.bin(BinaryOp::Eq, d.param(A), d.param(B)), d.bin(BinaryOp::Lt, d.param(C), d.param(X)));
       },
       "a == b && c < x"},
      {"sum in comparison",
       [](Dag& d) { d.bin(BinaryOp::Ge, d.bin(BinaryOp::Add, d.param(A), d.param(B)), d.param(C)); }, "a + b >= c"},
      {"neg times", [](Dag& d) { d.bin(BinaryOp::Mul, d.neg(d.param(X)), d.param(Y)); }, "-x * y"},
      {"times neg", [](Dag& d) { d.bin(BinaryOp::Mul, d.param(X), d.neg(d.param(Y))); }, "x * -y"},
      {"pow of neg exponent", [](Dag& d) { d.bin(BinaryOp::Pow, d.param(X), d.neg(d.param(Y))); }, "x ** -y"},
      {"neg of pow", [](Dag& d) { d.neg(d.bin(BinaryOp::Pow, d.param(X), d.f(2))); }, "-(x ** 2)"},
      {"neg of neg", [](Dag& d) { d.neg(d.neg(d.param(X))); }, "-(-x)"},
      {"not not", [](Dag& d) { d.un(UnaryOp::Not, d.un(UnaryOp::Not, d.param(X))); }, "!!x"},
      {"not of comparison", [](Dag& d) { d.un(UnaryOp::Not, d.bin(BinaryOp::Lt, d.param(A), d.param(B))); },
       "!(a < b)"},
      {"neg of call", [](Dag& d) { d.neg(d.call(Builtin::Exp, d.param(X))); }, "-exp(x)"},
      {"call of sum", [](Dag& d) { d.call(Builtin::Exp, d.bin(BinaryOp::Add, d.param(X), d.f(1))); }, "exp(x + 1)"},
      {"call in product", [](Dag& d) { d.bin(BinaryOp::Mul, d.f(2), d.call(Builtin::Exp, d.param(X))); }, "2 * exp(x)"},
      {"fused call", [](Dag& d) { d.call(Builtin::SigmoidLog, d.param(X)); }, "sigmoid_log(x)"},
      {"if else sum", [](Dag& d) { d.cond(d.param(C), d.param(X), d.bin(BinaryOp::Add, d.param(Y), d.f(1))); },
       "if c then x else (y + 1)"},
      {"if comparison cond",
       [](Dag& d) { d.cond(d.bin(BinaryOp::Lt, d.param(A), d.param(B)), d.param(A), d.param(B)); },
       "if (a < b) then a else b"},
      {"if in if", [](Dag& d) { d.cond(d.param(C), d.cond(d.param(Z), d.param(X), d.param(Y)), d.param(A)); },
       "if c then (if z then x else y) else a"},
      {"if in product", [](Dag& d) { d.bin(BinaryOp::Mul, d.cond(d.param(C), d.param(A), d.param(B)), d.f(2)); },
       "(if c then a else b) * 2"},
      {"if in call", [](Dag& d) { d.call(Builtin::Exp, d.cond(d.param(C), d.param(A), d.param(B))); },
       "exp(if c then a else b)"},
      {"neg of if", [](Dag& d) { d.neg(d.cond(d.param(C), d.param(A), d.param(B))); }, "-(if c then a else b)"},
  });
}

TEST(ReplTest, Casts) {
  run_cases({
      {"shown", [](Dag& d) { d.shown(d.param(X), DType::f32()); }, "x@f32"},
      {"shown twice", [](Dag& d) { d.shown(d.shown(d.param(X), DType::f32()), DType::f64()); }, "x@f32@f64"},
      {"shown sum", [](Dag& d) { d.shown(d.bin(BinaryOp::Add, d.param(A), d.param(B)), DType::f64()); }, "(a + b)@f64"},
      {"shown neg", [](Dag& d) { d.shown(d.neg(d.param(X)), DType::i32()); }, "(-x)@i32"},
      {"shown in product", [](Dag& d) { d.bin(BinaryOp::Mul, d.shown(d.param(X), DType::bf16()), d.param(Y)); },
       "x@bf16 * y"},
      {"hidden operand",
       [](Dag& d) { d.bin(BinaryOp::Add, d.hidden(d.param(A, DType::i32()), DType::f64()), d.param(B)); }, "a + b"},
      {"hidden root sum", [](Dag& d) { d.hidden(d.bin(BinaryOp::Add, d.param(X), d.param(Y)), DType::f64()); },
       "x + y"},
      // A hidden cast keeps the parentheses its operand got below it.
      {"hidden sum in sum",
       [](Dag& d) {
         NodeId sum = d.bin(BinaryOp::Add, d.param(A), d.param(B));
         d.bin(BinaryOp::Add, d.hidden(sum, DType::f64()), d.param(C));
       },
       "(a + b) + c"},
      {"hidden sum in product",
       [](Dag& d) {
         NodeId sum = d.bin(BinaryOp::Add, d.param(A), d.param(B));
         d.bin(BinaryOp::Mul, d.hidden(d.hidden(sum, DType::f32()), DType::f64()), d.param(C));
       },
       "(a + b) * c"},
      {"hidden if in call",
       [](Dag& d) { d.call(Builtin::Exp, d.hidden(d.cond(d.param(C), d.param(A), d.param(B)), DType::f64())); },
       "exp((if c then a else b))"},
      {"hidden product in sum",
       [](Dag& d) {
         NodeId product = d.bin(BinaryOp::Mul, d.param(B), d.param(C));
         d.bin(BinaryOp::Add, d.param(A), d.hidden(product, DType::f64()));
       },
       "a + (b * c)"},
  });
}

TEST(ReplTest, Leaves) {
  run_cases({
      {"param", [](Dag& d) { d.param(Y); }, "y"},
      {"param beyond header", [](Dag& d) { d.param(9); }, "arg9"},
      {"true", [](Dag& d) { d.k(true, DType::boolean()); }, "true"},
      {"false", [](Dag& d) { d.k(false, DType::boolean()); }, "false"},
      {"int", [](Dag& d) { d.i(-5); }, "-5"},
      {"i64 min", [](Dag& d) { d.i(std::numeric_limits<std::int64_t>::min()); }, "-9223372036854775808"},
      {"u64 top bit", [](Dag& d) { d.i(-1, DType::u64()); }, "18446744073709551615"},
      {"u64 high", [](Dag& d) { d.i(static_cast<std::int64_t>(0x8000000000000000ULL), DType::u64()); },
       "9223372036854775808"},
      {"u8", [](Dag& d) { d.i(200, DType::u8()); }, "200"},
      {"complex",
       [](Dag& d) {
         d.k(ir::ComplexValue{0, 2.5}, DType::c128());
       },
       "0+2.5j"},
      {"complex negative im",
       [](Dag& d) {
         d.k(ir::ComplexValue{1, -2}, DType::c64());
       },
       "1+-2j"},
      {"float placeholder under complex", [](Dag& d) { d.k(1.5, DType::c64()); }, "1.5"},
  });
}

TEST(ReplTest, FloatTexts) {
  struct FloatCase {
    double value;
    std::string expected;
  };
  const std::vector<FloatCase> cases = {
      {0.1, "0.1"},
      {0.5, "0.5"},
      {2.0, "2"},
      {-3.0, "-3"},
      {1e20, "100000000000000000000"},
      {1e21, "1000000000000000000000"},
      {1e-7, "0.0000001"},
      {-2.5e-10, "-0.00000000025"},
      {5e-324, "0." + std::string(323, '0') + "5"},
      {-0.0, "-0"},
      {0.0, "0"},
      {123.456, "123.456"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
  };
  for (const FloatCase& c : cases) {
    SCOPED_TRACE(c.expected);
    Dag d;
    d.f(c.value);
    std::string text = std::move(d).render();
    EXPECT_EQ(text, c.expected);
    if (std::isfinite(c.value)) {
      double back = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
      EXPECT_EQ(ec, std::errc());
      EXPECT_EQ(end, text.data() + text.size());
      EXPECT_EQ(back, c.value);
      EXPECT_EQ(std::signbit(back), std::signbit(c.value));
    }
  }
}

// Texts that precedence alone would write so that they read back as a
// different expression.
TEST(ReplTest, ReadsBackTheSameExpression) {
  run_cases({
      {"pow left pow", [](Dag& d) { d.bin(BinaryOp::Pow, d.bin(BinaryOp::Pow, d.param(A), d.param(B)), d.param(C)); },
       "(a ** b) ** c"},
      {"pow left neg", [](Dag& d) { d.bin(BinaryOp::Pow, d.neg(d.param(X)), d.f(2)); }, "(-x) ** 2"},
      {"pow left not", [](Dag& d) { d.bin(BinaryOp::Pow, d.un(UnaryOp::Not, d.param(X)), d.f(2)); }, "(!x) ** 2"},
      {"pow left negative int", [](Dag& d) { d.bin(BinaryOp::Pow, d.i(-2), d.param(X)); }, "(-2) ** x"},
      {"pow left negative zero", [](Dag& d) { d.bin(BinaryOp::Pow, d.f(-0.0), d.param(X)); }, "(-0) ** x"},
      {"pow left negative inf",
       [](Dag& d) { d.bin(BinaryOp::Pow, d.f(-std::numeric_limits<double>::infinity()), d.param(X)); }, "(-inf) ** x"},
      {"pow left hidden negative",
       [](Dag& d) { d.bin(BinaryOp::Pow, d.hidden(d.i(-2, DType::i32()), DType::f64()), d.param(X)); }, "(-2) ** x"},
      {"pow left positive", [](Dag& d) { d.bin(BinaryOp::Pow, d.f(2), d.param(X)); }, "2 ** x"},
      {"pow left unsigned", [](Dag& d) { d.bin(BinaryOp::Pow, d.i(-1, DType::u64()), d.param(X)); },
       "18446744073709551615 ** x"},
      {"pow right negative", [](Dag& d) { d.bin(BinaryOp::Pow, d.param(X), d.f(-1)); }, "x ** -1"},
      {"times negative", [](Dag& d) { d.bin(BinaryOp::Mul, d.i(-5), d.param(X)); }, "-5 * x"},
      {"minus negative", [](Dag& d) { d.bin(BinaryOp::Sub, d.param(X), d.i(-5)); }, "x - -5"},
      {"comparison left", [](Dag& d) { d.bin(BinaryOp::Eq, d.bin(BinaryOp::Lt, d.param(A), d.param(B)), d.param(C)); },
       "(a < b) == c"},
      {"comparison right", [](Dag& d) { d.bin(BinaryOp::Eq, d.param(A), d.bin(BinaryOp::Lt, d.param(B), d.param(C))); },
       "a == (b < c)"},
      {"comparison both",
       [](Dag& d) {
         d.bin(BinaryOp::Ne, d.bin(BinaryOp::Gt, d.param(A), d.param(B)), d.bin(BinaryOp::Le, d.param(C), d.param(X)));
       },
       "(a > b) != (c <= x)"},
      {"complex right",
       [](Dag& d) {
         d.bin(BinaryOp::Mul, d.param(Z), d.k(ir::ComplexValue{0, 2.5}, DType::c128()));
       },
       "z * (0+2.5j)"},
      {"complex left",
       [](Dag& d) {
         d.bin(BinaryOp::Sub, d.k(ir::ComplexValue{1, 1}, DType::c128()), d.param(Z));
       },
       "(1+1j) - z"},
      {"complex hidden",
       [](Dag& d) {
         d.bin(BinaryOp::Add, d.param(Z), d.hidden(d.k(ir::ComplexValue{0, 1}, DType::c64()), DType::c128()));
       },
       "z + (0+1j)"},
      {"complex neg",
       [](Dag& d) {
         d.neg(d.k(ir::ComplexValue{0, 2.5}, DType::c128()));
       },
       "-(0+2.5j)"},
      {"complex shown cast",
       [](Dag& d) {
         d.shown(d.k(ir::ComplexValue{0, 2.5}, DType::c64()), DType::c128());
       },
       "(0+2.5j)@c128"},
      {"complex call",
       [](Dag& d) {
         d.call(Builtin::Exp, d.k(ir::ComplexValue{0, 2.5}, DType::c128()));
       },
       "exp(0+2.5j)"},
      {"negative shown cast", [](Dag& d) { d.shown(d.f(-0.5), DType::i32()); }, "(-0.5)@i32"},
      {"positive shown cast", [](Dag& d) { d.shown(d.f(0.5), DType::i32()); }, "0.5@i32"},
  });
}

TEST(ReplTest, SharedNodes) {
  run_cases({
      // The first placement fixes the remembered text...
      {"first placement wrapped",
       [](Dag& d) {
         NodeId s = d.bin(BinaryOp::Add, d.param(A), d.param(B));
         d.bin(BinaryOp::Add, d.bin(BinaryOp::Mul, s, d.param(C)), d.call(Builtin::Exp, s));
       },
       "(a + b) * c + exp((a + b))"},
      {"right operand of equal precedence",
       [](Dag& d) {
         NodeId s = d.bin(BinaryOp::Add, d.param(A), d.param(B));
         d.bin(BinaryOp::Add, d.bin(BinaryOp::Mul, s, d.f(2)), s);
       },
       "(a + b) * 2 + (a + b)"},
      // ...and a later use that needs parentheses gets them.
      {"first placement bare",
       [](Dag& d) {
         NodeId s = d.bin(BinaryOp::Add, d.param(A), d.param(B));
         d.bin(BinaryOp::Mul, d.call(Builtin::Exp, s), s);
       },
       "exp(a + b) * (a + b)"},
      {"shared under neg",
       [](Dag& d) {
         NodeId s = d.bin(BinaryOp::Sub, d.param(A), d.param(B));
         d.bin(BinaryOp::Add, s, d.neg(s));
       },
       "a - b + -(a - b)"},
      {"shared if",
       [](Dag& d) {
         NodeId s = d.cond(d.param(C), d.param(A), d.param(B));
         d.bin(BinaryOp::Add, d.call(Builtin::Sin, s), s);
       },
       "sin(if c then a else b) + (if c then a else b)"},
      {"shared pow on the left",
       [](Dag& d) {
         NodeId p = d.bin(BinaryOp::Pow, d.param(A), d.param(B));
         d.bin(BinaryOp::Pow, p, p);
       },
       "(a ** b) ** (a ** b)"},
      {"same operand twice",
       [](Dag& d) {
         NodeId x = d.param(X);
         d.bin(BinaryOp::Mul, x, x);
       },
       "x * x"},
  });
}

TEST(ReplTest, TopLevelCleanUp) {
  // Only a hidden cast can enclose the whole text in parentheses.
  Dag d;
  d.hidden(d.hidden(d.bin(BinaryOp::Or, d.param(A), d.param(B)), DType::i32()), DType::f64());
  EXPECT_EQ(std::move(d).render(), "a || b");

  Dag spaced;
  spaced.param(0);
  EXPECT_EQ(std::move(spaced).render({"  (w)  "}), "w");
}

TEST(ReplTest, DeepChains) {
  constexpr std::size_t kDepth = 100000;
  {
    Dag d;
    NodeId n = d.param(X);
    NodeId one = d.f(1);
    for (std::size_t i = 0; i < kDepth; ++i) n = d.bin(BinaryOp::Add, n, one);
    std::string expected = "x";
    for (std::size_t i = 0; i < kDepth; ++i) expected += " + 1";
    EXPECT_EQ(std::move(d).render(), expected);
  }
  {
    Dag d;
    NodeId n = d.param(X);
    NodeId one = d.f(1);
    for (std::size_t i = 0; i < kDepth; ++i) n = d.bin(BinaryOp::Sub, one, n);
    std::string expected;
    for (std::size_t i = 0; i < kDepth; ++i) expected += i == 0 ? "1 - " : "(1 - ";
    expected += "x" + std::string(kDepth - 1, ')');
    EXPECT_EQ(std::move(d).render(), expected);
  }
  {
    Dag d;
    NodeId n = d.param(X);
    for (std::size_t i = 0; i < kDepth; ++i) n = d.call(Builtin::Exp, d.hidden(n, DType::f64()));
    std::string expected;
    for (std::size_t i = 0; i < kDepth; ++i) expected += "exp(";
    expected += "x" + std::string(kDepth, ')');
    EXPECT_EQ(std::move(d).render(), expected);
  }
}

TEST(ReplTest, ExponentialSharingIsRefused) {
  Dag d;
  NodeId n = d.param(X);
  for (int i = 0; i < 40; ++i) n = d.bin(BinaryOp::Mul, n, n);
  ir::TypedDag dag = std::move(d).dag();
  auto text = render_simplified_expr(dag, n);
  ASSERT_FALSE(text.has_value());
  EXPECT_EQ(text.error().to_string(), "rendered expression is longer than 268435456 bytes");
}

TEST(ReplTest, InvalidDagsAreInternalErrors) {
  ir::DagBuilder b;
  b.push(ir::Param{0}, DType::f64());
  ir::TypedDag dag = std::move(b).finish({{"x", DType::f64()}}, {}, "test dag: ");
  try {
    static_cast<void>(render_simplified_expr(dag, NodeId{3}));
    FAIL() << "expected InternalError";
  } catch (const InternalError& e) {
    EXPECT_EQ(std::string(e.what()), "rendered node 3 out of range (nodes len 1)");
  }

  // Made without a DagBuilder, which refuses a forward operand.
  ir::TypedDag cyclic = *ir::TypedDag::try_new({ir::Unary{NodeId{0}, UnaryOp::Neg}}, {DType::f64()}, {}, {NodeId{0}});
  try {
    static_cast<void>(render_simplified_expr(cyclic, NodeId{0}));
    FAIL() << "expected InternalError";
  } catch (const InternalError& e) {
    EXPECT_EQ(std::string(e.what()), "operand 0 of node 0 does not precede it in TypedDag");
  }
}

// Random DAGs over f64 and bool values, with sharing: every rendered text must
// parse and lower back to the same expression, up to the casts that lowering
// inserts and the literal forms of constants.
class RoundTrip {
 public:
  explicit RoundTrip(std::uint64_t seed) : rng_(seed) {}

  ir::TypedDag random_dag() {
    b_ = ir::DagBuilder();
    reals_.clear();
    bools_.clear();
    NodeId root = gen(pick(5) == 0, 2 + static_cast<int>(pick(5)));
    return std::move(b_).finish(params(), {root}, "test dag: ");
  }

  static std::vector<ir::ParamDecl> params() {
    return {{"a", DType::f64()},
            {"b", DType::f64()},
            {"c", DType::f64()},
            {"p", DType::boolean()},
            {"q", DType::boolean()}};
  }

  // The tree below `id` as an s-expression: hidden casts dropped, a shown
  // cast of a constant read as the constant (a literal suffix), negation of a
  // numeric constant read as the negative constant.
  static std::string shape(const ir::TypedDag& d, NodeId id) {
    const ir::Node& n = d.node(id);
    if (const auto* c = std::get_if<ir::Cast>(&n)) {
      std::string inner = shape(d, c->arg);
      if (!c->is_explicit || inner.starts_with("#")) return inner;
      return "(@" + std::string(ir::to_str(c->dtype)) + " " + inner + ")";
    }
    if (const auto* k = std::get_if<ir::Const>(&n)) {
      if (const bool* v = std::get_if<bool>(&k->value)) return *v ? "true" : "false";
      double v = std::holds_alternative<double>(k->value) ? std::get<double>(k->value)
                                                          : static_cast<double>(std::get<std::int64_t>(k->value));
      return "#" + std::to_string(v);
    }
    if (const auto* p = std::get_if<ir::Param>(&n)) return d.params()[p->index].name;
    if (const auto* u = std::get_if<ir::Unary>(&n)) {
      std::string inner = shape(d, u->arg);
      if (u->op == UnaryOp::Neg && inner.starts_with("#")) {
        return inner.starts_with("#-") ? "#" + inner.substr(2) : "#-" + inner.substr(1);
      }
      return std::string(u->op == UnaryOp::Neg ? "(neg " : "(not ") + inner + ")";
    }
    if (const auto* b = std::get_if<ir::Binary>(&n)) {
      return "(" + std::string(ir::as_str(b->op)) + " " + shape(d, b->lhs) + " " + shape(d, b->rhs) + ")";
    }
    if (const auto* i = std::get_if<ir::If>(&n)) {
      return "(if " + shape(d, i->cond) + " " + shape(d, i->then_branch) + " " + shape(d, i->else_branch) + ")";
    }
    const auto& c = std::get<ir::Call>(n);
    return "(" + std::string(ir::to_str(c.builtin)) + " " + shape(d, c.args.front()) + ")";
  }

 private:
  std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }

  template <std::size_t N>
  BinaryOp one_of(const BinaryOp (&ops)[N]) {
    return ops[pick(N)];
  }

  NodeId gen(bool boolean, int depth) {
    std::vector<NodeId>& pool = boolean ? bools_ : reals_;
    if (!pool.empty() && pick(4) == 0) return pool[pick(pool.size())];
    NodeId r;
    if (depth <= 0 || pick(6) == 0) {
      if (boolean) {
        r = pick(3) != 0 ? b_.push(ir::Param{3 + pick(2)}, DType::boolean())
                         : b_.push(ir::Const{pick(2) == 0}, DType::boolean());
      } else if (pick(2) == 0) {
        r = b_.push(ir::Param{pick(3)}, DType::f64());
      } else {
        const double values[] = {2, -2, 0.5, -0.5, 3, -1};
        r = b_.push(ir::Const{values[pick(6)]}, DType::f64());
      }
    } else if (boolean) {
      static const BinaryOp kLogic[] = {BinaryOp::And, BinaryOp::Or};
      static const BinaryOp kCompare[] = {BinaryOp::Lt, BinaryOp::Le, BinaryOp::Gt,
                                          BinaryOp::Ge, BinaryOp::Eq, BinaryOp::Ne};
      static const BinaryOp kEquality[] = {BinaryOp::Eq, BinaryOp::Ne};
      switch (pick(5)) {
        case 0:
          r = b_.push(ir::Unary{gen(true, depth - 1), UnaryOp::Not}, DType::boolean());
          break;
        case 1:
          r = binary(one_of(kLogic), true, depth, DType::boolean());
          break;
        case 2:
          r = binary(one_of(kEquality), true, depth, DType::boolean());
          break;
        default:
          r = binary(one_of(kCompare), false, depth, DType::boolean());
          break;
      }
    } else {
      static const BinaryOp kArith[] = {BinaryOp::Add, BinaryOp::Sub, BinaryOp::Mul, BinaryOp::Div, BinaryOp::Pow};
      switch (pick(8)) {
        case 0:
          r = b_.push(ir::Unary{gen(false, depth - 1), UnaryOp::Neg}, DType::f64());
          break;
        case 1: {
          NodeId c = gen(true, depth - 1);
          NodeId t = gen(false, depth - 1);
          NodeId e = gen(false, depth - 1);
          r = b_.push(ir::If{c, t, e}, DType::f64());
          break;
        }
        case 2: {
          const Builtin fns[] = {Builtin::Exp, Builtin::Sin, Builtin::Abs};
          r = b_.push(ir::Call{fns[pick(3)], {gen(false, depth - 1)}}, DType::f64());
          break;
        }
        case 3:
          r = b_.push(ir::Cast{gen(false, depth - 1), DType::f64(), true}, DType::f64());
          break;
        default:
          r = binary(one_of(kArith), false, depth, DType::f64());
          break;
      }
    }
    pool.push_back(r);
    return r;
  }

  NodeId binary(BinaryOp op, bool bool_operands, int depth, DType dtype) {
    NodeId l = gen(bool_operands, depth - 1);
    NodeId r = gen(bool_operands, depth - 1);
    return b_.push(ir::Binary{op, l, r}, dtype);
  }

  std::mt19937_64 rng_;
  ir::DagBuilder b_;
  std::vector<NodeId> reals_;
  std::vector<NodeId> bools_;
};

TEST(ReplTest, TextsReadBackAsTheSameExpression) {
  RoundTrip gen(20261208);
  int compared = 0;
  for (int i = 0; i < 3000; ++i) {
    ir::TypedDag dag = gen.random_dag();
    NodeId root = dag.outputs().front();
    std::string text = render_simplified_expr(dag, root).value();
    SCOPED_TRACE(text);
    auto program = parse::parse_dsl_with_errors("|a: f64, b: f64, c: f64, p: bool, q: bool| " + text);
    ASSERT_TRUE(program.has_value()) << program.error().front().message;
    auto lowered = ir::lower_with_config_collect(*program, diag::DiagConfig{});
    // Lowering rejects some random programs on types (a float `//`, ...).
    if (!lowered.errors.empty()) continue;
    ++compared;
    EXPECT_EQ(RoundTrip::shape(lowered.dag, lowered.dag.outputs().front()), RoundTrip::shape(dag, root));
  }
  EXPECT_GT(compared, 1000);
}

}  // namespace
}  // namespace morvalen::repl
