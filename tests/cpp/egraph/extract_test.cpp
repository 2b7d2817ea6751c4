#include "egraph/extract.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "egraph/runner.h"
#include "egraph/test_util.h"

namespace morvalen::egraph {
namespace {

using testing::internal_failure;
using testing::term;

TEST(Cost, BaseCosts) {
  const MathKind cheap[] = {
      MathKind::Bool,           MathKind::Int, MathKind::Num, MathKind::TypeToken, MathKind::FusedExpSigmoid,
      MathKind::FusedSigmoidLog};
  for (MathKind k : cheap) EXPECT_EQ(base_cost(k), 1u) << opt::kind_name(k);
  std::size_t twos = 0;
  for (std::size_t k = 0; k < opt::kMathKindCount; ++k)
    if (base_cost(static_cast<MathKind>(k)) == 2) ++twos;
  EXPECT_EQ(twos, opt::kMathKindCount - 6);
}

TEST(Cost, TermCosts) {
  struct Case {
    const char* text;
    Cost cost;
  };
  const Case cases[] = {
      {"1", 1},
      {"2.5", 1},
      {"true", 1},
      {"(param 0)", 3},
      {"(+ (param 0) (param 1))", 8},
      {"(sigmoid (exp (param 0)))", 7},
      {"(exp_sigmoid (param 0))", 4},
      {"(cast f32 (param 0))", 6},
      {"(complex 1.0 2.0)", 4},
      {"(ifelse true 1 2)", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EGraph g;
    Id root = g.add_expr(term(c.text));
    g.rebuild();
    BestTerm best = Extractor(g).find_best(root);
    EXPECT_EQ(best.cost, c.cost);
    EGraph fresh;
    EXPECT_EQ(fresh.add_expr(best.expr), fresh.add_expr(term(c.text)));
    EXPECT_EQ(best.expr.size(), fresh.total_size());
  }
}

TEST(Cost, Saturates) {
  std::vector<Cost> big = {std::numeric_limits<Cost>::max() - 1, 5};
  EXPECT_EQ(math_cost(MathLang::make(MathKind::Add, Id{0}, Id{1}), big), std::numeric_limits<Cost>::max());
}

TEST(Extract, LayoutPlacesTheLastChildFirst) {
  EGraph g;
  Id root = g.add_expr(term("(+ (param 0) (param 1))"));
  g.rebuild();
  BestTerm best = Extractor(g).find_best(root);
  EXPECT_EQ(best.expr.to_string(), "0: Int(1)\n1: Param([0])\n2: Int(0)\n3: Param([2])\n4: Add([3, 1])\n");
}

TEST(Extract, SharedProductIsLaidOutOnce) {
  EGraph g;
  // Two separate product nodes in the input term, as two DAG nodes would give.
  RecExpr e;
  Id x = e.add(MathLang::make(MathKind::Param, e.add(MathLang::make_int(0))));
  Id y = e.add(MathLang::make(MathKind::Param, e.add(MathLang::make_int(1))));
  Id p1 = e.add(MathLang::make(MathKind::Mul, x, y));
  Id p2 = e.add(MathLang::make(MathKind::Mul, x, y));
  e.add(MathLang::make(MathKind::Add, p1, p2));
  Id root = g.add_expr(e);
  g.rebuild();
  BestTerm best = Extractor(g).find_best(root);
  EXPECT_EQ(best.cost, 2u + 8 + 8);  // the cost counts each use
  EXPECT_EQ(best.expr.to_string(),
            "0: Int(1)\n1: Param([0])\n2: Int(0)\n3: Param([2])\n4: Mul([3, 1])\n5: Add([4, 4])\n");
}

TEST(Extract, TieGoesToTheFirstNodeInClassOrder) {
  Runner r;
  r.with_expr(term("(+ (param 1) (param 0))"));
  std::vector<Rewrite> rules;
  rules.push_back(std::move(*Rewrite::parse("comm-add", "(+ ?a ?b)", "(+ ?b ?a)")));
  r.run(rules);
  ASSERT_EQ(r.stop_reason()->to_string(), "Saturated");
  const EClass& c = r.egraph().eclass(r.roots()[0]);
  ASSERT_EQ(c.nodes.size(), 2u);
  // Class 1 is (param 1) and class 3 is (param 0): Add([1, 3]) sorts first.
  EXPECT_EQ(c.nodes[0].to_string(), "Add([1, 3])");
  BestTerm best = Extractor(r.egraph()).find_best(r.roots()[0]);
  EXPECT_EQ(best.cost, 8u);
  EXPECT_EQ(best.expr.to_string(), "0: Int(0)\n1: Param([0])\n2: Int(1)\n3: Param([2])\n4: Add([3, 1])\n");
}

TEST(Extract, CheaperFusedFormWins) {
  EGraph g;
  Id unfused = g.add_expr(term("(sigmoid (exp (param 0)))"));
  Id fused = g.add_expr(term("(exp_sigmoid (param 0))"));
  g.union_classes(unfused, fused);
  g.rebuild();
  BestTerm best = Extractor(g).find_best(unfused);
  EXPECT_EQ(best.cost, 4u);
  EXPECT_EQ(best.expr, term("(exp_sigmoid (param 0))"));
}

TEST(Extract, CyclicClassesTerminate) {
  EGraph g;
  Id x = g.add_expr(term("(param 0)"));
  Id nx = g.add(MathLang::make(MathKind::Neg, x));
  Id nnx = g.add(MathLang::make(MathKind::Neg, nx));
  g.union_classes(x, nnx);
  g.rebuild();
  Extractor ex(g);
  EXPECT_EQ(ex.find_best(nnx).cost, 3u);
  EXPECT_EQ(ex.find_best(nx).cost, 5u);
  EXPECT_EQ(ex.find_best(nx).expr, term("(neg (param 0))"));
}

TEST(Extract, ChildWithALargerCanonicalIdNeedsASecondPass) {
  EGraph g;
  Id a = g.add(MathLang::make_int(1));                 // 0
  Id neg_a = g.add(MathLang::make(MathKind::Neg, a));  // 1: its child's root becomes 3
  Id b = g.add(MathLang::make_int(2));                 // 2
  Id user = g.add(MathLang::make(MathKind::Exp, b));   // 3
  g.add(MathLang::make(MathKind::Exp, user));          // 4: gives class 3 a parent
  g.add(MathLang::make(MathKind::Sin, user));          // 5
  EXPECT_TRUE(g.union_classes(a, user));               // class 3 has more parents: root 3
  g.rebuild();
  ASSERT_EQ(g.find(a), user);
  BestTerm best = Extractor(g).find_best(neg_a);
  EXPECT_EQ(best.cost, 3u);
  EXPECT_EQ(best.expr, term("(neg 1)"));
}

TEST(ExtractFailure, UnknownClass) {
  EGraph g;
  g.add(MathLang::make_int(1));
  g.rebuild();
  Extractor ex(g);
  EXPECT_EQ(internal_failure([&] { ex.find_best(Id{3}); }), "Invalid id 3");
}

}  // namespace
}  // namespace morvalen::egraph
