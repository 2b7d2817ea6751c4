#include "opt/rules/identity.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/internal_error.h"

namespace morvalen::opt::rules::identity {
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

std::vector<egraph::Rewrite> rules() { return build(kRules); }

}  // namespace morvalen::opt::rules::identity
