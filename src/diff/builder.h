#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diff/error.h"
#include "diff/expr.h"
#include "ir/dag.h"
#include "ir/dtype.h"
#include "ir/ops.h"
#include "support/kept.h"
#include "support/result.h"

namespace morvalen::diff {

/// A finished set of canonical expressions: the parameter signature (in the
/// order given), the expression list (an expression's id is its position) and
/// the output ids.
class CanonFunction {
 public:
  CanonFunction(std::vector<ir::ParamDecl> signature, std::vector<CanonExpr> exprs, std::vector<CanonExprId> outputs)
      : signature_(std::move(signature)), exprs_(std::move(exprs)), outputs_(std::move(outputs)) {}

  const std::vector<ir::ParamDecl>& signature() const { return signature_; }
  const std::vector<CanonExpr>& exprs() const { return exprs_; }
  const std::vector<CanonExprId>& outputs() const { return outputs_; }

  /// Turns the expressions reachable from the outputs into a validated
  /// `TypedDag` whose parameters are the signature. Nodes are laid out in the
  /// post-order of a depth-first walk from the outputs in order (operands left
  /// to right), each expression once; unreachable expressions produce no node.
  /// E and Pi constants become `f64` constants. Defined in diff/lower.cpp.
  Result<ir::TypedDag, CanonLowerError> lower_to_typed_dag() const;

 private:
  std::vector<ir::ParamDecl> signature_;
  std::vector<CanonExpr> exprs_;
  std::vector<CanonExprId> outputs_;
};

/// The store the differentiation engine builds through. Every operation checks
/// its id arguments first (the first out-of-range id, in argument order, is
/// `InvalidId`) and normalises as it builds.
class CanonExprBuilder {
 public:
  using IdResult = Result<CanonExprId, CanonBuildError>;

  CanonExprBuilder() = default;
  CanonExprBuilder(const CanonExprBuilder&) = delete;
  CanonExprBuilder& operator=(const CanonExprBuilder&) = delete;
  CanonExprBuilder(CanonExprBuilder&&) = default;
  CanonExprBuilder& operator=(CanonExprBuilder&&) = default;
  virtual ~CanonExprBuilder() = default;

  virtual IdResult parameter(std::string_view name, ir::DType dtype) = 0;
  /// not folds Bool constants; neg folds numeric constants (saturating for
  /// integers) and removes a double negation.
  virtual IdResult unary(ir::UnaryOp op, CanonExprId operand, ir::DType dtype) = 0;
  /// "+", "-", "*" are flattened, sorted and have their constants folded; "**"
  /// applies the power identities; other operators build a plain node.
  virtual IdResult binary(ir::BinaryOp op, CanonExprId left, CanonExprId right, ir::DType dtype) = 0;
  /// A plain call node; no simplification.
  virtual IdResult call(std::string_view name, std::span<const CanonExprId> args, ir::DType dtype) = 0;
  /// Returns the branch itself when both branches are the same id.
  virtual IdResult select(CanonExprId cond, CanonExprId then_branch, CanonExprId else_branch, ir::DType dtype) = 0;
  /// Folds casts of constants and elides casts to the operand's own dtype.
  virtual IdResult cast_with_explicit(CanonExprId operand, ir::DType target, bool is_explicit) = 0;
  /// Interns a complete expression as is (no normalisation). `InvalidId` for
  /// the first operand id not already in the list (so the list stays acyclic);
  /// `TooMany` when the list is full.
  virtual IdResult intern_expr(CanonExpr expr) = 0;

  /// Fails with `DuplicateParameter` for the first repeated signature name,
  /// then with `InvalidId` for the first out-of-range output.
  virtual Result<CanonFunction, CanonBuildError> finish(std::vector<ir::ParamDecl> signature,
                                                        std::vector<CanonExprId> outputs) && = 0;

