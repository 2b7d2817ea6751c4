#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "egraph/egraph.h"
#include "support/symbol.h"

namespace morvalen::egraph {

/// A pattern variable ("?x", "?#3"); equal when the texts are equal.
struct Var {
  support::Symbol name = support::Symbol::from_index(0);

  /// The text, question mark included.
  std::string_view text() const { return name.text(); }
  friend bool operator==(Var, Var) = default;
};

/// One node of a pattern term: an e-node whose children are earlier pattern
/// positions, or a variable leaf.
using ENodeOrVar = std::variant<MathLang, Var>;

/// A pattern term, children before parents, root last.
using PatternAst = std::vector<ENodeOrVar>;

/// A substitution: one class per searcher variable, in order of first
/// appearance. Up to four bindings are held inline.
class Subst {
 public:
  void insert(Var var, Id id);
  /// Appends a binding for a variable known not to be bound yet.
  void push_unbound(Var var, Id id);
  /// The class bound to `var`, if bound.
  std::optional<Id> get(Var var) const;
  /// The class bound to `var`; an unbound variable is an internal failure.
  Id operator[](Var var) const;
  std::size_t size() const { return size_; }
  Var var_at(std::size_t i) const { return i < kInline ? inline_[i].first : more_[i - kInline].first; }
  Id id_at(std::size_t i) const { return i < kInline ? inline_[i].second : more_[i - kInline].second; }
  /// "{?x: 3, ?y: 5}".
  std::string to_string() const;

  friend bool operator==(const Subst& a, const Subst& b);

 private:
  static constexpr std::size_t kInline = 4;
  std::array<std::pair<Var, Id>, kInline> inline_{};
  std::vector<std::pair<Var, Id>> more_;
  std::size_t size_ = 0;
};

/// One instruction of the matching machine: a plain record, so that running a
/// program is a switch over `op` rather than a visit of a variant. Registers
/// hold canonical class ids; register 0 holds the class being searched.
struct Instruction {
  enum class Op : std::uint8_t {
    /// For each e-node of class `reg` with `node`'s variant (and payload, for a
    /// leaf): its children go to registers `arg`, `arg + 1`, ...
    Bind,
    /// Goes on only when registers `reg` and `arg` hold the same class.
    Compare,
    /// Resolves `Program::terms[arg]`, a sub-pattern whose variables are all
    /// bound, by lookup in the hash-cons table and goes on only when it is the
    /// class in register `reg`.
    Lookup,
    /// Records a match; always the last instruction.
    Yield,
  };
  Op op = Op::Yield;
  std::uint32_t reg = 0;
  std::uint32_t arg = 0;
  MathLang node = MathLang::make_bool(false);  ///< `Bind` only
};

/// A sub-term resolved by lookup: its nodes (children are indices into the same
/// vector), and for variable leaves the register holding their class.
struct LookupTerm {
  struct Node {
    MathLang node;          ///< ignored for variables
    std::uint32_t var_reg;  ///< register of a variable leaf, or kNoReg
  };
  static constexpr std::uint32_t kNoReg = 0xFFFFFFFFu;
  std::vector<Node> nodes;
  bool ground = false;  ///< no variables: resolved once per search
};

/// The compiled form of a searcher pattern.
struct Program {
  std::vector<Instruction> instructions;
  std::vector<LookupTerm> terms;
  std::vector<Var> vars;                ///< in order of first appearance
  std::vector<std::uint32_t> var_regs;  ///< register of each of `vars`
  std::uint32_t num_regs = 1;

  /// Compiles `ast` (non-empty): e-nodes are matched depth first, children left
  /// to right; fully bound sub-patterns become lookups. Ends with `Yield`.
  static Program compile(const PatternAst& ast);

  /// Runs the program on class `eclass` of a clean `egraph`, appending at most
  /// `limit` substitutions to `out` in enumeration order, and returns how many
  /// it appended. Each takes `1 + vars.size()` entries: the canonical class
  /// searched, then the class bound to each of `vars`. `ground` holds the
  /// lookup results of the ground terms (see `resolve_ground`).
  std::size_t run(const EGraph& egraph, Id eclass, std::size_t limit, std::span<const std::optional<Id>> ground,
                  std::vector<Id>& out) const;

  /// `run` over each of `classes` in turn, at most `limit` substitutions in all;
  /// returns how many it appended.
  std::size_t run_each(const EGraph& egraph, std::span<const Id> classes, std::size_t limit,
                       std::span<const std::optional<Id>> ground, std::vector<Id>& out) const;
  /// `run_each` over the live classes of `egraph` in increasing id order.
  std::size_t run_every_class(const EGraph& egraph, std::size_t limit, std::span<const std::optional<Id>> ground,
                              std::vector<Id>& out) const;

  /// Looks up every ground term once into `out` (one entry per term, absent
  /// for the others); an absent ground entry means no match anywhere.
  void resolve_ground(const EGraph& egraph, std::span<std::optional<Id>> out) const;
};

}  // namespace morvalen::egraph
