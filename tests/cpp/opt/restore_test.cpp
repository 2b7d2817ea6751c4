#include "opt/restore.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "ir/dtype.h"
#include "ir/node.h"
#include "opt/dag_fixture.h"
#include "opt/lang.h"

namespace morvalen::opt {
namespace {

using ir::DType;
using testing::show_output;

// Builds terms node by node; every helper returns the new node's position.
class TermMaker {
 public:
  Id leaf_int(std::int64_t v) { return expr_.add(MathLang::make_int(v)); }
  Id leaf_num(double v) { return expr_.add(MathLang::make_num(v)); }
  Id leaf_bool(bool v) { return expr_.add(MathLang::make_bool(v)); }
  Id token(std::string_view text) { return expr_.add(MathLang::make_token(text)); }
  Id param(std::int64_t k) { return node(MathKind::Param, leaf_int(k)); }
  Id node(MathKind kind, Id a) { return expr_.add(MathLang::make(kind, a)); }
  Id node(MathKind kind, Id a, Id b) { return expr_.add(MathLang::make(kind, a, b)); }
  Id node(MathKind kind, Id a, Id b, Id c) { return expr_.add(MathLang::make(kind, a, b, c)); }
  Id cast(std::string_view text, Id arg) { return node(MathKind::Cast, token(text), arg); }
  Id complex(double re, double im) {
    Id r = leaf_num(re);
    return node(MathKind::Complex, r, leaf_num(im));
  }

  const RecExpr& expr() const { return expr_; }

 private:
  RecExpr expr_;
};

TypeMap types_of(std::vector<DType> params, std::vector<DType> outputs = {}) {
  TypeMap m;
  m.param_dtypes = std::move(params);
  m.output_dtypes = std::move(outputs);
  return m;
}

std::vector<ir::ParamDecl> decls(const std::vector<DType>& dtypes) {
  static const char* const kNames[] = {"x", "y", "z", "w"};
  std::vector<ir::ParamDecl> out;
  for (std::size_t k = 0; k < dtypes.size(); ++k) out.push_back({kNames[k], dtypes[k]});
  return out;
}

RestoreResult restore_ok(const RecExpr& expr, const std::vector<DType>& params, std::vector<DType> outputs = {}) {
  auto r = restore_types_with_info(expr, types_of(params, std::move(outputs)), decls(params));
  if (!r.has_value()) throw std::runtime_error("unexpected restore failure: " + r.error().to_string());
  return std::move(r).value();
}

std::string restore_error(const RecExpr& expr, const std::vector<DType>& params, std::vector<DType> outputs = {}) {
  auto r = restore_types_with_info(expr, types_of(params, std::move(outputs)), decls(params));
  if (r.has_value()) return "no error; restored " + show_output(r->dag);
  return r.error().to_string();
}

// ---------------------------------------------------------------- cast tokens

struct TokenCase {
  const char* text;
  std::optional<CastToken> expected;
};

TEST(ParseCastToken, Table) {
  const TokenCase cases[] = {
      {"f32", CastToken{DType::f32(), false}},
      {"explicit:i32", CastToken{DType::i32(), true}},
      {"explicit:bf16", CastToken{DType::bf16(), true}},
      {"c128", CastToken{DType::c128(), false}},
      {"bool", CastToken{DType::boolean(), false}},
      {"explicit:", std::nullopt},
      {"explicit", std::nullopt},
      {"explicit:explicit:f32", std::nullopt},
      {"Explicit:f32", std::nullopt},
      {"x", std::nullopt},
      {"", std::nullopt},
      {"f32 ", std::nullopt},
  };
  for (const TokenCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_cast_token(c.text), c.expected);
  }
}

// ---------------------------------------------------------------- try_promote

TEST(TryPromote, EqualOperandsGiveNoDiagnostic) {
  std::vector<diag::Diag> diags;
  auto node = MathLang::make(MathKind::Add, Id{0}, Id{1});
  auto r = try_promote("restore:Add", DType::f32(), DType::f32(), 2, node, diags);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, DType::f32());
  EXPECT_TRUE(diags.empty());
}

