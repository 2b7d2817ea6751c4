#include "ir/lower.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "diag.h"
#include "ir/error.h"
#include "parse/ast.h"
#include "parse/parser.h"
#include "support/internal_error.h"

namespace morvalen::ir {
namespace {

using diag::Diag;
using diag::DiagKind;
using parse::Spanned;

// ---------------------------------------------------------------------------
// Hand-built parse trees. Spans are arbitrary but distinct where a test
// checks them.

// The nodes of every hand-built tree, kept for the whole run.
parse::NodeArena& nodes() {
  static parse::NodeArena arena;
  return arena;
}

parse::Child ch(const Spanned& s) { return nodes().make(s); }

Spanned var(std::string_view name, Span s = {}) { return Spanned(parse::Var{nodes().text(name)}, s); }
Spanned int_lit(std::int64_t v, Span s = {}, std::optional<DType> suffix = std::nullopt) {
  return Spanned(parse::Int{v, suffix}, s);
}
Spanned float_lit(double v, Span s = {}, std::optional<DType> suffix = std::nullopt) {
  return Spanned(parse::Float{v, suffix}, s);
}
Spanned imag_lit(double im, Span s = {}, std::optional<DType> suffix = std::nullopt) {
  return Spanned(parse::Complex{0.0, im, suffix}, s);
}
Spanned bool_lit(bool v, Span s = {}) { return Spanned(parse::Bool{v}, s); }
Spanned bin(BinaryOp op, Spanned l, Spanned r, Span s = {}) {
  return Spanned(parse::Binary{ch(std::move(l)), ch(std::move(r)), op}, s);
}
Spanned un(UnaryOp op, Spanned a, Span s = {}) { return Spanned(parse::Unary{ch(std::move(a)), op}, s); }
Spanned if_expr(Spanned c, Spanned t, Spanned e, Span s = {}) {
  return Spanned(parse::If{ch(std::move(c)), ch(std::move(t)), ch(std::move(e))}, s);
}
template <typename... Args>
Spanned call(std::string_view name, Span s, Args... args) {
  std::vector<parse::Child> children;
  (children.push_back(ch(args)), ...);
  return Spanned(parse::Call{nodes().text(name), nodes().list(children)}, s);
}
Spanned cast(Spanned a, DType target, Span s = {}) { return Spanned(parse::Cast{ch(std::move(a)), target}, s); }
template <typename... Args>
Spanned tuple(Span s, Args... args) {
  std::vector<parse::Child> children;
  (children.push_back(ch(args)), ...);
  return Spanned(parse::Tuple{nodes().list(children)}, s);
}
Spanned let(std::string_view name, Spanned value, Spanned body, Span s = {}) {
  return Spanned(parse::Let{nodes().text(name), ch(value), ch(body)}, s);
}
Spanned diff_expr(std::string_view v, Spanned e, Span s = {}) {
  return Spanned(parse::Diff{nodes().text(v), ch(e)}, s);
}

parse::FuncDef program(std::vector<parse::FuncParam> params, Spanned body) {
  return parse::FuncDef{std::move(params), body, parse::NodeArena{}};
}

LowerResultWithErrors lower(const parse::FuncDef& p, const diag::DiagConfig& config = {}) {
  return lower_with_config_collect(p, config);
}

std::vector<std::string> messages(const std::vector<Diag>& diags) {
  std::vector<std::string> out;
  for (const auto& d : diags) out.push_back(d.message);
  return out;
}

void expect_diag(const Diag& d, DiagKind kind, Span span, std::string_view message, std::string_view help) {
  EXPECT_EQ(d.kind, kind) << d.message;
  ASSERT_TRUE(d.span.has_value()) << d.message;
  EXPECT_EQ(*d.span, span) << d.message;
  EXPECT_EQ(d.message, message);
  ASSERT_TRUE(d.help.has_value()) << d.message;
  EXPECT_EQ(*d.help, help);
}

const std::string kTypeMismatchHelp =
    "make operand dtypes compatible, for example by inserting explicit casts using `@dtype`";

DType out_dtype(const TypedDag& dag, std::size_t i = 0) { return dag.dtype(dag.outputs().at(i)); }

template <typename T>
const T& node_as(const TypedDag& dag, NodeId id) {
  const T* n = std::get_if<T>(&dag.node(id));
  if (n == nullptr) throw std::runtime_error("node " + std::to_string(id.value) + " has another variant");
  return *n;
}

// ---------------------------------------------------------------------------
// Narrow float conversions.

struct HalfCase {
  double value;
  std::uint16_t bits;
};

TEST(HalfConversion, KnownValues) {
  const HalfCase cases[] = {
      {1.0, 0x3c00},
      {-2.0, 0xc000},
      {0.0, 0x0000},
      {-0.0, 0x8000},
      {65504.0, 0x7bff},
      {65519.99, 0x7bff},
      {65520.0, 0x7c00},  // the tie above the largest half rounds to even: infinity
      {1e10, 0x7c00},
      {-1e10, 0xfc00},
      {std::ldexp(1.0, -14), 0x0400},                         // smallest normal
      {std::ldexp(1.0, -14) - std::ldexp(1.0, -26), 0x0400},  // rounds up into the normals
      {std::ldexp(1.0, -24), 0x0001},                         // smallest subnormal
      {std::ldexp(1.0, -25), 0x0000},                         // tie to even: zero
      {std::ldexp(1.5, -25), 0x0001},
      {std::ldexp(3.0, -25), 0x0002},                               // tie between 1 and 2 ulps: even
      {1.0 + std::ldexp(1.0, -11), 0x3c00},                         // tie: stays even
      {1.0 + std::ldexp(3.0, -11), 0x3c02},                         // tie: rounds up to even
      {1.0 + std::ldexp(1.0, -11) + std::ldexp(1.0, -40), 0x3c01},  // just above the tie
      {0.1, 0x2e66},
      {1.0 / 3.0, 0x3555},
      {std::numeric_limits<double>::denorm_min(), 0x0000},
      {std::numeric_limits<double>::infinity(), 0x7c00},
      {-std::numeric_limits<double>::infinity(), 0xfc00},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(to_half_bits(c.value), c.bits);
  }
  EXPECT_EQ(to_half_bits(std::numeric_limits<double>::quiet_NaN()) & 0x7e00, 0x7e00);
  EXPECT_TRUE(std::isnan(from_half_bits(0x7e00)));
  EXPECT_EQ(from_half_bits(0x7bff), 65504.0);
  EXPECT_EQ(from_half_bits(0x0001), std::ldexp(1.0, -24));
  EXPECT_EQ(from_half_bits(0x3555), 0.333251953125);
  EXPECT_EQ(from_half_bits(0x7c00), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::signbit(from_half_bits(0x8000)));
}

// Every finite half reads back to itself, and every midpoint between two
// neighbours rounds to the one with the even fraction.
template <std::uint16_t (*Encode)(double), double (*Decode)(std::uint16_t)>
void check_all_patterns(std::uint16_t positive_inf) {
  for (std::uint32_t b = 0; b < 0x10000; ++b) {
    const auto bits = static_cast<std::uint16_t>(b);
    if ((bits & 0x7fff) > positive_inf) continue;  // NaN
    const double v = Decode(bits);
    ASSERT_EQ(Encode(v), bits) << "pattern " << b;
    if ((bits & 0x7fff) >= positive_inf - 1) continue;
    const double next = Decode(static_cast<std::uint16_t>(bits + 1));
    const double mid = (v + next) / 2;  // exact in double
    const std::uint16_t even = (bits & 1) == 0 ? bits : static_cast<std::uint16_t>(bits + 1);
    ASSERT_EQ(Encode(mid), even) << "midpoint above pattern " << b;
    ASSERT_EQ(Encode(std::nextafter(mid, 0.0 * v)), bits) << "below midpoint above pattern " << b;
    ASSERT_EQ(Encode(std::nextafter(mid, 2 * next)), static_cast<std::uint16_t>(bits + 1))
        << "above midpoint above pattern " << b;
  }
}

TEST(HalfConversion, AllPatternsRoundTripAndTiesGoToEven) { check_all_patterns<to_half_bits, from_half_bits>(0x7c00); }

TEST(BFloat16Conversion, KnownValues) {
  const HalfCase cases[] = {
      {1.0, 0x3f80},
      {-1.0, 0xbf80},
      {3.141592653589793, 0x4049},
      {1.0 + std::ldexp(1.0, -8), 0x3f80},  // tie: stays even
      {1.0 + std::ldexp(3.0, -8), 0x3f82},  // tie: rounds up to even
      {3.3895313892515355e38, 0x7f7f},      // largest finite
      {1e39, 0x7f80},
      {std::ldexp(1.0, -133), 0x0001},  // smallest subnormal
      {std::ldexp(1.0, -134), 0x0000},  // tie to even: zero
      {std::ldexp(1.0, -126), 0x0080},  // smallest normal
      {0.1, 0x3dcd},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(to_bfloat16_bits(c.value), c.bits);
  }
  EXPECT_EQ(to_bfloat16_bits(std::numeric_limits<double>::quiet_NaN()) & 0x7fc0, 0x7fc0);
  EXPECT_EQ(from_bfloat16_bits(0x3dcd), 0.10009765625);
}

TEST(BFloat16Conversion, AllPatternsRoundTripAndTiesGoToEven) {
  check_all_patterns<to_bfloat16_bits, from_bfloat16_bits>(0x7f80);
}

// The 32-bit check agrees with the hardware conversion on a deterministic
// sweep of values inside the float range.
TEST(ExactlyRepresentable, F32AgreesWithHardwareConversion) {
  std::uint64_t state = 0x9e3779b97f4a7c15ull;
  for (int i = 0; i < 200000; ++i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    // Random sign and fraction, exponent spread over the float range and the
    // subnormals; every fourth value has a short fraction so that some fit.
    std::uint64_t fraction = state & ((std::uint64_t{1} << 52) - 1);
    if (i % 4 == 0) fraction &= ~((std::uint64_t{1} << 30) - 1);
    const std::uint64_t exponent = 1023 - 150 + ((state >> 52) % 280);
    const double v = std::bit_cast<double>((state & (std::uint64_t{1} << 63)) | (exponent << 52) | fraction);
    if (std::fabs(v) > std::numeric_limits<float>::max()) continue;
    const bool hardware = static_cast<double>(static_cast<float>(v)) == v;
    ASSERT_EQ(exactly_representable(v, DType::f32()), hardware) << v;
  }
}

// The 16-bit checks agree with the round trip through the conversions: on
// every pattern and its double neighbours, and on a sweep of doubles of every
// exponent.
template <std::uint16_t (*Encode)(double), double (*Decode)(std::uint16_t)>
void check_agrees_with_round_trip(DType dtype) {
  auto agrees = [&](double v) {
    const bool round_trip = Decode(Encode(v)) == v;
    ASSERT_EQ(exactly_representable(v, dtype), round_trip) << std::bit_cast<std::uint64_t>(v);
  };
  for (std::uint32_t b = 0; b < 0x10000; ++b) {
    const double v = Decode(static_cast<std::uint16_t>(b));
    agrees(v);
    agrees(std::nextafter(v, std::numeric_limits<double>::infinity()));
    agrees(std::nextafter(v, -std::numeric_limits<double>::infinity()));
  }
  std::uint64_t state = 0x2545f4914f6cdd1dull;
  for (int i = 0; i < 400000; ++i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    // Every exponent, NaNs, infinities and double subnormals included; most
    // fractions short so that many values fit.
    std::uint64_t bits = state;
    if (i % 4 != 0) bits &= ~((std::uint64_t{1} << (40 + i % 13)) - 1) | (std::uint64_t{0xfff} << 52);
    agrees(std::bit_cast<double>(bits));
  }
}

TEST(ExactlyRepresentable, HalfAgreesWithRoundTrip) {
  check_agrees_with_round_trip<to_half_bits, from_half_bits>(DType::f16());
}

TEST(ExactlyRepresentable, BFloat16AgreesWithRoundTrip) {
  check_agrees_with_round_trip<to_bfloat16_bits, from_bfloat16_bits>(DType::bf16());
}

TEST(ExactlyRepresentable, ByDtype) {
  EXPECT_TRUE(exactly_representable(0.1, DType::f64()));
  EXPECT_FALSE(exactly_representable(0.1, DType::f32()));
  EXPECT_TRUE(exactly_representable(0.5, DType::f16()));
  EXPECT_TRUE(exactly_representable(0.5, DType::bf16()));
  EXPECT_TRUE(exactly_representable(257.0, DType::f16()));
  EXPECT_FALSE(exactly_representable(257.0, DType::bf16()));
  EXPECT_FALSE(exactly_representable(1e39, DType::f32()));
  EXPECT_FALSE(exactly_representable(1e39, DType::bf16()));
  EXPECT_FALSE(exactly_representable(1.0, DType::i32()));
}

// ---------------------------------------------------------------------------
// Literal defaults.

TEST(LiteralTyping, DefaultIntDtype) {
  const std::pair<std::int64_t, DType> cases[] = {
      {0, DType::i8()},
      {127, DType::i8()},
      {-128, DType::i8()},
      {128, DType::i16()},
      {-129, DType::i16()},
      {300, DType::i16()},
      {32767, DType::i16()},
      {32768, DType::i32()},
      {2147483647, DType::i32()},
      {-2147483648LL, DType::i32()},
      {2147483648LL, DType::i64()},
      {std::numeric_limits<std::int64_t>::min(), DType::i64()},
  };
  for (const auto& [value, dtype] : cases) {
    SCOPED_TRACE(value);
    EXPECT_EQ(default_int_dtype(value), dtype);
  }
}

TEST(LiteralTyping, DefaultFloatDtype) {
  const std::pair<double, DType> cases[] = {
      {0.1, DType::f64()},
      {0.5, DType::f16()},
      {100000.0, DType::f32()},
      {65504.0, DType::f16()},
      {65505.0, DType::f32()},
      {std::ldexp(1.0, -24), DType::f16()},
      {std::ldexp(1.0, -25), DType::f32()},
      {1.0 / 3.0, DType::f64()},
      {0.0, DType::f16()},
      {-0.0, DType::f16()},
      {std::numeric_limits<double>::quiet_NaN(), DType::f16()},
      {std::numeric_limits<double>::infinity(), DType::f16()},
      {-std::numeric_limits<double>::infinity(), DType::f16()},
      {1e300, DType::f64()},
  };
  for (const auto& [value, dtype] : cases) {
    SCOPED_TRACE(value);
    EXPECT_EQ(default_float_dtype(value), dtype);
  }
}

TEST(LiteralTyping, DefaultComplexDtype) {
  EXPECT_EQ(default_complex_dtype(0.0, 2.0), DType::c64());
  EXPECT_EQ(default_complex_dtype(0.0, 0.1), DType::c128());
  EXPECT_EQ(default_complex_dtype(0.1, 2.0), DType::c128());
  EXPECT_EQ(default_complex_dtype(0.0, std::numeric_limits<double>::infinity()), DType::c64());
  EXPECT_EQ(default_complex_dtype(std::numeric_limits<double>::quiet_NaN(), 1e10), DType::c64());
}

TEST(LiteralTyping, IntLiteralFits) {
  EXPECT_TRUE(int_literal_fits(255, DType::u8()));
  EXPECT_FALSE(int_literal_fits(256, DType::u8()));
  EXPECT_FALSE(int_literal_fits(-1, DType::u8()));
  EXPECT_TRUE(int_literal_fits(65535, DType::u16()));
  EXPECT_FALSE(int_literal_fits(65536, DType::u16()));
  EXPECT_TRUE(int_literal_fits(4294967295LL, DType::u32()));
  EXPECT_FALSE(int_literal_fits(4294967296LL, DType::u32()));
  EXPECT_TRUE(int_literal_fits(std::numeric_limits<std::int64_t>::max(), DType::u64()));
  EXPECT_FALSE(int_literal_fits(-1, DType::u64()));
  EXPECT_TRUE(int_literal_fits(-128, DType::i8()));
  EXPECT_FALSE(int_literal_fits(128, DType::i8()));
  EXPECT_FALSE(int_literal_fits(-32769, DType::i16()));
  EXPECT_TRUE(int_literal_fits(std::numeric_limits<std::int64_t>::min(), DType::i64()));
  EXPECT_TRUE(int_literal_fits(-5, DType::f32()));
  EXPECT_TRUE(int_literal_fits(7, DType::boolean()));
}

TEST(PlainFloatText, ShortestWithoutExponent) {
  const std::pair<double, const char*> cases[] = {
      {0.1, "0.1"},
      {1.0, "1"},
      {0.0, "0"},
      {-0.0, "-0"},
      {-2.5, "-2.5"},
      {100000.0, "100000"},
      {123.456, "123.456"},
      {1e21, "1000000000000000000000"},
      {1e-7, "0.0000001"},
      {1.5e-10, "0.00000000015"},
      {0.30000000000000004, "0.30000000000000004"},
      {3.4028235677973366e38, "340282356779733661637539395458142568448"},
      {std::numeric_limits<double>::infinity(), "inf"},
  };
  for (const auto& [value, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(plain_float_text(value), text);
  }
}

// ---------------------------------------------------------------------------
// Lowering: successes.

TEST(Lower, FloatParamTimesIntLiteralPromotesWithOneNote) {
  // |x: f32| x * 2   with x at 7..8 and 2 at 11..12
  auto p = program({{"x", DType::f32()}}, bin(BinaryOp::Mul, var("x", {7, 8}), int_lit(2, {11, 12}), {7, 12}));
  auto r = lower(p);
  EXPECT_TRUE(r.errors.empty());
  ASSERT_EQ(r.warnings.size(), 1u);
  const Diag& note = r.warnings[0];
  expect_diag(note, DiagKind::ImplicitPromotion, {7, 12}, "implicit promotion in *: f32 + i8 -> f32",
              "cast the right operand from i8 to f32 using `@f32`");
  ASSERT_TRUE(note.labels.has_value());
  EXPECT_EQ(*note.labels, (std::vector<diag::Label>{{{7, 8}, "left operand (f32)"}, {{11, 12}, "right operand (i8)"}}));

  const TypedDag& dag = r.dag;
  ASSERT_EQ(dag.size(), 4u);
  EXPECT_EQ(node_as<Param>(dag, NodeId{0}).index, 0u);
  EXPECT_EQ(std::get<std::int64_t>(node_as<Const>(dag, NodeId{1}).value), 2);
  EXPECT_EQ(dag.dtype(NodeId{1}), DType::i8());
  const auto& c = node_as<Cast>(dag, NodeId{2});
  EXPECT_EQ(c.arg, NodeId{1});
  EXPECT_EQ(c.dtype, DType::f32());
  EXPECT_FALSE(c.is_explicit);
  const auto& m = node_as<Binary>(dag, NodeId{3});
  EXPECT_EQ(m.op, BinaryOp::Mul);
  EXPECT_EQ(m.lhs, NodeId{0});
  EXPECT_EQ(m.rhs, NodeId{2});
  EXPECT_EQ(dag.outputs(), std::vector<NodeId>{NodeId{3}});
  EXPECT_EQ(out_dtype(dag), DType::f32());
  EXPECT_EQ(dag.params(), (std::vector<ParamDecl>{{"x", DType::f32()}}));
}

TEST(Lower, FloatDividedByFloatLiteralIsAccepted) {
  auto p = program({{"x", DType::f32()}}, bin(BinaryOp::Div, var("x", {0, 1}), float_lit(2.0, {4, 7}), {0, 7}));
  auto r = lower(p);
  EXPECT_TRUE(r.errors.empty());
  EXPECT_EQ(messages(r.warnings), std::vector<std::string>{"implicit promotion in /: f32 + f16 -> f32"});
  EXPECT_EQ(out_dtype(r.dag), DType::f32());
}

TEST(Lower, LiteralDefaultDtypes) {
  struct Case {
    const char* name;
    Spanned (*make)();
    DType dtype;
  };
  const Case cases[] = {
      {"0.1", [] { return float_lit(0.1); }, DType::f64()},
      {"0.5", [] { return float_lit(0.5); }, DType::f16()},
      {"100000.0", [] { return float_lit(100000.0); }, DType::f32()},
      {"300", [] { return int_lit(300); }, DType::i16()},
      {"2147483648", [] { return int_lit(2147483648LL); }, DType::i64()},
      {"-128", [] { return un(UnaryOp::Neg, int_lit(128)); }, DType::i8()},
      {"-129", [] { return un(UnaryOp::Neg, int_lit(129)); }, DType::i16()},
      {"2j", [] { return imag_lit(2.0); }, DType::c64()},
      {"0.1j", [] { return imag_lit(0.1); }, DType::c128()},
      {"true", [] { return bool_lit(true); }, DType::boolean()},
      {"2@f32", [] { return int_lit(2, {}, DType::f32()); }, DType::f32()},
      {"2.5@i32", [] { return float_lit(2.5, {}, DType::i32()); }, DType::i32()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = lower(program({}, c.make()));
    EXPECT_TRUE(r.errors.empty());
    EXPECT_TRUE(r.warnings.empty());
    ASSERT_EQ(r.dag.size(), 1u);
    EXPECT_EQ(out_dtype(r.dag), c.dtype);
  }
}

TEST(Lower, LiteralScalarsKeepTheirAlternative) {
  auto r = lower(program(
      {}, tuple({}, int_lit(2, {}, DType::f32()), un(UnaryOp::Neg, float_lit(1.5)), un(UnaryOp::Neg, imag_lit(2.0)),
                Spanned(parse::E{}, {}), Spanned(parse::Pi{}, {}), bool_lit(false))));
  ASSERT_TRUE(r.errors.empty());
  const TypedDag& d = r.dag;
  ASSERT_EQ(d.outputs().size(), 6u);
  EXPECT_EQ(std::get<std::int64_t>(node_as<Const>(d, d.outputs()[0]).value), 2);
  EXPECT_EQ(std::get<double>(node_as<Const>(d, d.outputs()[1]).value), -1.5);
  const auto z = std::get<ComplexValue>(node_as<Const>(d, d.outputs()[2]).value);
  EXPECT_EQ(z.im, -2.0);
  EXPECT_TRUE(std::signbit(z.re));  // both parts negated
  EXPECT_EQ(std::get<double>(node_as<Const>(d, d.outputs()[3]).value), 2.718281828459045);
  EXPECT_EQ(std::get<double>(node_as<Const>(d, d.outputs()[4]).value), 3.141592653589793);
  EXPECT_EQ(d.dtype(d.outputs()[4]), DType::f64());
  EXPECT_EQ(std::get<bool>(node_as<Const>(d, d.outputs()[5]).value), false);
  // Negated literals are folded: no Unary node anywhere.
  for (const auto& n : d.nodes()) EXPECT_FALSE(std::holds_alternative<Unary>(n));
}

TEST(Lower, UnsignedWithSignedWarnsThenNotes) {
  auto p = program({{"a", DType::u64()}, {"b", DType::i64()}},
                   bin(BinaryOp::Add, var("a", {0, 1}), var("b", {4, 5}), {0, 5}));
  auto r = lower(p);
  EXPECT_TRUE(r.errors.empty());
  ASSERT_EQ(r.warnings.size(), 2u);
  expect_diag(r.warnings[0], DiagKind::UnsafePromotion, {0, 5}, "unsafe promotion in +: u64 and i64 promoted to i64",
              "u64 values may exceed i64 range; consider casting to f64/c128 or constraining the range");
  EXPECT_FALSE(r.warnings[0].labels.has_value());
  expect_diag(r.warnings[1], DiagKind::ImplicitPromotion, {0, 5}, "implicit promotion in +: u64 + i64 -> i64",
              "cast the left operand from u64 to i64 using `@i64`");
  EXPECT_EQ(out_dtype(r.dag), DType::i64());
}

TEST(Lower, ErrorsOnlyModeDropsWarningsButNotRaisedOnes) {
  auto p = program({{"a", DType::u64()}, {"b", DType::i64()}},
                   bin(BinaryOp::Add, var("a", {0, 1}), var("b", {4, 5}), {0, 5}));
  auto full = lower(p);
  auto quiet = lower_with_config_collect_errors(p, {});
  EXPECT_TRUE(quiet.warnings.empty());
  EXPECT_TRUE(quiet.errors.empty());
  EXPECT_EQ(quiet.dag.nodes().size(), full.dag.nodes().size());
  EXPECT_EQ(quiet.dag.dtypes(), full.dag.dtypes());
  // A note raised to an error by the configuration is still built and kept.
  diag::DiagConfig strict;
  strict.overrides[DiagKind::ImplicitPromotion] = diag::Severity::Error;
  auto raised = lower_with_config_collect_errors(p, strict);
  EXPECT_TRUE(raised.warnings.empty());
  EXPECT_EQ(messages(raised.errors), std::vector<std::string>{"implicit promotion in +: u64 + i64 -> i64"});
}

TEST(Lower, PromotionHintForBothOperands) {
  auto p = program({{"a", DType::u8()}, {"b", DType::i8()}}, bin(BinaryOp::Sub, var("a"), var("b")));
  auto r = lower(p);
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0].message, "implicit promotion in -: u8 + i8 -> i16");
  EXPECT_EQ(r.warnings[0].help, "cast one operand to i16 using `@i16`");
  // Both operands are cast, left first.
  const auto& b = node_as<Binary>(r.dag, r.dag.outputs()[0]);
  EXPECT_EQ(node_as<Cast>(r.dag, b.lhs).arg, NodeId{0});
  EXPECT_EQ(node_as<Cast>(r.dag, b.rhs).arg, NodeId{1});
  EXPECT_LT(b.lhs, b.rhs);
}

TEST(Lower, EqualDtypesNeedNoCastOrNote) {
  auto r = lower(program({{"x", DType::f64()}}, bin(BinaryOp::Pow, var("x"), var("x"))));
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_TRUE(r.errors.empty());
  EXPECT_EQ(r.dag.size(), 2u);
}

TEST(Lower, ComparisonIsBoolOverPromotedOperands) {
  auto r = lower(program({{"x", DType::f32()}}, bin(BinaryOp::Lt, var("x"), int_lit(1))));
  EXPECT_TRUE(r.errors.empty());
  EXPECT_EQ(messages(r.warnings), std::vector<std::string>{"implicit promotion in <: f32 + i8 -> f32"});
  EXPECT_EQ(out_dtype(r.dag), DType::boolean());
  const auto& b = node_as<Binary>(r.dag, r.dag.outputs()[0]);
  EXPECT_EQ(r.dag.dtype(b.rhs), DType::f32());
}

TEST(Lower, LogicalOperatorsNeedBools) {
  auto r = lower(program({{"p", DType::boolean()}, {"q", DType::boolean()}},
                         bin(BinaryOp::And, var("p"), bin(BinaryOp::Or, var("q"), un(UnaryOp::Not, var("p"))))));
  EXPECT_TRUE(r.errors.empty());
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_EQ(out_dtype(r.dag), DType::boolean());
  EXPECT_EQ(r.dag.size(), 5u);  // two params, not, or, and
}

TEST(Lower, NegationKeepsOperandDtype) {
  auto r = lower(program({{"n", DType::u16()}}, un(UnaryOp::Neg, var("n"))));
  EXPECT_TRUE(r.errors.empty());
  EXPECT_EQ(out_dtype(r.dag), DType::u16());
  EXPECT_EQ(node_as<Unary>(r.dag, r.dag.outputs()[0]).op, UnaryOp::Neg);
}

TEST(Lower, IfPromotesBranchesWithoutLabels) {
  auto p = program({{"c", DType::boolean()}, {"x", DType::f32()}}, if_expr(var("c"), int_lit(1), var("x"), {0, 20}));
  auto r = lower(p);
  EXPECT_TRUE(r.errors.empty());
  ASSERT_EQ(r.warnings.size(), 1u);
  expect_diag(r.warnings[0], DiagKind::ImplicitPromotion, {0, 20}, "implicit promotion in if_branch: i8 + f32 -> f32",
              "cast the left operand from i8 to f32 using `@f32`");
  EXPECT_FALSE(r.warnings[0].labels.has_value());
  const auto& f = node_as<If>(r.dag, r.dag.outputs()[0]);
  EXPECT_EQ(f.cond, NodeId{0});
  EXPECT_EQ(node_as<Cast>(r.dag, f.then_branch).dtype, DType::f32());
  EXPECT_EQ(f.else_branch, NodeId{1});
  EXPECT_EQ(out_dtype(r.dag), DType::f32());
}

TEST(Lower, CallKeepsArgumentDtype) {
  auto r = lower(program({{"n", DType::i32()}}, call("exp", {}, var("n"))));
  EXPECT_TRUE(r.errors.empty());
  const auto& c = node_as<Call>(r.dag, r.dag.outputs()[0]);
  EXPECT_EQ(c.builtin, Builtin::Exp);
  EXPECT_EQ(c.args, std::vector<NodeId>{NodeId{0}});
  EXPECT_EQ(out_dtype(r.dag), DType::i32());
}

TEST(Lower, ExplicitCastIsKeptEvenToSameDtype) {
  auto r = lower(program({{"x", DType::f32()}}, cast(var("x"), DType::f32())));
  EXPECT_TRUE(r.warnings.empty());
  const auto& c = node_as<Cast>(r.dag, r.dag.outputs()[0]);
  EXPECT_TRUE(c.is_explicit);
  EXPECT_EQ(c.arg, NodeId{0});
  EXPECT_EQ(c.dtype, DType::f32());
}

TEST(Lower, TupleResultGivesSeveralOutputs) {
  auto r = lower(program({{"x", DType::f64()}}, tuple({}, var("x"), float_lit(0.5), var("x"))));
  EXPECT_TRUE(r.errors.empty());
  EXPECT_EQ(r.dag.outputs(), (std::vector<NodeId>{NodeId{0}, NodeId{1}, NodeId{0}}));
}

TEST(Lower, LetShadowingAParameterHidesItOnlyInsideTheBody) {
  // (let x = 2.5 in x, x): the first element sees the binding, the second the parameter.
  auto r = lower(program({{"x", DType::f32()}}, tuple({}, let("x", float_lit(2.5), var("x")), var("x"))));
  EXPECT_TRUE(r.errors.empty());
  ASSERT_EQ(r.dag.outputs().size(), 2u);
  EXPECT_EQ(r.dag.outputs()[0], NodeId{1});
  EXPECT_EQ(r.dag.dtype(NodeId{1}), DType::f16());
  EXPECT_EQ(r.dag.outputs()[1], NodeId{0});
}

TEST(Lower, LetBindingIsSharedAndRemovedAfterItsBody) {
  // (let y = x * x in y + y, y): y is one node used twice, then unbound.
  auto body = let("y", bin(BinaryOp::Mul, var("x"), var("x")), bin(BinaryOp::Add, var("y"), var("y")));
  auto r = lower(program({{"x", DType::f64()}}, tuple({}, std::move(body), var("y", {30, 31}))));
  const auto& add = node_as<Binary>(r.dag, r.dag.outputs()[0]);
  EXPECT_EQ(add.lhs, NodeId{1});
  EXPECT_EQ(add.rhs, NodeId{1});
  ASSERT_EQ(r.errors.size(), 1u);
  expect_diag(r.errors[0], DiagKind::UndefinedVariable, {30, 31}, "undefined variable `y`",
              "ensure the variable is defined as a parameter or let-binding before use");
}

TEST(Lower, NestedLetsShadowInOrder) {
  // x = 1; x = x + 1; x   (nested lets of the same name)
  auto body = let("x", int_lit(1), let("x", bin(BinaryOp::Add, var("x"), int_lit(1)), var("x")));
  auto r = lower(program({}, std::move(body)));
  EXPECT_TRUE(r.errors.empty());
  const auto& add = node_as<Binary>(r.dag, r.dag.outputs()[0]);
  EXPECT_EQ(add.lhs, NodeId{0});
}

TEST(Lower, LaterParameterOfTheSameNameHidesTheEarlier) {
  auto r = lower(program({{"x", DType::f32()}, {"x", DType::i32()}}, var("x")));
  EXPECT_EQ(r.dag.params().size(), 2u);
  EXPECT_EQ(r.dag.outputs(), std::vector<NodeId>{NodeId{1}});
  EXPECT_EQ(node_as<Param>(r.dag, NodeId{1}).index, 1u);
}

// ---------------------------------------------------------------------------
// Lowering: diagnostics.

TEST(LowerErrors, FloatDividedByIntLiteralIsATypeMismatch) {
  auto p = program({{"x", DType::f32()}}, bin(BinaryOp::Div, var("x", {0, 1}), int_lit(2, {4, 5}), {0, 5}));
  auto r = lower(p);
  EXPECT_TRUE(r.warnings.empty());
  ASSERT_EQ(r.errors.size(), 1u);
  expect_diag(r.errors[0], DiagKind::TypeMismatch, {0, 5}, "type mismatch in /: cannot promote f32 and i8",
              kTypeMismatchHelp);
  // The division is replaced by an f64 recovery constant.
  const NodeId out = r.dag.outputs()[0];
  EXPECT_EQ(std::get<double>(node_as<Const>(r.dag, out).value), 0.0);
  EXPECT_EQ(r.dag.dtype(out), DType::f64());
}

TEST(LowerErrors, OperatorClassMismatches) {
  struct Case {
    const char* name;
    std::vector<parse::FuncParam> params;
    Spanned (*make)();
    const char* message;
    DType recovery;
  };
  const Case cases[] = {
      {"floordiv of floats",
       {{"x", DType::f32()}},
       [] { return bin(BinaryOp::FloorDiv, var("x"), var("x")); },
       "type mismatch in //: cannot promote f32 and f32",
       DType::f64()},
      {"div of ints",
       {{"n", DType::i32()}},
       [] { return bin(BinaryOp::Div, var("n"), var("n")); },
       "type mismatch in /: cannot promote i32 and i32",
       DType::f64()},
      {"and of ints",
       {{"n", DType::i32()}},
       [] { return bin(BinaryOp::And, var("n"), bool_lit(true)); },
       "type mismatch in and: cannot promote i32 and bool",
       DType::boolean()},
      {"or of floats",
       {{"x", DType::f32()}},
       [] { return bin(BinaryOp::Or, bool_lit(true), var("x")); },
       "type mismatch in or: cannot promote bool and f32",
       DType::boolean()},
      {"not of float",
       {{"x", DType::f32()}},
       [] { return un(UnaryOp::Not, var("x")); },
       "type mismatch in not: cannot promote f32 and bool",
       DType::boolean()},
      {"neg of bool",
       {{"p", DType::boolean()}},
       [] { return un(UnaryOp::Neg, var("p")); },
       "type mismatch in neg: cannot promote bool and bool",
       DType::f64()},
      {"bf16 with u8",
       {{"h", DType::bf16()}, {"b", DType::u8()}},
       [] { return bin(BinaryOp::Add, var("h"), var("b")); },
       "type mismatch in +: cannot promote bf16 and u8",
       DType::f64()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<parse::FuncParam> params = c.params;
    auto r = lower(program(std::move(params), c.make()));
    ASSERT_EQ(r.errors.size(), 1u);
    expect_diag(r.errors[0], DiagKind::TypeMismatch, {}, c.message, kTypeMismatchHelp);
    EXPECT_TRUE(r.warnings.empty());  // a failed promotion adds no promotion note
    EXPECT_EQ(out_dtype(r.dag), c.recovery);
  }
}

TEST(LowerErrors, FailedPromotionContinuesAtF64) {
  auto r = lower(program({{"h", DType::bf16()}, {"b", DType::u8()}}, bin(BinaryOp::Mul, var("h"), var("b"))));
  ASSERT_EQ(r.errors.size(), 1u);
  const auto& m = node_as<Binary>(r.dag, r.dag.outputs()[0]);
  EXPECT_EQ(r.dag.dtype(r.dag.outputs()[0]), DType::f64());
  EXPECT_EQ(node_as<Cast>(r.dag, m.lhs).dtype, DType::f64());
  EXPECT_EQ(node_as<Cast>(r.dag, m.rhs).dtype, DType::f64());
}

TEST(LowerErrors, IfConditionMustBeBool) {
  auto p = program({{"x", DType::f32()}}, if_expr(var("x", {3, 4}), var("x"), var("x"), {0, 20}));
  auto r = lower(p);
  ASSERT_EQ(r.errors.size(), 1u);
  expect_diag(r.errors[0], DiagKind::TypeMismatch, {3, 4}, "type mismatch in if_cond: cannot promote f32 and bool",
              kTypeMismatchHelp);
  // The condition is used unchanged.
  EXPECT_EQ(node_as<If>(r.dag, r.dag.outputs()[0]).cond, NodeId{0});
}

TEST(LowerErrors, NegatedLiteralOutOfRange) {
  // -5@u8
  auto r = lower(program({}, un(UnaryOp::Neg, int_lit(5, {1, 5}, DType::u8()), {0, 5})));
  ASSERT_EQ(r.errors.size(), 1u);
  expect_diag(r.errors[0], DiagKind::IntOutOfRange, {0, 5}, "integer literal `-5` is out of range for `u8`",
              "adjust the literal value or choose a wider integer dtype that can represent it");
  ASSERT_EQ(r.dag.size(), 1u);
  EXPECT_EQ(std::get<std::int64_t>(node_as<Const>(r.dag, NodeId{0}).value), 0);
  EXPECT_EQ(r.dag.dtype(NodeId{0}), DType::i64());
}

TEST(LowerErrors, SuffixRangeChecks) {
  const std::pair<std::int64_t, DType> bad[] = {
      {256, DType::u8()}, {65536, DType::u16()},  {4294967296LL, DType::u32()}, {-1, DType::u64()},
      {128, DType::i8()}, {-32769, DType::i16()}, {2147483648LL, DType::i32()},
  };
  for (const auto& [value, dtype] : bad) {
    SCOPED_TRACE(value);
    const Span s{0, 3};
    auto r = lower(program({}, value < 0 ? un(UnaryOp::Neg, int_lit(-value, {}, dtype), s) : int_lit(value, s, dtype)));
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].message, "integer literal `" + std::to_string(value) + "` is out of range for `" +
                                       std::string(to_str(dtype)) + "`");
  }
  auto ok =
      lower(program({}, tuple({}, int_lit(255, {}, DType::u8()), int_lit(300, {}, DType::f16()),
                              int_lit(9223372036854775807LL, {}, DType::u64()), int_lit(7, {}, DType::boolean()))));
  EXPECT_TRUE(ok.errors.empty());
}

TEST(LowerErrors, DivisionByIntegerZero) {
  struct Case {
    BinaryOp op;
    const char* message;
  };
  for (const Case& c :
       {Case{BinaryOp::FloorDiv, "division by zero in //"}, Case{BinaryOp::Rem, "division by zero in %"}}) {
    SCOPED_TRACE(c.message);
    auto r = lower(program({{"n", DType::i32()}}, bin(c.op, var("n"), int_lit(0), {0, 6})));
    ASSERT_EQ(r.errors.size(), 1u);
    expect_diag(r.errors[0], DiagKind::DivByZero, {0, 6}, c.message,
                "ensure the divisor cannot be zero, e.g. by guarding with an `if` or changing the expression");
    // Lowering of the operation goes on.
    EXPECT_EQ(node_as<Binary>(r.dag, r.dag.outputs()[0]).op, c.op);
    EXPECT_EQ(messages(r.warnings),
              std::vector<std::string>{"implicit promotion in " + std::string(as_str(c.op)) + ": i32 + i8 -> i32"});
  }
}

TEST(LowerErrors, FloatZeroAndTrueDivisionAreNotChecked) {
  auto r = lower(program({{"x", DType::f32()}}, tuple({}, bin(BinaryOp::Div, var("x"), float_lit(0.0)),
                                                      bin(BinaryOp::Rem, var("x"), float_lit(0.0)))));
  EXPECT_TRUE(r.errors.empty());
}

TEST(LowerErrors, ZeroThroughALetBindingIsChecked) {
  auto r = lower(program({{"n", DType::i64()}}, let("z", int_lit(0), bin(BinaryOp::Rem, var("n"), var("z")))));
  EXPECT_EQ(messages(r.errors), std::vector<std::string>{"division by zero in %"});
}

TEST(LowerErrors, UndefinedFunctions) {
  const std::string help =
      "define the function or call a supported builtin such as `exp`, `log`, `sqrt`, `floor`, or `ceil`";
  for (const char* name : {"exp_sigmoid", "sigmoid_log", "foo", "Exp"}) {
    SCOPED_TRACE(name);
    // The arguments are not lowered: the undefined y gives no diagnostic.
    auto r = lower(program({{"x", DType::f64()}}, call(name, {0, 10}, var("y"))));
    ASSERT_EQ(r.errors.size(), 1u);
    expect_diag(r.errors[0], DiagKind::UndefinedFunction, {0, 10}, "undefined function `" + std::string(name) + "`",
                help);
    EXPECT_EQ(out_dtype(r.dag), DType::f64());
    EXPECT_EQ(r.dag.size(), 2u);
  }
}

TEST(LowerErrors, WrongArgumentCount) {
  auto two = lower(program({{"x", DType::f64()}}, call("exp", {0, 9}, var("x"), var("x"))));
  ASSERT_EQ(two.errors.size(), 1u);
  expect_diag(two.errors[0], DiagKind::ArgCount, {0, 9}, "wrong argument count for `exp`: expected 1, got 2",
              "add or remove arguments so the call matches the function's parameter count");
  auto none = lower(program({}, call("sqrt", {0, 6})));
  EXPECT_EQ(messages(none.errors), std::vector<std::string>{"wrong argument count for `sqrt`: expected 1, got 0"});
}

TEST(LowerErrors, TupleInScalarPosition) {
  auto p = program({}, bin(BinaryOp::Add, tuple({2, 8}, int_lit(1), int_lit(2)), int_lit(3)));
  auto r = lower(p);
  ASSERT_EQ(r.errors.size(), 1u);
  expect_diag(r.errors[0], DiagKind::ExpectedScalar, {2, 8}, "expected 1 value, but expression produced 2",
              "use a scalar expression here, or destructure the tuple before using it in a scalar position");
  // The recovery constant is f64, then promoted with the i8.
  EXPECT_EQ(out_dtype(r.dag), DType::f64());
}

TEST(LowerErrors, NestedTupleElementIsNotScalar) {
  auto r = lower(program({}, tuple({}, int_lit(1), tuple({3, 9}, int_lit(2), int_lit(3), int_lit(4)))));
  EXPECT_EQ(messages(r.errors), std::vector<std::string>{"expected 1 value, but expression produced 3"});
  EXPECT_EQ(r.dag.outputs().size(), 2u);
}

TEST(LowerErrors, TwoErrorsAreCollectedInOrder) {
  // |x: f32| y + x / 2
  auto p = program({{"x", DType::f32()}},
                   bin(BinaryOp::Add, var("y", {9, 10}), bin(BinaryOp::Div, var("x"), int_lit(2), {13, 18}), {9, 18}));
  auto r = lower(p);
  ASSERT_EQ(r.errors.size(), 2u);
  expect_diag(r.errors[0], DiagKind::UndefinedVariable, {9, 10}, "undefined variable `y`",
              "ensure the variable is defined as a parameter or let-binding before use");
  expect_diag(r.errors[1], DiagKind::TypeMismatch, {13, 18}, "type mismatch in /: cannot promote f32 and i8",
              kTypeMismatchHelp);
  EXPECT_TRUE(r.warnings.empty());  // f64 + f64 after recovery
}

TEST(LowerErrors, EmissionFollowsEvaluationOrder) {
  // (0.1@f16 + y) * (if x then n // 0 else 1)
  auto lhs = bin(BinaryOp::Add, float_lit(0.1, {0, 7}, DType::f16()), var("y"));
  auto rhs = if_expr(var("x"), bin(BinaryOp::FloorDiv, var("n"), int_lit(0)), int_lit(1));
  auto r =
      lower(program({{"x", DType::f32()}, {"n", DType::i8()}}, bin(BinaryOp::Mul, std::move(lhs), std::move(rhs))));
  EXPECT_EQ(messages(r.warnings), (std::vector<std::string>{
                                      "literal `0.1` may lose precision in `f16`",
                                      "implicit promotion in +: f16 + f64 -> f64",
                                      "implicit promotion in *: f64 + i8 -> f64",
                                  }));
  EXPECT_EQ(messages(r.errors), (std::vector<std::string>{
                                    "undefined variable `y`",
                                    "division by zero in //",
                                    "type mismatch in if_cond: cannot promote f32 and bool",
                                }));
}

TEST(LowerErrors, SequentialCasts) {
  // x@f32@f64
  auto r = lower(program({{"x", DType::i32()}}, cast(cast(var("x"), DType::f32(), {0, 5}), DType::f64(), {0, 9})));
  EXPECT_TRUE(r.errors.empty());
  ASSERT_EQ(r.warnings.size(), 1u);
  expect_diag(r.warnings[0], DiagKind::SequentialCasts, {0, 9},
              "multiple sequential casts: f32 -> f64; consider casting directly to f64",
              "simplify to a single `expr@dtype` unless the intermediate cast is required");
  const auto& outer = node_as<Cast>(r.dag, r.dag.outputs()[0]);
  EXPECT_TRUE(outer.is_explicit);
  EXPECT_EQ(outer.dtype, DType::f64());
  const auto& inner = node_as<Cast>(r.dag, outer.arg);
  EXPECT_TRUE(inner.is_explicit);
  EXPECT_EQ(inner.dtype, DType::f32());
}

TEST(LowerErrors, PrecisionLoss) {
  struct Case {
    const char* name;
    Spanned (*make)();
    const char* message;
    const char* help;
  };
  const Case cases[] = {
      {"0.1@f16",
       [] {
         return float_lit(0.1, {0, 7}, DType::f16());
       },
       "literal `0.1` may lose precision in `f16`", "consider f32 or f64 for full precision"},
      {"0.1@bf16",
       [] {
         return float_lit(0.1, {0, 7}, DType::bf16());
       },
       "literal `0.1` may lose precision in `bf16`", "consider f32 or f64 for full precision"},
      {"0.1@f32",
       [] {
         return float_lit(0.1, {0, 7}, DType::f32());
       },
       "literal `0.1` may lose precision in `f32`", "consider f64 for full precision"},
      {"-0.1@f32",
       [] {
         return un(UnaryOp::Neg, float_lit(0.1, {1, 7}, DType::f32()), {0, 7});
       },
       "literal `-0.1` may lose precision in `f32`", "consider f64 for full precision"},
      {"257.0@bf16",
       [] {
         return float_lit(257.0, {0, 7}, DType::bf16());
       },
       "literal `257` may lose precision in `bf16`", "consider f32 or f64 for full precision"},
      {"1e21@f16",
       [] {
         return float_lit(1e21, {0, 7}, DType::f16());
       },
       "literal `1000000000000000000000` may lose precision in `f16`", "consider f32 or f64 for full precision"},
      {"0.1j@c64",
       [] {
         return imag_lit(0.1, {0, 7}, DType::c64());
       },
       "literal `0.1` may lose precision in `f32`", "consider f64 for full precision"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = lower(program({}, c.make()));
    EXPECT_TRUE(r.errors.empty());
    ASSERT_EQ(r.warnings.size(), 1u);
    expect_diag(r.warnings[0], DiagKind::PrecisionLoss, {0, 7}, c.message, c.help);
    ASSERT_EQ(r.dag.size(), 1u);  // the literal is lowered normally
  }
}

TEST(LowerErrors, NoPrecisionLossForExactOrSpecialValues) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  auto r = lower(program({}, tuple({}, float_lit(0.5, {}, DType::f16()), float_lit(inf, {}, DType::f16()),
                                   float_lit(nan, {}, DType::bf16()), float_lit(0.1, {}, DType::f64()),
                                   float_lit(0.1, {}, DType::c128()), imag_lit(0.1, {}, DType::c128()),
                                   imag_lit(inf, {}, DType::c64()), float_lit(65504.0, {}, DType::f16()))));
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_TRUE(r.errors.empty());
}

// ---------------------------------------------------------------------------
// Configuration and the collector mode.

TEST(LowerConfig, SeveritiesFollowTheConfiguration) {
  auto make = [] {
    return program({{"x", DType::f32()}}, bin(BinaryOp::Mul, var("x"), float_lit(0.1, {}, DType::f16())));
  };
  diag::DiagConfig deny;
  deny.deny_warnings = true;
  auto denied = lower(make(), deny);
  EXPECT_EQ(messages(denied.errors), std::vector<std::string>{"literal `0.1` may lose precision in `f16`"});
  EXPECT_EQ(messages(denied.warnings), std::vector<std::string>{"implicit promotion in *: f32 + f16 -> f32"});

  diag::DiagConfig strict;
  strict.overrides[DiagKind::ImplicitPromotion] = diag::Severity::Error;
  strict.overrides[DiagKind::PrecisionLoss] = diag::Severity::Allow;
  auto s = lower(make(), strict);
  EXPECT_TRUE(s.warnings.empty());
  EXPECT_EQ(messages(s.errors), std::vector<std::string>{"implicit promotion in *: f32 + f16 -> f32"});
  EXPECT_EQ(out_dtype(s.dag), DType::f32());  // in collecting mode lowering goes on
}

TEST(LowerCollector, FirstErrorStopsAndNotesAreKept) {
  auto p = program({{"x", DType::f32()}}, bin(BinaryOp::Add, bin(BinaryOp::Mul, var("x"), int_lit(2)),
                                              bin(BinaryOp::Add, var("y", {5, 6}), var("z"))));
  diag::DiagCollector collector;
  auto r = lower_with_collector(p, collector);
  ASSERT_FALSE(r.has_value());
  expect_diag(r.error(), DiagKind::UndefinedVariable, {5, 6}, "undefined variable `y`",
              "ensure the variable is defined as a parameter or let-binding before use");
  EXPECT_EQ(messages(collector.diags()), std::vector<std::string>{"implicit promotion in *: f32 + i8 -> f32"});
}

TEST(LowerCollector, SucceedsWithoutErrors) {
  auto p = program({{"x", DType::f32()}}, bin(BinaryOp::Mul, var("x"), int_lit(2)));
  diag::DiagCollector collector;
  auto r = lower_with_collector(p, collector);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->size(), 4u);
  EXPECT_EQ(collector.diags().size(), 1u);
}

