#include "diff/builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "diff/test_render.h"

namespace morvalen::diff {
namespace {

using ir::BinaryOp;
using ir::DType;
using ir::UnaryOp;
using testing::render;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

// Unwraps a builder result, failing the test on an error.
CanonExprId ok(const CanonExprBuilder::IdResult& r) {
  if (!r) {
    ADD_FAILURE() << r.error().to_string();
    return CanonExprId{0};
  }
  return *r;
}

int sign(std::strong_ordering o) { return o < 0 ? -1 : (o > 0 ? 1 : 0); }

std::string err(const CanonExprBuilder::IdResult& r) {
  if (r) return "ok " + r->debug();
  return r.error().to_string();
}

class BuilderTest : public ::testing::Test {
 protected:
  CanonExprId param(std::string_view name, DType t = DType::f64()) { return ok(b.parameter(name, t)); }
  CanonExprId constant(Literal lit, std::optional<DType> t = DType::f64()) {
    return ok(b.intern_expr(canon::Constant{lit, t}));
  }
  CanonExprId f(double v, DType t = DType::f64()) { return constant(literal::Float{v}, t); }
  CanonExprId i(std::int64_t v, DType t = DType::i64()) { return constant(literal::Int{v}, t); }
  CanonExprId bin(BinaryOp op, CanonExprId l, CanonExprId r, DType t = DType::f64()) {
    return ok(b.binary(op, l, r, t));
  }
  CanonExprId add(CanonExprId l, CanonExprId r, DType t = DType::f64()) { return bin(BinaryOp::Add, l, r, t); }
  CanonExprId mul(CanonExprId l, CanonExprId r, DType t = DType::f64()) { return bin(BinaryOp::Mul, l, r, t); }
  CanonExprId pow(CanonExprId l, CanonExprId r, DType t = DType::f64()) { return bin(BinaryOp::Pow, l, r, t); }
  CanonExprId neg(CanonExprId x, DType t = DType::f64()) { return ok(b.unary(UnaryOp::Neg, x, t)); }
  std::string text(CanonExprId id) const { return render(b.exprs(), id); }
  const canon::Constant& as_constant(CanonExprId id) const { return std::get<canon::Constant>(b.expr(id)); }