TEST(TryPromote, DifferentOperandsAppendRestorePromotion) {
  std::vector<diag::Diag> diags;
  auto node = MathLang::make(MathKind::Mul, Id{0}, Id{1});
  auto r = try_promote("restore:Mul", DType::i32(), DType::i64(), 7, node, diags);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, DType::i64());
  ASSERT_EQ(diags.size(), 1u);
  EXPECT_EQ(diags[0].kind, diag::DiagKind::RestorePromotion);
  EXPECT_EQ(diags[0].message, "implicit promotion in restore:Mul at node#7: i32 + i64 -> i64");
  EXPECT_FALSE(diags[0].span.has_value());
  EXPECT_FALSE(diags[0].labels.has_value());
  EXPECT_EQ(diags[0].help, std::string(diag::default_help(diag::DiagKind::RestorePromotion)));
}

TEST(TryPromote, FailureNamesTheNode) {
  std::vector<diag::Diag> diags;
  auto node = MathLang::make(MathKind::Sub, Id{1}, Id{3});
  auto r = try_promote("restore:Sub", DType::i32(), DType::bf16(), 4, node, diags);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(), "invalid expr during conversion: invalid node #4: Sub([1, 3])");
  EXPECT_TRUE(diags.empty());
}

// ---------------------------------------------------------------- literal typing

TEST(Restore, IntegerRootWithFloatOutputBecomesFloatConstant) {
  TermMaker t;
  t.leaf_int(2);
  RestoreResult r = restore_ok(t.expr(), {}, {DType::f32()});
  ASSERT_EQ(r.dag.size(), 1u);
  EXPECT_EQ(show_output(r.dag), "2f:f32");
  EXPECT_TRUE(std::holds_alternative<double>(std::get<ir::Const>(r.dag.nodes()[0]).value));
}

TEST(Restore, UntypedLiteralsTakeTheirDefaults) {
  {
    TermMaker t;
    t.leaf_int(5);
    EXPECT_EQ(show_output(restore_ok(t.expr(), {}).dag), "5:i64");
  }
  {
    TermMaker t;
    t.leaf_num(2.5);
    EXPECT_EQ(show_output(restore_ok(t.expr(), {}).dag), "2.5f:f64");
  }
  {
    TermMaker t;
    t.complex(1.0, -2.0);
    RestoreResult r = restore_ok(t.expr(), {});
    EXPECT_EQ(show_output(r.dag), "(1,-2):c128");
    // The parts stay in the DAG as their own (unused) nodes, in term order.
    ASSERT_EQ(r.dag.size(), 3u);
    EXPECT_EQ(r.dag.dtypes()[0], DType::f64());
    EXPECT_EQ(r.dag.dtypes()[1], DType::f64());
  }
}

TEST(Restore, ComplexUnderC64TypesItsPartsF32) {
  TermMaker t;
  t.complex(0.5, 1.5);
  RestoreResult r = restore_ok(t.expr(), {}, {DType::c64()});
  EXPECT_EQ(show_output(r.dag), "(0.5,1.5):c64");
  EXPECT_EQ(r.dag.dtypes()[0], DType::f32());
  EXPECT_EQ(r.dag.dtypes()[1], DType::f32());
}

TEST(Restore, LiteralTypedFromItsSiblingOperand) {
  // x * 2 with x: f32 and no recorded output dtype.
  TermMaker t;
  Id x = t.param(0);
  t.node(MathKind::Mul, x, t.leaf_int(2));
  RestoreResult r = restore_ok(t.expr(), {DType::f32()});
  EXPECT_EQ(show_output(r.dag), "mul(x, 2f:f32)");
  EXPECT_EQ(r.dag.dtype(r.dag.outputs()[0]), DType::f32());
  EXPECT_TRUE(r.diags.empty());
}

