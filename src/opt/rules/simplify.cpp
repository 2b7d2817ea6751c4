#include "opt/rules/simplify.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/internal_error.h"

namespace morvalen::opt::rules::simplify {
namespace {

struct RuleText {
  std::string_view name;
  std::string_view searcher;
  std::string_view applier;
};

// The texts are fixed, so a rule that does not read or build is a defect of
// this file, never of the user's input.
template <std::size_t N>
std::vector<egraph::Rewrite> build(const std::array<RuleText, N>& table) {
  std::vector<egraph::Rewrite> out;
  out.reserve(N);
  for (const RuleText& rule : table) {
    auto built = egraph::Rewrite::parse(rule.name, rule.searcher, rule.applier);
    if (!built.has_value())
      throw InternalError("failed to build rewrite rule " + std::string(rule.name) + ": " + built.error());
    out.push_back(std::move(built).value());
  }
  return out;
}

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

std::vector<egraph::Rewrite> rules() { return build(kRules); }

std::vector<egraph::Rewrite> aggressive_rules() { return build(kAggressiveRules); }

}  // namespace morvalen::opt::rules::simplify