  InternedCanonExprBuilder b;
};

// ---------------------------------------------------------------------------
// Ids, keys and interning

TEST(CanonExprIdTest, DebugForm) {
  EXPECT_EQ(CanonExprId{7}.debug(), "CanonExprId(7)");
  EXPECT_EQ(CanonExprId{0}.debug(), "CanonExprId(0)");
  EXPECT_EQ(CanonExprId{4294967295u}.debug(), "CanonExprId(4294967295)");
}

TEST_F(BuilderTest, IdsAreDenseInCreationOrderAndEqualExpressionsShareOne) {
  EXPECT_EQ(param("x"), CanonExprId{0});
  EXPECT_EQ(param("y"), CanonExprId{1});
  EXPECT_EQ(param("x"), CanonExprId{0});
  EXPECT_EQ(param("x", DType::f32()), CanonExprId{2});
  EXPECT_EQ(b.size(), 3u);
}

TEST(CanonNameTest, NamesInPlaceAndOnTheHeapSurviveCopiesAndMoves) {
  for (std::string_view text :
       {std::string_view(""), std::string_view("sin"), std::string_view("fifteen_bytes_x"),
        std::string_view("sixteen_bytes_xy"), std::string_view("a\0name_well_past_the_inline_bytes", 34)}) {
    SCOPED_TRACE(std::string(text));
    const CanonName name(text);
    CanonName copy = name;
    CanonName moved = std::move(copy);
    CanonName assigned("other_name_longer_than_fifteen");
    assigned = moved;
    EXPECT_EQ(name.view(), text);
    EXPECT_EQ(moved.view(), text);
    EXPECT_EQ(assigned.view(), text);
    EXPECT_EQ(copy.view(), "");
  }
}

TEST_F(BuilderTest, LongNamesAreKeyedByAllTheirBytes) {
  const CanonExprId a = param("parameter_name_past_sixteen_a");
  EXPECT_EQ(param("parameter_name_past_sixteen_a"), a);
  EXPECT_NE(param("parameter_name_past_sixteen_b"), a);
  EXPECT_LT(sign(b.compare_ids(a, param("parameter_name_past_sixteen_b"))), 0);
}

TEST_F(BuilderTest, BoolConstantsAreKeyedByValueAlone) {
  const CanonExprId t1 = constant(literal::Bool{true}, DType::boolean());
  EXPECT_EQ(constant(literal::Bool{true}, DType::i32()), t1);
  EXPECT_EQ(constant(literal::Bool{true}, std::nullopt), t1);
  EXPECT_NE(constant(literal::Bool{false}, DType::boolean()), t1);
  // The stored dtype is the first one.
  EXPECT_EQ(as_constant(t1).dtype, DType::boolean());
}

TEST_F(BuilderTest, EAndPiAreKeyedByKindAlone) {
  const CanonExprId e = constant(literal::E{}, DType::f32());
  EXPECT_EQ(constant(literal::E{}, DType::f64()), e);
  EXPECT_EQ(constant(literal::E{}, std::nullopt), e);
  const CanonExprId pi = constant(literal::Pi{}, DType::f64());
  EXPECT_NE(pi, e);
  EXPECT_EQ(constant(literal::Pi{}, DType::c64()), pi);
}

TEST_F(BuilderTest, NumericConstantsAreKeyedByBitPatternAndDtype) {
  EXPECT_NE(f(0.0), f(-0.0));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(f(nan), f(nan));
  EXPECT_NE(f(nan), f(-nan));
  EXPECT_NE(f(1.0, DType::f32()), f(1.0, DType::f64()));
  EXPECT_NE(f(1.0, DType::f16()), f(1.0, DType::bf16()));
  EXPECT_NE(i(1, DType::i32()), i(1, DType::i64()));
  EXPECT_NE(constant(literal::Int{1}, std::nullopt), i(1));
  EXPECT_NE(i(1), f(1.0, DType::i64()));
  EXPECT_EQ(constant(literal::Complex{1.0, -0.0}, DType::c64()), constant(literal::Complex{1.0, -0.0}, DType::c64()));
  EXPECT_NE(constant(literal::Complex{1.0, -0.0}, DType::c64()), constant(literal::Complex{1.0, 0.0}, DType::c64()));
}

TEST_F(BuilderTest, KeyOfNonFloatDtypeIgnoresTheBfloatFlag) {
  const DType odd_i32{ir::DTypeKind::Int, true, 32};
  EXPECT_EQ(param("n", odd_i32), param("n", DType::i32()));
}

TEST(BuilderLimitTest, TooManyWhenTheListIsFull) {
  InternedCanonExprBuilder b(2);
  ASSERT_TRUE(b.parameter("x", DType::f64()));
  ASSERT_TRUE(b.parameter("y", DType::f64()));
  // An expression already present is still found.
  EXPECT_EQ(*b.parameter("x", DType::f64()), CanonExprId{0});
  EXPECT_EQ(err(b.parameter("z", DType::f64())), "too many canonical expressions");
  EXPECT_EQ(b.size(), 2u);
}

TEST_F(BuilderTest, InternExprRejectsOperandsNotYetInTheList) {
  const CanonExprId x = param("x");
  EXPECT_EQ(err(b.intern_expr(canon::Unary{DType::f64(), CanonExprId{5}, UnaryOp::Neg})),
            "invalid canonical expression id CanonExprId(5)");
  EXPECT_EQ(err(b.intern_expr(canon::Binary{DType::f64(), x, CanonExprId{1}, BinaryOp::Div})),
            "invalid canonical expression id CanonExprId(1)");
  EXPECT_EQ(err(b.intern_expr(canon::Select{DType::f64(), x, CanonExprId{9}, CanonExprId{8}})),
            "invalid canonical expression id CanonExprId(9)");
  EXPECT_EQ(b.size(), 1u);
}

// ---------------------------------------------------------------------------
// Structural order

TEST_F(BuilderTest, VariantsOrderByTheirPosition) {
  const CanonExprId x = param("x");
  const CanonExprId c = f(1.0);
  const CanonExprId u = ok(b.unary(UnaryOp::Not, x, DType::boolean()));
  const CanonExprId bi = bin(BinaryOp::Div, x, x);
  const CanonExprId ca = ok(b.call("sin", std::vector<CanonExprId>{x}, DType::f64()));
  const CanonExprId se = ok(b.select(x, c, x, DType::f64()));
  const CanonExprId cs = ok(b.cast_with_explicit(x, DType::f32(), false));
  const std::vector<CanonExprId> ordered = {x, c, u, bi, ca, se, cs};
  for (std::size_t k = 0; k + 1 < ordered.size(); ++k) {
    SCOPED_TRACE(k);
    EXPECT_LT(sign(b.compare_ids(ordered[k], ordered[k + 1])), 0);
    EXPECT_GT(sign(b.compare_ids(ordered[k + 1], ordered[k])), 0);
    EXPECT_EQ(sign(b.compare_ids(ordered[k], ordered[k])), 0);
  }
}

TEST_F(BuilderTest, InvalidIdsSortAfterValidOnesAndByNumber) {
  const CanonExprId x = param("x");
  EXPECT_LT(sign(b.compare_ids(x, CanonExprId{10})), 0);
  EXPECT_GT(sign(b.compare_ids(CanonExprId{10}, x)), 0);
  EXPECT_LT(sign(b.compare_ids(CanonExprId{10}, CanonExprId{11})), 0);
  EXPECT_EQ(sign(b.compare_ids(CanonExprId{10}, CanonExprId{10})), 0);
}

TEST_F(BuilderTest, DtypesOrderByTheirSpellings) {
  std::vector<CanonExprId> ids;
  for (DType t : ir::all_dtypes) ids.push_back(param("x", t));
  std::stable_sort(ids.begin(), ids.end(), [&](CanonExprId l, CanonExprId r) { return b.compare_ids(l, r) < 0; });
  std::string order;
  for (CanonExprId id : ids) order += std::string(ir::to_str(std::get<canon::Parameter>(b.expr(id)).dtype)) + " ";
  EXPECT_EQ(order, "bf16 bool c128 c64 f16 f32 f64 i16 i32 i64 i8 u16 u32 u64 u8 ");
}

TEST_F(BuilderTest, ParametersOrderByNameBytesThenDtype) {
  EXPECT_LT(sign(b.compare_ids(param("a"), param("b"))), 0);
  EXPECT_LT(sign(b.compare_ids(param("a"), param("ab"))), 0);
  EXPECT_LT(sign(b.compare_ids(param("Z"), param("a"))), 0);
  EXPECT_LT(sign(b.compare_ids(param("x", DType::f32()), param("x", DType::f64()))), 0);
  EXPECT_LT(sign(b.compare_ids(param("x", DType::i64()), param("x", DType::i8()))), 0);
}

TEST_F(BuilderTest, NamesOrderByTheirBytesPastTheSeventh) {
  const CanonExprId x = param("x");
  auto call = [&](std::string_view name) { return ok(b.call(name, std::vector<CanonExprId>{x}, DType::f64())); };
  EXPECT_LT(sign(b.compare_ids(param("abcdefgB"), param("abcdefgC"))), 0);
  EXPECT_GT(sign(b.compare_ids(param("abcdefgC"), param("abcdefgB"))), 0);
  EXPECT_LT(sign(b.compare_ids(param("abcdefg"), param(std::string_view("abcdefg\0", 8)))), 0);
  EXPECT_LT(sign(b.compare_ids(call("abcdefgB"), call("abcdefgC"))), 0);
  EXPECT_LT(sign(b.compare_ids(call("ab"), call(std::string_view("ab\0", 3)))), 0);
}

TEST_F(BuilderTest, ConstantsOrderByKindThenValueThenDtype) {
  // Kinds: Bool < Int < Float < Complex < E < Pi.
  const std::vector<CanonExprId> kinds = {constant(literal::Bool{true}),
                                          i(-5),
                                          f(-1.0),
                                          constant(literal::Complex{0.0, 0.0}, DType::c128()),
                                          constant(literal::E{}),
                                          constant(literal::Pi{})};
  for (std::size_t k = 0; k + 1 < kinds.size(); ++k) {
    SCOPED_TRACE(k);
    EXPECT_LT(sign(b.compare_ids(kinds[k], kinds[k + 1])), 0);
  }
  EXPECT_LT(sign(b.compare_ids(constant(literal::Bool{false}), constant(literal::Bool{true}))), 0);
  EXPECT_LT(sign(b.compare_ids(i(-1), i(1))), 0);
  EXPECT_LT(sign(b.compare_ids(i(kMin), i(kMax))), 0);
  // Float values by their bit patterns: non-negative ascending, then negative.
  EXPECT_LT(sign(b.compare_ids(f(1.0), f(2.0))), 0);
  EXPECT_LT(sign(b.compare_ids(f(2.0), f(-1.0))), 0);
  EXPECT_LT(sign(b.compare_ids(f(0.0), f(-0.0))), 0);
  EXPECT_LT(sign(b.compare_ids(f(-1.0), f(-2.0))), 0);
  const CanonExprId c10 = constant(literal::Complex{1.0, 0.0}, DType::c128());
  const CanonExprId c11 = constant(literal::Complex{1.0, 1.0}, DType::c128());
  const CanonExprId c15 = constant(literal::Complex{1.0, 5.0}, DType::c128());
  const CanonExprId c20 = constant(literal::Complex{2.0, 0.0}, DType::c128());
  EXPECT_LT(sign(b.compare_ids(c15, c20)), 0);
  EXPECT_LT(sign(b.compare_ids(c10, c11)), 0);
  // Then the dtype, absent first.
  EXPECT_LT(sign(b.compare_ids(constant(literal::Int{3}, std::nullopt), i(3, DType::f16()))), 0);
  EXPECT_LT(sign(b.compare_ids(i(3, DType::f16()), i(3, DType::i64()))), 0);
}

TEST_F(BuilderTest, OperatorsOrderByTheirSpellings) {
  const CanonExprId x = param("x");
  const CanonExprId y = param("y");
  // "!=" < "%" < "*" < "**" < "+" < "-" < "/" < "//" < "<" < "<=" < "==" < ">" < ">=" < "and" < "or"
  const std::vector<BinaryOp> ops = {BinaryOp::Ne,  BinaryOp::Rem, BinaryOp::Mul,      BinaryOp::Pow, BinaryOp::Add,
                                     BinaryOp::Sub, BinaryOp::Div, BinaryOp::FloorDiv, BinaryOp::Lt,  BinaryOp::Le,
                                     BinaryOp::Eq,  BinaryOp::Gt,  BinaryOp::Ge,       BinaryOp::And, BinaryOp::Or};
  std::vector<CanonExprId> nodes;
  for (BinaryOp op : ops) nodes.push_back(ok(b.intern_expr(canon::Binary{DType::f64(), x, y, op})));
  for (std::size_t k = 0; k + 1 < nodes.size(); ++k) {
    SCOPED_TRACE(ir::as_str(ops[k]));
    EXPECT_LT(sign(b.compare_ids(nodes[k], nodes[k + 1])), 0);
  }
  EXPECT_LT(sign(b.compare_ids(neg(x), ok(b.unary(UnaryOp::Not, x, DType::f64())))), 0);
}

TEST_F(BuilderTest, FieldsAfterTheOperatorCompareInOrder) {
  const CanonExprId x = param("x");
  const CanonExprId y = param("y");
  auto div = [&](CanonExprId l, CanonExprId r, DType t) { return bin(BinaryOp::Div, l, r, t); };
  EXPECT_LT(sign(b.compare_ids(div(x, y, DType::f64()), div(y, x, DType::f64()))), 0);
  EXPECT_LT(sign(b.compare_ids(div(x, x, DType::f64()), div(x, y, DType::f64()))), 0);
  EXPECT_LT(sign(b.compare_ids(div(x, y, DType::f32()), div(x, y, DType::f64()))), 0);
  auto cast = [&](CanonExprId v, DType t, bool e) { return ok(b.cast_with_explicit(v, t, e)); };
  EXPECT_LT(sign(b.compare_ids(cast(x, DType::f32(), true), cast(y, DType::f16(), false))), 0);
  EXPECT_LT(sign(b.compare_ids(cast(x, DType::f16(), true), cast(x, DType::f32(), false))), 0);
  EXPECT_LT(sign(b.compare_ids(cast(x, DType::f32(), false), cast(x, DType::f32(), true))), 0);
  auto sel = [&](CanonExprId c, CanonExprId t, CanonExprId e) { return ok(b.select(c, t, e, DType::f64())); };
  EXPECT_LT(sign(b.compare_ids(sel(x, x, y), sel(y, x, y))), 0);
  EXPECT_LT(sign(b.compare_ids(sel(x, x, y), sel(x, y, x))), 0);
  auto call = [&](std::string_view name, std::vector<CanonExprId> args) {
    return ok(b.call(name, args, DType::f64()));
  };
  EXPECT_LT(sign(b.compare_ids(call("cos", {y}), call("sin", {x}))), 0);
  EXPECT_LT(sign(b.compare_ids(call("f", {x}), call("f", {x, x}))), 0);
  EXPECT_LT(sign(b.compare_ids(call("f", {x, y}), call("f", {y}))), 0);
}

TEST_F(BuilderTest, SliceComparisonIsLexicographicWithPrefixFirst) {
  const CanonExprId x = param("x");
  const CanonExprId y = param("y");
  const std::vector<CanonExprId> empty;
  const std::vector<CanonExprId> xs = {x};
  const std::vector<CanonExprId> xy = {x, y};
  const std::vector<CanonExprId> yx = {y, x};
  EXPECT_LT(sign(b.compare_id_slices(empty, xs)), 0);
  EXPECT_LT(sign(b.compare_id_slices(xs, xy)), 0);
  EXPECT_LT(sign(b.compare_id_slices(xy, yx)), 0);
  EXPECT_GT(sign(b.compare_id_slices(yx, xs)), 0);
  EXPECT_EQ(sign(b.compare_id_slices(xy, xy)), 0);
}

TEST_F(BuilderTest, DeepComparisonsDoNotRecurse) {
  CanonExprId a = param("a");
  CanonExprId c = param("b");
  for (int k = 0; k < 100000; ++k) {
    a = ok(b.call("sin", std::vector<CanonExprId>{a}, DType::f64()));
    c = ok(b.call("sin", std::vector<CanonExprId>{c}, DType::f64()));
  }
  EXPECT_LT(sign(b.compare_ids(a, c)), 0);
  EXPECT_GT(sign(b.compare_ids(c, a)), 0);
}

// ---------------------------------------------------------------------------
// Sums and differences

TEST_F(BuilderTest, AddingZero) {
  const CanonExprId x = param("x");
  EXPECT_EQ(add(x, f(0.0)), x);
  EXPECT_EQ(add(f(-0.0), x), x);
  EXPECT_EQ(add(x, i(0)), x);
  const CanonExprId zero = add(f(0.0), f(0.0));
  EXPECT_EQ(text(zero), "0.0");
  EXPECT_EQ(as_constant(zero).dtype, DType::f64());
  const CanonExprId int_zero = add(i(0, DType::i32()), i(0, DType::i32()), DType::i32());
  EXPECT_EQ(text(int_zero), "0");
  EXPECT_EQ(as_constant(int_zero).dtype, DType::i32());
}

TEST_F(BuilderTest, ConstantsOfASumAreFoldedAfterTheOtherTerms) {
  const CanonExprId x = param("x");
  const CanonExprId sum = add(add(x, f(2.0)), f(3.0));
  EXPECT_EQ(text(sum), "(x + 5.0)");
  const auto& node = std::get<canon::Binary>(b.expr(sum));
  EXPECT_EQ(node.left, x);
  EXPECT_EQ(as_constant(node.right).dtype, DType::f64());
  // Int, E and Pi literals count as numbers of a float sum.
  EXPECT_EQ(text(add(add(x, i(1)), constant(literal::Pi{}))), "(x + 4.141592653589793)");
  EXPECT_EQ(text(add(f(2.0), f(-2.0))), "0.0");
}

TEST_F(BuilderTest, SumsAreOrderedStructurally) {
  const CanonExprId x = param("x");
  const CanonExprId y = param("y");
  const CanonExprId z = param("z");
  EXPECT_EQ(add(y, x), add(x, y));
  EXPECT_EQ(text(add(y, x)), "(x + y)");
  EXPECT_EQ(add(add(z, y), x), add(x, add(y, z)));
  EXPECT_EQ(text(add(add(z, y), x)), "((x + y) + z)");
  // Like terms are kept.
  EXPECT_EQ(text(add(x, x)), "(x + x)");
}

TEST_F(BuilderTest, AnyGroupingAndOrderGivesTheSameSumAndProduct) {
  // Terms of several variants, with ties in the order (x twice) and constants.
  std::vector<CanonExprId> terms = {param("x"),
                                    param("y"),
                                    param("x"),
                                    neg(param("z")),
                                    f(2.0),
                                    f(3.0),
                                    ok(b.call("sin", std::vector<CanonExprId>{param("x")}, DType::f64())),
                                    bin(BinaryOp::Div, param("y"), param("x")),
                                    param("a"),
                                    param("w")};
  for (int k = 0; k < 8; ++k) terms.push_back(ok(b.call(testing::cat({"f", std::to_string(k)}), terms, DType::f64())));
  // Expected: the non-constant terms and the folded constant, sorted and
  // folded from the left.
  auto expected = [&](CanonExprId folded, const char* op) {
    std::vector<CanonExprId> ids = {folded};
    for (CanonExprId id : terms) {
      if (!std::holds_alternative<canon::Constant>(b.expr(id))) ids.push_back(id);
    }
    std::stable_sort(ids.begin(), ids.end(), [&](CanonExprId l, CanonExprId r) { return b.compare_ids(l, r) < 0; });
    std::string out = text(ids[0]);
    for (std::size_t k = 1; k < ids.size(); ++k) out = testing::cat({"(", out, " ", op, " ", text(ids[k]), ")"});
    return out;
  };
  const std::string expected_sum = expected(f(5.0), "+");
  const std::string expected_product = expected(f(6.0), "*");
  // Shuffle, then combine random neighbours until one id is left.
  std::uint32_t seed = 12345;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  std::optional<CanonExprId> sum_id;
  std::optional<CanonExprId> product_id;
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    std::vector<CanonExprId> sums = terms;
    std::vector<CanonExprId> products = terms;
    for (std::size_t k = sums.size(); k > 1; --k) std::swap(sums[k - 1], sums[next(static_cast<std::uint32_t>(k))]);
    products = sums;
    while (sums.size() > 1) {
      const std::size_t at = next(static_cast<std::uint32_t>(sums.size() - 1));
      sums[at] = add(sums[at], sums[at + 1]);
      sums.erase(sums.begin() + static_cast<std::ptrdiff_t>(at) + 1);
      products[at] = mul(products[at], products[at + 1]);
      products.erase(products.begin() + static_cast<std::ptrdiff_t>(at) + 1);
    }
    if (!sum_id) {
      sum_id = sums[0];
      product_id = products[0];
    }
    EXPECT_EQ(sums[0], *sum_id);
    EXPECT_EQ(products[0], *product_id);
  }
  EXPECT_EQ(text(*sum_id), expected_sum);
  EXPECT_EQ(text(*product_id), expected_product);
}

TEST_F(BuilderTest, SumsFlattenOnlyThroughTheSameDtype) {
  const CanonExprId x = param("x", DType::f32());
  const CanonExprId y = param("y", DType::f32());
  const CanonExprId inner = add(y, x, DType::f32());
  const CanonExprId outer = add(inner, x, DType::f64());
  EXPECT_EQ(text(outer), "(x + (x + y))");
  EXPECT_EQ(std::get<canon::Binary>(b.expr(outer)).right, inner);
}

TEST_F(BuilderTest, ConstantsOutsideTheClassStayTerms) {
  const CanonExprId n = param("n", DType::i32());
  EXPECT_EQ(text(add(n, f(2.5), DType::i32())), "(n + 2.5)");
  const CanonExprId p = param("p", DType::boolean());
  const CanonExprId t = constant(literal::Bool{true}, DType::boolean());
  EXPECT_EQ(text(add(p, t, DType::boolean())), "(p + true)");
  const CanonExprId x = param("x");
  EXPECT_EQ(text(add(x, constant(literal::Complex{1.0, 0.0}, DType::c128()))), "(x + (1.0,0.0j))");
}

TEST_F(BuilderTest, ComplexSumsFoldComponentWise) {
  const DType c = DType::c128();
  const CanonExprId z = param("z", c);
  const CanonExprId sum = add(add(z, constant(literal::Complex{1.0, 2.0}, c), c), f(3.0), c);
  EXPECT_EQ(text(sum), "(z + (4.0,2.0j))");
  EXPECT_EQ(add(z, constant(literal::Complex{-0.0, 0.0}, c), c), z);
}

TEST_F(BuilderTest, IntegerOverflowKeepsTheConstantsAsSeparateTerms) {
  const CanonExprId n = param("n", DType::i64());
  // Sorted constants: 1, then kMax; 1 + kMax overflows, so 1 stays a term.
  const DType t = DType::i64();
  const CanonExprId sum = add(add(n, i(kMax), t), i(1), t);
  EXPECT_EQ(text(sum), "((n + 1) + 9223372036854775807)");
  // The constants before the overflow stay folded together: 1 + 5, then kMax.
  const CanonExprId more = add(add(add(n, i(kMax), t), i(1), t), i(5), t);
  EXPECT_EQ(text(more), "((n + 6) + 9223372036854775807)");
  // Without overflow everything folds: -3 + 1 + kMax.
  const CanonExprId folded = add(add(add(n, i(kMax), t), i(1), t), i(-3), t);
  EXPECT_EQ(text(folded), "(n + 9223372036854775805)");
  const CanonExprId product = mul(mul(n, i(kMax), DType::i64()), i(4), DType::i64());
  EXPECT_EQ(text(product), "((n * 4) * 9223372036854775807)");
}

TEST_F(BuilderTest, DifferenceIsTheSumWithTheNegation) {
  const CanonExprId x = param("x");
  const CanonExprId y = param("y");
  EXPECT_EQ(text(bin(BinaryOp::Sub, x, f(3.0))), "(x + -3.0)");
  EXPECT_EQ(text(bin(BinaryOp::Sub, x, x)), "(x + neg(x))");
  EXPECT_EQ(bin(BinaryOp::Sub, x, neg(y)), add(x, y));
  EXPECT_EQ(bin(BinaryOp::Sub, x, f(0.0)), x);
}

TEST_F(BuilderTest, CollectingTermsAndFactors) {
  const CanonExprId x = param("x");
  const CanonExprId y = param("y");
  const CanonExprId z = param("z");
  const CanonExprId sum = add(add(x, y), z);
  std::vector<CanonExprId> out;
  b.collect_add_terms(sum, DType::f64(), out);
  EXPECT_EQ(out, (std::vector<CanonExprId>{x, y, z}));
  out.clear();
  b.collect_add_terms(sum, DType::f32(), out);
  EXPECT_EQ(out, (std::vector<CanonExprId>{sum}));
  out.clear();
  b.collect_mul_factors(sum, DType::f64(), out);
  EXPECT_EQ(out, (std::vector<CanonExprId>{sum}));
  const CanonExprId product = mul(mul(z, y), x);
  out.clear();
  b.collect_mul_factors(product, DType::f64(), out);
  EXPECT_EQ(out, (std::vector<CanonExprId>{x, y, z}));
  EXPECT_EQ(ok(b.build_add(z, x, DType::f64())), add(x, z));
}

TEST_F(BuilderTest, LongSumsAreFullyOrdered) {
  // 64 terms added one by one in reverse order come out as one sorted chain.
  std::vector<CanonExprId> params;
  for (int k = 0; k < 64; ++k) params.push_back(param(testing::cat({"p", k < 10 ? "0" : "", std::to_string(k)})));
  CanonExprId sum = params.back();
  for (int k = 62; k >= 0; --k) sum = add(sum, params[static_cast<std::size_t>(k)]);
  std::vector<CanonExprId> terms;
  b.collect_add_terms(sum, DType::f64(), terms);
  EXPECT_EQ(terms, params);
  EXPECT_EQ(text(sum).substr(0, 73), std::string(63, '(') + "p00 + p01)");
}

TEST_F(BuilderTest, LargeOperandsAreSplitOnlyAtTheirTop) {
  CanonExprId sum = param("p00");
  for (int k = 1; k < 66; ++k) sum = add(sum, param(testing::cat({"p", k < 10 ? "0" : "", std::to_string(k)})));
  // 66 leaves: the top node's operands are the 65-leaf prefix (one term) and p65.
  std::vector<CanonExprId> terms;
  b.collect_add_terms(sum, DType::f64(), terms);
  ASSERT_EQ(terms.size(), 2u);
  const CanonExprId prefix = terms[0];
  EXPECT_EQ(text(terms[1]), "p65");
  EXPECT_EQ(text(sum), testing::cat({"(", text(prefix), " + p65)"}));
  // Constants still fold across the split.
  const CanonExprId with_constants = add(add(sum, f(2.0)), f(3.0));
  EXPECT_EQ(text(with_constants), testing::cat({"((p65 + 5.0) + ", text(prefix), ")"}));
}

TEST_F(BuilderTest, ChainsNestedToTheRightCountTheirLeavesToo) {
  // Interned as is: p00 + (p01 + (... + p64)), 65 leaves; the right operand's
  // 64 leaves are collected in full.
  std::vector<CanonExprId> params;
  for (int k = 0; k < 65; ++k) params.push_back(param(testing::cat({"p", k < 10 ? "0" : "", std::to_string(k)})));
  CanonExprId chain = params.back();
  for (int k = 63; k >= 0; --k) {
    chain = ok(b.intern_expr(canon::Binary{DType::f64(), params[static_cast<std::size_t>(k)], chain, BinaryOp::Add}));
  }
  std::vector<CanonExprId> terms;
  b.collect_add_terms(chain, DType::f64(), terms);
  EXPECT_EQ(terms, params);
}

TEST_F(BuilderTest, NestedSharedSumsStayBounded) {
  // s(k) = s(k-1) + s(k-2): fully flattened, s(60) would have 10^12 terms.
  CanonExprId prev = param("a");
  CanonExprId cur = param("b");
  for (int k = 0; k < 60; ++k) {
    const CanonExprId next = add(cur, prev);
    prev = cur;
    cur = next;
  }
  EXPECT_LT(b.size(), 60u * 8u);
}

// ---------------------------------------------------------------------------
// Products

TEST_F(BuilderTest, ProductsWithZeroAndOne) {
  const CanonExprId x = param("x");
  const CanonExprId zero = mul(x, f(0.0));
  EXPECT_EQ(text(zero), "0.0");
  EXPECT_EQ(as_constant(zero).dtype, DType::f64());
  EXPECT_EQ(text(mul(f(-0.0), x)), "0.0");
  EXPECT_EQ(mul(x, f(1.0)), x);
  EXPECT_EQ(mul(i(1), x), x);
  EXPECT_EQ(text(mul(f(1.0), f(1.0))), "1.0");
  const CanonExprId n = param("n", DType::i32());
  EXPECT_EQ(mul(n, i(1, DType::i32()), DType::i32()), n);
  EXPECT_EQ(text(mul(n, i(0, DType::i32()), DType::i32())), "0");
}

TEST_F(BuilderTest, ProductsFoldAndOrderLikeSums) {
  const CanonExprId x = param("x");
  const CanonExprId y = param("y");
  EXPECT_EQ(text(mul(mul(f(2.0), y), mul(x, f(3.0)))), "((x * y) * 6.0)");
  EXPECT_EQ(text(mul(x, x)), "(x * x)");
  EXPECT_EQ(text(mul(i(2, DType::i32()), i(3, DType::i32()), DType::i32())), "6");
  const DType c = DType::c128();
  const CanonExprId z = param("z", c);
  const CanonExprId p =
      mul(mul(z, constant(literal::Complex{1.0, 2.0}, c), c), constant(literal::Complex{3.0, 4.0}, c), c);
  EXPECT_EQ(text(p), "(z * (-5.0,10.0j))");
  EXPECT_EQ(mul(z, constant(literal::Complex{1.0, 0.0}, c), c), z);
  EXPECT_EQ(text(mul(z, constant(literal::Complex{0.0, 0.0}, c), c)), "(0.0,0.0j)");
}

// ---------------------------------------------------------------------------
// Powers

TEST_F(BuilderTest, PowerIdentities) {
  const CanonExprId x = param("x");
  EXPECT_EQ(text(pow(x, i(0))), "1.0");
  EXPECT_EQ(text(pow(x, f(-0.0))), "1.0");
  EXPECT_EQ(pow(x, i(1)), x);
  EXPECT_EQ(pow(x, f(1.0)), x);
  EXPECT_EQ(text(pow(f(1.0), x)), "1.0");
  EXPECT_EQ(text(pow(i(1), x)), "1.0");
  EXPECT_EQ(text(pow(f(0.0), i(2))), "0.0");
  // Only positive Int exponents make a zero base zero.
  EXPECT_EQ(text(pow(f(0.0), x)), "(0.0 ** x)");
  EXPECT_EQ(text(pow(f(0.0), f(2.0))), "(0.0 ** 2.0)");
  EXPECT_EQ(text(pow(f(0.0), i(-1))), "(0.0 ** -1)");
  // E is not a one.
  EXPECT_EQ(text(pow(x, constant(literal::E{}))), "(x ** e)");
}

TEST_F(BuilderTest, PowerOfAPowerMultipliesIntExponents) {
  const CanonExprId x = param("x");
  const CanonExprId p = pow(pow(x, i(2)), i(3));
  EXPECT_EQ(text(p), "(x ** 6)");
  const auto& node = std::get<canon::Binary>(b.expr(p));
  EXPECT_EQ(node.left, x);
  EXPECT_EQ(as_constant(node.right).dtype, DType::i64());
  // A Float exponent, another dtype or an overflowing product keeps both powers.
  EXPECT_EQ(text(pow(pow(x, f(2.0)), i(3))), "((x ** 2.0) ** 3)");
  EXPECT_EQ(text(pow(pow(x, i(2), DType::f32()), i(3))), "((x ** 2) ** 3)");
  EXPECT_EQ(text(pow(pow(x, i(kMax)), i(2))), "((x ** 9223372036854775807) ** 2)");
}

TEST_F(BuilderTest, PowerIdentitiesForComplexAndIntegerDtypes) {
  const DType c = DType::c64();
  const CanonExprId z = param("z", c);
  EXPECT_EQ(text(pow(z, constant(literal::Complex{0.0, 0.0}, c), c)), "(1.0,0.0j)");
  EXPECT_EQ(pow(z, constant(literal::Complex{1.0, 0.0}, c), c), z);
  EXPECT_EQ(text(pow(z, constant(literal::Complex{1.0, 1.0}, c), c)), "(z ** (1.0,1.0j))");
  EXPECT_EQ(text(pow(constant(literal::Complex{1.0, 0.0}, c), z, c)), "(1.0,0.0j)");
  const DType t = DType::i32();
  const CanonExprId n = param("n", t);
  EXPECT_EQ(text(pow(n, i(0), t)), "1");
  EXPECT_EQ(pow(n, i(1), t), n);
  EXPECT_EQ(text(pow(n, f(1.0), t)), "(n ** 1.0)");
  EXPECT_EQ(text(pow(i(0), i(3), t)), "0");
  EXPECT_EQ(text(pow(i(1), n, t)), "1");
}

// ---------------------------------------------------------------------------
// Unary operators

TEST_F(BuilderTest, NegationFolding) {
  const CanonExprId x = param("x");
  EXPECT_EQ(neg(neg(x)), x);
  EXPECT_EQ(text(neg(x)), "neg(x)");
  EXPECT_EQ(text(neg(i(5), DType::i32())), "-5");
  const CanonExprId saturated = neg(i(kMin), DType::i64());
  EXPECT_EQ(std::get<literal::Int>(as_constant(saturated).value).value, kMax);
  EXPECT_EQ(text(neg(constant(literal::Pi{}))), "-3.141592653589793");
  EXPECT_EQ(text(neg(i(2))), "-2.0");
  // Complex negation flips both sign bits, so a zero imaginary part becomes -0.0.
  const CanonExprId zc = neg(f(2.0), DType::c128());
  const auto& lit = std::get<literal::Complex>(as_constant(zc).value);
  EXPECT_EQ(lit.re, -2.0);
  EXPECT_TRUE(std::signbit(lit.im));
  EXPECT_EQ(as_constant(zc).dtype, DType::c128());
}

TEST_F(BuilderTest, NegationThatCannotFoldBuildsANode) {
  const CanonExprId t = constant(literal::Bool{true}, DType::boolean());
  EXPECT_EQ(text(neg(t, DType::boolean())), "neg(true)");
  EXPECT_EQ(text(neg(t, DType::f64())), "neg(true)");
  EXPECT_EQ(text(neg(constant(literal::Complex{1.0, 1.0}, DType::c128()), DType::f64())), "neg((1.0,1.0j))");
  EXPECT_EQ(text(neg(f(1.5), DType::i32())), "neg(1.5)");
}

TEST_F(BuilderTest, NotFoldsBoolLiterals) {
  const CanonExprId t = constant(literal::Bool{true}, DType::boolean());
  EXPECT_EQ(text(ok(b.unary(UnaryOp::Not, t, DType::boolean()))), "false");
  const CanonExprId p = param("p", DType::boolean());
  EXPECT_EQ(text(ok(b.unary(UnaryOp::Not, p, DType::boolean()))), "not(p)");
  EXPECT_EQ(text(ok(b.unary(UnaryOp::Not, i(0), DType::boolean()))), "not(0)");
}

// ---------------------------------------------------------------------------
// Casts, selects and calls

struct CastCase {
  const char* name;
  Literal value;
  DType target;
  const char* expected;
};

TEST_F(BuilderTest, CastsOfConstantsFold) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<CastCase> cases = {
      {"float to int truncates", literal::Float{2.7}, DType::i32(), "2"},
      {"toward zero", literal::Float{-2.7}, DType::i8(), "-2"},
      {"saturates high", literal::Float{1e300}, DType::u8(), "9223372036854775807"},
      {"saturates low", literal::Float{-1e300}, DType::i16(), "-9223372036854775808"},
      {"nan gives zero", literal::Float{nan}, DType::i64(), "0"},
      {"int through binary64", literal::Int{9007199254740993}, DType::i64(), "9007199254740992"},
      {"bool to float", literal::Bool{true}, DType::f32(), "1.0"},
      {"int to bool", literal::Int{0}, DType::boolean(), "false"},
      {"imaginary to bool", literal::Complex{0.0, 1.0}, DType::boolean(), "true"},
      {"nan to bool", literal::Float{nan}, DType::boolean(), "true"},
      {"complex to float drops im", literal::Complex{1.5, 2.0}, DType::f64(), "1.5"},
      {"float to complex", literal::Float{1.5}, DType::c64(), "(1.5,0.0j)"},
      {"e to float", literal::E{}, DType::f32(), "2.718281828459045"},
      {"pi to int", literal::Pi{}, DType::i32(), "3"},
  };
  for (const CastCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool is_explicit : {false, true}) {
      const CanonExprId id = ok(b.cast_with_explicit(constant(c.value, DType::f64()), c.target, is_explicit));
      EXPECT_EQ(text(id), c.expected);
      // A Bool constant is keyed by its value alone, so it keeps the dtype it
      // was first interned with.
      if (!c.target.is_bool()) {
        EXPECT_EQ(as_constant(id).dtype, c.target);
      }
    }
  }
}

