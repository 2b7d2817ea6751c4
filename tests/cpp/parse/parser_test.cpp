#include "parse/parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <string>
#include <vector>

#include "ir/dtype.h"
#include "ir/ops.h"

namespace morvalen::parse {
namespace {

// The trees of these tests live in one arena for the whole run.
Result<Spanned, std::vector<diag::Diag>> parse_expr(std::string_view text, std::size_t offset) {
  static NodeArena nodes;
  return parse_expr_with_offset(text, offset, nodes);
}

constexpr const char* kSyntaxHelp = "check the surrounding tokens and parentheses for typos or missing separators";

std::string number(double v) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

std::string suffix(const std::optional<ir::DType>& d) {
  std::string out;
  if (d) {
    out += '@';
    out += ir::to_str(*d);
  }
  return out;
}

// A compact prefix rendering of a tree, used to check shapes. Iterative, so it
// also works on the deep trees below.
std::string render(const Spanned& root) {
  std::string out;
  struct Item {
    const Spanned* node;
    const char* text;  // when set, emit this text instead of a node
  };
  std::vector<Item> stack{{&root, nullptr}};
  while (!stack.empty()) {
    Item item = stack.back();
    stack.pop_back();
    if (item.text) {
      out += item.text;
      continue;
    }
    std::vector<const Spanned*> children;
    std::visit(
        [&](const auto& n) {
          using T = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<T, Bool>) {
            out += n.value ? "true" : "false";
          } else if constexpr (std::is_same_v<T, Int>) {
            out += std::to_string(n.value);
            out += suffix(n.suffix);
          } else if constexpr (std::is_same_v<T, Float>) {
            out += 'f';
            out += number(n.value);
            out += suffix(n.suffix);
          } else if constexpr (std::is_same_v<T, Complex>) {
            out += "c(";
            out += number(n.re);
            out += ',';
            out += number(n.im);
            out += ')';
            out += suffix(n.suffix);
          } else if constexpr (std::is_same_v<T, E>) {
            out += "e";
          } else if constexpr (std::is_same_v<T, Pi>) {
            out += "pi";
          } else if constexpr (std::is_same_v<T, Var>) {
            out += n.name;
          } else if constexpr (std::is_same_v<T, Unary>) {
            out += '(';
            out += ir::to_str(n.op);
          } else if constexpr (std::is_same_v<T, Binary>) {
            out += '(';
            out += ir::as_str(n.op);
          } else if constexpr (std::is_same_v<T, If>) {
            out += "(if";
          } else if constexpr (std::is_same_v<T, Call>) {
            out += "(call ";
            out += n.name;
          } else if constexpr (std::is_same_v<T, Cast>) {
            out += "(cast:";
            out += ir::to_str(n.target);
          } else if constexpr (std::is_same_v<T, Diff>) {
            out += "(diff:";
            out += n.variable;
          } else if constexpr (std::is_same_v<T, Tuple>) {
            out += "(tuple";
          } else if constexpr (std::is_same_v<T, Let>) {
            out += "(let ";
            out += n.name;
          }
        },
        item.node->expr);
    for_each_child(item.node->expr, [&](const Spanned& c) { children.push_back(&c); });
    bool compound = std::visit(
        [](const auto& n) {
          using T = std::decay_t<decltype(n)>;
          return std::is_same_v<T, Unary> || std::is_same_v<T, Binary> || std::is_same_v<T, If> ||
                 std::is_same_v<T, Call> || std::is_same_v<T, Cast> || std::is_same_v<T, Diff> ||
                 std::is_same_v<T, Tuple> || std::is_same_v<T, Let>;
        },
        item.node->expr);
    if (compound) stack.push_back({nullptr, ")"});
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
      stack.push_back({*it, nullptr});
      stack.push_back({nullptr, " "});
    }
  }
  return out;
}

std::string parse_render(std::string_view text) {
  Result<Spanned, std::vector<diag::Diag>> r = parse_expr(text, 0);
  if (!r) {
    std::string joined = "ERROR:";
    for (const diag::Diag& d : r.error()) {
      joined += ' ';
      joined += d.message;
    }
    return joined;
  }
  return render(*r);
}

std::vector<std::string> messages(const std::vector<diag::Diag>& diags) {
  std::vector<std::string> out;
  for (const diag::Diag& d : diags) out.push_back(d.message);
  return out;
}

std::vector<diag::Diag> expr_errors(std::string_view text, std::size_t offset = 0) {
  Result<Spanned, std::vector<diag::Diag>> r = parse_expr(text, offset);
  if (r) {
    ADD_FAILURE() << "expected errors for " << text;
    return {};
  }
  return std::move(r).error();
}

// ---- Expression shapes ----

struct ShapeCase {
  const char* text;
  const char* shape;
};

class ExprShapeTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ExprShapeTest, Parses) { EXPECT_EQ(parse_render(GetParam().text), GetParam().shape) << GetParam().text; }