TEST(Restore, RootSeedReachesLiteralsBelowIt) {
  TermMaker t;
  Id one = t.leaf_int(1);
  t.node(MathKind::Neg, t.node(MathKind::Add, one, t.leaf_num(0.5)));
  RestoreResult r = restore_ok(t.expr(), {}, {DType::f16()});
  EXPECT_EQ(show_output(r.dag), "neg(add(1f:f16, 0.5f:f16))");
  EXPECT_EQ(r.dag.dtype(r.dag.outputs()[0]), DType::f16());
}

TEST(Restore, PropagationSweepsUntilNothingChanges) {
  // exp(x) < 1: the first sweep types exp(x) from x, the second the literal
  // from its now-known sibling.
  TermMaker t;
  Id e = t.node(MathKind::Exp, t.param(0));
  t.node(MathKind::Lt, e, t.leaf_int(1));
  RestoreResult r = restore_ok(t.expr(), {DType::f32()}, {DType::boolean()});
  EXPECT_EQ(show_output(r.dag), "lt(exp(x), 1f:f32)");
  EXPECT_EQ(r.dag.dtype(r.dag.outputs()[0]), DType::boolean());
}

TEST(Restore, LogicOperandsAreBool) {
  TermMaker t;
  Id zero = t.leaf_int(0);
  Id two = t.leaf_num(2.0);
  Id both = t.node(MathKind::And, two, t.leaf_bool(true));
  t.node(MathKind::Or, zero, both);
  EXPECT_EQ(show_output(restore_ok(t.expr(), {}).dag), "or(false:bool, and(true:bool, true:bool))");
}

TEST(Restore, IfElseTypesConditionAndBranches) {
  TermMaker t;
  Id cond = t.leaf_int(1);
  Id y = t.param(0);
  t.node(MathKind::IfElse, cond, t.leaf_int(3), y);
  RestoreResult r = restore_ok(t.expr(), {DType::f64()}, {DType::f64()});
  EXPECT_EQ(show_output(r.dag), "if(true:bool, 3f:f64, x)");
  EXPECT_TRUE(r.diags.empty());
}

TEST(Restore, IfElseUnknownNodeTakesPromotionOfBranches) {
  // The select sits under a comparison, so nothing seeds it from above.
  TermMaker t;
  Id x = t.param(0);
  Id y = t.param(1);
  Id sel = t.node(MathKind::IfElse, t.leaf_bool(true), x, y);
  t.node(MathKind::Eq, sel, t.leaf_int(0));
  RestoreResult r = restore_ok(t.expr(), {DType::i32(), DType::i64()}, {DType::boolean()});
  EXPECT_EQ(show_output(r.dag), "eq(if(true:bool, x, y), 0:i64)");
  ASSERT_EQ(r.diags.size(), 1u);
  EXPECT_EQ(r.diags[0].message, "implicit promotion in restore:IfElse at node#5: i32 + i64 -> i64");
}

struct NumCase {
  double value;
  DType dtype;
  const char* expected;
};

TEST(Restore, NumLiteralConvertsToItsSlotKind) {
  const NumCase cases[] = {
      {2.7, DType::i32(), "2:i32"},
      {-2.7, DType::i32(), "-2:i32"},
      {std::nan(""), DType::u8(), "0:u8"},
      {1e300, DType::i64(), "9223372036854775807:i64"},
      {-1e300, DType::i64(), "-9223372036854775808:i64"},
      {0.0, DType::boolean(), "false:bool"},
      {0.5, DType::boolean(), "true:bool"},
      {1.5, DType::c64(), "(1.5,0):c64"},
      {1.5, DType::bf16(), "1.5f:bf16"},
  };
  for (const NumCase& c : cases) {
    SCOPED_TRACE(c.expected);
    TermMaker t;
    t.leaf_num(c.value);
    EXPECT_EQ(show_output(restore_ok(t.expr(), {}, {c.dtype}).dag), c.expected);
  }
}