  /// The structural order: invalid ids after every valid one (by number among
  /// themselves); then variant, then the fields in order.
  virtual std::strong_ordering compare_ids(CanonExprId a, CanonExprId b) const = 0;
  /// Lexicographic extension of `compare_ids`; a proper prefix comes first.
  virtual std::strong_ordering compare_id_slices(std::span<const CanonExprId> a,
                                                 std::span<const CanonExprId> b) const = 0;
};

/// The hash-consing implementation of `CanonExprBuilder`.
class InternedCanonExprBuilder final : public CanonExprBuilder {
 public:
  InternedCanonExprBuilder() = default;
  /// A builder that holds at most `max_exprs` expressions (at most `kMaxExprs`),
  /// so that `TooMany` can be exercised.
  explicit InternedCanonExprBuilder(std::size_t max_exprs);

  IdResult parameter(std::string_view name, ir::DType dtype) override;
  IdResult unary(ir::UnaryOp op, CanonExprId operand, ir::DType dtype) override;
  IdResult binary(ir::BinaryOp op, CanonExprId left, CanonExprId right, ir::DType dtype) override;
  IdResult call(std::string_view name, std::span<const CanonExprId> args, ir::DType dtype) override;
  IdResult select(CanonExprId cond, CanonExprId then_branch, CanonExprId else_branch, ir::DType dtype) override;
  IdResult cast_with_explicit(CanonExprId operand, ir::DType target, bool is_explicit) override;
  IdResult intern_expr(CanonExpr expr) override;
  Result<CanonFunction, CanonBuildError>
      finish(std::vector<ir::ParamDecl> signature, std::vector<CanonExprId> outputs) && override;
  std::strong_ordering compare_ids(CanonExprId a, CanonExprId b) const override;
  std::strong_ordering compare_id_slices(std::span<const CanonExprId> a, std::span<const CanonExprId> b) const override;

  /// Appends the terms of a sum: descends through `+` nodes of exactly `dtype`,
  /// left then right; any other id is one term.
  void collect_add_terms(CanonExprId id, ir::DType dtype, std::vector<CanonExprId>& out) const;
  /// The same for the factors of a product (`*` nodes of exactly `dtype`).
  void collect_mul_factors(CanonExprId id, ir::DType dtype, std::vector<CanonExprId>& out) const;
  /// The normalised sum of two ids.
  IdResult build_add(CanonExprId left, CanonExprId right, ir::DType dtype);
  /// `intern_expr` of the constant `value` typed `dtype`, comparing literals
  /// instead of variants: the form every folded constant is built in.
  IdResult intern_constant(const Literal& value, ir::DType dtype);

  /// Makes room for `count` expressions, so that building them neither moves
  /// the list nor rebuilds the intern set.
  void reserve(std::size_t count);

  /// Read access for tests and callers inspecting results.
  const std::vector<CanonExpr>& exprs() const { return exprs_; }
  const CanonExpr& expr(CanonExprId id) const { return exprs_[id.value]; }
  std::size_t size() const { return exprs_.size(); }

  /// The most expressions one builder holds (2^32).
  static constexpr std::size_t kMaxExprs = std::size_t{1} << 32;

 private:
  // Run for every id argument: the success path stays inline.
  Result<void, CanonBuildError> check_id(CanonExprId id) const {
    if (id.value < exprs_.size()) return {};
    return invalid_id(id);
  }
  static Result<void, CanonBuildError> invalid_id(CanonExprId id);
  IdResult build_mul(CanonExprId left, CanonExprId right, ir::DType dtype);
  IdResult build_sum_or_product(CanonExprId left, CanonExprId right, ir::DType dtype, bool multiply);
  // `build_sum_or_product` of two ids neither of which heads a chain of the
  // operator and dtype; none when both are integer constants whose sum or
  // product overflows, which the general path keeps apart.
  std::optional<IdResult> build_two_terms(CanonExprId left, CanonExprId right, ir::DType dtype, bool multiply);
  IdResult build_pow(CanonExprId base, CanonExprId exponent, ir::DType dtype);
  IdResult build_neg(CanonExprId operand, ir::DType dtype);
  // `intern_constant`, answered by `likely` itself when that is the constant
  // asked for: a folded constant is most often the constant it came from.
  IdResult intern_constant_or(const Literal& value, ir::DType dtype, CanonExprId likely);
  // `intern_expr` of a binary expression, comparing fields instead of
  // variants: the form every sum, product and power is built in.
  IdResult intern_binary(canon::Binary binary);
  // Appends a new expression (its operands valid, its key not yet interned)
  // with what the builder keeps beside it.
  CanonExprId append(CanonExpr expr, std::uint64_t hash);
  CanonExprId append_binary(const canon::Binary& binary, std::uint64_t hash);
  // The interned expression whose slot tag matches `hash` and for which
  // `same(expr)` holds, if any.
  template <typename Same>
  std::optional<CanonExprId> find_interned(std::uint64_t hash, Same same) const;
  // Enters the next id in the intern set under `hash`, growing the set first
  // when it would be more than half full, and returns that id.
  CanonExprId claim_slot(std::uint64_t hash);
  // Appends the leaves of `root` (see collect_leaves in the .cpp).
  bool collect_all_leaves(CanonExprId root, ir::BinaryOp op, ir::DType dtype, std::vector<CanonExprId>& out) const;
  void collect_leaves(CanonExprId root, ir::BinaryOp op, ir::DType dtype, std::vector<CanonExprId>& out) const;
  // Sorts `ids` when `ids[0, split)` and `ids[split, end)` are each often
  // sorted already.
  void sort_runs(std::vector<CanonExprId>& ids, std::size_t split, bool first_sorted);
  // Decides a comparison by walking down pairs of operands; `compare_ids`
  // hands over to it when the order prefixes and a few steps did not decide.
  std::strong_ordering compare_deep(CanonExprId a, CanonExprId b) const;