// ---------------------------------------------------------------------------
// Ctx pieces.

TEST(LowerCtx, RecoveryConstantsFollowTheKind) {
  Ctx ctx(DiagMode{Collect{}});
  for (DType d : all_dtypes) {
    SCOPED_TRACE(std::string(to_str(d)));
    const NodeId id = ctx.recovery_const(d);
    EXPECT_EQ(ctx.dtypes()[id.value], d);
    const Scalar& s = std::get<Const>(ctx.nodes()[id.value]).value;
    if (d.is_bool()) {
      EXPECT_EQ(std::get<bool>(s), false);
    } else if (d.is_integer()) {
      EXPECT_EQ(std::get<std::int64_t>(s), 0);
    } else {
      EXPECT_EQ(std::get<double>(s), 0.0);
    }
  }
}

// Past its inline slots the scope moves to a hash map; binding, shadowing and
// restoring must read the same on both sides of that move.
TEST(LowerCtx, BindingsBeyondTheInlineSlots) {
  Ctx ctx(DiagMode{Collect{}});
  const NodeId x = ctx.add_param("x", DType::f64());
  constexpr std::size_t kNames = 20;
  std::vector<std::optional<NodeId>> previous;
  for (std::size_t i = 0; i < kNames; ++i) {
    previous.push_back(ctx.bind(std::string(1, static_cast<char>('a' + i)), NodeId{100 + i}));
    EXPECT_FALSE(previous.back().has_value());
  }
  EXPECT_EQ(ctx.bind("x", NodeId{7}), std::optional<NodeId>(x));
  EXPECT_EQ(ctx.bind("d", NodeId{8}), std::optional<NodeId>(NodeId{103}));
  EXPECT_EQ(ctx.lookup("d"), std::optional<NodeId>(NodeId{8}));
  ctx.restore("d", NodeId{103});
  ctx.restore("x", x);
  for (std::size_t i = kNames; i-- > 0;) {
    const std::string name(1, static_cast<char>('a' + i));
    EXPECT_EQ(ctx.lookup(name), std::optional<NodeId>(NodeId{100 + i})) << name;
    ctx.restore(name, previous[i]);
    EXPECT_FALSE(ctx.lookup(name).has_value()) << name;
  }
  EXPECT_EQ(ctx.lookup("x"), std::optional<NodeId>(x));
}