INSTANTIATE_TEST_SUITE_P(
    Precedence, ExprShapeTest,
    ::testing::Values(ShapeCase{"1 + 2 * 3", "(+ 1 (* 2 3))"}, ShapeCase{"1 * 2 + 3", "(+ (* 1 2) 3)"},
                      ShapeCase{"-x**2", "(neg (** x 2))"}, ShapeCase{"-a*b", "(* (neg a) b)"},
                      ShapeCase{"2**-1", "(** 2 (neg 1))"}, ShapeCase{"a**b**c", "(** a (** b c))"},
                      ShapeCase{"a-b-c", "(- (- a b) c)"}, ShapeCase{"a/b*c", "(* (/ a b) c)"},
                      ShapeCase{"a % b // c / d", "(/ (// (% a b) c) d)"},
                      ShapeCase{"a == b && c < d", "(and (== a b) (< c d))"},
                      ShapeCase{"a || b && c", "(or a (and b c))"}, ShapeCase{"a && b || c", "(or (and a b) c)"},
                      ShapeCase{"a || b || c", "(or (or a b) c)"}, ShapeCase{"a && b && c", "(and (and a b) c)"},
                      ShapeCase{"a + b == c * d", "(== (+ a b) (* c d))"}, ShapeCase{"a != b", "(!= a b)"},
                      ShapeCase{"a <= b", "(<= a b)"}, ShapeCase{"a >= b", "(>= a b)"}, ShapeCase{"a > b", "(> a b)"},
                      ShapeCase{"a < b || c > d", "(or (< a b) (> c d))"}, ShapeCase{"a < (b < c)", "(< a (< b c))"},
                      ShapeCase{"!a == b", "(== (not a) b)"}, ShapeCase{"!a && b", "(and (not a) b)"},
                      ShapeCase{"--x", "(neg (neg x))"}, ShapeCase{"!!b", "(not (not b))"},
                      ShapeCase{"a - -b", "(- a (neg b))"}, ShapeCase{"a * -b", "(* a (neg b))"},
                      ShapeCase{"-a ** -b", "(neg (** a (neg b)))"}, ShapeCase{"-x@i32", "(neg (cast:i32 x))"},
                      ShapeCase{"a ** b * c", "(* (** a b) c)"}, ShapeCase{"(a + b) * c", "(* (+ a b) c)"}));

INSTANTIATE_TEST_SUITE_P(
    Atoms, ExprShapeTest,
    ::testing::Values(
        ShapeCase{"x@f32@f64", "(cast:f64 (cast:f32 x))"}, ShapeCase{"2@f32", "2@f32"},
        ShapeCase{"(2)@f32", "(cast:f32 2)"}, ShapeCase{"2@f32@f64", "(cast:f64 2@f32)"},
        ShapeCase{"1.5@f16", "f1.5@f16"}, ShapeCase{"2.5j@c64", "c(0,2.5)@c64"}, ShapeCase{"2.5j", "c(0,2.5)"},
        ShapeCase{"1e3", "f1000"}, ShapeCase{"cast<f32>(x)", "(cast:f32 x)"}, ShapeCase{"x@f32", "(cast:f32 x)"},
        ShapeCase{"cast<bf16>(x + 1)", "(cast:bf16 (+ x 1))"}, ShapeCase{"diff[x](x*x)", "(diff:x (* x x))"},
        ShapeCase{"f()", "(call f)"}, ShapeCase{"f(a, b + 1)", "(call f a (+ b 1))"},
        ShapeCase{"exp(log(x))", "(call exp (call log x))"}, ShapeCase{"(a, b)", "(tuple a b)"},
        ShapeCase{"(a, b, c)", "(tuple a b c)"}, ShapeCase{"((a))", "a"},
        ShapeCase{"((a, b), c)", "(tuple (tuple a b) c)"}, ShapeCase{"true", "true"}, ShapeCase{"false", "false"},
        ShapeCase{"e", "e"}, ShapeCase{"pi", "pi"}, ShapeCase{"e2", "e2"}, ShapeCase{"größe", "größe"},
        ShapeCase{"if a then b else c", "(if a b c)"}, ShapeCase{"(if a then b else c) * 2", "(* (if a b c) 2)"},
        ShapeCase{"if c then a else b + 1", "(if c a (+ b 1))"},
        ShapeCase{"if a then if b then c else d else e", "(if a (if b c d) e)"},
        ShapeCase{"f(if a then b else c, d)", "(call f (if a b c) d)"},
        ShapeCase{"(if a then b else c, d)", "(tuple (if a b c) d)"},
        ShapeCase{"cast<f32>(if a then b else c)", "(cast:f32 (if a b c))"},
        ShapeCase{"9223372036854775807", "9223372036854775807"}, ShapeCase{"2.0j", "c(0,2)"},
        ShapeCase{"1e5j", "c(0,1e+05)"}, ShapeCase{"1e+5j", "c(0,1e+05)"}, ShapeCase{"x_e2j", "x_e2j"}));

