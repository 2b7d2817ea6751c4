#include "egraph/rewrite.h"

#include <algorithm>
#include <array>
#include <string>

namespace morvalen::egraph {

Result<Rewrite, std::string> Rewrite::make(std::string_view name, Pattern searcher, Pattern applier) {
  const std::vector<Var>& bound = searcher.vars();
  std::vector<std::uint32_t> slots;
  slots.reserve(applier.vars().size());
  for (Var v : applier.vars()) {
    auto it = std::find(bound.begin(), bound.end(), v);
    if (it == bound.end())
      return unexpected("Rewrite " + std::string(name) + " refers to unbound var " + std::string(v.text()));
    slots.push_back(static_cast<std::uint32_t>(it - bound.begin()));
  }
  return Rewrite(support::Symbol::intern(name), std::move(searcher), std::move(applier), std::move(slots));
}

std::size_t Rewrite::apply_flat(EGraph& egraph, std::span<const Id> flat) const {
  const std::size_t width = searcher_.match_width();
  const std::size_t n_vars = applier_slots_.size();
  // Appliers bind a few variables: keep their classes off the heap.
  std::array<Id, 8> small{};
  std::vector<Id> big;
  Id* var_classes = small.data();
  if (n_vars > small.size()) {
    big.resize(n_vars);
    var_classes = big.data();
  }
  std::size_t changed = 0;
  for (std::size_t at = 0; at + width <= flat.size(); at += width) {
    const Id* match = flat.data() + at;
    egraph.logger().log(LogLevel::Trace, [&] {
      Subst subst;
      for (std::size_t j = 0; j + 1 < width; ++j) subst.push_unbound(searcher_.vars()[j], match[1 + j]);
      return "apply_rec " + applier_.to_string() + " " + subst.to_string();
    });
    for (std::size_t j = 0; j < n_vars; ++j) var_classes[j] = match[1 + applier_slots_[j]];
    Id root = applier_.instantiate_vars(egraph, std::span<const Id>(var_classes, n_vars));
    if (egraph.union_classes(root, match[0])) ++changed;
  }
  return changed;
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