TEST(Restore, IntLiteralConvertsToItsSlotKind) {
  const NumCase cases[] = {
      {0, DType::u16(), "7:u16"},
      {0, DType::f64(), "7f:f64"},
      {0, DType::c128(), "(7,0):c128"},
      {0, DType::boolean(), "true:bool"},
  };
  for (const NumCase& c : cases) {
    SCOPED_TRACE(c.expected);
    TermMaker t;
    t.leaf_int(7);
    EXPECT_EQ(show_output(restore_ok(t.expr(), {}, {c.dtype}).dag), c.expected);
  }
}

// ---------------------------------------------------------------- building

TEST(Restore, CastKeepsTokenDtypeAndExplicitness) {
  TermMaker t;
  Id x = t.param(0);
  t.cast("explicit:f32", t.cast("f64", x));
  RestoreResult r = restore_ok(t.expr(), {DType::i32()}, {DType::f32()});
  EXPECT_EQ(show_output(r.dag), "cast<explicit:f32>(cast<f64>(x))");
  // Tokens build nothing: x, its cast and the outer cast (the index literal is built).
  EXPECT_EQ(r.dag.size(), 4u);
}

TEST(Restore, CastOperandIsNotTypedFromTheCast) {
  TermMaker t;
  t.cast("f32", t.leaf_int(3));
  EXPECT_EQ(show_output(restore_ok(t.expr(), {}, {DType::f32()}).dag), "cast<f32>(3:i64)");
}

TEST(Restore, MixedOperandsPromoteWithDiagnostic) {
  TermMaker t;
  Id x = t.param(0);
  Id y = t.param(1);
  t.node(MathKind::Add, x, y);
  RestoreResult r = restore_ok(t.expr(), {DType::i32(), DType::i64()});
  EXPECT_EQ(show_output(r.dag), "add(x, y)");
  EXPECT_EQ(r.dag.dtype(r.dag.outputs()[0]), DType::i64());
  ASSERT_EQ(r.diags.size(), 1u);
  EXPECT_EQ(r.diags[0].message, "implicit promotion in restore:Add at node#4: i32 + i64 -> i64");
}

struct LabelCase {
  MathKind kind;
  const char* label;
  const char* shown;
};

TEST(Restore, PromotionLabelsOfArithmetic) {
  const LabelCase cases[] = {
      {MathKind::Add, "restore:Add", "add"},
      {MathKind::Sub, "restore:Sub", "sub"},
      {MathKind::Mul, "restore:Mul", "mul"},
      {MathKind::Div, "restore:Div", "div"},
      {MathKind::FloorDiv, "restore:FloorDiv", "floordiv"},
      {MathKind::Rem, "restore:Rem", "rem"},
      {MathKind::Pow, "restore:Pow", "pow"},
  };
  for (const LabelCase& c : cases) {
    SCOPED_TRACE(c.label);
    TermMaker t;
    Id x = t.param(0);
    Id y = t.param(1);
    t.node(c.kind, x, y);
    RestoreResult r = restore_ok(t.expr(), {DType::f16(), DType::f32()});
    EXPECT_EQ(show_output(r.dag), std::string(c.shown) + "(x, y)");
    ASSERT_EQ(r.diags.size(), 1u);
    EXPECT_EQ(r.diags[0].message, "implicit promotion in " + std::string(c.label) + " at node#4: f16 + f32 -> f32");
  }
}

TEST(Restore, ComparisonsAndLogicAreBoolWithoutPromotion) {
  TermMaker t;
  Id x = t.param(0);
  Id y = t.param(1);
  t.node(MathKind::Ge, x, y);
  RestoreResult r = restore_ok(t.expr(), {DType::i8(), DType::f64()});
  EXPECT_EQ(show_output(r.dag), "ge(x, y)");
  EXPECT_EQ(r.dag.dtype(r.dag.outputs()[0]), DType::boolean());
  EXPECT_TRUE(r.diags.empty());
}

