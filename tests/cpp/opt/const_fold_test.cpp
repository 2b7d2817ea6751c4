#include "opt/const_fold.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "ir/lower.h"
#include "parse/parser.h"
#include "support/internal_error.h"

namespace morvalen::opt {
namespace {

using ir::Binary;
using ir::BinaryOp;
using ir::Builtin;
using ir::Call;
using ir::Cast;
using ir::ComplexValue;
using ir::Const;
using ir::DagBuilder;
using ir::DType;
using ir::If;
using ir::Node;
using ir::NodeId;
using ir::Param;
using ir::ParamDecl;
using ir::Scalar;
using ir::TypedDag;
using ir::Unary;
using ir::UnaryOp;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kTwo53 = 9007199254740992;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

Scalar i(std::int64_t v) { return Scalar{v}; }
Scalar f(double v) { return Scalar{v}; }
Scalar c(double re, double im) { return Scalar{ComplexValue{re, im}}; }

std::string show_double(double x) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, x);
  return std::string(buf, res.ptr);
}

std::string show(const Scalar& s) {
  if (const bool* b = std::get_if<bool>(&s)) return *b ? "Bool(true)" : "Bool(false)";
  if (const auto* v = std::get_if<std::int64_t>(&s)) return "Int(" + std::to_string(*v) + ")";
  if (const auto* x = std::get_if<double>(&s)) return "Float(" + show_double(*x) + ")";
  const auto& z = std::get<ComplexValue>(s);
  return "Complex(" + show_double(z.re) + ", " + show_double(z.im) + ")";
}

bool same_double(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (std::isnan(a) && std::isnan(b));
}

// Doubles compare by bit pattern, so -0.0 differs from 0.0 and NaN equals NaN.
bool same(const Scalar& a, const Scalar& b) {
  if (a.index() != b.index()) return false;
  if (const bool* x = std::get_if<bool>(&a)) return *x == std::get<bool>(b);
  if (const auto* x = std::get_if<std::int64_t>(&a)) return *x == std::get<std::int64_t>(b);
  if (const auto* x = std::get_if<double>(&a)) return same_double(*x, std::get<double>(b));
  const auto& x = std::get<ComplexValue>(a);
  const auto& y = std::get<ComplexValue>(b);
  return same_double(x.re, y.re) && same_double(x.im, y.im);
}

// Asserts that `id` of `dag` is a constant holding `value` under `dtype`.
void expect_const(const TypedDag& dag, NodeId id, const Scalar& value, DType dtype) {
  ASSERT_LT(id.value, dag.size());
  const auto* k = std::get_if<Const>(&dag.node(id));
  ASSERT_NE(k, nullptr) << "node#" << id.value << " is not a constant";
  EXPECT_TRUE(same(k->value, value)) << "got " << show(k->value) << ", expected " << show(value);
  EXPECT_EQ(dag.dtype(id), dtype) << "got " << ir::to_str(dag.dtype(id)) << ", expected " << ir::to_str(dtype);
}

// The DAG `a OP b` with both operands constants of `operand` dtype: nodes
// #0 and #1 are the constants, #2 the operation, which is the output.
TypedDag binary_of_consts(BinaryOp op, const Scalar& a, const Scalar& b, DType operand, DType node) {
  DagBuilder builder;
  NodeId l = builder.push(Const{a}, operand);
  NodeId r = builder.push(Const{b}, operand);
  NodeId n = builder.push(Binary{op, l, r}, node);
  return std::move(builder).finish({}, {n}, "test: ");
}

DType node_dtype_for(BinaryOp op, DType operand) {
  return ir::is_comparison(op) || ir::is_logical(op) ? DType::boolean() : operand;
}

// ---------------------------------------------------------------------------
// Binary operations on two constants that fold.

struct FoldCase {
  const char* name;
  BinaryOp op;
  Scalar a;
  Scalar b;
  DType dtype;  // of the operands; the node's is `bool` for comparisons and logic
  Scalar expected;
  DType expected_dtype;
};

