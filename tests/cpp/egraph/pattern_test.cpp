#include "egraph/pattern.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "egraph/test_util.h"

namespace morvalen::egraph {
namespace {

using testing::internal_failure;
using testing::term;

Pattern pat(std::string_view text) {
  auto p = Pattern::parse(text);
  if (!p) throw InternalError("bad pattern " + std::string(text) + ": " + p.error().to_string());
  return std::move(*p);
}

Var var(std::string_view text) { return Var{support::Symbol::intern(text)}; }

TEST(PatternRead, SumWithZeroHasThreeNodes) {
  Pattern p = pat("(+ ?x 0)");
  ASSERT_EQ(p.ast().size(), 3u);
  EXPECT_EQ(std::get<Var>(p.ast()[0]), var("?x"));
  EXPECT_EQ(std::get<MathLang>(p.ast()[1]), MathLang::make_int(0));
  EXPECT_EQ(std::get<MathLang>(p.ast()[2]), MathLang::make(MathKind::Add, Id{0}, Id{1}));
  EXPECT_EQ(p.vars(), std::vector<Var>{var("?x")});
  EXPECT_FALSE(p.is_ground());
}

TEST(PatternRead, NodesAreNotShared) {
  Pattern p = pat("(* (+ ?a 1) (+ ?a 1))");
  EXPECT_EQ(p.ast().size(), 7u);
  EXPECT_EQ(p.vars(), std::vector<Var>{var("?a")});
}

TEST(PatternRead, VariablesInOrderOfFirstAppearance) {
  Pattern p = pat("(ifelse ?c (+ ?b ?a) ?b)");
  EXPECT_EQ(p.vars(), (std::vector<Var>{var("?c"), var("?b"), var("?a")}));
}

TEST(PatternRead, AtomsAndWhitespace) {
  struct Case {
    const char* text;
    std::string rendered;
  };
  const Case cases[] = {
      {"  (+ ?x 0)\n", "(+ ?x 0)"},
      {"?x", "?x"},
      {"?", "?"},  // a lone question mark is a type token
      {"(cast \"explicit:f32\" ?x)", "(cast explicit:f32 ?x)"},
      {"(cast \"a b\" ?x)", "(cast \"a b\" ?x)"},
      {"(cast \"q\\\"\\\\\" ?x)", "(cast q\"\\ ?x)"},
      {"(neg 2.5)", "(neg 2.5)"},
      {"(neg -5)", "(neg -5)"},
      {"(ifelse true ?t ?e)", "(ifelse true ?t ?e)"},
      {"(|| (&& ?a ?b) (! ?c))", "(|| (&& ?a ?b) (! ?c))"},
      {"?#3", "?#3"},
      {"?#+3", "?#+3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto p = Pattern::parse(c.text);
    ASSERT_TRUE(p.has_value()) << p.error().to_string();
    EXPECT_EQ(p->to_string(), c.rendered);
  }
  EXPECT_EQ(std::get<MathLang>(pat("?").ast()[0]), MathLang::make_token("?"));
  EXPECT_EQ(std::get<MathLang>(pat("(cast \"explicit:f32\" ?x)").ast()[0]), MathLang::make_token("explicit:f32"));
}

TEST(PatternReadFailure, Messages) {
  struct Case {
    const char* text;
    std::size_t alternative;
    std::string message;
  };
  const Case cases[] = {
      {"(?x 1)", 3, "Found variable `?x` with children"},
      {"()", 1, "Found empty s-expression"},
      {"((+ 1 2) 3)", 2, "Found a list in the head position: ((+ 1 2) 3)"},
      {"(foo 1)", 5, "Failed to parse op: failed to parse 'foo' with children [0]"},
      {"(- ?x)", 5, "Failed to parse op: failed to parse '-' with children [0]"},
      {"(true ?x)", 5, "Failed to parse op: failed to parse 'true' with children [0]"},
      {"(ifelse 1 2)", 5, "Failed to parse op: failed to parse 'ifelse' with children [0, 1]"},
      {")", 0, "Unexpected )"},
      {"(+ 1 2))", 0, "Unexpected trailing input"},
      {"(+ 1", 0, "End of file reached"},
      {"", 0, "End of file reached"},
      {"   ", 0, "End of file reached"},
      {"(cast \"f32 ?x)", 0, "Unterminated string"},
      {"?#x", 4, "Found invalid variable: invalid numbered variable `?#x`"},
      {"(neg ?#4294967296)", 4, "Found invalid variable: invalid numbered variable `?#4294967296`"},
      {"?#", 4, "Found invalid variable: invalid numbered variable `?#`"},
      {"?#-1", 4, "Found invalid variable: invalid numbered variable `?#-1`"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto p = Pattern::parse(c.text);
    ASSERT_FALSE(p.has_value());
    EXPECT_EQ(p.error().detail.index(), c.alternative);
    EXPECT_EQ(p.error().to_string(), c.message);
  }
}

TEST(PatternVar, Parsing) {
  EXPECT_TRUE(parse_var("?x").has_value());
  EXPECT_TRUE(parse_var("?#4294967295").has_value());
  auto missing = parse_var("x");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().to_string(), "variable `x` must start with `?`");
  EXPECT_FALSE(parse_var("?").has_value());
}

// Builds and rebuilds an e-graph from terms, returning the class of each.
struct Graph {
  EGraph g;
  std::vector<Id> add(std::initializer_list<const char*> terms) {
    std::vector<Id> ids;
    for (const char* t : terms) ids.push_back(g.add_expr(term(t)));
    g.rebuild();
    return ids;
  }
};

std::size_t count(const std::vector<SearchMatches>& ms) {
  std::size_t n = 0;
  for (const auto& m : ms) n += m.substs.size();
  return n;
}

TEST(PatternSearch, GroundSubPatternNeedsTheConstant) {
  Graph gr;
  gr.add({"(+ (param 0) 1)", "(+ (param 1) (param 0))"});
  EXPECT_TRUE(pat("(+ ?x 0)").search(gr.g, 100).empty());
  gr.add({"(+ (param 0) 0)"});
  Pattern p = pat("(+ ?x 0)");
  auto ms = p.search(gr.g, 100);
  ASSERT_EQ(ms.size(), 1u);
  EXPECT_EQ(ms[0].substs[0][var("?x")], gr.g.lookup_expr(term("(param 0)")));
  EXPECT_EQ(ms[0].ast, &p.ast());
}

TEST(PatternSearch, CastSameNeedsTheSameToken) {
  Graph gr;
  auto ids = gr.add({"(cast f32 (cast f32 (param 0)))", "(cast explicit:f32 (cast f32 (param 1)))"});
  Pattern p = pat("(cast ?t (cast ?t ?x))");
  auto ms = p.search(gr.g, 100);
  ASSERT_EQ(ms.size(), 1u);
  EXPECT_EQ(ms[0].eclass, ids[0]);
  EXPECT_EQ(ms[0].substs[0][var("?t")], gr.g.lookup(MathLang::make_token("f32")));
  EXPECT_FALSE(p.search_eclass(gr.g, ids[1], 100).has_value());
}

TEST(PatternSearch, LimitCutsTheEnumeration) {
  // One class holding five sums: (+ ?a ?b) has five substitutions there.
  Graph gr;
  auto ids = gr.add({"(+ 1 2)", "(+ 2 3)", "(+ 3 4)", "(+ 4 5)", "(+ 5 6)"});
  for (std::size_t i = 1; i < ids.size(); ++i) gr.g.union_classes(ids[0], ids[i]);
  gr.g.rebuild();
  Pattern p = pat("(+ ?a ?b)");
  auto m = p.search_eclass(gr.g, ids[0], 3);
  ASSERT_TRUE(m.has_value());
  ASSERT_EQ(m->substs.size(), 3u);
  // In the class's node order: (+ 1 2), (+ 2 3), (+ 3 4).
  EXPECT_EQ(m->substs[0][var("?a")], gr.g.lookup(MathLang::make_int(1)));
  EXPECT_EQ(m->substs[2][var("?b")], gr.g.lookup(MathLang::make_int(4)));
  EXPECT_EQ(p.search_eclass(gr.g, ids[0], 100)->substs.size(), 5u);
  EXPECT_FALSE(p.search_eclass(gr.g, ids[0], 0).has_value());
  EXPECT_EQ(count(p.search(gr.g, 4)), 4u);
  EXPECT_TRUE(p.search(gr.g, 0).empty());
}

TEST(PatternSearch, RepeatedVariableMustBindOneClass) {
  Graph gr;
  auto ids = gr.add({"(* (param 0) (param 0))", "(* (param 0) (param 1))"});
  auto ms = pat("(* ?x ?x)").search(gr.g, 100);
  ASSERT_EQ(ms.size(), 1u);
  EXPECT_EQ(ms[0].eclass, ids[0]);
}

TEST(PatternSearch, VariableRootMatchesEveryClass) {
  Graph gr;
  gr.add({"(neg 1)"});
  auto ms = pat("?x").search(gr.g, 100);
  ASSERT_EQ(ms.size(), 2u);
  EXPECT_EQ(ms[0].eclass, Id{0});
  EXPECT_EQ(ms[1].eclass, Id{1});
}

TEST(PatternSearch, GroundPatternMatchesItsClass) {
  Graph gr;
  auto ids = gr.add({"(+ 1 2)", "(+ 2 1)"});
  auto ms = pat("(+ 2 1)").search(gr.g, 100);
  ASSERT_EQ(ms.size(), 1u);
  EXPECT_EQ(ms[0].eclass, ids[1]);
  EXPECT_TRUE(ms[0].substs[0].size() == 0);
}

TEST(PatternSearch, DirtyGraphIsAnInternalFailure) {
  EGraph g;
  g.add(MathLang::make_int(1));
  EXPECT_EQ(internal_failure([&] { pat("?x").search(g, 10); }), "Tried to search a dirty e-graph!");
}

TEST(PatternApply, CountsOnlyMergingApplications) {
  Graph gr;
  auto ids = gr.add({"(+ (param 0) (param 1))"});
  Pattern lhs = pat("(+ ?a ?b)");
  Pattern rhs = pat("(+ ?b ?a)");
  auto ms = lhs.search(gr.g, 100);
  auto changed = rhs.apply_matches(gr.g, ms);
  ASSERT_EQ(changed.size(), 1u);
  gr.g.rebuild();
  EXPECT_EQ(gr.g.find(changed[0]), gr.g.find(ids[0]));
  // Now both orders live in one class; applying again merges nothing.
  ms = lhs.search(gr.g, 100);
  EXPECT_EQ(count(ms), 2u);
  EXPECT_TRUE(rhs.apply_matches(gr.g, ms).empty());
}

TEST(PatternApply, InstantiateAddsTheTerm) {
  Graph gr;
  gr.add({"(param 0)"});
  Subst s;
  s.insert(var("?x"), gr.g.lookup_expr(term("(param 0)")).value());
  Id r = pat("(exp_sigmoid (neg ?x))").instantiate(gr.g, s);
  gr.g.rebuild();
  EXPECT_EQ(gr.g.lookup_expr(term("(exp_sigmoid (neg (param 0)))")), r);
  EXPECT_EQ(internal_failure([&] { s[var("?nope")]; }), "var '?nope' not found in {?x: 1}");
}

// A direct recursive matcher used as the reference for the compiled one.
void reference(const EGraph& g, const PatternAst& ast, std::size_t p, Id c, std::map<std::uint32_t, Id> sigma,
               std::vector<std::map<std::uint32_t, Id>>& out) {
  if (const Var* v = std::get_if<Var>(&ast[p])) {
    auto it = sigma.find(v->name.index());
    if (it != sigma.end()) {
      if (it->second == g.find(c)) out.push_back(sigma);
      return;
    }
    sigma[v->name.index()] = g.find(c);
    out.push_back(sigma);
    return;
  }
  const MathLang& want = std::get<MathLang>(ast[p]);
  for (const MathLang& n : g.eclass(c).nodes) {
    if (!n.matches_op(want)) continue;
    std::vector<std::map<std::uint32_t, Id>> partial{sigma};
    for (std::size_t k = 0; k < n.children().size(); ++k) {
      std::vector<std::map<std::uint32_t, Id>> next;
      for (const auto& s : partial) reference(g, ast, want.children()[k].value, n.children()[k], s, next);
      partial = std::move(next);
    }
    out.insert(out.end(), partial.begin(), partial.end());
  }
}

std::vector<std::map<std::uint32_t, Id>> as_maps(const std::vector<Subst>& substs) {
  std::vector<std::map<std::uint32_t, Id>> out;
  for (const Subst& s : substs) {
    std::map<std::uint32_t, Id> m;
    for (std::size_t i = 0; i < s.size(); ++i) m[s.var_at(i).name.index()] = s.id_at(i);
    out.push_back(m);
  }
  return out;
}

void compare_with_reference(const EGraph& g, const Pattern& p) {
  std::vector<std::map<std::uint32_t, Id>> all_expected;
  for (Id c : g.class_ids()) {
    std::vector<std::map<std::uint32_t, Id>> expected;
    reference(g, p.ast(), p.ast().size() - 1, c, {}, expected);
    auto got = p.search_eclass(g, c, std::numeric_limits<std::size_t>::max());
    if (expected.empty()) {
      ASSERT_FALSE(got.has_value()) << "class " << c.value;
      continue;
    }
    ASSERT_TRUE(got.has_value()) << "class " << c.value;
    ASSERT_EQ(as_maps(got->substs), expected) << "class " << c.value;
    all_expected.insert(all_expected.end(), expected.begin(), expected.end());
  }
  std::size_t total = all_expected.size();
  for (std::size_t limit : {std::size_t{1}, total / 2 + 1, total + 5}) {
    std::size_t want = std::min(limit, total);
    EXPECT_EQ(count(p.search(g, limit)), want) << "limit " << limit;
  }
}

TEST(PatternRandom, CompiledMatcherAgreesWithTheReference) {
  const char* patterns[] = {"(+ ?a ?b)", "(+ (+ ?a ?b) ?c)", "(* ?a (* ?b ?c))",        "(+ ?x ?x)",
                            "(+ ?x 0)",  "(neg (neg ?x))",   "(+ (* ?a ?b) (* ?a ?c))", "(+ ?a (neg ?a))",
                            "?x",        "(+ 0 1)",          "(* (+ ?a 1) ?a)",         "(* ?a (+ ?a 1))"};
  std::mt19937 rng(777);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    EGraph g;
    std::vector<Id> ids;
    for (int i = 0; i < 3; ++i) ids.push_back(g.add(MathLang::make_int(i)));
    for (int step = 0; step < 120; ++step) {
      auto pick = [&] { return ids[std::uniform_int_distribution<std::size_t>(0, ids.size() - 1)(rng)]; };
      int action = std::uniform_int_distribution<int>(0, 9)(rng);
      if (action < 4)
        ids.push_back(g.add(MathLang::make(MathKind::Add, pick(), pick())));
      else if (action < 7)
        ids.push_back(g.add(MathLang::make(MathKind::Mul, pick(), pick())));
      else if (action < 9)
        ids.push_back(g.add(MathLang::make(MathKind::Neg, pick())));
      else if (round % 2 == 0)
        g.union_classes(pick(), pick());
    }
    // Some large classes, so that the binary-search path is taken too.
    if (round % 3 == 0)
      for (std::size_t i = 3; i + 1 < ids.size(); i += 2) g.union_classes(ids[3], ids[i]);
    g.rebuild();
    for (const char* text : patterns) {
      SCOPED_TRACE(text);
      compare_with_reference(g, pat(text));
    }
  }
}

TEST(PatternSearch, LargeClassIsSearchedByVariant) {
  EGraph g;
  std::vector<Id> ids;
  for (int i = 0; i < 30; ++i) ids.push_back(g.add_expr(term("(+ " + std::to_string(i) + " 1)")));
  for (int i = 0; i < 30; ++i) ids.push_back(g.add_expr(term("(* " + std::to_string(i) + " 2)")));
  for (int i = 0; i < 10; ++i) ids.push_back(g.add_expr(term("(neg " + std::to_string(i) + ")")));
  for (Id id : ids) g.union_classes(ids[0], id);
  g.rebuild();
  ASSERT_GE(g.eclass(ids[0]).nodes.size(), 50u);
  auto m = pat("(* ?a 2)").search_eclass(g, ids[0], 1000);
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->substs.size(), 30u);
  EXPECT_EQ(m->substs[0][var("?a")], g.lookup(MathLang::make_int(0)));
  EXPECT_EQ(pat("(neg ?a)").search_eclass(g, ids[0], 1000)->substs.size(), 10u);
  EXPECT_FALSE(pat("(exp ?a)").search_eclass(g, ids[0], 1000).has_value());
  compare_with_reference(g, pat("(* ?a ?b)"));
  compare_with_reference(g, pat("(+ ?a (neg ?a))"));
}

}  // namespace
}  // namespace morvalen::egraph