TEST(Restore, UnaryBuiltinsBecomeCallsInTableOrder) {
  const MathKind kinds[] = {MathKind::Exp,
                            MathKind::Log,
                            MathKind::Sqrt,
                            MathKind::Abs,
                            MathKind::Sin,
                            MathKind::Cos,
                            MathKind::Tanh,
                            MathKind::Sigmoid,
                            MathKind::Relu,
                            MathKind::Softplus,
                            MathKind::Floor,
                            MathKind::Ceil,
                            MathKind::FusedExpSigmoid,
                            MathKind::FusedSigmoidLog};
  const char* names[] = {"exp",     "log",  "sqrt",     "abs",   "sin",  "cos",         "tanh",
                         "sigmoid", "relu", "softplus", "floor", "ceil", "exp_sigmoid", "sigmoid_log"};
  for (std::size_t k = 0; k < std::size(kinds); ++k) {
    SCOPED_TRACE(names[k]);
    TermMaker t;
    t.node(kinds[k], t.param(0));
    RestoreResult r = restore_ok(t.expr(), {DType::bf16()}, {DType::bf16()});
    EXPECT_EQ(show_output(r.dag), std::string(names[k]) + "(x)");
    EXPECT_EQ(r.dag.dtype(r.dag.outputs()[0]), DType::bf16());
  }
}

TEST(Restore, NegAndNot) {
  TermMaker t;
  Id n = t.node(MathKind::Neg, t.param(0));
  t.node(MathKind::Not, t.node(MathKind::Lt, n, t.leaf_num(0.0)));
  RestoreResult r = restore_ok(t.expr(), {DType::i16()}, {DType::boolean()});
  EXPECT_EQ(show_output(r.dag), "not(lt(neg(x), 0:i16))");
}

TEST(Restore, NodeOrderIsTermOrderWithoutTokensAndParamsAreCopied) {
  TermMaker t;
  Id x = t.param(1);
  t.cast("f64", x);
  std::vector<ir::ParamDecl> params = {{"a", DType::i32()}, {"b", DType::f32()}};
  auto r = restore_types_with_info(t.expr(), types_of({DType::i32(), DType::f32()}, {DType::f64()}), params);
  ASSERT_TRUE(r.has_value());
  ASSERT_EQ(r->dag.size(), 3u);
  EXPECT_TRUE(std::holds_alternative<ir::Const>(r->dag.nodes()[0]));
  EXPECT_TRUE(std::holds_alternative<ir::Param>(r->dag.nodes()[1]));
  EXPECT_TRUE(std::holds_alternative<ir::Cast>(r->dag.nodes()[2]));
  EXPECT_EQ(r->dag.params(), params);
  EXPECT_EQ(r->dag.outputs(), std::vector<ir::NodeId>{ir::NodeId{2}});
  EXPECT_EQ(show_output(r->dag), "cast<f64>(b)");
}

// ---------------------------------------------------------------- propagation order
//
// The restorer skips nodes whose inputs did not change; it must assign exactly
// what full sweeps over every node (last to first, repeated until a sweep
// assigns nothing) assign. The reference below is that plain algorithm.