const std::vector<FoldCase>& fold_cases() {
  static const std::vector<FoldCase> cases = {
      // Exact integer arithmetic inside the range of the dtype.
      {"3 + 4 under i8", BinaryOp::Add, i(3), i(4), DType::i8(), i(7), DType::i8()},
      {"127 + 0 under i8", BinaryOp::Add, i(127), i(0), DType::i8(), i(127), DType::i8()},
      {"-128 - 0 under i8", BinaryOp::Sub, i(-128), i(0), DType::i8(), i(-128), DType::i8()},
      {"255 * 1 under u8", BinaryOp::Mul, i(255), i(1), DType::u8(), i(255), DType::u8()},
      {"5 - 5 under u8", BinaryOp::Sub, i(5), i(5), DType::u8(), i(0), DType::u8()},
      {"min + max under i64", BinaryOp::Add, i(kMin), i(kMax), DType::i64(), i(-1), DType::i64()},
      {"2^53 + 1 under i64 is exact", BinaryOp::Add, i(kTwo53), i(1), DType::i64(), i(kTwo53 + 1), DType::i64()},
      {"2^62 * 2 under u64 keeps the pattern", BinaryOp::Mul, i(std::int64_t{1} << 62), i(2), DType::u64(), i(kMin),
       DType::u64()},
      // Integer scalars under a float dtype use floating arithmetic.
      {"3 + 4 under f64", BinaryOp::Add, i(3), i(4), DType::f64(), f(7.0), DType::f64()},
      {"2^53 + 1 under f64 rounds", BinaryOp::Add, i(kTwo53), i(1), DType::f64(), f(9007199254740992.0), DType::f64()},
      {"7 / 2 under f64", BinaryOp::Div, i(7), i(2), DType::f64(), f(3.5), DType::f64()},
      // Floating arithmetic, stored at 64 bits whatever the float width.
      {"1.5 + 2.25 under f32", BinaryOp::Add, f(1.5), f(2.25), DType::f32(), f(3.75), DType::f32()},
      {"0.1 * 3.0 under f16", BinaryOp::Mul, f(0.1), f(3.0), DType::f16(), f(0.1 * 3.0), DType::f16()},
      {"1.0 - 0.25 under bf16", BinaryOp::Sub, f(1.0), f(0.25), DType::bf16(), f(0.75), DType::bf16()},
      {"1.0 / 0.0 under f64", BinaryOp::Div, f(1.0), f(0.0), DType::f64(), f(HUGE_VAL), DType::f64()},
      {"1.0 / 3.0 under f64", BinaryOp::Div, f(1.0), f(3.0), DType::f64(), f(1.0 / 3.0), DType::f64()},
      {"float result under an integer dtype truncates", BinaryOp::Div, f(7.0), f(2.0), DType::i32(), i(3),
       DType::i32()},
      {"a real result under a complex dtype", BinaryOp::Add, f(1.0), f(2.0), DType::c64(), c(3.0, 0.0), DType::c64()},
      // Power in floating point, converted to the node's dtype.
      {"2 ** 10 under i32", BinaryOp::Pow, i(2), i(10), DType::i32(), i(1024), DType::i32()},
      {"2 ** 100 under i64 saturates", BinaryOp::Pow, i(2), i(100), DType::i64(), i(kMax), DType::i64()},
      {"2.0 ** 0.5 under f64", BinaryOp::Pow, f(2.0), f(0.5), DType::f64(), f(std::pow(2.0, 0.5)), DType::f64()},
      {"2.0 ** -1 under f32", BinaryOp::Pow, f(2.0), f(-1.0), DType::f32(), f(0.5), DType::f32()},
      {"0 ** 0 under i8", BinaryOp::Pow, i(0), i(0), DType::i8(), i(1), DType::i8()},
      {"-8.0 ** 1/3 is NaN", BinaryOp::Pow, f(-8.0), f(1.0 / 3.0), DType::f64(), f(kNaN), DType::f64()},
      // Complex arithmetic on the pairs.
      {"complex add", BinaryOp::Add, c(1.0, 2.0), c(3.0, 4.0), DType::c128(), c(4.0, 6.0), DType::c128()},
      {"complex sub", BinaryOp::Sub, c(1.0, 2.0), c(3.0, 4.0), DType::c128(), c(-2.0, -2.0), DType::c128()},
      {"complex mul", BinaryOp::Mul, c(1.0, 2.0), c(3.0, 4.0), DType::c64(), c(-5.0, 10.0), DType::c64()},
      {"complex div", BinaryOp::Div, c(1.0, 2.0), c(3.0, 4.0), DType::c128(), c(11.0 / 25.0, 2.0 / 25.0),
       DType::c128()},
      {"complex div by i", BinaryOp::Div, c(1.0, 0.0), c(0.0, 1.0), DType::c64(), c(0.0, -1.0), DType::c64()},
      // Comparisons give a bool.
      {"3 < 5", BinaryOp::Lt, i(3), i(5), DType::i32(), Scalar{true}, DType::boolean()},
      {"3 > 5", BinaryOp::Gt, i(3), i(5), DType::i32(), Scalar{false}, DType::boolean()},
      {"-1 <= -1", BinaryOp::Le, i(-1), i(-1), DType::i8(), Scalar{true}, DType::boolean()},
      {"2.5 >= 2.5", BinaryOp::Ge, f(2.5), f(2.5), DType::f64(), Scalar{true}, DType::boolean()},
      {"1 == 1.0 under f64", BinaryOp::Eq, i(1), f(1.0), DType::f64(), Scalar{true}, DType::boolean()},
      {"1.5 != 1.5", BinaryOp::Ne, f(1.5), f(1.5), DType::f32(), Scalar{false}, DType::boolean()},
      {"true == true", BinaryOp::Eq, Scalar{true}, Scalar{true}, DType::boolean(), Scalar{true}, DType::boolean()},
      {"false < true", BinaryOp::Lt, Scalar{false}, Scalar{true}, DType::boolean(), Scalar{true}, DType::boolean()},
      {"NaN == NaN", BinaryOp::Eq, f(kNaN), f(kNaN), DType::f64(), Scalar{false}, DType::boolean()},
      {"NaN != NaN", BinaryOp::Ne, f(kNaN), f(kNaN), DType::f64(), Scalar{true}, DType::boolean()},
      {"NaN < 1", BinaryOp::Lt, f(kNaN), f(1.0), DType::f64(), Scalar{false}, DType::boolean()},
      // Integers of an integer dtype compare exactly, also beyond 2^53.
      {"2^53 + 1 == 2^53 under i64", BinaryOp::Eq, i(kTwo53 + 1), i(kTwo53), DType::i64(), Scalar{false},
       DType::boolean()},
      {"2^53 < 2^53 + 1 under i64", BinaryOp::Lt, i(kTwo53), i(kTwo53 + 1), DType::i64(), Scalar{true},
       DType::boolean()},
      {"max - 1 != max under u64", BinaryOp::Ne, i(kMax - 1), i(kMax), DType::u64(), Scalar{true}, DType::boolean()},
      // ...while the same integers held under a float dtype compare as doubles.
      {"2^53 + 1 == 2^53 under f64", BinaryOp::Eq, i(kTwo53 + 1), i(kTwo53), DType::f64(), Scalar{true},
       DType::boolean()},
      // Two constant bools.
      {"true and false", BinaryOp::And, Scalar{true}, Scalar{false}, DType::boolean(), Scalar{false}, DType::boolean()},
      {"false and false", BinaryOp::And, Scalar{false}, Scalar{false}, DType::boolean(), Scalar{false},
       DType::boolean()},
      {"true and true", BinaryOp::And, Scalar{true}, Scalar{true}, DType::boolean(), Scalar{true}, DType::boolean()},
      {"false or true", BinaryOp::Or, Scalar{false}, Scalar{true}, DType::boolean(), Scalar{true}, DType::boolean()},
      {"true or true", BinaryOp::Or, Scalar{true}, Scalar{true}, DType::boolean(), Scalar{true}, DType::boolean()},
      {"false or false", BinaryOp::Or, Scalar{false}, Scalar{false}, DType::boolean(), Scalar{false}, DType::boolean()},
  };
  return cases;
}

TEST(ConstFoldTest, BinaryOnTwoConstantsFolds) {
  for (const FoldCase& fc : fold_cases()) {
    SCOPED_TRACE(fc.name);
    TypedDag dag = binary_of_consts(fc.op, fc.a, fc.b, fc.dtype, node_dtype_for(fc.op, fc.dtype));
    FoldResult result = const_fold(dag);
    ASSERT_EQ(result.dag.outputs().size(), 1u);
    expect_const(result.dag, result.dag.outputs()[0], fc.expected, fc.expected_dtype);
    EXPECT_TRUE(result.diags.empty());
  }
}

TEST(ConstFoldTest, FoldedOperandsStayAsUnusedConstants) {
  FoldResult result = const_fold(binary_of_consts(BinaryOp::Add, i(3), i(4), DType::i8(), DType::i8()));
  ASSERT_EQ(result.dag.size(), 3u);
  expect_const(result.dag, NodeId{0}, i(3), DType::i8());
  expect_const(result.dag, NodeId{1}, i(4), DType::i8());
  expect_const(result.dag, NodeId{2}, i(7), DType::i8());
  EXPECT_EQ(result.dag.outputs(), std::vector<NodeId>{NodeId{2}});
}

// ---------------------------------------------------------------------------
// Integer overflow: promoted dtype and the whole warning text.

struct OverflowCase {
  BinaryOp op;
  std::int64_t a;
  std::int64_t b;
  DType dtype;
  Scalar expected;
  DType expected_dtype;
  const char* message;
};