// ---- Spans ----

TEST(ExprSpanTest, NodeSpansRunFromFirstToLastToken) {
  Result<Spanned, std::vector<diag::Diag>> r = parse_expr("a + f(b, 2@f32) * -c", 10);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->span, (Span{10, 30}));
  const auto& add = std::get<Binary>(r->expr);
  EXPECT_EQ(add.lhs->span, (Span{10, 11}));
  const auto& mul = std::get<Binary>(add.rhs->expr);
  EXPECT_EQ(add.rhs->span, (Span{14, 30}));
  const auto& call = std::get<Call>(mul.lhs->expr);
  EXPECT_EQ(mul.lhs->span, (Span{14, 25}));
  EXPECT_EQ(call.args[1]->span, (Span{19, 24}));  // the literal includes its suffix
  EXPECT_EQ(mul.rhs->span, (Span{28, 30}));       // the prefix operator starts the node
}

TEST(ExprSpanTest, CastTupleDiffIfSpans) {
  auto span_of = [](std::string_view text) {
    Result<Spanned, std::vector<diag::Diag>> r = parse_expr(text, 0);
    EXPECT_TRUE(r) << text;
    return r ? r->span : Span{999, 999};
  };
  EXPECT_EQ(span_of("cast<f32>(x) "), (Span{0, 12}));
  EXPECT_EQ(span_of(" (a, b)"), (Span{1, 7}));
  EXPECT_EQ(span_of("diff[x](x)"), (Span{0, 10}));
  EXPECT_EQ(span_of("if a then b else c"), (Span{0, 18}));
  EXPECT_EQ(span_of("x@f32@f64"), (Span{0, 9}));
  EXPECT_EQ(span_of("( a )"), (Span{2, 3}));
}

TEST(ExprSpanTest, NonAsciiSpansAreByteOffsets) {
  Result<Spanned, std::vector<diag::Diag>> r = parse_expr("é + 1", 0);
  ASSERT_TRUE(r);
  const auto& add = std::get<Binary>(r->expr);
  EXPECT_EQ(add.lhs->span, (Span{0, 2}));
  EXPECT_EQ(add.rhs->span, (Span{5, 6}));
}

// ---- Expression failures ----

struct ErrorCase {
  const char* text;
  std::vector<std::string> messages;
};

class ExprErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ExprErrorTest, Reports) {
  EXPECT_EQ(messages(expr_errors(GetParam().text)), GetParam().messages) << GetParam().text;
}

const std::string kSyn = "syntax error: syntax error";

INSTANTIATE_TEST_SUITE_P(
    Single, ExprErrorTest,
    ::testing::Values(
        ErrorCase{"x +", {kSyn}}, ErrorCase{"", {kSyn}}, ErrorCase{"a < b < c", {kSyn}},
        ErrorCase{"a == b == c", {kSyn}}, ErrorCase{"a < b == c", {kSyn}}, ErrorCase{"(a < b < c)", {kSyn}},
        ErrorCase{"1 + if c then a else b", {kSyn}}, ErrorCase{"f32 + 1", {kSyn}}, ErrorCase{"if + 1", {kSyn}},
        ErrorCase{"f(a,)", {kSyn}}, ErrorCase{"f(a b)", {kSyn}}, ErrorCase{"(a,)", {kSyn}}, ErrorCase{"(a b)", {kSyn}},
        ErrorCase{"f(a", {kSyn}}, ErrorCase{"((a)", {kSyn}}, ErrorCase{"x@", {kSyn}}, ErrorCase{"x@1", {kSyn}},
        ErrorCase{"007", {kSyn}}, ErrorCase{"diff[f32](x)", {kSyn}}, ErrorCase{"+ 1", {kSyn}}, ErrorCase{"-", {kSyn}},
        ErrorCase{"x y", {kSyn}}, ErrorCase{"a +* b", {kSyn}}, ErrorCase{"x @ foo", {"unknown type `foo`"}},
        ErrorCase{"cast<foo>(x)", {"unknown type `foo`"}}, ErrorCase{"2@float", {"unknown type `float`"}},
        ErrorCase{"x $ 1", {"syntax error: lex error"}},
        ErrorCase{"9223372036854775808", {"syntax error: invalid integer literal"}},
        ErrorCase{"x + 3j", {"integer imaginary literal `3j` is not supported; use float form `3.0j` instead"}},
        ErrorCase{"x2j", {"integer imaginary literal `2j` is not supported; use float form `2.0j` instead"}},
        ErrorCase{"2j", {"integer imaginary literal `2j` is not supported; use float form `2.0j` instead"}},
        ErrorCase{"-2j", {"integer imaginary literal `2j` is not supported; use float form `2.0j` instead"}},
        ErrorCase{"99999999999999999999j",
                  {"integer imaginary literal `0j` is not supported; use float form `0.0j` instead"}}));