TEST(LowerCtx, CastIfNeeded) {
  Ctx ctx(DiagMode{Collect{}});
  const NodeId x = ctx.add_param("x", DType::f16());
  EXPECT_EQ(ctx.cast_if_needed(x, DType::f16()), x);
  const NodeId c = ctx.cast_if_needed(x, DType::bf16());  // same width, different dtype
  EXPECT_NE(c, x);
  const auto& cast_node = std::get<Cast>(ctx.nodes()[c.value]);
  EXPECT_FALSE(cast_node.is_explicit);
  EXPECT_EQ(ctx.dtypes()[c.value], DType::bf16());
}

TEST(LowerCtx, ImportSharesParameterNodes) {
  Ctx ctx(DiagMode{Collect{}});
  ctx.add_param("a", DType::f64());
  ctx.add_param("b", DType::f64());
  ctx.push(Const{Scalar{1.0}}, DType::f64());
  // b * (2 + a), with its own parameter nodes in the other order
  std::vector<Node> nodes{Param{1}, Const{Scalar{2.0}}, Param{0}, Binary{BinaryOp::Add, NodeId{1}, NodeId{2}},
                          Binary{BinaryOp::Mul, NodeId{0}, NodeId{3}}};
  std::vector<DType> dtypes(5, DType::f64());
  auto other = TypedDag::try_new(nodes, dtypes, ctx.params(), {NodeId{4}, NodeId{2}});
  ASSERT_TRUE(other.has_value());
  const auto outs = ctx.import_dag(*other);
  ASSERT_EQ(ctx.nodes().size(), 6u);  // const 2, add, mul appended
  EXPECT_EQ(outs, (std::vector<NodeId>{NodeId{5}, NodeId{0}}));
  const auto& add = std::get<Binary>(ctx.nodes()[4]);
  EXPECT_EQ(add.lhs, NodeId{3});
  EXPECT_EQ(add.rhs, NodeId{0});
  const auto& mul = std::get<Binary>(ctx.nodes()[5]);
  EXPECT_EQ(mul.lhs, NodeId{1});
  EXPECT_EQ(mul.rhs, NodeId{4});
}

