#include "opt/rules/identity.h"

#include <array>
#include <vector>

#include "opt/rules/rule_table.h"

namespace morvalen::opt::rules::identity {
namespace {

// Each pair is a rule and its reverse, searcher and applier exchanged. They
// only enlarge e-classes, so that other rules can match reordered operands.
constexpr std::array<RuleText, 8> kRules = {{
    {"comm-add", "(+ ?a ?b)", "(+ ?b ?a)"},
    {"comm-add-rev", "(+ ?b ?a)", "(+ ?a ?b)"},
    {"comm-mul", "(* ?a ?b)", "(* ?b ?a)"},
    {"comm-mul-rev", "(* ?b ?a)", "(* ?a ?b)"},
    {"assoc-add", "(+ (+ ?a ?b) ?c)", "(+ ?a (+ ?b ?c))"},
    {"assoc-add-rev", "(+ ?a (+ ?b ?c))", "(+ (+ ?a ?b) ?c)"},
    {"assoc-mul", "(* (* ?a ?b) ?c)", "(* ?a (* ?b ?c))"},
    {"assoc-mul-rev", "(* ?a (* ?b ?c))", "(* (* ?a ?b) ?c)"},
}};

}  // namespace

std::vector<egraph::Rewrite> rules() { return build_rules(kRules); }

}  // namespace morvalen::opt::rules::identity
