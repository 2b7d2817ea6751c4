#include "opt/lang.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "support/internal_error.h"

namespace morvalen::opt {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(MathLangValue, IsSmallAndTriviallyCopyable) {
  EXPECT_EQ(sizeof(MathLang), 16u);
  EXPECT_TRUE(std::is_trivially_copyable_v<MathLang>);
  EXPECT_EQ(kMathKindCount, 39u);
}

TEST(MathKindTable, NamesSpellingsAndArities) {
  struct Row {
    MathKind kind;
    const char* name;
    const char* spelling;
    std::size_t arity;
  };
  const Row rows[] = {
      {MathKind::Bool, "Bool", "", 0},
      {MathKind::Int, "Int", "", 0},
      {MathKind::Num, "Num", "", 0},
      {MathKind::Complex, "Complex", "complex", 2},
      {MathKind::Param, "Param", "param", 1},
      {MathKind::Cast, "Cast", "cast", 2},
      {MathKind::TypeToken, "TypeToken", "", 0},
      {MathKind::Add, "Add", "+", 2},
      {MathKind::Sub, "Sub", "-", 2},
      {MathKind::Mul, "Mul", "*", 2},
      {MathKind::Div, "Div", "/", 2},
      {MathKind::FloorDiv, "FloorDiv", "//", 2},
      {MathKind::Rem, "Rem", "%", 2},
      {MathKind::Pow, "Pow", "**", 2},
      {MathKind::Neg, "Neg", "neg", 1},
      {MathKind::Eq, "Eq", "==", 2},
      {MathKind::Ne, "Ne", "!=", 2},
      {MathKind::Lt, "Lt", "<", 2},
      {MathKind::Le, "Le", "<=", 2},
      {MathKind::Gt, "Gt", ">", 2},
      {MathKind::Ge, "Ge", ">=", 2},
      {MathKind::And, "And", "&&", 2},
      {MathKind::Or, "Or", "||", 2},
      {MathKind::Not, "Not", "!", 1},
      {MathKind::IfElse, "IfElse", "ifelse", 3},
      {MathKind::Exp, "Exp", "exp", 1},
      {MathKind::Log, "Log", "log", 1},
      {MathKind::Sqrt, "Sqrt", "sqrt", 1},
      {MathKind::Abs, "Abs", "abs", 1},
      {MathKind::Sin, "Sin", "sin", 1},
      {MathKind::Cos, "Cos", "cos", 1},
      {MathKind::Tanh, "Tanh", "tanh", 1},
      {MathKind::Sigmoid, "Sigmoid", "sigmoid", 1},
      {MathKind::Relu, "Relu", "relu", 1},
      {MathKind::Softplus, "Softplus", "softplus", 1},
      {MathKind::Floor, "Floor", "floor", 1},
      {MathKind::Ceil, "Ceil", "ceil", 1},
      {MathKind::FusedExpSigmoid, "FusedExpSigmoid", "exp_sigmoid", 1},
      {MathKind::FusedSigmoidLog, "FusedSigmoidLog", "sigmoid_log", 1},
  };
  ASSERT_EQ(std::size(rows), kMathKindCount);
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    SCOPED_TRACE(r.name);
    EXPECT_EQ(static_cast<std::size_t>(r.kind), i);
    EXPECT_EQ(kind_name(r.kind), r.name);
    EXPECT_EQ(kind_info(r.kind).spelling, r.spelling);
    EXPECT_EQ(kind_arity(r.kind), r.arity);
    if (r.arity == 0) continue;
    // Each spelling reads back with exactly its own child count.
    std::vector<Id> children;
    for (std::uint32_t k = 0; k < r.arity; ++k) children.push_back(Id{k + 4});
    auto node = from_op(r.spelling, children);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->kind(), r.kind);
    EXPECT_EQ(std::vector<Id>(node->children().begin(), node->children().end()), children);
    children.push_back(Id{9});
    EXPECT_FALSE(from_op(r.spelling, children).has_value());
  }
}

TEST(FromOp, Leaves) {
  struct Case {
    const char* op;
    std::string rendered;
  };
  const Case cases[] = {
      {"true", "Bool(true)"},
      {"false", "Bool(false)"},
      {"-5", "Int(-5)"},
      {"+7", "Int(7)"},
      {"0", "Int(0)"},
      {"9223372036854775807", "Int(9223372036854775807)"},
      {"-9223372036854775808", "Int(-9223372036854775808)"},
      {"9223372036854775808", "Num(9.223372036854776e18)"},
      {"2.5", "Num(2.5)"},
      {"-2.5", "Num(-2.5)"},
      {"+.5", "Num(0.5)"},
      {"1e3", "Num(1000.0)"},
      {"1E-7", "Num(1e-7)"},
      {"inf", "Num(inf)"},
      {"-infinity", "Num(-inf)"},
      {"NaN", "Num(NaN)"},
      {"1e400", "Num(inf)"},
      {"x", "TypeToken(\"x\")"},
      {"-", "TypeToken(\"-\")"},
      {"+", "TypeToken(\"+\")"},
      {"f32", "TypeToken(\"f32\")"},
      {"explicit:i32", "TypeToken(\"explicit:i32\")"},
      {"1.2.3", "TypeToken(\"1.2.3\")"},
      {"--5", "TypeToken(\"--5\")"},
      {"neg", "TypeToken(\"neg\")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    auto node = from_op(c.op, {});
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->to_string(), c.rendered);
  }
}