TEST_F(BuilderTest, CastToTheOwnDtypeIsElided) {
  const CanonExprId x = param("x", DType::f32());
  EXPECT_EQ(ok(b.cast_with_explicit(x, DType::f32(), true)), x);
  EXPECT_EQ(ok(b.cast_with_explicit(x, DType::f32(), false)), x);
  EXPECT_EQ(text(ok(b.cast_with_explicit(x, DType::f64(), false))), "cast<f64>(x)");
  EXPECT_EQ(text(ok(b.cast_with_explicit(x, DType::f64(), true))), "cast!<f64>(x)");
}

TEST_F(BuilderTest, SelectWithEqualBranchesIsTheBranch) {
  const CanonExprId c = param("c", DType::boolean());
  const CanonExprId x = param("x");
  const CanonExprId y = param("y");
  EXPECT_EQ(ok(b.select(c, y, y, DType::f64())), y);
  EXPECT_EQ(text(ok(b.select(c, x, y, DType::f64()))), "select(c, x, y)");
}

TEST_F(BuilderTest, CallsAreNotSimplified) {
  const CanonExprId x = param("x");
  const CanonExprId y = param("y");
  const CanonExprId call = ok(b.call("atan2", std::vector<CanonExprId>{y, x}, DType::f64()));
  EXPECT_EQ(text(call), "atan2(y, x)");
  EXPECT_EQ(ok(b.call("atan2", std::vector<CanonExprId>{y, x}, DType::f64())), call);
  EXPECT_EQ(text(ok(b.call("pi", std::vector<CanonExprId>{}, DType::f64()))), "pi()");
}