// Each recovery records one error and parsing goes on, so one expression can
// report several errors, in the order they were found.
INSTANTIATE_TEST_SUITE_P(
    Recovery, ExprErrorTest,
    ::testing::Values(ErrorCase{"f(+ 1, + 2)", {kSyn, kSyn}}, ErrorCase{"(a b) c", {kSyn, kSyn}},
                      ErrorCase{"f(a b, c d)", {kSyn, kSyn}}, ErrorCase{"diff[x]", {kSyn, kSyn}},
                      ErrorCase{"if a then b", {kSyn, kSyn}}, ErrorCase{"(a b, c d, e f)", {kSyn, kSyn, kSyn}},
                      ErrorCase{"f(x@foo b) + g(y@bar c)", {"unknown type `foo`", "unknown type `bar`"}},
                      ErrorCase{"f(+ a, b c)", {kSyn, kSyn}}, ErrorCase{"(+ x) * (+ y) * (+ z)", {kSyn, kSyn, kSyn}},
                      ErrorCase{"f(g(a b) c)", {kSyn, kSyn}}, ErrorCase{"1 2 3 4", {kSyn}},
                      ErrorCase{"99999999999999999999 + 99999999999999999999",
                                {"syntax error: invalid integer literal", "syntax error: invalid integer literal"}},
                      ErrorCase{"99999999999999999999 $",
                                {"syntax error: invalid integer literal", "syntax error: lex error"}}));

TEST(ExprErrorSpanTest, SpansAreWholeSourceOffsets) {
  struct Case {
    const char* text;
    std::size_t offset;
    diag::DiagKind kind;
    Span span;
  };
  const Case cases[] = {
      {"x +", 5, diag::DiagKind::Syntax, {8, 8}},             // end of input
      {"x @ foo", 5, diag::DiagKind::UnknownDtype, {9, 12}},  // the dtype name
      {"x $ 1", 5, diag::DiagKind::Syntax, {7, 8}},           // the unexpected character
      {"1.x", 5, diag::DiagKind::Syntax, {7, 8}},             // furthest failure of the lexer
      {"1 + 99999999999999999999", 5, diag::DiagKind::Syntax, {9, 29}},
      {"x + 3j", 5, diag::DiagKind::IntImaginaryLiteral, {9, 11}},  // digits and j
      {"x y", 5, diag::DiagKind::Syntax, {7, 8}},
      {"a < b < c", 0, diag::DiagKind::Syntax, {6, 7}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<diag::Diag> diags = expr_errors(c.text, c.offset);
    ASSERT_EQ(diags.size(), 1u);
    EXPECT_EQ(diags[0].kind, c.kind);
    ASSERT_TRUE(diags[0].span.has_value());
    EXPECT_EQ(*diags[0].span, c.span);
    EXPECT_FALSE(diags[0].labels.has_value());
  }
}

TEST(ExprErrorSpanTest, RecoveredErrorsPointAtTheirCause) {
  std::vector<diag::Diag> diags = expr_errors("f(+ 1, + 2)");
  ASSERT_EQ(diags.size(), 2u);
  EXPECT_EQ(*diags[0].span, (Span{2, 3}));
  EXPECT_EQ(*diags[1].span, (Span{7, 8}));
  EXPECT_EQ(*diags[0].help, kSyntaxHelp);
}

// A sub-parse that recovery reaches again records the same errors as its first
// parse did, whatever was parsed in between: here the inner `cast<bar>` is
// reached from two recoveries and names the unknown dtype both times.
TEST(ExprErrorSpanTest, ReparsedTextRecordsTheSameErrors) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"cast<f32>( x == cast<bar>(", {"unknown type `bar`", "unknown type `bar`"}},
      {"( 2.5 && cast<bar>( + else [ else > , true * ( @foo *", {"syntax error: syntax error", "unknown type `bar`"}},
      {"f(x,f(x,f(x,f(x,f(x,f(x,f(x,f(x,f(x,f(x,f(x,f(x,f(x,f(x,f(x,f(x,f(", {"syntax error: syntax error"}},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(messages(expr_errors(text)), expected);
  }
}

// ---- Deep nesting ----

TEST(ExprDepthTest, HundredThousandNestedParentheses) {
  const std::size_t n = 100000;
  std::string text(n, '(');
  text += "x";
  text.append(n, ')');
  EXPECT_EQ(parse_render(text), "x");
}

