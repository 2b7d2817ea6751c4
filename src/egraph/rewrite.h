#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/pattern.h"
#include "support/result.h"
#include "support/symbol.h"

namespace morvalen::egraph {

/// A named, unconditional rewrite rule; immutable once built.
class Rewrite {
 public:
  /// Fails with "Rewrite NAME refers to unbound var ?v" when the applier uses a
  /// variable that the searcher does not bind (the first such, in order).
  static Result<Rewrite, std::string> make(std::string_view name, Pattern searcher, Pattern applier);
  /// Reads both texts (searcher first) and calls `make`; a reading failure gives
  /// the pattern error's text.
  static Result<Rewrite, std::string> parse(std::string_view name, std::string_view searcher, std::string_view applier);

  support::Symbol name() const { return name_; }
  std::string_view name_text() const { return name_.text(); }
  const Pattern& searcher() const { return searcher_; }
  const Pattern& applier() const { return applier_; }

  std::vector<SearchMatches> search(const EGraph& egraph, std::size_t limit) const {
    return searcher_.search(egraph, limit);
  }
  /// Returns the ids whose merge changed something; the size is the rule's
  /// application count.
  std::vector<Id> apply(EGraph& egraph, std::span<const SearchMatches> matches) const {
    return applier_.apply_matches(egraph, matches);
  }
  /// `apply` for the searcher's flat matches (see `Pattern::search_into`);
  /// returns the application count.
  std::size_t apply_flat(EGraph& egraph, std::span<const Id> flat) const;

 private:
  Rewrite(support::Symbol name, Pattern searcher, Pattern applier, std::vector<std::uint32_t> applier_slots)
      : name_(name),
        searcher_(std::move(searcher)),
        applier_(std::move(applier)),
        applier_slots_(std::move(applier_slots)) {}
  support::Symbol name_;
  Pattern searcher_;
  Pattern applier_;
  // Per applier variable: the position of the same variable among the searcher's.
  std::vector<std::uint32_t> applier_slots_;
};

}  // namespace morvalen::egraph