const std::vector<OverflowCase>& overflow_cases() {
  static const std::vector<OverflowCase> cases = {
      {BinaryOp::Add, 100, 100, DType::i8(), i(200), DType::i16(),
       "const_fold node#2: integer overflow: 100 + 100 = 200; promoted i8 -> i16; write result directly `200` or "
       "wrapping result"},
      {BinaryOp::Sub, 3, 5, DType::u8(), i(-2), DType::i8(),
       "const_fold node#2: integer overflow: 3 - 5 = -2; promoted u8 -> i8; write result directly `-2` or wrapping "
       "result"},
      {BinaryOp::Mul, 200, 2, DType::u8(), i(400), DType::u16(),
       "const_fold node#2: integer overflow: 200 * 2 = 400; promoted u8 -> u16; write result directly `400` or "
       "wrapping result"},
      {BinaryOp::Add, 255, 1, DType::u8(), i(256), DType::u16(),
       "const_fold node#2: integer overflow: 255 + 1 = 256; promoted u8 -> u16; write result directly `256` or "
       "wrapping result"},
      {BinaryOp::Sub, 0, 200, DType::u8(), i(-200), DType::i16(),
       "const_fold node#2: integer overflow: 0 - 200 = -200; promoted u8 -> i16; write result directly `-200` or "
       "wrapping result"},
      {BinaryOp::Sub, -100, 100, DType::i8(), i(-200), DType::i16(),
       "const_fold node#2: integer overflow: -100 - 100 = -200; promoted i8 -> i16; write result directly `-200` or "
       "wrapping result"},
      {BinaryOp::Add, 127, 1, DType::i8(), i(128), DType::i16(),
       "const_fold node#2: integer overflow: 127 + 1 = 128; promoted i8 -> i16; write result directly `128` or "
       "wrapping result"},
      {BinaryOp::Add, 65535, 1, DType::u16(), i(65536), DType::u32(),
       "const_fold node#2: integer overflow: 65535 + 1 = 65536; promoted u16 -> u32; write result directly `65536` "
       "or wrapping result"},
      {BinaryOp::Add, 4294967295, 1, DType::u32(), i(4294967296), DType::u64(),
       "const_fold node#2: integer overflow: 4294967295 + 1 = 4294967296; promoted u32 -> u64; write result directly "
       "`4294967296` or wrapping result"},
      {BinaryOp::Mul, 70000, 70000, DType::i32(), i(4900000000), DType::i64(),
       "const_fold node#2: integer overflow: 70000 * 70000 = 4900000000; promoted i32 -> i64; write result directly "
       "`4900000000` or wrapping result"},
      {BinaryOp::Mul, 100, -100, DType::i8(), i(-10000), DType::i16(),
       "const_fold node#2: integer overflow: 100 * -100 = -10000; promoted i8 -> i16; write result directly "
       "`-10000` or wrapping result"},
      // Beyond 64 bits: the promoted dtype is i64 but the value becomes an f64.
      {BinaryOp::Mul, std::int64_t{1} << 62, 4, DType::i64(), f(18446744073709551616.0), DType::f64(),
       "const_fold node#2: integer overflow: 4611686018427387904 * 4 = 18446744073709551616; promoted i64 -> i64; "
       "write result directly `18446744073709551616` or wrapping result"},
      {BinaryOp::Mul, std::int64_t{1} << 62, 4, DType::u64(), f(18446744073709551616.0), DType::f64(),
       "const_fold node#2: integer overflow: 4611686018427387904 * 4 = 18446744073709551616; promoted u64 -> i64; "
       "write result directly `18446744073709551616` or wrapping result"},
      {BinaryOp::Mul, kMin, -1, DType::i64(), f(9223372036854775808.0), DType::f64(),
       "const_fold node#2: integer overflow: -9223372036854775808 * -1 = 9223372036854775808; promoted i64 -> i64; "
       "write result directly `9223372036854775808` or wrapping result"},
      {BinaryOp::Mul, kMin, kMin, DType::i64(), f(85070591730234615865843651857942052864.0), DType::f64(),
       "const_fold node#2: integer overflow: -9223372036854775808 * -9223372036854775808 = "
       "85070591730234615865843651857942052864; promoted i64 -> i64; write result directly "
       "`85070591730234615865843651857942052864` or wrapping result"},
      {BinaryOp::Sub, kMin, kMax, DType::i64(), f(-18446744073709551615.0), DType::f64(),
       "const_fold node#2: integer overflow: -9223372036854775808 - 9223372036854775807 = -18446744073709551615; "
       "promoted i64 -> i64; write result directly `-18446744073709551615` or wrapping result"},
      {BinaryOp::Add, kMax, kMax, DType::u64(), i(-2), DType::u64(), nullptr},  // 2^64 - 2 fits u64: no warning
  };
  return cases;
}

TEST(ConstFoldTest, IntegerOverflowPromotesAndWarns) {
  for (const OverflowCase& oc : overflow_cases()) {
    SCOPED_TRACE(std::to_string(oc.a) + " " + std::string(ir::as_str(oc.op)) + " " + std::to_string(oc.b) + " under " +
                 std::string(ir::to_str(oc.dtype)));
    FoldResult result = const_fold(binary_of_consts(oc.op, i(oc.a), i(oc.b), oc.dtype, oc.dtype));
    expect_const(result.dag, result.dag.outputs()[0], oc.expected, oc.expected_dtype);
    if (oc.message == nullptr) {
      EXPECT_TRUE(result.diags.empty());
      continue;
    }
    ASSERT_EQ(result.diags.size(), 1u);
    const diag::Diag& d = result.diags[0];
    EXPECT_EQ(d.kind, diag::DiagKind::ConstOverflow);
    EXPECT_EQ(d.message, oc.message);
    EXPECT_FALSE(d.span.has_value());
    EXPECT_FALSE(d.labels.has_value());
    EXPECT_EQ(d.help, std::optional<std::string>(
                          "rewrite the constant expression to avoid overflow, or choose a wider integer/float dtype "
                          "for the result"));
  }
}

TEST(ConstFoldTest, OverflowWarningsNameTheInputNodeAndKeepTheirOrder) {
  // x, 100, 100, (100 + 100), 50, ((100 + 100) + 50): the inner sum becomes
  // 200 under i16, and the outer sum, still an i8 node, overflows again.
  DagBuilder b;
  NodeId x = b.push(Param{0}, DType::i8());
  NodeId a = b.push(Const{i(100)}, DType::i8());
  NodeId a2 = b.push(Const{i(100)}, DType::i8());
  NodeId sum = b.push(Binary{BinaryOp::Add, a, a2}, DType::i8());
  NodeId k = b.push(Const{i(50)}, DType::i8());
  NodeId total = b.push(Binary{BinaryOp::Add, sum, k}, DType::i8());
  NodeId use = b.push(Binary{BinaryOp::Mul, x, total}, DType::i8());
  FoldResult result = const_fold(std::move(b).finish({{"x", DType::i8()}}, {use, sum}, "test: "));
  ASSERT_EQ(result.diags.size(), 2u);
  EXPECT_EQ(result.diags[0].message,
            "const_fold node#3: integer overflow: 100 + 100 = 200; promoted i8 -> i16; write result directly `200` or "
            "wrapping result");
  EXPECT_EQ(result.diags[1].message,
            "const_fold node#5: integer overflow: 200 + 50 = 250; promoted i8 -> i16; write result directly `250` or "
            "wrapping result");
  expect_const(result.dag, result.dag.outputs()[1], i(200), DType::i16());
  // The user of the folded node keeps its own dtype.
  NodeId out = result.dag.outputs()[0];
  const auto* mul = std::get_if<Binary>(&result.dag.node(out));
  ASSERT_NE(mul, nullptr);
  EXPECT_EQ(result.dag.dtype(out), DType::i8());
  expect_const(result.dag, mul->rhs, i(250), DType::i16());
  EXPECT_EQ(result.dag.params(), (std::vector<ParamDecl>{{"x", DType::i8()}}));
}

// ---------------------------------------------------------------------------
// Floor division and remainder.

struct DivCase {
  std::int64_t a;
  std::int64_t b;
  std::int64_t quotient;
  std::int64_t remainder;
};