TEST(ExprDepthTest, HundredThousandNestedBinaryParentheses) {
  const std::size_t n = 100000;
  std::string text;
  for (std::size_t i = 0; i < n; ++i) text += "(1+";
  text += "x";
  text.append(n, ')');
  Result<Spanned, std::vector<diag::Diag>> r = parse_expr(text, 0);
  ASSERT_TRUE(r);
  std::size_t depth = 0;
  const Spanned* node = &*r;
  while (const auto* b = std::get_if<Binary>(&node->expr)) {
    ++depth;
    node = b->rhs.get();
  }
  EXPECT_EQ(depth, n);
  EXPECT_EQ(std::get<Var>(node->expr).name, "x");
}

TEST(ExprDepthTest, HundredThousandPrefixMinusSigns) {
  const std::size_t n = 100000;
  std::string text(n, '-');
  text += "x";
  Result<Spanned, std::vector<diag::Diag>> r = parse_expr(text, 0);
  ASSERT_TRUE(r);
  std::size_t depth = 0;
  const Spanned* node = &*r;
  while (const auto* u = std::get_if<Unary>(&node->expr)) {
    ++depth;
    node = u->operand.get();
  }
  EXPECT_EQ(depth, n);
}

TEST(ExprDepthTest, DeepRightAssociativePowerAndCalls) {
  const std::size_t n = 50000;
  std::string power;
  for (std::size_t i = 0; i < n; ++i) power += "x**";
  power += "y";
  EXPECT_TRUE(parse_expr(power, 0));
  std::string calls;
  for (std::size_t i = 0; i < n; ++i) calls += "f(";
  calls += "y";
  calls.append(n, ')');
  EXPECT_TRUE(parse_expr(calls, 0));
}

TEST(ExprDepthTest, UnclosedParenthesesFailOnceWithoutBlowingUp) {
  // Each level's recovery retries the levels inside it; those failures are
  // remembered, so this stays linear.
  const std::size_t n = 100000;
  EXPECT_EQ(messages(expr_errors(std::string(n, '('))), std::vector<std::string>{kSyn});
  EXPECT_EQ(messages(expr_errors(std::string(n, '(') + "x")), std::vector<std::string>{kSyn});
  EXPECT_EQ(messages(expr_errors(std::string(n, '-'))), std::vector<std::string>{kSyn});
  std::string calls;
  for (std::size_t i = 0; i < 2000; ++i) calls += "f(";
  EXPECT_FALSE(parse_expr(calls + "x", 0));
}

TEST(ExprDepthTest, UnclosedParenthesesAroundALongExpression) {
  // Every level's recovery retries the positions inside it; the long
  // expression is parsed once and its outcome replayed, not reparsed per level.
  std::string text(20000, '(');
  for (int i = 0; i < 20000; ++i) text += "x + ";
  text += "y";
  EXPECT_EQ(messages(expr_errors(text)), std::vector<std::string>{kSyn});
  std::string with_inner_error(3000, '(');
  for (int i = 0; i < 3000; ++i) with_inner_error += "f(+ x) + ";
  with_inner_error += "y";
  std::vector<diag::Diag> diags = expr_errors(with_inner_error);
  EXPECT_EQ(diags.size(), 3001u);
}

TEST(ExprDepthTest, DeepProgramThroughTheEntryPoint) {
  const std::size_t n = 100000;
  std::string src = "|x: f32|\n";
  src.append(n, '-');
  src += "x\n";
  Result<FuncDef, std::vector<diag::Diag>> r = parse_dsl_with_errors(src);
  ASSERT_TRUE(r);
  EXPECT_TRUE(std::holds_alternative<Unary>(r->body.expr));
}

// ---- parse_ident ----

TEST(ParseIdentTest, Accepts) {
  for (const char* name : {"x", "_", "_x1", "abc_DEF_9", "e2", "pie", "iff", "F32", "True"}) {
    SCOPED_TRACE(name);
    Result<std::string, diag::Diag> r = parse_ident(name, {0, 1});
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, name);
  }
}

