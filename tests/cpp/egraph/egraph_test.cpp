#include "egraph/egraph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "egraph/test_util.h"

namespace morvalen::egraph {
namespace {

using testing::internal_failure;
using testing::term;

Id add_param(EGraph& g, int k) { return g.add(MathLang::make(MathKind::Param, g.add(MathLang::make_int(k)))); }

TEST(UnionFind, FindWithCompressionHalvesThePath) {
  UnionFind uf;
  for (int i = 0; i < 5; ++i) uf.make_set();
  // Chain 4 -> 3 -> 2 -> 1 -> 0.
  for (std::uint32_t i = 4; i > 0; --i) uf.union_roots(Id{i - 1}, Id{i});
  EXPECT_EQ(uf.find(Id{4}), Id{0});
  EXPECT_EQ(uf.parents()[4], Id{3});  // plain find changes nothing
  EXPECT_EQ(uf.find_mut(Id{4}), Id{0});
  EXPECT_EQ(uf.parents()[4], Id{2});
  EXPECT_EQ(uf.parents()[2], Id{0});
  EXPECT_EQ(uf.parents()[3], Id{2});
}

TEST(EGraph, AddingTheSameTermTwiceReturnsTheSameId) {
  EGraph g;
  Id a = g.add_expr(term("(+ (param 0) (param 1))"));
  std::size_t size = g.total_size();
  Id b = g.add_expr(term("(+ (param 0) (param 1))"));
  EXPECT_EQ(a, b);
  EXPECT_EQ(g.total_size(), size);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(g.number_of_classes(), 5u);
}

TEST(EGraph, IdsAreDenseInCreationOrder) {
  EGraph g;
  std::vector<Id> ids = g.add_expr_nodes(term("(* (param 0) 2)"));
  ASSERT_EQ(ids.size(), 4u);
  for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(ids[i], Id{i});
  EXPECT_EQ(g.id_to_node(Id{1}), MathLang::make(MathKind::Param, Id{0}));
}

TEST(EGraph, UnionOfCommutedSumsGivesOneSortedClass) {
  EGraph g;
  Id xy = g.add_expr(term("(+ (param 0) (param 1))"));
  Id yx = g.add_expr(term("(+ (param 1) (param 0))"));
  EXPECT_NE(xy, yx);
  std::size_t before = g.number_of_classes();
  EXPECT_TRUE(g.union_classes(yx, xy));
  g.rebuild();
  EXPECT_EQ(g.number_of_classes(), before - 1);
  const EClass& c = g.eclass(xy);
  ASSERT_EQ(c.nodes.size(), 2u);
  EXPECT_TRUE(c.nodes[0] < c.nodes[1]);
  EXPECT_EQ(g.find(xy), g.find(yx));
}

TEST(EGraph, CongruenceAfterUnion) {
  EGraph g;
  Id a = add_param(g, 0);
  Id b = add_param(g, 1);
  Id fa = g.add(MathLang::make(MathKind::Exp, a));
  Id fb = g.add(MathLang::make(MathKind::Exp, b));
  g.rebuild();
  EXPECT_NE(g.find(fa), g.find(fb));
  EXPECT_TRUE(g.union_classes(a, b));
  EXPECT_EQ(g.rebuild(), 1u);
  EXPECT_EQ(g.find(fa), g.find(fb));
  EXPECT_EQ(g.eclass(fa).nodes.size(), 1u);
  EXPECT_TRUE(g.is_clean());
}

TEST(EGraph, CongruencePropagatesUpward) {
  EGraph g;
  Id a = add_param(g, 0);
  Id b = add_param(g, 1);
  Id ffa = g.add_expr(term("(neg (exp (param 0)))"));
  Id ffb = g.add_expr(term("(neg (exp (param 1)))"));
  g.union_classes(a, b);
  EXPECT_EQ(g.rebuild(), 2u);
  EXPECT_EQ(g.find(ffa), g.find(ffb));
}

TEST(EGraph, UnionWithItselfOnlyDirtiesTheGraph) {
  EGraph g;
  Id a = add_param(g, 0);
  g.rebuild();
  ASSERT_TRUE(g.is_clean());
  std::size_t classes = g.number_of_classes();
  EXPECT_FALSE(g.union_classes(a, a));
  EXPECT_FALSE(g.is_clean());
  EXPECT_EQ(g.number_of_classes(), classes);
  EXPECT_EQ(g.rebuild(), 0u);
}

TEST(EGraph, TieOnParentCountKeepsTheFirstArgumentsRoot) {
  EGraph g;
  Id a = g.add(MathLang::make_int(1));
  Id b = g.add(MathLang::make_int(2));
  EXPECT_TRUE(g.union_classes(b, a));
  EXPECT_EQ(g.find(a), b);
  EGraph h;
  Id c = h.add(MathLang::make_int(1));
  Id d = h.add(MathLang::make_int(2));
  EXPECT_TRUE(h.union_classes(c, d));
  EXPECT_EQ(h.find(d), c);
}

TEST(EGraph, TheClassWithMoreParentsStaysCanonical) {
  EGraph g;
  Id a = g.add(MathLang::make_int(1));
  Id b = g.add(MathLang::make_int(2));
  g.add(MathLang::make(MathKind::Neg, b));
  g.add(MathLang::make(MathKind::Exp, b));
  EXPECT_TRUE(g.union_classes(a, b));
  EXPECT_EQ(g.find(a), b);
  g.rebuild();
  EXPECT_EQ(g.eclass(a).id, b);
}

TEST(EGraph, MergeAppendsTheShorterNodeListToTheLonger) {
  EGraph g;
  Id one = g.add(MathLang::make_int(1));
  Id two = g.add(MathLang::make_int(2));
  Id three = g.add(MathLang::make_int(3));
  g.union_classes(two, three);  // class 1 holds [Int 2, Int 3]
  g.union_classes(one, two);    // equal parents: class 0 is root, but its list is shorter
  const EClass& c = g.eclass(one);
  ASSERT_EQ(c.id, one);
  ASSERT_EQ(c.nodes.size(), 3u);
  EXPECT_EQ(c.nodes[0], MathLang::make_int(2));
  EXPECT_EQ(c.nodes[1], MathLang::make_int(3));
  EXPECT_EQ(c.nodes[2], MathLang::make_int(1));
}

TEST(EGraph, LookupCanonicalizesChildren) {
  EGraph g;
  Id a = add_param(g, 0);
  Id b = add_param(g, 1);
  Id fa = g.add(MathLang::make(MathKind::Exp, a));
  g.union_classes(a, b);
  g.rebuild();
  auto found = g.lookup(MathLang::make(MathKind::Exp, b));
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(*found, g.find(fa));
  EXPECT_FALSE(g.lookup(MathLang::make(MathKind::Log, b)).has_value());
  EXPECT_EQ(g.lookup_expr(term("(exp (param 1))")), g.find(fa));
  EXPECT_FALSE(g.lookup_expr(term("(exp (param 2))")).has_value());
}

TEST(EGraph, NumLeavesUnifyNanAndSignedZero) {
  EGraph g;
  Id z = g.add(MathLang::make_num(0.0));
  Id nz = g.add(MathLang::make_num(-0.0));
  Id n1 = g.add(MathLang::make_num(std::numeric_limits<double>::quiet_NaN()));
  Id n2 = g.add(MathLang::make_num(-std::numeric_limits<double>::quiet_NaN()));
  EXPECT_EQ(z, nz);
  EXPECT_EQ(n1, n2);
  EXPECT_EQ(g.total_size(), 2u);
}

TEST(EGraph, ClassesByOperatorAreRebuilt) {
  EGraph g;
  Id sum = g.add_expr(term("(+ (param 0) 1)"));
  Id prod = g.add_expr(term("(* (param 0) 1)"));
  g.rebuild();
  EXPECT_EQ(g.classes_with(MathKind::Add), std::vector<Id>{sum});
  EXPECT_EQ(g.classes_with(MathKind::Mul), std::vector<Id>{prod});
  g.union_classes(sum, prod);
  g.rebuild();
  EXPECT_EQ(g.classes_with(MathKind::Add), std::vector<Id>{g.find(sum)});
  EXPECT_EQ(g.classes_with(MathKind::Mul), std::vector<Id>{g.find(sum)});
  EXPECT_TRUE(g.classes_with(MathKind::Sub).empty());
}

TEST(EGraphFailure, InvalidIdAndDirtySearch) {
  EGraph g;
  g.add(MathLang::make_int(1));
  EXPECT_EQ(internal_failure([&] { g.eclass(Id{7}); }), "Invalid id 7");
  EXPECT_EQ(internal_failure([&] { g.check_clean(); }), "Tried to search a dirty e-graph!");
  g.rebuild();
  EXPECT_EQ(internal_failure([&] { g.check_clean(); }), "no failure");
  EXPECT_EQ(internal_failure([&] { g.add(MathLang::make(MathKind::Neg, Id{5})); }), "Invalid id 5");
  EXPECT_EQ(internal_failure([&] { g.find(Id{1}); }), "Invalid id 1");
  EXPECT_EQ(internal_failure([&] { g.union_classes(Id{0}, Id{2}); }), "Invalid id 2");
  EXPECT_FALSE(g.lookup(MathLang::make(MathKind::Neg, Id{4})).has_value());
}

TEST(EGraphLog, NothingIsWrittenWithoutASink) {
  EGraph g;
  EXPECT_FALSE(g.logger().enabled(LogLevel::Warning));
  int calls = 0;
  g.logger().log(LogLevel::Warning, [&] {
    ++calls;
    return std::string("x");
  });
  EXPECT_EQ(calls, 0);
}

TEST(EGraphLog, RecordsGoToAnInstalledSink) {
  EGraph g;
  std::vector<std::string> records;
  g.logger().install([&](LogLevel, std::string_view text) { records.emplace_back(text); }, LogLevel::Trace);
  Id a = g.add(MathLang::make_int(1));
  Id b = g.add(MathLang::make_int(2));
  g.union_classes(a, b);
  g.rebuild();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], "  ...adding to 0");
  EXPECT_EQ(records[1], "  ...adding to 1");
  EXPECT_EQ(records[2].rfind("REBUILT! in 0.", 0), 0u) << records[2];
  EXPECT_NE(records[2].find("s\n  Old: hc size 2, eclasses: 1\n  New: hc size 2, eclasses: 1\n"
                            "  unions: 0, trimmed nodes: 0"),
            std::string::npos)
      << records[2];
}