std::vector<std::optional<DType>> reference_slots(const RecExpr& expr, const TypeMap& types) {
  const std::size_t n = expr.size();
  std::vector<std::optional<DType>> slot(n);
  bool changed = false;
  auto fill = [&](Id id, std::optional<DType> t) {
    if (t && !slot[id.value]) {
      slot[id.value] = t;
      changed = true;
    }
  };
  auto promoted = [](std::optional<DType> a, std::optional<DType> b) -> std::optional<DType> {
    auto p = ir::promote(*a, *b);
    if (!p.has_value()) return std::nullopt;
    return *p;
  };
  if (!types.output_dtypes.empty()) fill(Id{static_cast<std::uint32_t>(n - 1)}, types.output_dtypes[0]);
  for (std::size_t i = 0; i < n; ++i) {
    const MathLang& node = expr.nodes()[i];
    MathKind k = node.kind();
    Id self{static_cast<std::uint32_t>(i)};
    if (k == MathKind::Bool || (k >= MathKind::Eq && k <= MathKind::Not)) fill(self, DType::boolean());
    if (k == MathKind::Param && expr[node.children()[0]].kind() == MathKind::Int) {
      std::int64_t v = expr[node.children()[0]].int_value();
      if (v >= 0 && static_cast<std::size_t>(v) < types.param_dtypes.size())
        fill(self, types.param_dtypes[static_cast<std::size_t>(v)]);
    }
    if (k == MathKind::TypeToken)
      if (auto tok = parse_cast_token(node.token().text())) fill(self, tok->dtype);
  }
  do {
    changed = false;
    for (std::size_t i = n; i-- > 0;) {
      const MathLang& node = expr.nodes()[i];
      MathKind k = node.kind();
      auto ch = node.children();
      auto& me = slot[i];
      Id self{static_cast<std::uint32_t>(i)};
      if (k == MathKind::Complex && me && me->is_complex()) {
        fill(ch[0], *me == DType::c64() ? DType::f32() : DType::f64());
        fill(ch[1], *me == DType::c64() ? DType::f32() : DType::f64());
      } else if (k == MathKind::Cast) {
        fill(self, slot[ch[0].value]);
      } else if (k >= MathKind::Add && k <= MathKind::Pow) {
        if (me) {
          fill(ch[0], me);
          fill(ch[1], me);
        }
        auto& l = slot[ch[0].value];
        auto& r = slot[ch[1].value];
        if (l && !r) fill(ch[1], l);
        if (r && !l) fill(ch[0], r);
        if (l && r && !me) fill(self, promoted(l, r));
      } else if (k == MathKind::Neg || k >= MathKind::Exp) {
        if (me) {
          fill(ch[0], me);
        } else {
          fill(self, slot[ch[0].value]);
        }
      } else if (k >= MathKind::Eq && k <= MathKind::Ge) {
        auto& l = slot[ch[0].value];
        auto& r = slot[ch[1].value];
        if (l && !r) fill(ch[1], l);
        if (r && !l) fill(ch[0], r);
      } else if (k == MathKind::And || k == MathKind::Or) {
        fill(ch[0], DType::boolean());
        fill(ch[1], DType::boolean());
      } else if (k == MathKind::IfElse) {
        fill(ch[0], DType::boolean());
        if (me) {
          fill(ch[1], me);
          fill(ch[2], me);
        } else if (slot[ch[1].value] && slot[ch[2].value]) {
          fill(self, promoted(slot[ch[1].value], slot[ch[2].value]));
        }
      }
    }
  } while (changed);
  return slot;
}

// A small deterministic generator (no library engine, so the sequence is the
// same everywhere).
class Lcg {
 public:
  explicit Lcg(std::uint64_t seed) : state_(seed) {}
  std::size_t below(std::size_t n) {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::size_t>((state_ >> 33) % n);
  }

 private:
  std::uint64_t state_;
};

