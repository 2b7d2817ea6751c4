#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "egraph/rewrite.h"
#include "support/internal_error.h"

namespace morvalen::opt::rules {

/// One named rule as text: the pattern to search and the pattern to apply.
struct RuleText {
  std::string_view name;
  std::string_view searcher;
  std::string_view applier;
};

/// Builds the rules of `table` fresh, in order. The texts are fixed, so a rule
/// that does not read or build is a defect of the rule set, never of the
/// user's input: it throws `InternalError`.
template <std::size_t N>
std::vector<egraph::Rewrite> build_rules(const std::array<RuleText, N>& table) {
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

}  // namespace morvalen::opt::rules