TEST(LowerCtx, ImportRejectsForwardReferencesAndUnknownParameters) {
  Ctx ctx(DiagMode{Collect{}});
  ctx.add_param("a", DType::f64());
  auto forward = TypedDag::try_new({Unary{NodeId{1}, UnaryOp::Neg}, Param{0}}, {DType::f64(), DType::f64()}, {}, {});
  EXPECT_THROW(ctx.import_dag(*forward), InternalError);
  auto param = TypedDag::try_new({Param{3}}, {DType::f64()}, {}, {NodeId{0}});
  try {
    ctx.import_dag(*param);
    FAIL() << "no exception";
  } catch (const InternalError& e) {
    EXPECT_EQ(std::string(e.what()), "import_dag: parameter index 3 out of range (1 parameters)");
  }
}

TEST(LowerCtx, SnapshotCopiesTheTables) {
  Ctx ctx(DiagMode{Collect{}});
  const NodeId x = ctx.add_param("x", DType::f32());
  const NodeId n = ctx.push(Unary{x, UnaryOp::Neg}, DType::f32());
  const TypedDag snap = ctx.snapshot(n);
  EXPECT_EQ(snap.size(), 2u);
  EXPECT_EQ(snap.outputs(), std::vector<NodeId>{n});
  EXPECT_EQ(snap.params(), ctx.params());
  ctx.push(Const{Scalar{1.0}}, DType::f64());
  EXPECT_EQ(snap.size(), 2u);
}

