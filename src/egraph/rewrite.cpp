#include "egraph/rewrite.h"

#include <algorithm>
#include <string>

namespace morvalen::egraph {

Result<Rewrite, std::string> Rewrite::make(std::string_view name, Pattern searcher, Pattern applier) {
  const std::vector<Var>& bound = searcher.vars();
  for (Var v : applier.vars())
    if (std::find(bound.begin(), bound.end(), v) == bound.end())
      return unexpected("Rewrite " + std::string(name) + " refers to unbound var " + std::string(v.text()));
  return Rewrite(support::Symbol::intern(name), std::move(searcher), std::move(applier));
}

Result<Rewrite, std::string> Rewrite::parse(std::string_view name, std::string_view searcher,
                                            std::string_view applier) {
  auto lhs = Pattern::parse(searcher);
  if (!lhs) return unexpected(lhs.error().to_string());
  auto rhs = Pattern::parse(applier);
  if (!rhs) return unexpected(rhs.error().to_string());
  return make(name, std::move(*lhs), std::move(*rhs));
}

}  // namespace morvalen::egraph
