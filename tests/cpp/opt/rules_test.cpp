#include <gtest/gtest.h>

#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "egraph/extract.h"
#include "egraph/pattern.h"
#include "egraph/runner.h"
#include "opt/lang.h"
#include "opt/optimize.h"
#include "opt/rules/fusion.h"
#include "opt/rules/identity.h"
#include "opt/rules/simplify.h"

namespace morvalen::opt {
namespace {

struct RuleText {
  const char* name;
  const char* searcher;
  const char* applier;
};

void expect_rules(const std::vector<egraph::Rewrite>& rules, const std::vector<RuleText>& expected) {
  ASSERT_EQ(rules.size(), expected.size());
  for (std::size_t k = 0; k < rules.size(); ++k) {
    SCOPED_TRACE(expected[k].name);
    EXPECT_EQ(rules[k].name_text(), expected[k].name);
    EXPECT_EQ(rules[k].searcher().to_string(), expected[k].searcher);
    EXPECT_EQ(rules[k].applier().to_string(), expected[k].applier);
  }
}

const std::vector<RuleText> kSimplify = {
    {"add-zero-r", "(+ ?x 0)", "?x"},
    {"add-zero-l", "(+ 0 ?x)", "?x"},
    {"mul-one-r", "(* ?x 1)", "?x"},
    {"mul-one-l", "(* 1 ?x)", "?x"},
    {"sub-zero", "(- ?x 0)", "?x"},
    {"double-neg", "(neg (neg ?x))", "?x"},
    {"double-not", "(! (! ?x))", "?x"},
    {"log-exp", "(log (exp ?x))", "?x"},
    {"if-true", "(ifelse true ?t ?e)", "?t"},
    {"if-false", "(ifelse false ?t ?e)", "?e"},
    {"cast-same", "(cast ?t (cast ?t ?x))", "(cast ?t ?x)"},
};

const std::vector<RuleText> kAggressive = {
    {"add-assoc", "(+ (+ ?x ?y) ?z)", "(+ ?x (+ ?y ?z))"},
    {"mul-assoc", "(* (* ?x ?y) ?z)", "(* ?x (* ?y ?z))"},
};

const std::vector<RuleText> kIdentity = {
    {"comm-add", "(+ ?a ?b)", "(+ ?b ?a)"},
    {"comm-add-rev", "(+ ?b ?a)", "(+ ?a ?b)"},
    {"comm-mul", "(* ?a ?b)", "(* ?b ?a)"},
    {"comm-mul-rev", "(* ?b ?a)", "(* ?a ?b)"},
    {"assoc-add", "(+ (+ ?a ?b) ?c)", "(+ ?a (+ ?b ?c))"},
    {"assoc-add-rev", "(+ ?a (+ ?b ?c))", "(+ (+ ?a ?b) ?c)"},
    {"assoc-mul", "(* (* ?a ?b) ?c)", "(* ?a (* ?b ?c))"},
    {"assoc-mul-rev", "(* ?a (* ?b ?c))", "(* (* ?a ?b) ?c)"},
};

const std::vector<RuleText> kFusion = {
    {"fuse-exp-sigmoid", "(sigmoid (exp ?x))", "(exp_sigmoid ?x)"},
    {"unfuse-exp-sigmoid", "(exp_sigmoid ?x)", "(sigmoid (exp ?x))"},
    {"fuse-sigmoid-log", "(log (sigmoid ?x))", "(sigmoid_log ?x)"},
    {"unfuse-sigmoid-log", "(sigmoid_log ?x)", "(log (sigmoid ?x))"},
};

TEST(RuleSets, SimplifyNamesAndPatterns) { expect_rules(rules::simplify::rules(), kSimplify); }
TEST(RuleSets, AggressiveNamesAndPatterns) { expect_rules(rules::simplify::aggressive_rules(), kAggressive); }
TEST(RuleSets, IdentityNamesAndPatterns) { expect_rules(rules::identity::rules(), kIdentity); }
TEST(RuleSets, FusionNamesAndPatterns) { expect_rules(rules::fusion::rules(), kFusion); }

TEST(RuleSets, IdentityReverseRulesSwapSearcherAndApplier) {
  auto rules = rules::identity::rules();
  ASSERT_EQ(rules.size(), 8u);
  for (std::size_t k = 0; k < rules.size(); k += 2) {
    SCOPED_TRACE(rules[k].name_text());
    EXPECT_EQ(std::string(rules[k + 1].name_text()), std::string(rules[k].name_text()) + "-rev");
    EXPECT_EQ(rules[k + 1].searcher().to_string(), rules[k].applier().to_string());
    EXPECT_EQ(rules[k + 1].applier().to_string(), rules[k].searcher().to_string());
  }
}

TEST(RuleSets, PatternLiteralsAreIntegerAndBoolLeaves) {
  auto rules = rules::simplify::rules();
  // "(+ ?x 0)": the variable, the integer leaf 0, the sum.
  const auto& add_zero = rules[0].searcher().ast();
  ASSERT_EQ(add_zero.size(), 3u);
  ASSERT_TRUE(std::holds_alternative<MathLang>(add_zero[1]));
  EXPECT_EQ(std::get<MathLang>(add_zero[1]), MathLang::make_int(0));
  const auto& if_true = rules[8].searcher().ast();
  ASSERT_TRUE(std::holds_alternative<MathLang>(if_true[0]));
  EXPECT_EQ(std::get<MathLang>(if_true[0]), MathLang::make_bool(true));
}

TEST(RuleSets, CombinedListsAndTheirNames) {
  auto normal = optimizer_rules(false);
  auto aggressive = optimizer_rules(true);
  ASSERT_EQ(normal.size(), 23u);
  ASSERT_EQ(aggressive.size(), 25u);
  std::vector<std::string> expected;
  for (const auto* set : {&kSimplify, &kAggressive, &kIdentity, &kFusion})
    for (const RuleText& r : *set) expected.push_back(r.name);
  std::vector<std::string> got;
  for (const auto& r : aggressive) got.emplace_back(r.name_text());
  EXPECT_EQ(got, expected);
  std::set<std::string> distinct(got.begin(), got.end());
  EXPECT_EQ(distinct.size(), 25u);
  // Without the switch, the two aggressive rules are the only ones missing.
  got.clear();
  for (const auto& r : normal) got.emplace_back(r.name_text());
  expected.erase(expected.begin() + 11, expected.begin() + 13);
  EXPECT_EQ(got, expected);
}

TEST(RuleSets, EachCallBuildsAFreshList) {
  auto first = rules::fusion::rules();
  auto second = rules::fusion::rules();
  ASSERT_EQ(first.size(), second.size());
  for (std::size_t k = 0; k < first.size(); ++k) EXPECT_EQ(first[k].name(), second[k].name());
}

// ---------------------------------------------------------------- behaviour
//
// Terms are written as ground patterns, saturated with one rule set under the
// driver's limits, and the cheapest term of the root class is printed back as
// an s-expression, parameters as p0, p1, ...

RecExpr read_term(std::string_view text) {
  auto pattern = egraph::Pattern::parse(text);
  if (!pattern.has_value()) throw std::runtime_error("bad test term: " + pattern.error().to_string());
  RecExpr out;
  for (const auto& node : pattern->ast()) out.add(std::get<MathLang>(node));
  return out;
}

std::string print_term(const RecExpr& expr, Id id) {
  const MathLang& n = expr[id];
  if (n.kind() == MathKind::Bool) return n.bool_value() ? "true" : "false";
  if (n.kind() == MathKind::Int) return std::to_string(n.int_value());
  if (n.kind() == MathKind::Num) return format_num(n.num_value());
  if (n.kind() == MathKind::TypeToken) return std::string(n.token().text());
  std::string out;
  if (n.kind() == MathKind::Param) {
    out.push_back('p');
    out.append(print_term(expr, n.children()[0]));
    return out;
  }
  out.push_back('(');
  out.append(kind_info(n.kind()).spelling);
  for (Id c : n.children()) {
    out.push_back(' ');
    out.append(print_term(expr, c));
  }
  out.push_back(')');
  return out;
}

std::string simplify_with(const std::vector<egraph::Rewrite>& rules, std::string_view text) {
  RecExpr term = read_term(text);
  egraph::Runner runner;
  runner.with_iter_limit(kOptIterLimit).with_node_limit(kOptNodeLimit);
  runner.with_expr(term);
  runner.run(rules);
  egraph::Extractor extractor(runner.egraph());
  RecExpr best = extractor.find_best(runner.roots().at(0)).expr;
  return print_term(best, best.root());
}

struct BehaviourCase {
  const char* input;
  const char* expected;
};

void expect_table(const std::vector<egraph::Rewrite>& rules, const std::vector<BehaviourCase>& cases) {
  for (const BehaviourCase& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(simplify_with(rules, c.input), c.expected);
  }
}

TEST(SimplifyRules, Table) {
  expect_table(rules::simplify::rules(),
               {
                   {"(+ (param 0) 0)", "p0"},
                   {"(+ 0 (param 0))", "p0"},
                   {"(* (param 0) 1)", "p0"},
                   {"(* 1 (param 0))", "p0"},
                   {"(- (param 0) 0)", "p0"},
                   {"(neg (neg (param 0)))", "p0"},
                   {"(! (! (param 0)))", "p0"},
                   {"(log (exp (param 0)))", "p0"},
                   {"(ifelse true (param 0) (param 1))", "p0"},
                   {"(ifelse false (param 0) (param 1))", "p1"},
                   {"(cast f32 (cast f32 (param 0)))", "(cast f32 p0)"},
                   {"(cast explicit:f32 (cast explicit:f32 (param 0)))", "(cast explicit:f32 p0)"},
                   // Nested simplifications compose.
                   {"(+ (* (neg (neg (param 1))) 1) 0)", "p1"},
               });
}

TEST(SimplifyRules, LeftAlone) {
  expect_table(rules::simplify::rules(),
               {
                   // A float zero or one is a Num, never the integer leaf of the patterns.
                   {"(+ (param 0) 0.0)", "(+ p0 0.0)"},
                   {"(+ 0.0 (param 0))", "(+ 0.0 p0)"},
                   {"(* (param 0) 1.0)", "(* p0 1.0)"},
                   {"(- (param 0) -0.0)", "(- p0 -0.0)"},
                   // Subtraction has no left-zero rule.
                   {"(- 0 (param 0))", "(- 0 p0)"},
                   // There is no exp-of-log rule.
                   {"(exp (log (param 0)))", "(exp (log p0))"},
                   // Different tokens: an explicit cast around an implicit one to the same dtype.
                   {"(cast explicit:f32 (cast f32 (param 0)))", "(cast explicit:f32 (cast f32 p0))"},
                   {"(cast f64 (cast f32 (param 0)))", "(cast f64 (cast f32 p0))"},
                   // A condition that is not a literal.
                   {"(ifelse (param 0) (param 1) (param 2))", "(ifelse p0 p1 p2)"},
                   {"(ifelse 1 (param 1) (param 2))", "(ifelse 1 p1 p2)"},
                   {"(neg (param 0))", "(neg p0)"},
               });
}

TEST(FusionRules, FusedFormIsExtracted) {
  expect_table(rules::fusion::rules(),
               {
                   {"(sigmoid (exp (param 0)))", "(exp_sigmoid p0)"},
                   {"(log (sigmoid (param 0)))", "(sigmoid_log p0)"},
                   {"(exp_sigmoid (param 0))", "(exp_sigmoid p0)"},
                   {"(sigmoid_log (param 0))", "(sigmoid_log p0)"},
                   {"(exp (sigmoid (param 0)))", "(exp (sigmoid p0))"},
                   {"(+ (sigmoid (exp (param 0))) (log (sigmoid (param 1))))", "(+ (exp_sigmoid p0) (sigmoid_log p1))"},
               });
}

TEST(FusionRules, BothFormsShareOneClass) {
  for (const char* text : {"(exp_sigmoid (param 0))", "(sigmoid (exp (param 0)))"}) {
    SCOPED_TRACE(text);
    egraph::Runner runner;
    runner.with_expr(read_term(text));
    runner.run(rules::fusion::rules());
    const egraph::EGraph& g = runner.egraph();
    auto fused = g.lookup_expr(read_term("(exp_sigmoid (param 0))"));
    auto unfused = g.lookup_expr(read_term("(sigmoid (exp (param 0)))"));
    ASSERT_TRUE(fused.has_value());
    ASSERT_TRUE(unfused.has_value());
    EXPECT_EQ(*fused, *unfused);
    EXPECT_EQ(*fused, g.find(runner.roots().at(0)));
  }
}

TEST(IdentityRules, ReorderedFormsShareOneClass) {
  egraph::Runner runner;
  runner.with_expr(read_term("(+ (* (param 0) (param 1)) (param 2))"));
  runner.run(rules::identity::rules());
  const egraph::EGraph& g = runner.egraph();
  Id root = g.find(runner.roots().at(0));
  for (const char* text : {"(+ (param 2) (* (param 1) (param 0)))", "(+ (* (param 1) (param 0)) (param 2))"}) {
    SCOPED_TRACE(text);
    auto id = g.lookup_expr(read_term(text));
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(*id, root);
  }
}

TEST(IdentityRules, FullListSimplifiesAmongReorderings) {
  // The identity rules enlarge the classes; the simplifications still reach
  // the cheapest member, and the reorderings cost the same as the original.
  auto rules = optimizer_rules(false);
  expect_table(rules, {
                          {"(+ (+ (param 0) (param 1)) 0)", "(+ p0 p1)"},
                          {"(* 1 (* (param 0) (param 1)))", "(* p0 p1)"},
                          {"(+ (param 0) (param 1))", "(+ p0 p1)"},
                      });
}

TEST(AggressiveRules, ReassociateToTheRight) {
  egraph::Runner runner;
  runner.with_expr(read_term("(+ (+ (param 0) (param 1)) (param 2))"));
  runner.run(rules::simplify::aggressive_rules());
  const egraph::EGraph& g = runner.egraph();
  auto right = g.lookup_expr(read_term("(+ (param 0) (+ (param 1) (param 2)))"));
  ASSERT_TRUE(right.has_value());
  EXPECT_EQ(*right, g.find(runner.roots().at(0)));
  // One-way: the left-nested product of a right-nested input is never built.
  egraph::Runner other;
  other.with_expr(read_term("(* (param 0) (* (param 1) (param 2)))"));
  other.run(rules::simplify::aggressive_rules());
  EXPECT_FALSE(other.egraph().lookup_expr(read_term("(* (* (param 0) (param 1)) (param 2))")).has_value());
}

TEST(RuleLimits, LongSumOfDistinctParametersStopsAtTheNodeLimit) {
  // x0 + x1 + ... + x59, nested to the left: commutativity and associativity
  // can build exponentially many regroupings, so the driver's node limit ends
  // the run; extraction still finds a term of the original cost.
  constexpr int kTerms = 60;
  std::string text = "(param 0)";
  for (int k = 1; k < kTerms; ++k) text = "(+ " + text + " (param " + std::to_string(k) + "))";
  RecExpr term = read_term(text);
  egraph::Runner runner;
  runner.with_iter_limit(kOptIterLimit).with_node_limit(kOptNodeLimit);
  runner.with_expr(term);
  runner.run(optimizer_rules(false));
  ASSERT_TRUE(runner.stop_reason().has_value());
  const auto* node_limit = std::get_if<egraph::StopReason::NodeLimit>(&runner.stop_reason()->detail);
  ASSERT_NE(node_limit, nullptr) << runner.stop_reason()->to_string();
  EXPECT_GT(node_limit->size, kOptNodeLimit);
  egraph::Extractor extractor(runner.egraph());
  // 60 parameters at 3 each and 59 additions at 2 each.
  EXPECT_EQ(extractor.find_best(runner.roots().at(0)).cost, 60u * 3u + 59u * 2u);
}

}  // namespace
}  // namespace morvalen::opt