TEST(LowerCtx, InvalidDagIsAnInternalError) {
  Ctx ctx(DiagMode{Collect{}});
  ctx.add_param("x", DType::f32());
  try {
    std::move(ctx).finish({NodeId{5}});
    FAIL() << "no exception";
  } catch (const InternalError& e) {
    EXPECT_EQ(std::string(e.what()), "lower produced invalid TypedDag: output node id 5 out of range (nodes len 1)");
  }
  Ctx other(DiagMode{Collect{}});
  EXPECT_THROW(other.snapshot(NodeId{0}), InternalError);
}

TEST(LowerCtx, EmitRoutesBySeverity) {
  diag::DiagConfig config;
  config.overrides[DiagKind::SequentialCasts] = diag::Severity::Allow;
  Ctx ctx(DiagMode{Collect{{}, {}, &config}});
  EXPECT_FALSE(ctx.emit(Diag::make(DiagKind::ImplicitPromotion, Span{}, "n")).has_value());
  EXPECT_FALSE(ctx.emit(Diag::make(DiagKind::PrecisionLoss, Span{}, "w")).has_value());
  EXPECT_FALSE(ctx.emit(Diag::make(DiagKind::SequentialCasts, Span{}, "dropped")).has_value());
  EXPECT_FALSE(ctx.emit(Diag::make(DiagKind::TypeMismatch, Span{}, "e")).has_value());
  EXPECT_FALSE(ctx.emit(Diag::make(DiagKind::Syntax, Span{}, "f")).has_value());
  const auto& collected = std::get<Collect>(ctx.mode());
  EXPECT_EQ(messages(collected.warnings), (std::vector<std::string>{"n", "w"}));
  EXPECT_EQ(messages(collected.errors), (std::vector<std::string>{"e", "f"}));

  Ctx stopping(DiagMode{diag::DiagCollector{}});
  auto stop = stopping.on_error(Diag::make(DiagKind::ArgCount, Span{}, "stop"), DType::f64());
  ASSERT_FALSE(stop.has_value());
  EXPECT_EQ(stop.error().message, "stop");
  EXPECT_TRUE(stopping.nodes().empty());  // no recovery constant after a stop
}