// ---------------------------------------------------------------------------
// Invalid ids and finishing

TEST_F(BuilderTest, FirstInvalidIdInArgumentOrderIsReported) {
  const CanonExprId x = param("x");
  const CanonExprId bad1{41};
  const CanonExprId bad2{42};
  EXPECT_EQ(err(b.unary(UnaryOp::Neg, bad1, DType::f64())), "invalid canonical expression id CanonExprId(41)");
  EXPECT_EQ(err(b.binary(BinaryOp::Add, x, bad2, DType::f64())), "invalid canonical expression id CanonExprId(42)");
  EXPECT_EQ(err(b.binary(BinaryOp::Div, bad2, bad1, DType::f64())), "invalid canonical expression id CanonExprId(42)");
  EXPECT_EQ(err(b.binary(BinaryOp::Sub, bad1, x, DType::f64())), "invalid canonical expression id CanonExprId(41)");
  EXPECT_EQ(err(b.binary(BinaryOp::Pow, x, bad1, DType::f64())), "invalid canonical expression id CanonExprId(41)");
  EXPECT_EQ(err(b.select(x, bad2, bad1, DType::f64())), "invalid canonical expression id CanonExprId(42)");
  EXPECT_EQ(err(b.select(bad1, x, x, DType::f64())), "invalid canonical expression id CanonExprId(41)");
  EXPECT_EQ(err(b.call("exp", std::vector<CanonExprId>{x, bad2, bad1}, DType::f64())),
            "invalid canonical expression id CanonExprId(42)");
  EXPECT_EQ(err(b.cast_with_explicit(bad1, DType::f64(), false)), "invalid canonical expression id CanonExprId(41)");
  EXPECT_EQ(b.size(), 1u);
}