RecExpr random_term(Lcg& rng, std::size_t size) {
  static const char* const kTokens[] = {"f32", "explicit:f64", "i16", "explicit:c64", "bool", "u8"};
  static const MathKind kOps[] = {MathKind::Add,     MathKind::Sub,
                                  MathKind::Mul,     MathKind::Pow,
                                  MathKind::Neg,     MathKind::Eq,
                                  MathKind::Lt,      MathKind::And,
                                  MathKind::Or,      MathKind::Not,
                                  MathKind::IfElse,  MathKind::Exp,
                                  MathKind::Sigmoid, MathKind::FusedSigmoidLog,
                                  MathKind::Cast,    MathKind::Complex};
  TermMaker t;
  std::vector<Id> values;
  auto pick = [&]() { return values[rng.below(values.size())]; };
  while (t.expr().size() < size) {
    std::size_t choice = values.empty() ? rng.below(4) : rng.below(4 + 3 * std::size(kOps));
    Id id;
    if (choice == 0) {
      id = t.leaf_int(static_cast<std::int64_t>(rng.below(4)));
    } else if (choice == 1) {
      id = t.leaf_num(0.5 * static_cast<double>(rng.below(5)));
    } else if (choice == 2) {
      id = t.leaf_bool(rng.below(2) == 1);
    } else if (choice == 3) {
      id = t.param(static_cast<std::int64_t>(rng.below(3)));
    } else {
      MathKind k = kOps[(choice - 4) % std::size(kOps)];
      if (k == MathKind::Cast) {
        Id arg = pick();
        id = t.cast(kTokens[rng.below(std::size(kTokens))], arg);
      } else if (k == MathKind::Complex) {
        id = t.complex(1.0, static_cast<double>(rng.below(3)));
      } else if (kind_arity(k) == 1) {
        id = t.node(k, pick());
      } else if (kind_arity(k) == 2) {
        Id a = pick();
        id = t.node(k, a, pick());
      } else {
        Id a = pick();
        Id b = pick();
        id = t.node(k, a, b, pick());
      }
    }
    values.push_back(id);
  }
  return t.expr();
}

TEST(RestorePropagation, LiteralDtypesMatchFullSweeps) {
  const std::vector<DType> params = {DType::f32(), DType::i32(), DType::c128()};
  const DType outputs[] = {DType::f64(), DType::i16(), DType::boolean(), DType::c64(), DType::u8()};
  Lcg rng(12345);
  std::size_t restored = 0;
  std::size_t literals = 0;
  for (int round = 0; round < 2000; ++round) {
    SCOPED_TRACE(round);
    RecExpr expr = random_term(rng, 6 + rng.below(40));
    TypeMap types = types_of(params);
    if (round % 6 != 0) types.output_dtypes = {outputs[rng.below(std::size(outputs))]};
    auto r = restore_types_with_info(expr, types, decls(params));
    if (!r.has_value()) continue;
    ++restored;
    std::vector<std::optional<DType>> expected = reference_slots(expr, types);
    // DAG nodes follow the term order without the tokens.
    std::size_t dag_pos = 0;
    for (std::size_t i = 0; i < expr.size(); ++i) {
      MathKind k = expr.nodes()[i].kind();
      if (k == MathKind::TypeToken) continue;
      DType got = r->dag.dtypes()[dag_pos++];
      if (k == MathKind::Int) {
        ++literals;
        EXPECT_EQ(got, expected[i].value_or(DType::i64())) << "term node " << i;
      } else if (k == MathKind::Num) {
        ++literals;
        EXPECT_EQ(got, expected[i].value_or(DType::f64())) << "term node " << i;
      }
    }
    EXPECT_EQ(dag_pos, r->dag.size());
  }
  // The generator must exercise the comparison, not only fail to restore.
  EXPECT_GT(restored, 500u);
  EXPECT_GT(literals, 3000u);
}

TEST(RestorePropagation, DeepChainUnderAComparisonIsTyped) {
  // exp(exp(... exp(x) ...)) < 1: the dtype climbs one level per full sweep.
  constexpr std::size_t kDepth = 50000;
  TermMaker t;
  Id e = t.param(0);
  for (std::size_t k = 0; k < kDepth; ++k) e = t.node(MathKind::Exp, e);
  t.node(MathKind::Lt, e, t.leaf_int(1));
  RestoreResult r = restore_ok(t.expr(), {DType::f32()}, {DType::boolean()});
  const auto& lt = std::get<ir::Binary>(r.dag.node(r.dag.outputs()[0]));
  EXPECT_EQ(r.dag.dtype(lt.lhs), DType::f32());
  EXPECT_EQ(r.dag.dtype(lt.rhs), DType::f32());
  EXPECT_TRUE(std::holds_alternative<double>(std::get<ir::Const>(r.dag.node(lt.rhs)).value));
}