// ---------------------------------------------------------------------------
// Depth: the walk must not be bounded by the native stack.

constexpr int kDeep = 100000;

TEST(LowerDepth, DeepUnaryChain) {
  Spanned e = var("x");
  for (int i = 0; i < kDeep; ++i) e = un(UnaryOp::Neg, std::move(e));
  auto r = lower(program({{"x", DType::f64()}}, std::move(e)));
  EXPECT_TRUE(r.errors.empty());
  EXPECT_EQ(r.dag.size(), static_cast<std::size_t>(kDeep) + 1);
}

TEST(LowerDepth, DeepRightNestedSums) {
  // 1 + (1 + (1 + ... x))
  Spanned e = var("x");
  for (int i = 0; i < kDeep; ++i) e = bin(BinaryOp::Add, float_lit(1.0), std::move(e));
  auto r = lower(program({{"x", DType::f16()}}, std::move(e)));
  EXPECT_TRUE(r.errors.empty());
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_EQ(r.dag.size(), 2 * static_cast<std::size_t>(kDeep) + 1);
}

TEST(LowerDepth, DeepLetChain) {
  // v = x; v = v + x; ... ; v   as nested lets
  Spanned e = var("v");
  for (int i = 0; i < kDeep; ++i) e = let("v", bin(BinaryOp::Add, var("v"), var("x")), std::move(e));
  e = let("v", var("x"), std::move(e));
  auto r = lower(program({{"x", DType::f64()}}, std::move(e)));
  EXPECT_TRUE(r.errors.empty());
  EXPECT_EQ(r.dag.size(), static_cast<std::size_t>(kDeep) + 1);
  EXPECT_EQ(r.dag.outputs(), std::vector<NodeId>{NodeId{static_cast<std::size_t>(kDeep)}});
}