TEST(BuilderFinishTest, FinishHandsOverTheExpressionsAndOutputs) {
  InternedCanonExprBuilder b;
  const CanonExprId x = *b.parameter("x", DType::f64());
  const CanonExprId sum = *b.binary(BinaryOp::Add, x, x, DType::f64());
  auto fn = std::move(b).finish({{"x", DType::f64()}, {"y", DType::i32()}}, {sum, x});
  ASSERT_TRUE(fn) << fn.error().to_string();
  EXPECT_EQ(fn->signature(), (std::vector<ir::ParamDecl>{{"x", DType::f64()}, {"y", DType::i32()}}));
  EXPECT_EQ(fn->outputs(), (std::vector<CanonExprId>{sum, x}));
  EXPECT_EQ(render(fn->exprs(), fn->outputs()[0]), "(x + x)");
  EXPECT_EQ(fn->exprs().size(), 2u);
}

TEST(BuilderFinishTest, DuplicateParameterIsReportedBeforeInvalidOutputs) {
  InternedCanonExprBuilder b;
  auto fn = std::move(b).finish({{"x", DType::f64()}, {"y", DType::f64()}, {"x", DType::f32()}}, {CanonExprId{3}});
  ASSERT_FALSE(fn);
  EXPECT_EQ(fn.error().to_string(), "duplicate parameter `x` in canonical function signature");
}