// ---------------------------------------------------------------- failures

TEST(RestoreErrors, EmptyExpression) {
  EXPECT_EQ(restore_error(RecExpr{}, {}), "invalid expr during conversion: cannot restore empty expression");
}

TEST(RestoreErrors, ParamIndexOutOfRange) {
  TermMaker t;
  t.param(1);
  EXPECT_EQ(restore_error(t.expr(), {DType::f32()}), "invalid expr during conversion: invalid node #1: Param([0])");
}

TEST(RestoreErrors, ParamIndexNegative) {
  TermMaker t;
  t.param(-1);
  EXPECT_EQ(restore_error(t.expr(), {DType::f32()}), "invalid expr during conversion: invalid node #1: Param([0])");
}

TEST(RestoreErrors, ParamChildNotAnInteger) {
  TermMaker t;
  t.node(MathKind::Param, t.leaf_num(0.0));
  EXPECT_EQ(restore_error(t.expr(), {DType::f32()}), "invalid expr during conversion: invalid node #1: Param([0])");
}

TEST(RestoreErrors, CastTokenDoesNotParse) {
  TermMaker t;
  t.cast("f33", t.leaf_int(1));
  EXPECT_EQ(restore_error(t.expr(), {}), "invalid expr during conversion: invalid node #2: Cast([1, 0])");
}

TEST(RestoreErrors, CastFirstChildNotAToken) {
  TermMaker t;
  Id one = t.leaf_int(1);
  t.node(MathKind::Cast, one, one);
  EXPECT_EQ(restore_error(t.expr(), {}), "invalid expr during conversion: invalid node #1: Cast([0, 0])");
}

TEST(RestoreErrors, OperandIsATypeToken) {
  TermMaker t;
  t.node(MathKind::Neg, t.token("f32"));
  EXPECT_EQ(restore_error(t.expr(), {}), "invalid expr during conversion: invalid node #1: Neg([0])");
}

TEST(RestoreErrors, RootIsATypeToken) {
  TermMaker t;
  t.leaf_int(1);
  t.token("f32");
  EXPECT_EQ(restore_error(t.expr(), {}), "invalid expr during conversion: invalid node #1: TypeToken(\"f32\")");
}

TEST(RestoreErrors, ComplexPartsMustBeNums) {
  TermMaker t;
  Id re = t.leaf_int(1);
  t.node(MathKind::Complex, re, t.leaf_num(2.0));
  EXPECT_EQ(restore_error(t.expr(), {}), "invalid expr during conversion: invalid node #2: Complex([0, 1])");
}

TEST(RestoreErrors, ComplexUnderRealSlot) {
  TermMaker t;
  t.complex(1.0, 2.0);
  EXPECT_EQ(restore_error(t.expr(), {}, {DType::f64()}),
            "invalid expr during conversion: invalid node #2: Complex([0, 1])");
}

TEST(RestoreErrors, OperandsThatDoNotPromote) {
  TermMaker t;
  Id x = t.param(0);
  Id y = t.param(1);
  t.node(MathKind::Div, x, y);
  EXPECT_EQ(restore_error(t.expr(), {DType::i32(), DType::bf16()}),
            "invalid expr during conversion: invalid node #4: Div([1, 3])");
}

TEST(RestoreErrors, SelectBranchesThatDoNotPromote) {
  TermMaker t;
  Id c = t.leaf_bool(false);
  Id x = t.param(0);
  Id y = t.param(1);
  t.node(MathKind::IfElse, c, x, y);
  EXPECT_EQ(restore_error(t.expr(), {DType::bf16(), DType::c64()}),
            "invalid expr during conversion: invalid node #5: IfElse([0, 2, 4])");
}

}  // namespace
}  // namespace morvalen::opt