TEST(LowerDepth, LongRunOfLetsRestoresEveryBindingAfterItsBody) {
  // (x = x + 1.0; b = x; ...; s = x; t = w; t, x): twenty lines, so the run is
  // walked in a loop. The element after it sees the parameter again, and the
  // undefined `w` inside it is reported once.
  Spanned run = let("t", var("w", {40, 41}), var("t"));
  for (char name = 's'; name >= 'b'; --name) run = let(std::string(1, name), var("x"), std::move(run));
  run = let("x", bin(BinaryOp::Add, var("x"), float_lit(1.0)), std::move(run));
  auto r = lower(program({{"x", DType::f64()}}, tuple({}, std::move(run), var("x"))));
  ASSERT_EQ(r.errors.size(), 1u);
  expect_diag(r.errors[0], DiagKind::UndefinedVariable, {40, 41}, "undefined variable `w`",
              "ensure the variable is defined as a parameter or let-binding before use");
  ASSERT_EQ(r.dag.outputs().size(), 2u);
  EXPECT_EQ(r.dag.outputs()[1], NodeId{0});
}

// ---------------------------------------------------------------------------
// Inline differentiation.

// Evaluates a DAG over doubles (integers and bools as doubles too), enough to
// check derivatives numerically.
double evaluate(const TypedDag& dag, const std::vector<double>& args, NodeId output) {
  std::vector<double> v(dag.size());
  for (std::size_t i = 0; i < dag.size(); ++i) {
    v[i] = std::visit(
        [&](const auto& n) -> double {
          using T = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<T, Param>) {
            return args.at(n.index);
          } else if constexpr (std::is_same_v<T, Const>) {
            if (const auto* d = std::get_if<double>(&n.value)) return *d;
            if (const auto* k = std::get_if<std::int64_t>(&n.value)) return static_cast<double>(*k);
            if (const auto* b = std::get_if<bool>(&n.value)) return *b ? 1.0 : 0.0;
            throw std::runtime_error("complex constant");
          } else if constexpr (std::is_same_v<T, Unary>) {
            return n.op == UnaryOp::Neg ? -v[n.arg.value] : (v[n.arg.value] == 0.0 ? 1.0 : 0.0);
          } else if constexpr (std::is_same_v<T, Binary>) {
            const double a = v[n.lhs.value];
            const double b = v[n.rhs.value];
            switch (n.op) {
              case BinaryOp::Add:
                return a + b;
              case BinaryOp::Sub:
                return a - b;
              case BinaryOp::Mul:
                return a * b;
              case BinaryOp::Div:
                return a / b;
              case BinaryOp::Pow:
                return std::pow(a, b);
              case BinaryOp::Gt:
                return a > b ? 1.0 : 0.0;
              case BinaryOp::Lt:
                return a < b ? 1.0 : 0.0;
              default:
                throw std::runtime_error("unexpected operator " + std::string(as_str(n.op)));
            }
          } else if constexpr (std::is_same_v<T, If>) {
            return v[n.cond.value] != 0.0 ? v[n.then_branch.value] : v[n.else_branch.value];
          } else if constexpr (std::is_same_v<T, Call>) {
            const double a = v[n.args.at(0).value];
            switch (n.builtin) {
              case Builtin::Exp:
                return std::exp(a);
              case Builtin::Log:
                return std::log(a);
              case Builtin::Sin:
                return std::sin(a);
              case Builtin::Cos:
                return std::cos(a);
              default:
                throw std::runtime_error("unexpected builtin " + std::string(to_str(n.builtin)));
            }
          } else {
            return v[n.arg.value];
          }
        },
        dag.node(NodeId{i}));
  }
  return v.at(output.value);
}

TEST(LowerDiff, DerivativeUsesTheSharedParameterNode) {
  // |x: f64| diff[x](x * x)
  auto r = lower(program({{"x", DType::f64()}}, diff_expr("x", bin(BinaryOp::Mul, var("x"), var("x")), {0, 14})));
  ASSERT_TRUE(r.errors.empty()) << r.errors[0].message;
  EXPECT_TRUE(r.warnings.empty());
  ASSERT_EQ(r.dag.outputs().size(), 1u);
  EXPECT_EQ(out_dtype(r.dag), DType::f64());
  // The differentiated product stays at node 1; the derivative follows it and
  // shares parameter node 0.
  EXPECT_EQ(node_as<Binary>(r.dag, NodeId{1}).op, BinaryOp::Mul);
  for (std::size_t i = 1; i < r.dag.size(); ++i) EXPECT_FALSE(std::holds_alternative<Param>(r.dag.node(NodeId{i})));
  EXPECT_GT(r.dag.outputs()[0].value, 1u);
  EXPECT_DOUBLE_EQ(evaluate(r.dag, {3.0}, r.dag.outputs()[0]), 6.0);
  EXPECT_DOUBLE_EQ(evaluate(r.dag, {-1.5}, r.dag.outputs()[0]), -3.0);
}

TEST(LowerDiff, DerivativeThroughALetBinding) {
  // |x: f64, k: f64|  y = sin(x) * k;  diff[x](y) + y
  auto value = bin(BinaryOp::Mul, call("sin", {}, var("x")), var("k"));
  auto body = let("y", std::move(value), bin(BinaryOp::Add, diff_expr("x", var("y")), var("y")));
  auto r = lower(program({{"x", DType::f64()}, {"k", DType::f64()}}, std::move(body)));
  ASSERT_TRUE(r.errors.empty()) << r.errors[0].message;
  const double x = 0.7;
  const double k = 2.5;
  EXPECT_DOUBLE_EQ(evaluate(r.dag, {x, k}, r.dag.outputs()[0]), std::cos(x) * k + std::sin(x) * k);
}

TEST(LowerDiff, DerivativeOfAFloat32Parameter) {
  // |x: f32| diff[x](x * 3)
  auto r = lower(program({{"x", DType::f32()}}, diff_expr("x", bin(BinaryOp::Mul, var("x"), int_lit(3)))));
  ASSERT_TRUE(r.errors.empty()) << r.errors[0].message;
  EXPECT_EQ(out_dtype(r.dag), DType::f32());
  EXPECT_DOUBLE_EQ(evaluate(r.dag, {1.25}, r.dag.outputs()[0]), 3.0);
}

TEST(LowerDiff, UnknownVariable) {
  auto r = lower(program({{"x", DType::f64()}}, diff_expr("y", var("x"), {0, 10})));
  ASSERT_EQ(r.errors.size(), 1u);
  expect_diag(r.errors[0], DiagKind::UndefinedVariable, {0, 10}, "unknown differentiation variable `y`",
              "use an existing floating parameter inside `diff[var](expr)`");
  EXPECT_EQ(out_dtype(r.dag), DType::f64());
  EXPECT_EQ(std::get<double>(node_as<Const>(r.dag, r.dag.outputs()[0]).value), 0.0);
}

TEST(LowerDiff, NonFloatParameter) {
  auto r = lower(program({{"n", DType::i32()}}, diff_expr("n", var("n"), {0, 10})));
  ASSERT_EQ(r.errors.size(), 1u);
  expect_diag(r.errors[0], DiagKind::TypeMismatch, {0, 10},
              "differentiation requires a floating parameter, got `n: i32`",
              "choose a floating parameter such as `x: f32` or `x: f64`");
}

TEST(LowerDiff, OperandErrorsComeFirstAndTuplesAreNotScalars) {
  auto r = lower(program({{"x", DType::f64()}}, tuple({}, diff_expr("x", var("z", {7, 8})),
                                                      diff_expr("x", tuple({3, 9}, var("x"), var("x"))))));
  EXPECT_EQ(messages(r.errors),
            (std::vector<std::string>{"undefined variable `z`", "expected 1 value, but expression produced 2"}));
  EXPECT_EQ(r.dag.outputs().size(), 2u);
}

TEST(LowerDiff, ErrorTranslations) {
  const std::string call_help =
      "define the function or call a supported builtin such as `exp`, `log`, `sqrt`, `floor`, or `ceil`";
  struct Case {
    diff::DiffError error;
    DiagKind kind;
    const char* message;
    std::string help;
  };
  const Case cases[] = {
      {{diff::DiffError::UnknownVariable{"y"}},
       DiagKind::UndefinedVariable,
       "unknown differentiation variable `y`",
       "use an existing floating parameter inside `diff[var](expr)`"},
      {{diff::DiffError::NonFloatParameter{"n", DType::i32()}},
       DiagKind::TypeMismatch,
       "differentiation requires a floating parameter, got `n: i32`",
       "choose a floating parameter such as `x: f32` or `x: f64`"},
      {{diff::DiffError::TupleOutput{}},
       DiagKind::ExpectedScalar,
       "differentiation requires a single scalar expression",
       "use `diff[x](expr)` with a scalar expression result"},
      {{diff::DiffError::UnsupportedCall{"exp"}},
       DiagKind::UndefinedFunction,
       "differentiation does not support call `exp`",
       call_help},
      {{diff::DiffError::Invariant{"invalid param id 3"}},
       DiagKind::UndefinedFunction,
       "inline differentiation failed: invalid param id 3",
       call_help},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    expect_diag(diff_error_diag(c.error, Span{2, 9}), c.kind, {2, 9}, c.message, c.help);
  }
  expect_diag(canon_lower_error_diag("builtin `exp` expects 1 arguments, got 2", Span{1, 2}),
              DiagKind::UndefinedFunction, {1, 2},
              "inline differentiation lowering failed: builtin `exp` expects 1 arguments, got 2", call_help);
}