TEST(ConstFoldTest, FloorDivisionAndRemainderSigns) {
  const std::vector<DivCase> cases = {
      {7, 2, 3, 1},
      {-7, 2, -4, 1},
      {7, -2, -4, -1},
      {-7, -2, 3, -1},
      {6, 3, 2, 0},
      {-6, 3, -2, 0},
      {6, -3, -2, 0},
      {-6, -3, 2, 0},
      {0, 5, 0, 0},
      {0, -5, 0, 0},
      {1, 5, 0, 1},
      {-1, 5, -1, 4},
      {1, -5, -1, -4},
      {-1, -5, 0, -1},
      {kMin, 1, kMin, 0},
      {kMin, 2, kMin / 2, 0},
      {kMin, 3, -3074457345618258603, 1},
      {kMax, -1, -kMax, 0},
      {kMax, kMin, -1, -1},
      {kMin, kMax, -2, kMax - 1},
  };
  for (const DivCase& dc : cases) {
    SCOPED_TRACE(std::to_string(dc.a) + " by " + std::to_string(dc.b));
    FoldResult q = const_fold(binary_of_consts(BinaryOp::FloorDiv, i(dc.a), i(dc.b), DType::i64(), DType::i64()));
    expect_const(q.dag, q.dag.outputs()[0], i(dc.quotient), DType::i64());
    FoldResult r = const_fold(binary_of_consts(BinaryOp::Rem, i(dc.a), i(dc.b), DType::i64(), DType::i64()));
    expect_const(r.dag, r.dag.outputs()[0], i(dc.remainder), DType::i64());
    EXPECT_TRUE(q.diags.empty());
    EXPECT_TRUE(r.diags.empty());
  }
}

TEST(ConstFoldTest, FloorDivisionAndRemainderStayExactBeyondTwoTo53) {
  struct Case {
    BinaryOp op;
    std::int64_t a;
    std::int64_t b;
    std::int64_t expected;
  };
  // Through a double these would come out as 2^53, 2^63 - 1 (saturated) and 2^53.
  const std::vector<Case> cases = {
      {BinaryOp::FloorDiv, kTwo53 + 1, 1, kTwo53 + 1},
      {BinaryOp::FloorDiv, kMax - 1, 1, kMax - 1},
      {BinaryOp::FloorDiv, 2 * kTwo53 + 2, 2, kTwo53 + 1},
      {BinaryOp::Rem, kMax, kMax - 1, 1},
      {BinaryOp::Rem, -(kTwo53 + 1), -(kTwo53 + 2), -(kTwo53 + 1)},
  };
  for (const Case& cs : cases) {
    SCOPED_TRACE(std::to_string(cs.a) + " " + std::string(ir::as_str(cs.op)) + " " + std::to_string(cs.b));
    FoldResult result = const_fold(binary_of_consts(cs.op, i(cs.a), i(cs.b), DType::u64(), DType::u64()));
    expect_const(result.dag, result.dag.outputs()[0], i(cs.expected), DType::u64());
  }
}

TEST(ConstFoldTest, IntegerRemainderUnderAFloatDtypeBecomesAFloat) {
  FoldResult result = const_fold(binary_of_consts(BinaryOp::Rem, i(-7), i(2), DType::f64(), DType::f64()));
  expect_const(result.dag, result.dag.outputs()[0], f(1.0), DType::f64());
}

// ---------------------------------------------------------------------------
// Declines: the node is kept with its remapped operands.

struct DeclineCase {
  const char* name;
  BinaryOp op;
  Scalar a;
  Scalar b;
  DType dtype;
};

TEST(ConstFoldTest, UncomputableBinaryOperationsAreKept) {
  const std::vector<DeclineCase> cases = {
      {"7 // 0", BinaryOp::FloorDiv, i(7), i(0), DType::i32()},
      {"7 % 0", BinaryOp::Rem, i(7), i(0), DType::i32()},
      {"0 // 0", BinaryOp::FloorDiv, i(0), i(0), DType::u8()},
      {"min // -1", BinaryOp::FloorDiv, i(kMin), i(-1), DType::i64()},
      {"min % -1", BinaryOp::Rem, i(kMin), i(-1), DType::i64()},
      {"float remainder", BinaryOp::Rem, f(7.0), f(2.0), DType::f64()},
      {"float floor division", BinaryOp::FloorDiv, f(7.0), f(2.0), DType::f64()},
      {"int and float remainder", BinaryOp::Rem, i(7), f(2.0), DType::f64()},
      {"bool remainder", BinaryOp::Rem, Scalar{true}, Scalar{true}, DType::boolean()},
      {"complex beside real", BinaryOp::Add, c(1.0, 1.0), f(2.0), DType::c128()},
      {"real beside complex", BinaryOp::Mul, f(2.0), c(1.0, 1.0), DType::c64()},
      {"complex power", BinaryOp::Pow, c(1.0, 1.0), c(2.0, 0.0), DType::c128()},
      {"complex base, real exponent", BinaryOp::Pow, c(1.0, 1.0), f(2.0), DType::c128()},
      {"complex equality", BinaryOp::Eq, c(1.0, 0.0), c(1.0, 0.0), DType::c64()},
      {"complex ordering", BinaryOp::Lt, c(1.0, 0.0), c(2.0, 0.0), DType::c128()},
      {"complex remainder", BinaryOp::Rem, c(1.0, 0.0), c(2.0, 0.0), DType::c128()},
      {"arithmetic on bools under bool", BinaryOp::Add, Scalar{true}, Scalar{true}, DType::boolean()},
      {"and on non-bool constants", BinaryOp::And, i(1), i(0), DType::boolean()},
  };
  for (const DeclineCase& dc : cases) {
    SCOPED_TRACE(dc.name);
    TypedDag dag = binary_of_consts(dc.op, dc.a, dc.b, dc.dtype, node_dtype_for(dc.op, dc.dtype));
    FoldResult result = const_fold(dag);
    ASSERT_EQ(result.dag.size(), 3u);
    NodeId out = result.dag.outputs()[0];
    EXPECT_EQ(out, NodeId{2});
    const auto* kept = std::get_if<Binary>(&result.dag.node(out));
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->op, dc.op);
    EXPECT_EQ(kept->lhs, NodeId{0});
    EXPECT_EQ(kept->rhs, NodeId{1});
    EXPECT_EQ(result.dag.dtype(out), dag.dtype(NodeId{2}));
    EXPECT_TRUE(result.diags.empty());
  }
}

// ---------------------------------------------------------------------------
// Rules with one non-constant operand.

// A DAG over one parameter x (node #0) of dtype `x_dtype`.
class WithParam {
 public:
  explicit WithParam(DType x_dtype) : x_dtype_(x_dtype) { x = b.push(Param{0}, x_dtype); }
  NodeId konst(Scalar s, DType d) { return b.push(Const{std::move(s)}, d); }
  NodeId push(Node n, DType d) { return b.push(std::move(n), d); }
  FoldResult fold(NodeId output) && { return const_fold(std::move(b).finish({{"x", x_dtype_}}, {output}, "test: ")); }

  DagBuilder b;
  NodeId x;

 private:
  DType x_dtype_;
};