TEST(BuilderFinishTest, DuplicateParameterInALongSignature) {
  InternedCanonExprBuilder b;
  std::vector<ir::ParamDecl> signature;
  for (char c = 'a'; c < 'u'; ++c) signature.push_back({std::string(1, c), DType::f64()});
  signature[17].name = "d";
  signature[18].name = "c";
  auto fn = std::move(b).finish(signature, {});
  ASSERT_FALSE(fn);
  EXPECT_EQ(fn.error().to_string(), "duplicate parameter `d` in canonical function signature");
}

TEST(BuilderFinishTest, FirstInvalidOutputIsReported) {
  InternedCanonExprBuilder b;
  const CanonExprId x = *b.parameter("x", DType::f64());
  auto fn = std::move(b).finish({{"x", DType::f64()}}, {x, CanonExprId{1}, CanonExprId{0}, CanonExprId{7}});
  ASSERT_FALSE(fn);
  EXPECT_EQ(fn.error().to_string(), "invalid canonical expression id CanonExprId(1)");
}

TEST(CanonBuildErrorTest, DisplayTexts) {
  EXPECT_EQ(CanonBuildError{CanonBuildError::InvalidId{CanonExprId{7}}}.to_string(),
            "invalid canonical expression id CanonExprId(7)");
  EXPECT_EQ(CanonBuildError{CanonBuildError::DuplicateParameter{"x"}}.to_string(),
            "duplicate parameter `x` in canonical function signature");
  EXPECT_EQ(CanonBuildError{CanonBuildError::TooMany{}}.to_string(), "too many canonical expressions");
}

}  // namespace
}  // namespace morvalen::diff