// ---------------------------------------------------------------------------
// Lowering from source text.

LowerResultWithErrors lower_source(std::string_view source, const diag::DiagConfig& config = {}) {
  auto parsed = parse::parse_dsl_with_errors(source);
  if (!parsed) throw std::runtime_error("parse failed: " + parsed.error().front().message);
  return lower_with_config_collect(*parsed, config);
}

TEST(LowerSource, FloatTimesIntLiteral) {
  auto r = lower_source("|x: f32| x * 2");
  EXPECT_TRUE(r.errors.empty());
  ASSERT_EQ(r.warnings.size(), 1u);
  expect_diag(r.warnings[0], DiagKind::ImplicitPromotion, {9, 14}, "implicit promotion in *: f32 + i8 -> f32",
              "cast the right operand from i8 to f32 using `@f32`");
  EXPECT_EQ(r.warnings[0].labels,
            (std::vector<diag::Label>{{{9, 10}, "left operand (f32)"}, {{13, 14}, "right operand (i8)"}}));
  const auto& mul = node_as<Binary>(r.dag, r.dag.outputs()[0]);
  const auto& cast_node = node_as<Cast>(r.dag, mul.rhs);
  EXPECT_FALSE(cast_node.is_explicit);
  EXPECT_EQ(r.dag.dtype(cast_node.arg), DType::i8());
}

TEST(LowerSource, Division) {
  auto bad = lower_source("|x: f32| x / 2");
  ASSERT_EQ(bad.errors.size(), 1u);
  expect_diag(bad.errors[0], DiagKind::TypeMismatch, {9, 14}, "type mismatch in /: cannot promote f32 and i8",
              kTypeMismatchHelp);
  auto good = lower_source("|x: f32| x / 2.0");
  EXPECT_TRUE(good.errors.empty());
  EXPECT_EQ(out_dtype(good.dag), DType::f32());
}

TEST(LowerSource, LiteralDefaults) {
  const std::pair<const char*, DType> cases[] = {
      {"|| 0.1", DType::f64()},  {"|| 0.5", DType::f16()},        {"|| 100000.0", DType::f32()},
      {"|| 300", DType::i16()},  {"|| 2147483648", DType::i64()}, {"|| -128", DType::i8()},
      {"|| 2.0j", DType::c64()}, {"|| 0.1j", DType::c128()},      {"|| 1e10", DType::f32()},
      {"|| pi", DType::f64()},   {"|| true", DType::boolean()},   {"|| 2@f32", DType::f32()},
  };
  for (const auto& [source, dtype] : cases) {
    SCOPED_TRACE(source);
    auto r = lower_source(source);
    EXPECT_TRUE(r.errors.empty());
    EXPECT_TRUE(r.warnings.empty());
    EXPECT_EQ(out_dtype(r.dag), dtype);
  }
}

TEST(LowerSource, UnsafeThenImplicitPromotion) {
  auto r = lower_source("|a: u64, b: i64| a + b");
  EXPECT_EQ(messages(r.warnings), (std::vector<std::string>{"unsafe promotion in +: u64 and i64 promoted to i64",
                                                            "implicit promotion in +: u64 + i64 -> i64"}));
  EXPECT_TRUE(r.errors.empty());
  EXPECT_EQ(out_dtype(r.dag), DType::i64());
}

TEST(LowerSource, Errors) {
  struct Case {
    const char* source;
    std::vector<std::string> errors;
  };
  const Case cases[] = {
      {"|| -5@u8", {"integer literal `-5` is out of range for `u8`"}},
      {"|| 256@u8 + 1", {"integer literal `256` is out of range for `u8`"}},
      {"|n: i32| n // 0", {"division by zero in //"}},
      {"|n: i32| n % 0", {"division by zero in %"}},
      {"|x: f64| x / 0.0", {}},
      {"|x: f64| exp_sigmoid(x)", {"undefined function `exp_sigmoid`"}},
      {"|x: f64| sigmoid_log(x)", {"undefined function `sigmoid_log`"}},
      {"|x: f64| exp(x, x)", {"wrong argument count for `exp`: expected 1, got 2"}},
      {"|x: f32| y + x / 2", {"undefined variable `y`", "type mismatch in /: cannot promote f32 and i8"}},
      {"|x: f32| !x || x",
       {"type mismatch in not: cannot promote f32 and bool", "type mismatch in or: cannot promote bool and f32"}},
      {"|x: f32| if x then 1 else 2", {"type mismatch in if_cond: cannot promote f32 and bool"}},
      {"|h: bf16| h + 1", {"type mismatch in +: cannot promote bf16 and i8"}},
      {"|x: f64| (x, x) * 2", {"expected 1 value, but expression produced 2"}},
      {"|x: f64|\ny = z\nw = y + q\nw", {"undefined variable `z`", "undefined variable `q`"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    auto r = lower_source(c.source);
    EXPECT_EQ(messages(r.errors), c.errors);
  }
}

TEST(LowerSource, OutOfRangeNegatedLiteralSpansTheMinus) {
  auto r = lower_source("|| -5@u8");
  ASSERT_EQ(r.errors.size(), 1u);
  expect_diag(r.errors[0], DiagKind::IntOutOfRange, {3, 8}, "integer literal `-5` is out of range for `u8`",
              "adjust the literal value or choose a wider integer dtype that can represent it");
}

TEST(LowerSource, Warnings) {
  struct Case {
    const char* source;
    std::vector<std::string> warnings;
  };
  const Case cases[] = {
      {"|| 0.1@f16", {"literal `0.1` may lose precision in `f16`"}},
      {"|| 0.1j@c64", {"literal `0.1` may lose precision in `f32`"}},
      {"|| 16777217.0@f32", {"literal `16777217` may lose precision in `f32`"}},
      {"|x: i32| x@f32@f64", {"multiple sequential casts: f32 -> f64; consider casting directly to f64"}},
      {"|x: i32| cast<f64>(x@f32)", {"multiple sequential casts: f32 -> f64; consider casting directly to f64"}},
      {"|c: bool, x: f32| if c then x else 1", {"implicit promotion in if_branch: f32 + i8 -> f32"}},
      {"|n: i8| n == 1000", {"implicit promotion in ==: i8 + i16 -> i16"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    auto r = lower_source(c.source);
    EXPECT_TRUE(r.errors.empty());
    EXPECT_EQ(messages(r.warnings), c.warnings);
  }
}

TEST(LowerSource, AssignmentValueSeesTheOuterBinding) {
  // The value of `x = x * 2.0` reads the parameter; the result reads the binding.
  auto r = lower_source("|x: f32|\nx = x * 2.0\nx");
  EXPECT_TRUE(r.errors.empty());
  const auto& mul = node_as<Binary>(r.dag, r.dag.outputs()[0]);
  EXPECT_EQ(mul.op, BinaryOp::Mul);
  EXPECT_EQ(mul.lhs, NodeId{0});
}

TEST(LowerSource, InlineDerivatives) {
  auto square = lower_source("|x: f64| diff[x](x * x)");
  ASSERT_TRUE(square.errors.empty());
  EXPECT_DOUBLE_EQ(evaluate(square.dag, {4.0}, square.dag.outputs()[0]), 8.0);

  auto through_let = lower_source("|x: f64|\ny = exp(x) * x\ndiff[x](y)");
  ASSERT_TRUE(through_let.errors.empty());
  EXPECT_DOUBLE_EQ(evaluate(through_let.dag, {0.5}, through_let.dag.outputs()[0]), std::exp(0.5) * 1.5);

  auto unknown = lower_source("|x: f64| diff[y](x)");
  ASSERT_EQ(unknown.errors.size(), 1u);
  expect_diag(unknown.errors[0], DiagKind::UndefinedVariable, {9, 19}, "unknown differentiation variable `y`",
              "use an existing floating parameter inside `diff[var](expr)`");

  auto integer = lower_source("|n: i32| diff[n](n * n)");
  EXPECT_EQ(messages(integer.errors),
            std::vector<std::string>{"differentiation requires a floating parameter, got `n: i32`"});
}

TEST(LowerSource, DeepAssignmentChain) {
  std::string source = "|x: f64|\nv = x\n";
  for (int i = 0; i < kDeep; ++i) source += "v = v + x\n";
  source += "v\n";
  auto r = lower_source(source);
  EXPECT_TRUE(r.errors.empty());
  EXPECT_EQ(r.dag.size(), static_cast<std::size_t>(kDeep) + 1);
  EXPECT_DOUBLE_EQ(evaluate(r.dag, {0.5}, r.dag.outputs()[0]), 0.5 * (kDeep + 1));
}

TEST(LowerSource, DeepParentheses) {
  std::string source = "|x: f64| ";
  for (int i = 0; i < kDeep; ++i) source += "(1.0 + ";
  source += "(x)";
  for (int i = 0; i < kDeep; ++i) source += ")";
  auto r = lower_source(source);
  EXPECT_TRUE(r.errors.empty());
  EXPECT_EQ(r.warnings.size(), static_cast<std::size_t>(kDeep));  // each f16 literal meets an f64 sum
  EXPECT_DOUBLE_EQ(evaluate(r.dag, {0.25}, r.dag.outputs()[0]), kDeep + 0.25);
}

}  // namespace
}  // namespace morvalen::ir