TEST(ConstFoldTest, PowerOfOneIsTheBase) {
  const std::vector<Scalar> units = {i(1), f(1.0)};
  for (const Scalar& one : units) {
    SCOPED_TRACE(show(one));
    WithParam g(DType::f64());
    NodeId e = g.konst(one, DType::f64());
    NodeId p = g.push(Binary{BinaryOp::Pow, g.x, e}, DType::f64());
    NodeId y = g.push(ir::Call{Builtin::Sin, {p}}, DType::f64());
    FoldResult result = std::move(g).fold(y);
    // No node is appended for the power: the call reads x directly.
    ASSERT_EQ(result.dag.size(), 3u);
    const auto* call = std::get_if<ir::Call>(&result.dag.node(result.dag.outputs()[0]));
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->args, std::vector<NodeId>{NodeId{0}});
  }
}

TEST(ConstFoldTest, PowerOfOneThroughAFoldedCast) {
  // x ** 1 as lowering builds it: the i8 literal is cast to the base's dtype.
  WithParam g(DType::f32());
  NodeId one = g.konst(i(1), DType::i8());
  NodeId cast = g.push(Cast{one, DType::f32(), false}, DType::f32());
  NodeId p = g.push(Binary{BinaryOp::Pow, g.x, cast}, DType::f32());
  FoldResult result = std::move(g).fold(p);
  EXPECT_EQ(result.dag.outputs()[0], NodeId{0});
  expect_const(result.dag, NodeId{2}, f(1.0), DType::f32());
}

TEST(ConstFoldTest, PowerOfZeroIsOneOfTheNodeDtype) {
  struct Case {
    DType dtype;
    Scalar zero;
    Scalar one;
  };
  const std::vector<Case> cases = {
      {DType::f64(), f(0.0), f(1.0)},       {DType::f32(), i(0), f(1.0)}, {DType::f64(), f(-0.0), f(1.0)},
      {DType::i32(), i(0), i(1)},           {DType::u8(), i(0), i(1)},    {DType::c64(), i(0), c(1.0, 0.0)},
      {DType::c128(), f(0.0), c(1.0, 0.0)},
  };
  for (const Case& cs : cases) {
    SCOPED_TRACE(std::string(ir::to_str(cs.dtype)) + " ** " + show(cs.zero));
    WithParam g(cs.dtype);
    NodeId e = g.konst(cs.zero, cs.dtype);
    NodeId p = g.push(Binary{BinaryOp::Pow, g.x, e}, cs.dtype);
    FoldResult result = std::move(g).fold(p);
    ASSERT_EQ(result.dag.size(), 3u);
    expect_const(result.dag, result.dag.outputs()[0], cs.one, cs.dtype);
  }
}

TEST(ConstFoldTest, OtherPowersOfAParameterAreKept) {
  const std::vector<Scalar> exponents = {i(2), f(0.5), f(-1.0), i(-1), c(0.0, 0.0), c(1.0, 0.0)};
  for (const Scalar& e : exponents) {
    SCOPED_TRACE(show(e));
    WithParam g(DType::f64());
    NodeId k = g.konst(e, DType::f64());
    NodeId p = g.push(Binary{BinaryOp::Pow, g.x, k}, DType::f64());
    FoldResult result = std::move(g).fold(p);
    EXPECT_TRUE(std::holds_alternative<Binary>(result.dag.node(result.dag.outputs()[0])));
  }
  // A constant base with a non-constant exponent is kept too.
  WithParam g(DType::f64());
  NodeId base = g.konst(f(1.0), DType::f64());
  NodeId p = g.push(Binary{BinaryOp::Pow, base, g.x}, DType::f64());
  FoldResult result = std::move(g).fold(p);
  EXPECT_TRUE(std::holds_alternative<Binary>(result.dag.node(result.dag.outputs()[0])));
}

TEST(ConstFoldTest, LogicalIdentitiesMapToTheOtherOperand) {
  struct Case {
    const char* name;
    BinaryOp op;
    bool constant;
    bool constant_on_left;
    bool maps_to_x;
  };
  const std::vector<Case> cases = {
      {"true and x", BinaryOp::And, true, true, true},    {"x and true", BinaryOp::And, true, false, true},
      {"false and x", BinaryOp::And, false, true, false}, {"x and false", BinaryOp::And, false, false, false},
      {"false or x", BinaryOp::Or, false, true, true},    {"x or false", BinaryOp::Or, false, false, true},
      {"true or x", BinaryOp::Or, true, true, false},     {"x or true", BinaryOp::Or, true, false, false},
  };
  for (const Case& cs : cases) {
    SCOPED_TRACE(cs.name);
    WithParam g(DType::boolean());
    NodeId k = g.konst(Scalar{cs.constant}, DType::boolean());
    NodeId n = cs.constant_on_left ? g.push(Binary{cs.op, k, g.x}, DType::boolean())
                                   : g.push(Binary{cs.op, g.x, k}, DType::boolean());
    FoldResult result = std::move(g).fold(n);
    if (cs.maps_to_x) {
      EXPECT_EQ(result.dag.outputs()[0], NodeId{0});
      EXPECT_EQ(result.dag.size(), 2u);
    } else {
      EXPECT_EQ(result.dag.outputs()[0], NodeId{2});
      const auto* kept = std::get_if<Binary>(&result.dag.node(NodeId{2}));
      ASSERT_NE(kept, nullptr);
      EXPECT_EQ(kept->op, cs.op);
    }
  }
}

TEST(ConstFoldTest, IfWithAConstantConditionIsTheChosenBranch) {
  for (bool cond : {true, false}) {
    SCOPED_TRACE(cond ? "true" : "false");
    WithParam g(DType::f64());
    NodeId k = g.konst(Scalar{cond}, DType::boolean());
    NodeId other = g.konst(f(2.0), DType::f64());
    NodeId n = g.push(If{k, g.x, other}, DType::f64());
    FoldResult result = std::move(g).fold(n);
    EXPECT_EQ(result.dag.size(), 3u);
    EXPECT_EQ(result.dag.outputs()[0], cond ? NodeId{0} : NodeId{2});
  }
}

TEST(ConstFoldTest, IfWithoutABoolConstantConditionIsKept) {
  {
    WithParam g(DType::boolean());
    NodeId a = g.konst(f(1.0), DType::f64());
    NodeId b = g.konst(f(2.0), DType::f64());
    NodeId n = g.push(If{g.x, a, b}, DType::f64());
    FoldResult result = std::move(g).fold(n);
    const auto* kept = std::get_if<If>(&result.dag.node(result.dag.outputs()[0]));
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->cond, NodeId{0});
    EXPECT_EQ(kept->then_branch, NodeId{1});
    EXPECT_EQ(kept->else_branch, NodeId{2});
  }
  {
    // An integer constant is not a bool condition.
    WithParam g(DType::f64());
    NodeId k = g.konst(i(1), DType::boolean());
    NodeId n = g.push(If{k, g.x, g.x}, DType::f64());
    FoldResult result = std::move(g).fold(n);
    EXPECT_TRUE(std::holds_alternative<If>(result.dag.node(result.dag.outputs()[0])));
  }
}

TEST(ConstFoldTest, IfConditionFoldedFromAComparison) {
  WithParam g(DType::i32());
  NodeId three = g.konst(i(3), DType::i32());
  NodeId five = g.konst(i(5), DType::i32());
  NodeId lt = g.push(Binary{BinaryOp::Lt, three, five}, DType::boolean());
  NodeId n = g.push(If{lt, three, g.x}, DType::i32());
  FoldResult result = std::move(g).fold(n);
  EXPECT_EQ(result.dag.outputs()[0], NodeId{1});
  expect_const(result.dag, NodeId{3}, Scalar{true}, DType::boolean());
}