TEST(ParseIdentTest, Rejects) {
  struct Case {
    const char* name;
    diag::DiagKind kind;
    const char* message;
  };
  const Case cases[] = {
      {"", diag::DiagKind::Syntax, "syntax error: identifier cannot be empty"},
      {"2x", diag::DiagKind::Syntax, "syntax error: invalid identifier `2x`"},
      {"a-b", diag::DiagKind::Syntax, "syntax error: invalid identifier `a-b`"},
      {"a b", diag::DiagKind::Syntax, "syntax error: invalid identifier `a b`"},
      {"größe", diag::DiagKind::Syntax, "syntax error: invalid identifier `größe`"},
      {"e", diag::DiagKind::ReservedIdentifier, "reserved word `e` cannot be used as an identifier"},
      {"pi", diag::DiagKind::ReservedIdentifier, "reserved word `pi` cannot be used as an identifier"},
      {"if", diag::DiagKind::ReservedIdentifier, "reserved word `if` cannot be used as an identifier"},
      {"then", diag::DiagKind::ReservedIdentifier, "reserved word `then` cannot be used as an identifier"},
      {"else", diag::DiagKind::ReservedIdentifier, "reserved word `else` cannot be used as an identifier"},
      {"cast", diag::DiagKind::ReservedIdentifier, "reserved word `cast` cannot be used as an identifier"},
      {"diff", diag::DiagKind::ReservedIdentifier, "reserved word `diff` cannot be used as an identifier"},
      {"true", diag::DiagKind::ReservedIdentifier, "reserved word `true` cannot be used as an identifier"},
      {"false", diag::DiagKind::ReservedIdentifier, "reserved word `false` cannot be used as an identifier"},
      {"bool", diag::DiagKind::ReservedIdentifier, "reserved word `bool` cannot be used as an identifier"},
      {"u8", diag::DiagKind::ReservedIdentifier, "reserved word `u8` cannot be used as an identifier"},
      {"bf16", diag::DiagKind::ReservedIdentifier, "reserved word `bf16` cannot be used as an identifier"},
      {"c128", diag::DiagKind::ReservedIdentifier, "reserved word `c128` cannot be used as an identifier"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result<std::string, diag::Diag> r = parse_ident(c.name, {3, 7});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, c.kind);
    EXPECT_EQ(r.error().message, c.message);
    EXPECT_EQ(*r.error().span, (Span{3, 7}));
  }
}

// ---- Programs ----

Result<FuncDef, std::vector<diag::Diag>> parse_program(std::string_view src) { return parse_dsl_with_errors(src); }

TEST(ProgramTest, ExampleProgram) {
  const std::string src = "|x: f32, n: i32|\ny = x * 2.0  # double it\ny ** n";
  Result<FuncDef, std::vector<diag::Diag>> r = parse_program(src);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->params.size(), 2u);
  EXPECT_EQ(r->params[0].name, "x");
  EXPECT_EQ(r->params[0].dtype, ir::DType::f32());
  EXPECT_EQ(r->params[1].name, "n");
  EXPECT_EQ(r->params[1].dtype, ir::DType::i32());
  EXPECT_EQ(render(r->body), "(let y (* x f2) (** y n))");
  EXPECT_EQ(r->body.span, (Span{17, 28}));  // the trimmed statement line, comment blanked
  const auto& let = std::get<Let>(r->body.expr);
  EXPECT_EQ(let.value->span, (Span{21, 28}));
  EXPECT_EQ(let.body->span, (Span{42, 48}));
}

struct ProgramCase {
  const char* source;
  const char* shape;
};

class ProgramShapeTest : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramShapeTest, Parses) {
  Result<FuncDef, std::vector<diag::Diag>> r = parse_program(GetParam().source);
  ASSERT_TRUE(r) << GetParam().source << ": " << r.error()[0].message;
  EXPECT_EQ(render(r->body), GetParam().shape);
}

INSTANTIATE_TEST_SUITE_P(Table, ProgramShapeTest,
                         ::testing::Values(ProgramCase{"||\n1", "1"}, ProgramCase{"| |\n1", "1"},
                                           ProgramCase{"|x: f64| x * 2", "(* x 2)"},
                                           ProgramCase{"|x: f32|\nx = 1\nx = x + 1\nx", "(let x 1 (let x (+ x 1) x))"},
                                           ProgramCase{"# |\n|x: f32| x", "x"}, ProgramCase{"|x: f32| x  # note", "x"},
                                           ProgramCase{"junk |x: f32| x", "x"}, ProgramCase{"a || b", "b"},
                                           ProgramCase{"|x: f32|\r\ny = x\r\ny\r\n", "(let y x y)"},
                                           ProgramCase{"|a: bool, b: bool|\nx = a == b\nx", "(let x (== a b) x)"},
                                           ProgramCase{"|a: i32|\nx=-1\nx <= a", "(let x (neg 1) (<= x a))"},
                                           ProgramCase{"|a: i32|\n\n   \n  a != 1  \n\n", "(!= a 1)"}));

TEST(ProgramTest, CommentInHeaderBlanksTheClosingBar) {
  // The `#` blanks the rest of the header line, bar included: the next bar
  // closes the header instead.
  Result<FuncDef, std::vector<diag::Diag>> r = parse_program("|x: f32 # a|\n, y: f64| x + y");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->params.size(), 2u);
  EXPECT_EQ(r->params[1].name, "y");
}

TEST(ProgramTest, ParametersAreNotCheckedForDuplicates) {
  Result<FuncDef, std::vector<diag::Diag>> r = parse_program("|x: f32, x: f64| x");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->params.size(), 2u);
}