TEST(FromOpFailure, WrongChildCounts) {
  struct Case {
    const char* op;
    std::vector<Id> children;
    std::string message;
  };
  const Case cases[] = {
      {"-", {Id{1}}, "failed to parse '-' with children [1]"},
      {"true", {Id{0}}, "failed to parse 'true' with children [0]"},
      {"5", {Id{0}}, "failed to parse '5' with children [0]"},
      {"!", {Id{0}, Id{1}}, "failed to parse '!' with children [0, 1]"},
      {"ifelse", {Id{0}, Id{1}}, "failed to parse 'ifelse' with children [0, 1]"},
      {"foo", {Id{2}}, "failed to parse 'foo' with children [2]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    auto node = from_op(c.op, c.children);
    ASSERT_FALSE(node.has_value());
    EXPECT_EQ(node.error().op, c.op);
    EXPECT_EQ(node.error().children, c.children);
    EXPECT_EQ(node.error().to_string(), c.message);
  }
}

TEST(MathLangEquality, NumLeaves) {
  MathLang nan1 = MathLang::make_num(kNaN);
  MathLang nan2 = MathLang::make_num(-kNaN);
  EXPECT_EQ(nan1, nan2);
  EXPECT_EQ(nan1.hash(), nan2.hash());
  MathLang z = MathLang::make_num(0.0);
  MathLang nz = MathLang::make_num(-0.0);
  EXPECT_EQ(z, nz);
  EXPECT_EQ(z.hash(), nz.hash());
  EXPECT_TRUE(std::signbit(nz.num_value()));  // the stored value is kept
  EXPECT_NE(MathLang::make_num(1.0), MathLang::make_num(2.0));
  EXPECT_NE(MathLang::make_num(0.0), MathLang::make_int(0));
  EXPECT_NE(MathLang::make_num(kNaN), MathLang::make_num(kInf));
}

TEST(MathLangEquality, OtherVariants) {
  EXPECT_EQ(MathLang::make_int(-3), MathLang::make_int(-3));
  EXPECT_NE(MathLang::make_int(-3), MathLang::make_int(3));
  EXPECT_EQ(MathLang::make_token("f32"), MathLang::make_token(support::Symbol::intern("f32")));
  EXPECT_NE(MathLang::make_token("f32"), MathLang::make_token("explicit:f32"));
  EXPECT_EQ(MathLang::make(MathKind::Add, Id{1}, Id{2}), MathLang::make(MathKind::Add, Id{1}, Id{2}));
  EXPECT_NE(MathLang::make(MathKind::Add, Id{1}, Id{2}), MathLang::make(MathKind::Add, Id{2}, Id{1}));
  EXPECT_NE(MathLang::make(MathKind::Add, Id{1}, Id{2}), MathLang::make(MathKind::Mul, Id{1}, Id{2}));
  EXPECT_NE(MathLang::make(MathKind::Neg, Id{1}), MathLang::make(MathKind::Exp, Id{1}));
  EXPECT_EQ(MathLang::make(MathKind::Add, Id{1}, Id{2}).hash(), MathLang::make(MathKind::Add, Id{1}, Id{2}).hash());
}

TEST(MathLangOrdering, ByVariantThenPayload) {
  // Each row sorts strictly before the next one.
  support::Symbol first = support::Symbol::intern("ordering-token-first");
  support::Symbol second = support::Symbol::intern("ordering-token-second");
  const MathLang sorted[] = {
      MathLang::make_bool(false),
      MathLang::make_bool(true),
      MathLang::make_int(-3),
      MathLang::make_int(2),
      MathLang::make_num(-kInf),
      MathLang::make_num(-1.0),
      MathLang::make_num(0.0),
      MathLang::make_num(kInf),
      MathLang::make_num(kNaN),
      MathLang::make(MathKind::Complex, Id{0}, Id{5}),
      MathLang::make(MathKind::Complex, Id{1}, Id{0}),
      MathLang::make(MathKind::Param, Id{0}),
      MathLang::make_token(first),
      MathLang::make_token(second),
      MathLang::make(MathKind::Add, Id{2}, Id{1}),
      MathLang::make(MathKind::Add, Id{2}, Id{3}),
      MathLang::make(MathKind::Sub, Id{0}, Id{0}),
      MathLang::make(MathKind::IfElse, Id{0}, Id{0}, Id{1}),
      MathLang::make(MathKind::FusedSigmoidLog, Id{0}),
  };
  for (std::size_t i = 0; i + 1 < std::size(sorted); ++i) {
    SCOPED_TRACE(sorted[i].to_string());
    EXPECT_TRUE(sorted[i] < sorted[i + 1]);
    EXPECT_FALSE(sorted[i + 1] < sorted[i]);
  }
  EXPECT_EQ(MathLang::make_num(0.0) <=> MathLang::make_num(-0.0), std::strong_ordering::equal);
  EXPECT_EQ(MathLang::make_num(kNaN) <=> MathLang::make_num(kNaN), std::strong_ordering::equal);
}

TEST(MathLangRendering, DebugText) {
  struct Case {
    MathLang node;
    std::string text;
  };
  const Case cases[] = {
      {MathLang::make(MathKind::Add, Id{1}, Id{3}), "Add([1, 3])"},
      {MathLang::make(MathKind::Neg, Id{0}), "Neg([0])"},
      {MathLang::make(MathKind::IfElse, Id{0}, Id{1}, Id{2}), "IfElse([0, 1, 2])"},
      {MathLang::make_int(5), "Int(5)"},
      {MathLang::make_bool(true), "Bool(true)"},
      {MathLang::make_num(2.5), "Num(2.5)"},
      {MathLang::make_num(1.0), "Num(1.0)"},
      {MathLang::make_num(-0.0), "Num(-0.0)"},
      {MathLang::make_num(0.1), "Num(0.1)"},
      {MathLang::make_num(0.0001), "Num(0.0001)"},
      {MathLang::make_num(0.00001), "Num(1e-5)"},
      {MathLang::make_num(1.5e-10), "Num(1.5e-10)"},
      {MathLang::make_num(1e15), "Num(1000000000000000.0)"},
      {MathLang::make_num(1e16), "Num(1e16)"},
      {MathLang::make_num(-2.5e300), "Num(-2.5e300)"},
      {MathLang::make_num(kNaN), "Num(NaN)"},
      {MathLang::make_num(kInf), "Num(inf)"},
      {MathLang::make_num(-kInf), "Num(-inf)"},
      {MathLang::make_token("f32"), "TypeToken(\"f32\")"},
      {MathLang::make_token("a\"b\\c\n"), "TypeToken(\"a\\\"b\\\\c\\n\")"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.node.to_string(), c.text);
}

TEST(MathLangFailure, WrongShapesAndPayloads) {
  auto failure = [](auto f) -> std::string {
    try {
      f();
    } catch (const InternalError& e) {
      return e.what();
    }
    return "no failure";
  };
  EXPECT_EQ(failure([] { MathLang::make(MathKind::Add, Id{1}); }), "MathLang::make: Add takes 2 children, got 1");
  EXPECT_EQ(failure([] { MathLang::make(MathKind::Int, Id{1}); }), "MathLang::make called for leaf variant Int");
  EXPECT_EQ(failure([] { MathLang::make_int(1).num_value(); }), "num_value of Int(1)");
  EXPECT_EQ(failure([] {
              RecExpr e;
              e.add(MathLang::make(MathKind::Neg, Id{0}));
            }),
            "RecExpr::add: child 0 of Neg([0]) does not precede position 0");
  EXPECT_EQ(failure([] { RecExpr().root(); }), "RecExpr::root of an empty expression");
}

TEST(RecExpr, AddReturnsPositions) {
  RecExpr e;
  Id a = e.add(MathLang::make_int(1));
  Id b = e.add(MathLang::make(MathKind::Neg, a));
  EXPECT_EQ(a, Id{0});
  EXPECT_EQ(b, Id{1});
  EXPECT_EQ(e.root(), b);
  EXPECT_EQ(e[b].children()[0], a);
  EXPECT_EQ(e.to_string(), "0: Int(1)\n1: Neg([0])\n");
}

TEST(OptErrorText, Messages) {
  EXPECT_EQ(OptError::single_output_only().to_string(), "only single-output DAG is currently supported by optimize");
  EXPECT_EQ(OptError::unsupported_call("exp").to_string(), "unsupported call `exp` in opt conversion");
  EXPECT_EQ(OptError::invalid_expr("runner produced no roots").to_string(),
            "invalid expr during conversion: runner produced no roots");
}

}  // namespace
}  // namespace morvalen::opt