TEST(ConstFoldTest, OperationsOnAParameterAreKeptWithRemappedOperands) {
  // 1 + 2 folds to a new node #3; x * (1 + 2) must then read node #3.
  WithParam g(DType::i32());
  NodeId one = g.konst(i(1), DType::i32());
  NodeId two = g.konst(i(2), DType::i32());
  NodeId sum = g.push(Binary{BinaryOp::Add, one, two}, DType::i32());
  NodeId neg = g.push(Unary{sum, UnaryOp::Neg}, DType::i32());
  NodeId mul = g.push(Binary{BinaryOp::Mul, g.x, neg}, DType::i32());
  NodeId call = g.push(ir::Call{Builtin::Abs, {mul}}, DType::i32());
  NodeId cast = g.push(Cast{call, DType::f64(), true}, DType::f64());
  FoldResult result = std::move(g).fold(cast);
  ASSERT_EQ(result.dag.size(), 8u);
  expect_const(result.dag, NodeId{3}, i(3), DType::i32());
  expect_const(result.dag, NodeId{4}, i(-3), DType::i32());
  const auto* m = std::get_if<Binary>(&result.dag.node(NodeId{5}));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->lhs, NodeId{0});
  EXPECT_EQ(m->rhs, NodeId{4});
  const auto* ca = std::get_if<ir::Call>(&result.dag.node(NodeId{6}));
  ASSERT_NE(ca, nullptr);
  EXPECT_EQ(ca->args, std::vector<NodeId>{NodeId{5}});
  const auto* cs = std::get_if<Cast>(&result.dag.node(NodeId{7}));
  ASSERT_NE(cs, nullptr);
  EXPECT_EQ(cs->arg, NodeId{6});
  EXPECT_TRUE(cs->is_explicit);
  EXPECT_EQ(result.dag.outputs()[0], NodeId{7});
}

// ---------------------------------------------------------------------------
// Unary operations and casts.

struct UnaryCase {
  const char* name;
  UnaryOp op;
  Scalar arg;
  DType dtype;
  std::optional<Scalar> expected;  // none: the node is kept
};

TEST(ConstFoldTest, UnaryOnAConstant) {
  const std::vector<UnaryCase> cases = {
      {"neg 5", UnaryOp::Neg, i(5), DType::i32(), i(-5)},
      {"neg min wraps", UnaryOp::Neg, i(kMin), DType::i64(), i(kMin)},
      {"neg 2^53 + 1 is exact", UnaryOp::Neg, i(kTwo53 + 1), DType::i64(), i(-(kTwo53 + 1))},
      {"neg of an unsigned keeps the magnitude", UnaryOp::Neg, i(5), DType::u8(), i(-5)},
      {"neg int under f64", UnaryOp::Neg, i(3), DType::f64(), f(-3.0)},
      {"neg 2.5", UnaryOp::Neg, f(2.5), DType::f32(), f(-2.5)},
      {"neg 0.0", UnaryOp::Neg, f(0.0), DType::f64(), f(-0.0)},
      {"neg NaN", UnaryOp::Neg, f(kNaN), DType::f64(), f(-kNaN)},
      {"neg complex", UnaryOp::Neg, c(1.0, -2.0), DType::c64(), c(-1.0, 2.0)},
      {"neg float under c128", UnaryOp::Neg, f(1.5), DType::c128(), c(-1.5, 0.0)},
      {"neg bool is kept", UnaryOp::Neg, Scalar{true}, DType::boolean(), std::nullopt},
      {"neg complex under a real dtype is kept", UnaryOp::Neg, c(1.0, 0.0), DType::f64(), std::nullopt},
      {"not true", UnaryOp::Not, Scalar{true}, DType::boolean(), Scalar{false}},
      {"not false", UnaryOp::Not, Scalar{false}, DType::boolean(), Scalar{true}},
      {"not of an int is kept", UnaryOp::Not, i(0), DType::boolean(), std::nullopt},
  };
  for (const UnaryCase& uc : cases) {
    SCOPED_TRACE(uc.name);
    DagBuilder b;
    NodeId a = b.push(Const{uc.arg}, uc.dtype);
    NodeId n = b.push(Unary{a, uc.op}, uc.dtype);
    FoldResult result = const_fold(std::move(b).finish({}, {n}, "test: "));
    ASSERT_EQ(result.dag.size(), 2u);
    if (uc.expected) {
      expect_const(result.dag, NodeId{1}, *uc.expected, uc.dtype);
    } else {
      const auto* kept = std::get_if<Unary>(&result.dag.node(NodeId{1}));
      ASSERT_NE(kept, nullptr);
      EXPECT_EQ(kept->arg, NodeId{0});
    }
  }
}

TEST(ConstFoldTest, UnaryOnAParameterIsKept) {
  WithParam g(DType::boolean());
  NodeId n = g.push(Unary{g.x, UnaryOp::Not}, DType::boolean());
  FoldResult result = std::move(g).fold(n);
  EXPECT_TRUE(std::holds_alternative<Unary>(result.dag.node(result.dag.outputs()[0])));
}

struct CastCase {
  const char* name;
  Scalar arg;
  DType from;
  DType to;
  std::optional<Scalar> expected;  // none: the cast is kept
};

TEST(ConstFoldTest, CastOfAConstant) {
  const std::vector<CastCase> cases = {
      {"300 to u8 keeps 300", i(300), DType::i16(), DType::u8(), i(300)},
      {"-1 to u32 keeps -1", i(-1), DType::i8(), DType::u32(), i(-1)},
      {"2^53 + 1 to u64 is exact", i(kTwo53 + 1), DType::i64(), DType::u64(), i(kTwo53 + 1)},
      {"max - 1 to i64 is exact", i(kMax - 1), DType::u64(), DType::i64(), i(kMax - 1)},
      {"2^53 + 1 to f64 rounds", i(kTwo53 + 1), DType::i64(), DType::f64(), f(9007199254740992.0)},
      {"1.5 from f16 to f64", f(1.5), DType::f16(), DType::f64(), f(1.5)},
      {"2.7 to i32", f(2.7), DType::f64(), DType::i32(), i(2)},
      {"true to f32", Scalar{true}, DType::boolean(), DType::f32(), f(1.0)},
      {"1.5 to c64", f(1.5), DType::f16(), DType::c64(), c(1.5, 0.0)},
      {"i8 to c128", i(-4), DType::i8(), DType::c128(), c(-4.0, 0.0)},
      {"c64 to c128", c(1.0, 2.0), DType::c64(), DType::c128(), c(1.0, 2.0)},
      {"int to bool is kept", i(5), DType::i32(), DType::boolean(), std::nullopt},
      {"float to bool is kept", f(0.0), DType::f32(), DType::boolean(), std::nullopt},
      {"complex to f64 is kept", c(1.0, 0.0), DType::c128(), DType::f64(), std::nullopt},
  };
  for (const CastCase& cc : cases) {
    SCOPED_TRACE(cc.name);
    DagBuilder b;
    NodeId a = b.push(Const{cc.arg}, cc.from);
    NodeId n = b.push(Cast{a, cc.to, false}, cc.to);
    FoldResult result = const_fold(std::move(b).finish({}, {n}, "test: "));
    ASSERT_EQ(result.dag.size(), 2u);
    if (cc.expected) {
      expect_const(result.dag, NodeId{1}, *cc.expected, cc.to);
    } else {
      const auto* kept = std::get_if<Cast>(&result.dag.node(NodeId{1}));
      ASSERT_NE(kept, nullptr);
      EXPECT_EQ(kept->arg, NodeId{0});
      EXPECT_EQ(kept->dtype, cc.to);
    }
  }
}