TEST(ProgramTest, AllDtypesInTheHeader) {
  std::string src = "|";
  for (std::size_t i = 0; i < ir::all_dtypes.size(); ++i) {
    src += i ? ", p" : "p";
    src += std::to_string(i);
    src += ": ";
    src += ir::to_str(ir::all_dtypes[i]);
  }
  src += "| p0";
  Result<FuncDef, std::vector<diag::Diag>> r = parse_program(src);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->params.size(), 15u);
  for (std::size_t i = 0; i < 15; ++i) EXPECT_EQ(r->params[i].dtype, ir::all_dtypes[i]);
}

struct ProgramErrorCase {
  const char* source;
  diag::DiagKind kind;
  const char* message;
  Span span;
};

class ProgramErrorTest : public ::testing::TestWithParam<ProgramErrorCase> {};

TEST_P(ProgramErrorTest, Reports) {
  const ProgramErrorCase& c = GetParam();
  Result<FuncDef, std::vector<diag::Diag>> r = parse_program(c.source);
  ASSERT_FALSE(r) << c.source;
  ASSERT_EQ(r.error().size(), 1u) << c.source;
  const diag::Diag& d = r.error()[0];
  EXPECT_EQ(d.kind, c.kind) << c.source;
  EXPECT_EQ(d.message, c.message) << c.source;
  ASSERT_TRUE(d.span.has_value());
  EXPECT_EQ(*d.span, c.span) << c.source;
  EXPECT_FALSE(d.labels.has_value());
  ASSERT_TRUE(d.help.has_value());
}

using diag::DiagKind;

INSTANTIATE_TEST_SUITE_P(
    Structure, ProgramErrorTest,
    ::testing::Values(
        ProgramErrorCase{"", DiagKind::Syntax, "syntax error: expected function header `|...|`", {0, 0}},
        ProgramErrorCase{"x + 1", DiagKind::Syntax, "syntax error: expected function header `|...|`", {0, 0}},
        ProgramErrorCase{"# |x: f32| x", DiagKind::Syntax, "syntax error: expected function header `|...|`", {0, 0}},
        ProgramErrorCase{
            "|x: f32 x", DiagKind::Syntax, "syntax error: expected closing `|` for function header", {1, 1}},
        ProgramErrorCase{
            "ab |x: f32 # | x", DiagKind::Syntax, "syntax error: expected closing `|` for function header", {4, 4}},
        ProgramErrorCase{"|x: f32|", DiagKind::Syntax, "syntax error: missing function body", {8, 8}},
        ProgramErrorCase{"|x: f32|  \n  \n # c", DiagKind::Syntax, "syntax error: missing function body", {8, 8}},
        ProgramErrorCase{
            "|x: f32,| x", DiagKind::Syntax, "syntax error: invalid parameter, expected `name: dtype`", {8, 8}},
        ProgramErrorCase{
            "|x f32| x", DiagKind::Syntax, "syntax error: invalid parameter, expected `name: dtype`", {1, 6}},
        ProgramErrorCase{"| a: f32 ,  b f32 | x",
                         DiagKind::Syntax,
                         "syntax error: invalid parameter, expected `name: dtype`",
                         {12, 17}},
        ProgramErrorCase{"|: f32| 1", DiagKind::Syntax, "syntax error: identifier cannot be empty", {1, 1}},
        ProgramErrorCase{"|2x: f32| 1", DiagKind::Syntax, "syntax error: invalid identifier `2x`", {1, 3}},
        ProgramErrorCase{"|größe: f32| 1", DiagKind::Syntax, "syntax error: invalid identifier `größe`", {1, 8}},
        ProgramErrorCase{
            "|pi: f64| 1", DiagKind::ReservedIdentifier, "reserved word `pi` cannot be used as an identifier", {1, 3}},
        ProgramErrorCase{"|x: float| x", DiagKind::UnknownDtype, "unknown type `float`", {4, 9}},
        ProgramErrorCase{"|x: | x", DiagKind::UnknownDtype, "unknown type ``", {3, 3}},
        ProgramErrorCase{
            "|x: f32|\ny = x", DiagKind::Syntax, "syntax error: missing result expression after assignments", {9, 14}},
        ProgramErrorCase{"|x: f32|\nx + 1\nx",
                         DiagKind::Syntax,
                         "syntax error: statement must be assignment `name = expr`",
                         {9, 14}},
        ProgramErrorCase{"|x: f32|\n = 3\nx", DiagKind::Syntax, "syntax error: invalid assignment", {10, 13}},
        ProgramErrorCase{"|x: f32|\ny =\nx", DiagKind::Syntax, "syntax error: invalid assignment", {9, 12}},
        ProgramErrorCase{"|x: f32|\n2y = x\nx", DiagKind::Syntax, "syntax error: invalid identifier `2y`", {9, 11}},
        ProgramErrorCase{"|x: f32|\nif = x\nx",
                         DiagKind::ReservedIdentifier,
                         "reserved word `if` cannot be used as an identifier",
                         {9, 11}},
        ProgramErrorCase{"|x: f32|\nx == 1\nx",
                         DiagKind::Syntax,
                         "syntax error: statement must be assignment `name = expr`",
                         {9, 15}}));