  // The set of interned expressions: open addressing over power-of-two
  // slots, each holding an id and 32 bits of its key's hash (0 marks a free
  // slot), at most half full.
  struct InternSlot {
    std::uint32_t tag = 0;
    std::uint32_t id = 0;
  };
  void grow_interned(std::size_t slots);

  // What the builder keeps beside the expressions until `finish`, and its
  // scratch lists; kept per thread between builders (see `support::Kept`), so
  // that a short build does not spend more on allocating them than on
  // building.
  struct Tables {
    std::vector<InternSlot> interned;
    // Per expression: a prefix of its place in the structural order (a
    // smaller prefix means an earlier expression; equal prefixes decide
    // nothing), and for a `+` or `*` node the number of leaves of the chain
    // of nodes of its operator and dtype it heads, counted up to
    // kMaxCollected + 1.
    std::vector<std::uint64_t> order_prefix;
    std::vector<std::uint8_t> chain_leaves;
    // Scratch lists of build_sum_or_product.
    std::vector<CanonExprId> terms;
    std::vector<CanonExprId> rest;
    std::vector<CanonExprId> merged;
    void clear();
    /// In bytes, for the cap on what a thread keeps.
    std::size_t capacity() const;
  };
  struct KeptTablesTag {};
  static constexpr std::size_t kKeptTablesBytes = std::size_t{1} << 16;

  std::size_t max_exprs_ = kMaxExprs;
  std::vector<CanonExpr> exprs_;
  support::Kept<Tables, KeptTablesTag, kKeptTablesBytes> tables_;
  std::vector<InternSlot>& interned_ = tables_.value.interned;
  std::vector<std::uint64_t>& order_prefix_ = tables_.value.order_prefix;
  std::vector<std::uint8_t>& chain_leaves_ = tables_.value.chain_leaves;
  std::vector<CanonExprId>& terms_ = tables_.value.terms;
  std::vector<CanonExprId>& rest_ = tables_.value.rest;
  std::vector<CanonExprId>& merged_ = tables_.value.merged;
  // Known orders of id pairs. It only saves work, so it forgets old entries
  // instead of growing without bound.
  class PairOrderCache {
   public:
    /// The sign (-1, 0, 1) stored for `key`, or -2 when none is.
    signed char find(std::uint64_t key) const;
    void insert(std::uint64_t key, signed char sign);
    void clear();

   private:
    // Open-addressing tables of keys (first id in the high half; 0 marks a
    // free slot, and a pair of equal ids is never stored) and signs. New
    // entries go to the young table; when it is full it becomes the old one
    // and the previous old one is dropped.
    struct Table {
      std::vector<std::uint64_t> keys;
      std::vector<signed char> signs;
      std::size_t used = 0;
    };
    Table young_;
    Table old_;
  };
  mutable PairOrderCache compare_cache_;
  mutable std::vector<std::uint64_t> compare_chain_;
};

}  // namespace morvalen::diff
