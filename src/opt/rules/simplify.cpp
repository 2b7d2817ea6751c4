#include "opt/rules/simplify.h"

#include <array>
#include <vector>

#include "opt/rules/rule_table.h"

namespace morvalen::opt::rules::simplify {
namespace {

// Unconditional simplifications. "cast-same" binds ?t twice, so both casts
// must carry the same token: the same dtype and the same explicitness.
constexpr std::array<RuleText, 11> kRules = {{
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
}};

// One-way re-association, enabled only in aggressive mode. It overlaps with
// "assoc-add"/"assoc-mul" of the identity set under different names.
constexpr std::array<RuleText, 2> kAggressiveRules = {{
    {"add-assoc", "(+ (+ ?x ?y) ?z)", "(+ ?x (+ ?y ?z))"},
    {"mul-assoc", "(* (* ?x ?y) ?z)", "(* ?x (* ?y ?z))"},
}};

}  // namespace

std::vector<egraph::Rewrite> rules() { return build_rules(kRules); }

std::vector<egraph::Rewrite> aggressive_rules() { return build_rules(kAggressiveRules); }

}  // namespace morvalen::opt::rules::simplify
