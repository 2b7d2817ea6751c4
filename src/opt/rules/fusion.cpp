#include "opt/rules/fusion.h"

#include <array>
#include <vector>

#include "opt/rules/rule_table.h"

namespace morvalen::opt::rules::fusion {
namespace {

// Both directions of each fusion, so that both forms share an e-class; the
// extractor then prefers the fused call, which is cheaper.
constexpr std::array<RuleText, 4> kRules = {{
    {"fuse-exp-sigmoid", "(sigmoid (exp ?x))", "(exp_sigmoid ?x)"},
    {"unfuse-exp-sigmoid", "(exp_sigmoid ?x)", "(sigmoid (exp ?x))"},
    {"fuse-sigmoid-log", "(log (sigmoid ?x))", "(sigmoid_log ?x)"},
    {"unfuse-sigmoid-log", "(sigmoid_log ?x)", "(log (sigmoid ?x))"},
}};

}  // namespace

std::vector<egraph::Rewrite> rules() { return build_rules(kRules); }

}  // namespace morvalen::opt::rules::fusion
