#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/machine.h"
#include "support/result.h"

namespace morvalen::egraph {

/// Why a text is not a variable.
struct VarError {
  struct MissingQuestionMark {
    std::string text;
  };
  struct BadNumber {
    std::string text;
  };
  std::variant<MissingQuestionMark, BadNumber> detail;
  /// "variable `x` must start with `?`", "invalid numbered variable `?#x`".
  std::string to_string() const;
};

/// Reads a variable: "?" plus at least one character; "?#" must be followed by
/// an optional "+" and a decimal u32.
Result<Var, VarError> parse_var(std::string_view text);

/// A pattern-reading failure.
struct PatternError {
  struct Reader {
    std::string message;  ///< "Unexpected )", "End of file reached", ...
  };
  struct EmptySexp {};
  struct HeadList {
    std::string sexp;  ///< the offending list, re-printed
  };
  struct UnexpectedVar {
    std::string var;
  };
  struct BadVar {
    VarError error;
  };
  struct BadOp {
    opt::FromOpError error;
  };
  std::variant<Reader, EmptySexp, HeadList, UnexpectedVar, BadVar, BadOp> detail;

  /// Display text: the reader message; "Found empty s-expression";
  /// "Found a list in the head position: SEXP"; "Found variable `?x` with children";
  /// "Found invalid variable: " + var error; "Failed to parse op: " + from_op error.
  std::string to_string() const;
};

/// The matches of one pattern in one e-class.
struct SearchMatches {
  Id eclass;
  std::vector<Subst> substs;  ///< never empty
  const PatternAst* ast = nullptr;
};

/// A searcher or applier pattern with its compiled matching program.
class Pattern {
 public:
  /// Reads one s-expression (quoted atoms with backslash escapes accepted).
  static Result<Pattern, PatternError> parse(std::string_view text);
  /// Compiles a term built by hand (non-empty; children before parents).
  explicit Pattern(PatternAst ast);

  const PatternAst& ast() const { return ast_; }
  const Program& program() const { return program_; }
  /// Variables, each once, in order of first appearance.
  const std::vector<Var>& vars() const { return program_.vars; }
  bool is_ground() const { return program_.vars.empty(); }

  /// Matches in class `eclass` (of a clean e-graph), at most `limit`.
  std::optional<SearchMatches> search_eclass(const EGraph& egraph, Id eclass, std::size_t limit) const;
  /// Matches over all candidate classes, at most `limit` substitutions in total.
  std::vector<SearchMatches> search(const EGraph& egraph, std::size_t limit) const;

  /// False when some e-node variant of the pattern is absent from the graph
  /// (as of its last `rebuild`), so that a search would find nothing.
  bool may_match(const EGraph& egraph) const { return (kinds_ & ~egraph.kinds_present()) == 0; }

  /// Entries per match in a flat match list: the matched class, then the class
  /// bound to each of `vars()`, in order.
  std::size_t match_width() const { return 1 + program_.vars.size(); }
  /// `search` appending flat matches (see `match_width`) to `out`, in the same
  /// order; returns the number of matches appended.
  std::size_t search_into(const EGraph& egraph, std::size_t limit, std::vector<Id>& out) const;
  /// Flat matches of this pattern grouped by class, as `search` returns them.
  std::vector<SearchMatches> group_matches(std::span<const Id> flat) const;

  /// Adds the pattern instantiated under `subst`; returns the root's class.
  Id instantiate(EGraph& egraph, const Subst& subst) const;
  /// Adds the pattern with each of `vars()` bound to the class at the same
  /// position of `var_classes`; returns the root's class.
  Id instantiate_vars(EGraph& egraph, std::span<const Id> var_classes) const;
  /// Instantiates for every substitution and merges with the matched class;
  /// returns the instantiated roots whose union changed something.
  std::vector<Id> apply_matches(EGraph& egraph, std::span<const SearchMatches> matches) const;

  /// The pattern as s-expression text: "(+ ?x 0)".
  std::string to_string() const;

 private:
  PatternAst ast_;
  Program program_;
  // Bit k set when the pattern has an e-node of the k-th variant.
  std::uint64_t kinds_ = 0;
  // The pattern's e-nodes in order, for instantiation: a child refers to a slot,
  // where the first `vars().size()` slots hold the variables' classes and the
  // next ones the classes of these e-nodes, in order.
  std::vector<MathLang> build_nodes_;
  // The slot of the root.
  std::uint32_t root_slot_ = 0;
};

}  // namespace morvalen::egraph