// Checks the invariants that hold after `rebuild`.
void check_invariants(const EGraph& g) {
  ASSERT_TRUE(g.is_clean());
  std::size_t classes = 0;
  std::vector<std::vector<Id>> by_kind(opt::kMathKindCount);
  g.for_each_class([&](const EClass& c) {
    ++classes;
    ASSERT_EQ(g.find(c.id), c.id);
    ASSERT_FALSE(c.nodes.empty());
    for (std::size_t i = 0; i < c.nodes.size(); ++i) {
      const MathLang& n = c.nodes[i];
      for (Id child : n.children()) ASSERT_EQ(g.find(child), child) << "non-canonical child in " << n.to_string();
      if (i > 0) {
        ASSERT_TRUE(c.nodes[i - 1] < n) << "unsorted or duplicate nodes in class " << c.id.value;
      }
      auto found = g.lookup(n);
      ASSERT_TRUE(found.has_value()) << n.to_string();
      ASSERT_EQ(*found, c.id) << n.to_string();
      if (i == 0 || c.nodes[i - 1].kind() != n.kind()) by_kind[static_cast<std::size_t>(n.kind())].push_back(c.id);
    }
  });
  EXPECT_EQ(classes, g.number_of_classes());
  for (std::size_t k = 0; k < opt::kMathKindCount; ++k) EXPECT_EQ(g.classes_with(static_cast<MathKind>(k)), by_kind[k]);
  // Every id ever created canonicalizes to a live class whose nodes include
  // the canonical form of its original e-node.
  for (std::uint32_t i = 0; i < g.number_of_ids(); ++i) {
    const EClass& c = g.eclass(Id{i});
    MathLang canon = g.canonicalize(g.id_to_node(Id{i}));
    ASSERT_TRUE(std::binary_search(c.nodes.begin(), c.nodes.end(), canon)) << canon.to_string();
  }
}

TEST(EGraphRandom, RebuildRestoresTheInvariants) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    EGraph g;
    std::vector<Id> ids;
    for (int i = 0; i < 6; ++i) ids.push_back(g.add(MathLang::make_int(i)));
    const MathKind binary[] = {MathKind::Add, MathKind::Mul, MathKind::Sub};
    const MathKind unary[] = {MathKind::Neg, MathKind::Exp};
    for (int step = 0; step < 300; ++step) {
      auto pick = [&] { return ids[std::uniform_int_distribution<std::size_t>(0, ids.size() - 1)(rng)]; };
      int action = std::uniform_int_distribution<int>(0, 9)(rng);
      if (action < 5) {
        ids.push_back(g.add(MathLang::make(binary[action % 3], pick(), pick())));
      } else if (action < 7) {
        ids.push_back(g.add(MathLang::make(unary[action % 2], pick())));
      } else {
        g.union_classes(pick(), pick());
      }
      if (step % 50 == 49) {
        g.rebuild();
        check_invariants(g);
      }
    }
    g.rebuild();
    check_invariants(g);
  }
}

}  // namespace
}  // namespace morvalen::egraph
