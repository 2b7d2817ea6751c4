#include "opt/rules/fusion.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/internal_error.h"

namespace morvalen::opt::rules::fusion {
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

// Both directions of each fusion, so that both forms share an e-class; the
// extractor then prefers the fused call, which is cheaper.
constexpr std::array<RuleText, 4> kRules = {{
    {"fuse-exp-sigmoid", "(sigmoid (exp ?x))", "(exp_sigmoid ?x)"},
    {"unfuse-exp-sigmoid", "(exp_sigmoid ?x)", "(sigmoid (exp ?x))"},
    {"fuse-sigmoid-log", "(log (sigmoid ?x))", "(sigmoid_log ?x)"},
    {"unfuse-sigmoid-log", "(sigmoid_log ?x)", "(log (sigmoid ?x))"},
}};

}  // namespace

std::vector<egraph::Rewrite> rules() { return build(kRules); }

}  // namespace morvalen::opt::rules::fusion
