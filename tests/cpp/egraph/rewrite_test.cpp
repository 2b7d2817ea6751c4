#include "egraph/rewrite.h"

#include <gtest/gtest.h>

#include <string>

#include "egraph/test_util.h"

namespace morvalen::egraph {
namespace {

using testing::term;

TEST(Rewrite, BuildsFromTexts) {
  auto r = Rewrite::parse("comm-add", "(+ ?a ?b)", "(+ ?b ?a)");
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->name_text(), "comm-add");
  EXPECT_EQ(r->name(), support::Symbol::intern("comm-add"));
  EXPECT_EQ(r->searcher().to_string(), "(+ ?a ?b)");
  EXPECT_EQ(r->applier().to_string(), "(+ ?b ?a)");
}

TEST(Rewrite, ApplierMayUseFewerVariables) {
  EXPECT_TRUE(Rewrite::parse("if-true", "(ifelse true ?t ?e)", "?t").has_value());
  EXPECT_TRUE(Rewrite::parse("const", "(* ?x 0)", "0").has_value());
}

TEST(RewriteFailure, UnboundApplierVariable) {
  struct Case {
    const char* name;
    const char* searcher;
    const char* applier;
    std::string message;
  };
  const Case cases[] = {
      {"bad", "(+ ?x 0)", "(+ ?x ?y)", "Rewrite bad refers to unbound var ?y"},
      {"worse", "?x", "(ifelse ?c ?x ?d)", "Rewrite worse refers to unbound var ?c"},
      {"numbered", "(neg ?#1)", "?#+1", "Rewrite numbered refers to unbound var ?#+1"},
      {"reader", "(+ ?x 0", "?x", "End of file reached"},
      {"applier-reader", "(+ ?x 0)", "(?x 1)", "Found variable `?x` with children"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = Rewrite::parse(c.name, c.searcher, c.applier);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), c.message);
  }
}

TEST(Rewrite, SearchAndApply) {
  auto r = Rewrite::parse("double-neg", "(neg (neg ?x))", "?x");
  ASSERT_TRUE(r.has_value());
  EGraph g;
  Id x = g.add_expr(term("(param 0)"));
  Id nnx = g.add_expr(term("(neg (neg (param 0)))"));
  g.rebuild();
  auto ms = r->search(g, 10);
  ASSERT_EQ(ms.size(), 1u);
  EXPECT_EQ(ms[0].eclass, nnx);
  EXPECT_EQ(r->apply(g, ms), std::vector<Id>{x});
  g.rebuild();
  EXPECT_EQ(g.find(x), g.find(nnx));
}

}  // namespace
}  // namespace morvalen::egraph