// ---------------------------------------------------------------------------
// Builtin calls.

struct CallCase {
  const char* name;
  Builtin builtin;
  Scalar arg;
  DType dtype;
  std::optional<Scalar> expected;  // none: the call is kept
};

TEST(ConstFoldTest, CallOfAConstant) {
  const std::vector<CallCase> cases = {
      // exp(0) and log(1) are exact whatever the dtype.
      {"exp(0.0) under f32", Builtin::Exp, f(0.0), DType::f32(), f(1.0)},
      {"exp(0) under i32", Builtin::Exp, i(0), DType::i32(), i(1)},
      {"exp(0) under c64", Builtin::Exp, i(0), DType::c64(), c(1.0, 0.0)},
      {"exp(0+0j) under c128", Builtin::Exp, c(0.0, 0.0), DType::c128(), c(1.0, 0.0)},
      {"log(1.0) under f64", Builtin::Log, f(1.0), DType::f64(), f(0.0)},
      {"log(1) under u8", Builtin::Log, i(1), DType::u8(), i(0)},
      {"log(true) under f16", Builtin::Log, Scalar{true}, DType::f16(), f(0.0)},
      {"log(1+0j) under c64", Builtin::Log, c(1.0, 0.0), DType::c64(), c(0.0, 0.0)},
      {"exp(1.0)", Builtin::Exp, f(1.0), DType::f64(), f(std::exp(1.0))},
      {"log(8)", Builtin::Log, i(8), DType::f64(), f(std::log(8.0))},
      {"log(0.0)", Builtin::Log, f(0.0), DType::f64(), f(-HUGE_VAL)},
      // The others, computed in doubles and stored at 64 bits.
      {"sqrt(2.0) under f32", Builtin::Sqrt, f(2.0), DType::f32(), f(std::sqrt(2.0))},
      {"sqrt(4) under i32", Builtin::Sqrt, i(4), DType::i32(), i(2)},
      {"sqrt(-1) under i32 is NaN, stored as 0", Builtin::Sqrt, i(-1), DType::i32(), i(0)},
      {"abs(-3)", Builtin::Abs, i(-3), DType::i64(), i(3)},
      {"abs(-2.5)", Builtin::Abs, f(-2.5), DType::f64(), f(2.5)},
      {"sin(0.5)", Builtin::Sin, f(0.5), DType::f64(), f(std::sin(0.5))},
      {"cos(0)", Builtin::Cos, i(0), DType::f32(), f(1.0)},
      {"tanh(0.5)", Builtin::Tanh, f(0.5), DType::f64(), f(std::tanh(0.5))},
      {"sigmoid(0)", Builtin::Sigmoid, f(0.0), DType::f64(), f(0.5)},
      {"sigmoid(2)", Builtin::Sigmoid, f(2.0), DType::f64(), f(1.0 / (1.0 + std::exp(-2.0)))},
      {"relu(-3.0)", Builtin::Relu, f(-3.0), DType::f64(), f(0.0)},
      {"relu(2.5)", Builtin::Relu, f(2.5), DType::f64(), f(2.5)},
      {"relu(NaN)", Builtin::Relu, f(kNaN), DType::f64(), f(0.0)},
      {"relu(-0.0)", Builtin::Relu, f(-0.0), DType::f64(), f(0.0)},
      {"softplus(0)", Builtin::Softplus, f(0.0), DType::f64(), f(std::log(2.0))},
      {"floor(-2.5)", Builtin::Floor, f(-2.5), DType::f64(), f(-3.0)},
      {"ceil(-2.5)", Builtin::Ceil, f(-2.5), DType::f64(), f(-2.0)},
      {"floor(7) under i8", Builtin::Floor, i(7), DType::i8(), i(7)},
      {"exp_sigmoid(0)", Builtin::ExpSigmoid, f(0.0), DType::f64(), f(1.0 / (1.0 + std::exp(-1.0)))},
      {"sigmoid_log(0)", Builtin::SigmoidLog, f(0.0), DType::f64(), f(std::log(0.5))},
      {"a real argument under c64", Builtin::Sqrt, f(4.0), DType::c64(), c(2.0, 0.0)},
      // Declines.
      {"exp(1+0j) is kept", Builtin::Exp, c(1.0, 0.0), DType::c64(), std::nullopt},
      {"log(0+1j) is kept", Builtin::Log, c(0.0, 1.0), DType::c128(), std::nullopt},
      {"sqrt of a complex is kept", Builtin::Sqrt, c(4.0, 0.0), DType::c128(), std::nullopt},
      {"a call under bool is kept", Builtin::Abs, Scalar{true}, DType::boolean(), std::nullopt},
  };
  for (const CallCase& cc : cases) {
    SCOPED_TRACE(cc.name);
    DagBuilder b;
    NodeId a = b.push(Const{cc.arg}, cc.dtype);
    NodeId n = b.push(ir::Call{cc.builtin, {a}}, cc.dtype);
    FoldResult result = const_fold(std::move(b).finish({}, {n}, "test: "));
    ASSERT_EQ(result.dag.size(), 2u);
    if (cc.expected) {
      expect_const(result.dag, NodeId{1}, *cc.expected, cc.dtype);
    } else {
      const auto* kept = std::get_if<ir::Call>(&result.dag.node(NodeId{1}));
      ASSERT_NE(kept, nullptr);
      EXPECT_EQ(kept->builtin, cc.builtin);
      EXPECT_EQ(kept->args, std::vector<NodeId>{NodeId{0}});
    }
  }
}

TEST(ConstFoldTest, CallsWithoutExactlyOneConstantArgumentAreKept) {
  {
    WithParam g(DType::f64());
    NodeId n = g.push(ir::Call{Builtin::Exp, {g.x}}, DType::f64());
    FoldResult result = std::move(g).fold(n);
    EXPECT_TRUE(std::holds_alternative<ir::Call>(result.dag.node(result.dag.outputs()[0])));
  }
  {
    DagBuilder b;
    NodeId n = b.push(ir::Call{Builtin::Exp, {}}, DType::f64());
    FoldResult result = const_fold(std::move(b).finish({}, {n}, "test: "));
    const auto* kept = std::get_if<ir::Call>(&result.dag.node(NodeId{0}));
    ASSERT_NE(kept, nullptr);
    EXPECT_TRUE(kept->args.empty());
  }
  {
    DagBuilder b;
    NodeId a = b.push(Const{f(0.0)}, DType::f64());
    NodeId n = b.push(ir::Call{Builtin::Exp, {a, a}}, DType::f64());
    FoldResult result = const_fold(std::move(b).finish({}, {n}, "test: "));
    EXPECT_TRUE(std::holds_alternative<ir::Call>(result.dag.node(NodeId{1})));
  }
}