INSTANTIATE_TEST_SUITE_P(
    Expressions, ProgramErrorTest,
    ::testing::Values(
        ProgramErrorCase{"|x: f32|\nx +", DiagKind::Syntax, "syntax error: syntax error", {12, 12}},
        ProgramErrorCase{"|x: f32| x @ foo", DiagKind::UnknownDtype, "unknown type `foo`", {13, 16}},
        ProgramErrorCase{"|x: f32| x $ 1", DiagKind::Syntax, "syntax error: lex error", {11, 12}},
        ProgramErrorCase{
            "|x: f32| 9223372036854775808", DiagKind::Syntax, "syntax error: invalid integer literal", {9, 28}},
        ProgramErrorCase{"|x: c64| x + 3j",
                         DiagKind::IntImaginaryLiteral,
                         "integer imaginary literal `3j` is not supported; use float form `3.0j` instead",
                         {13, 15}},
        ProgramErrorCase{"|x: f32|\ny = x +\nx", DiagKind::Syntax, "syntax error: syntax error", {16, 16}}));

TEST(ProgramTest, HelpTexts) {
  Result<FuncDef, std::vector<diag::Diag>> r = parse_program("|x: f32|\n = 3\nx");
  ASSERT_FALSE(r);
  EXPECT_EQ(*r.error()[0].help, kSyntaxHelp);
  r = parse_program("|x: float| x");
  ASSERT_FALSE(r);
  EXPECT_EQ(*r.error()[0].help,
            "expected one of: bool, u8, u16, u32, u64, i8, i16, i32, i64, f16, bf16, f32, f64, c64, c128");
  r = parse_program("|e: f32| x");
  ASSERT_FALSE(r);
  EXPECT_EQ(*r.error()[0].help, "use a different name for the variable or parameter");
}

TEST(ProgramTest, TheFaultyLineClosestToTheEndIsReported) {
  // Statements are checked last to first, after the result line.
  Result<FuncDef, std::vector<diag::Diag>> r = parse_program("|x: f32|\na = $\nb + 1\nc = x +\nx");
  ASSERT_FALSE(r);
  ASSERT_EQ(r.error().size(), 1u);
  EXPECT_EQ(r.error()[0].message, "syntax error: syntax error");
  EXPECT_EQ(*r.error()[0].span, (Span{28, 28}));
  // A faulty result line hides every faulty statement.
  r = parse_program("|x: f32|\na = $\nx +");
  ASSERT_FALSE(r);
  EXPECT_EQ(*r.error()[0].span, (Span{18, 18}));
}

TEST(ProgramTest, ExpressionDiagnosticsAreReturnedWhole) {
  Result<FuncDef, std::vector<diag::Diag>> r = parse_program("|x: f32| f(+ 1, + 2)");
  ASSERT_FALSE(r);
  EXPECT_EQ(messages(r.error()), (std::vector<std::string>{kSyn, kSyn}));
  EXPECT_EQ(*r.error()[0].span, (Span{11, 12}));
}

TEST(ProgramTest, ManyAssignmentsNestWithoutRecursion) {
  const std::size_t n = 100000;
  std::string src = "|x: f32|\n";
  for (std::size_t i = 0; i < n; ++i) src += "y = x + 1\n";
  src += "y\n";
  Result<FuncDef, std::vector<diag::Diag>> r = parse_program(src);
  ASSERT_TRUE(r);
  std::size_t lets = 0;
  const Spanned* node = &r->body;
  while (const auto* let = std::get_if<Let>(&node->expr)) {
    ++lets;
    node = let->body.get();
  }
  EXPECT_EQ(lets, n);
  EXPECT_EQ(r->body.span, (Span{9, 18}));
}

TEST(ProgramTest, TreeOutlivesItsSourceAndMoves) {
  // Names, argument lists and nodes belong to the program, not to the source
  // text; a list larger than an arena block gets a block of its own.
  std::string src = "|x: f64|\nlonger_name = x\nf(longer_name";
  for (int i = 0; i < 300; ++i) src += ", x";
  src += ")";
  Result<FuncDef, std::vector<diag::Diag>> r = parse_program(src);
  ASSERT_TRUE(r);
  std::fill(src.begin(), src.end(), '?');
  const FuncDef moved = std::move(*r);
  const auto& let = std::get<Let>(moved.body.expr);
  EXPECT_EQ(let.name, "longer_name");
  const auto& call = std::get<Call>(let.body->expr);
  EXPECT_EQ(call.name, "f");
  ASSERT_EQ(call.args.size(), 301u);
  EXPECT_EQ(std::get<Var>(call.args.front()->expr).name, "longer_name");
  EXPECT_EQ(std::get<Var>(call.args.back()->expr).name, "x");
}

}  // namespace
}  // namespace morvalen::parse