// ---------------------------------------------------------------------------
// Whole-DAG properties.

TEST(ConstFoldTest, ParamsOutputsAndUnusedNodesAreCarriedOver) {
  DagBuilder b;
  NodeId x = b.push(Param{0}, DType::f64());
  NodeId y = b.push(Param{1}, DType::i16());
  NodeId k = b.push(Const{f(2.0)}, DType::f64());
  NodeId p = b.push(Binary{BinaryOp::Pow, x, k}, DType::f64());
  std::vector<ParamDecl> params = {{"x", DType::f64()}, {"y", DType::i16()}};
  FoldResult result = const_fold(std::move(b).finish(params, {p, y, x, p}, "test: "));
  EXPECT_EQ(result.dag.params(), params);
  EXPECT_EQ(result.dag.outputs(), (std::vector<NodeId>{NodeId{3}, NodeId{1}, NodeId{0}, NodeId{3}}));
  EXPECT_EQ(result.dag.dtypes(), (std::vector<DType>{DType::f64(), DType::i16(), DType::f64(), DType::f64()}));
  EXPECT_TRUE(result.diags.empty());
}

TEST(ConstFoldTest, EmptyDagFoldsToAnEmptyDag) {
  FoldResult result = const_fold(DagBuilder{}.finish({}, {}, "test: "));
  EXPECT_EQ(result.dag.size(), 0u);
  EXPECT_TRUE(result.dag.outputs().empty());
}

TEST(ConstFoldTest, FoldingIsIdempotentOnAFoldedDag) {
  DagBuilder b;
  NodeId x = b.push(Param{0}, DType::f64());
  NodeId two = b.push(Const{i(2)}, DType::i8());
  NodeId three = b.push(Const{i(3)}, DType::i8());
  NodeId mul = b.push(Binary{BinaryOp::Mul, two, three}, DType::i8());
  NodeId cast = b.push(Cast{mul, DType::f64(), false}, DType::f64());
  NodeId add = b.push(Binary{BinaryOp::Add, x, cast}, DType::f64());
  FoldResult once = const_fold(std::move(b).finish({{"x", DType::f64()}}, {add}, "test: "));
  expect_const(once.dag, NodeId{4}, f(6.0), DType::f64());
  FoldResult twice = const_fold(once.dag);
  EXPECT_EQ(twice.dag.size(), once.dag.size());
  EXPECT_EQ(twice.dag.dtypes(), once.dag.dtypes());
  EXPECT_EQ(twice.dag.outputs(), once.dag.outputs());
}

TEST(ConstFoldTest, LongChainsFoldWithoutRecursion) {
  // 1 + 1 + ... + 1 under i64, a hundred thousand deep.
  constexpr std::size_t kDepth = 100000;
  DagBuilder b;
  NodeId acc = b.push(Const{i(0)}, DType::i64());
  for (std::size_t n = 0; n < kDepth; ++n) {
    NodeId one = b.push(Const{i(1)}, DType::i64());
    acc = b.push(Binary{BinaryOp::Add, acc, one}, DType::i64());
  }
  FoldResult result = const_fold(std::move(b).finish({}, {acc}, "test: "));
  expect_const(result.dag, result.dag.outputs()[0], i(static_cast<std::int64_t>(kDepth)), DType::i64());
}

TEST(ConstFoldTest, AForwardReferenceIsAnInternalError) {
  auto dag =
      TypedDag::try_new({Unary{NodeId{1}, UnaryOp::Neg}, Const{f(1.0)}}, {DType::f64(), DType::f64()}, {}, {NodeId{0}});
  ASSERT_TRUE(dag.has_value());
  try {
    (void)const_fold(*dag);
    FAIL() << "expected an InternalError";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "const_fold: node#0 uses node#1, which does not precede it");
  }
}

// ---------------------------------------------------------------------------
// From source text, through the parser and lowering.

FoldResult fold_source(std::string_view source) {
  auto program = parse::parse_dsl_with_errors(source);
  if (!program) throw InternalError("test program does not parse: " + program.error().front().message);
  ir::LowerResultWithErrors lowered = ir::lower_with_config_collect(*program, diag::DiagConfig{});
  if (!lowered.errors.empty()) throw InternalError("test program does not lower: " + lowered.errors.front().message);
  return const_fold(lowered.dag);
}

NodeId only_output(const FoldResult& result) {
  if (result.dag.outputs().size() != 1) throw InternalError("expected one output");
  return result.dag.outputs()[0];
}

TEST(ConstFoldSourceTest, OverflowOfLiteralsUnderTheirDtype) {
  // x is #0, the two i8 literals #1 and #2, the sum #3.
  FoldResult result = fold_source("|x: f64| 100 + 100");
  expect_const(result.dag, only_output(result), i(200), DType::i16());
  ASSERT_EQ(result.diags.size(), 1u);
  EXPECT_EQ(result.diags[0].message,
            "const_fold node#3: integer overflow: 100 + 100 = 200; promoted i8 -> i16; write result directly `200` or "
            "wrapping result");
}

TEST(ConstFoldSourceTest, FloorDivisionOfNegativeLiterals) {
  FoldResult q = fold_source("|x: i32| -7 // 2");
  expect_const(q.dag, only_output(q), i(-4), DType::i8());
  FoldResult r = fold_source("|x: i32| -7 % 2");
  expect_const(r.dag, only_output(r), i(1), DType::i8());
}

TEST(ConstFoldSourceTest, PromotedLiteralBesideAParameter) {
  // n + 1.5: both operands are cast to f64; the literal's cast folds.
  FoldResult result = fold_source("|n: i32| n + 1.5");
  NodeId out = only_output(result);
  const auto* add = std::get_if<Binary>(&result.dag.node(out));
  ASSERT_NE(add, nullptr);
  expect_const(result.dag, add->rhs, f(1.5), DType::f64());
  EXPECT_TRUE(std::holds_alternative<Cast>(result.dag.node(add->lhs)));
}

TEST(ConstFoldSourceTest, IdentitiesOnAParameter) {
  FoldResult pow1 = fold_source("|x: f64| x ** 1");
  EXPECT_TRUE(std::holds_alternative<Param>(pow1.dag.node(only_output(pow1))));
  FoldResult pow0 = fold_source("|x: f32| x ** 0");
  expect_const(pow0.dag, only_output(pow0), f(1.0), DType::f32());
  FoldResult branch = fold_source("|x: f64, y: f64| if true then x else y");
  const auto* p = std::get_if<Param>(&branch.dag.node(only_output(branch)));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->index, 0u);
}

TEST(ConstFoldSourceTest, LargeIntegerLiteralsCompareExactly) {
  FoldResult result = fold_source("|x: i64| 9007199254740993 == 9007199254740992");
  expect_const(result.dag, only_output(result), Scalar{false}, DType::boolean());
}

TEST(ConstFoldSourceTest, ExactExpAndLogOfIntegerLiterals) {
  FoldResult e = fold_source("|x: f64| exp(0)");
  expect_const(e.dag, only_output(e), i(1), DType::i8());
  FoldResult l = fold_source("|x: f64| log(1.0)");
  expect_const(l.dag, only_output(l), f(0.0), DType::f16());
}

}  // namespace
}  // namespace morvalen::opt
