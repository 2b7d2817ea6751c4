#pragma once

// Lowering: turns the parse tree of one program into a `TypedDag`. Names are
// resolved, literals typed, operand dtypes checked and promoted with implicit
// casts, and every problem is reported as a `Diag`. A failing subexpression is
// replaced by a recovery constant so that one call reports every error it can.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "diag.h"
#include "diff/error.h"
#include "ir/dag.h"
#include "ir/dtype.h"
#include "ir/literal.h"
#include "ir/node.h"
#include "parse/ast.h"
#include "support/result.h"
#include "support/span.h"

namespace morvalen::ir {

/// The collecting sink used by the pipeline: notes and warnings go to
/// `warnings`, errors and fatals to `errors`, allowed kinds are dropped, and
/// lowering always goes on.
struct Collect {
  std::vector<diag::Diag> warnings;
  std::vector<diag::Diag> errors;
  /// The caller's configuration, borrowed for the lowering (copying its hash
  /// map costs more than lowering a short program); null for the default one.
  const diag::DiagConfig* config = nullptr;
  /// When false, notes and warnings are dropped before their text is built:
  /// for callers that only look at the errors.
  bool keep_warnings = true;

  const diag::DiagConfig& settings() const;
};

/// Where diagnostics go: collected (lowering never stops) or a `DiagCollector`
/// (the first error stops lowering and is handed back).
using DiagMode = std::variant<Collect, diag::DiagCollector>;

/// The visible bindings, name to node. Programs mostly bind a handful of names,
/// kept in a short list inside the scope; past `kListed` names they move to a
/// hash map. Only looked up by name, never iterated, so no order of either
/// can reach an output.
class Scope {
 public:
  std::optional<NodeId> lookup(std::string_view name) const;
  /// Binds `name` to `id`, returning the binding it replaces.
  std::optional<NodeId> bind(std::string_view name, NodeId id);
  /// Removes the binding of `name`.
  void erase(std::string_view name);

 private:
  static constexpr std::size_t kListed = 8;
  struct Binding {
    std::string name;
    NodeId id;
  };
  std::array<Binding, kListed> listed_;
  std::size_t listed_count_ = 0;
  // Created when the list overflows: most programs never need it.
  std::unique_ptr<std::unordered_map<std::string, NodeId>> hashed_;
};

/// The lowering context of one call: the node table being built, the declared
/// parameters and the visible bindings.
class Ctx {
 public:
  /// The parameter lists start from storage a dead DAG of the thread left
  /// (see `spare_param_list`).
  explicit Ctx(DiagMode mode);
  ~Ctx();
  Ctx(const Ctx&) = delete;
  Ctx& operator=(const Ctx&) = delete;

  /// Appends the `Param` node of the next parameter and binds its name; a later
  /// parameter of the same name hides an earlier one for lookup.
  NodeId add_param(std::string name, DType dtype);

  /// Lowers `expr`, which must produce exactly one value. A tuple gives an
  /// `ExpectedScalar` diagnostic and a recovery constant of `recovery`.
  Result<NodeId, diag::Diag> lower_single(const parse::Spanned& expr, DType recovery);

  /// Routes one diagnostic by its severity. Returns the diagnostic when
  /// lowering must stop (only in the `DiagCollector` mode, for errors).
  [[nodiscard]] std::optional<diag::Diag> emit(diag::Diag diag);
  /// True when a diagnostic of `kind` would be dropped unseen (allowed, or a
  /// note or warning of a `Collect` that keeps none), so it need not be built.
  bool discards(diag::DiagKind kind) const;

  /// Emits `diag`; when lowering goes on, appends a recovery constant of
  /// `recovery` and returns it.
  Result<NodeId, diag::Diag> on_error(diag::Diag diag, DType recovery);

  /// Appends a node with its dtype and returns its position (see
  /// `DagBuilder::push`).
  NodeId push(Node node, DType dtype);
  /// Makes room for `nodes` nodes in all.
  void reserve(std::size_t nodes) { builder_.reserve(nodes); }

  /// `id` itself when its dtype is `target`, else a new implicit `Cast`.
  NodeId cast_if_needed(NodeId id, DType target);

  /// A `Const` of `dtype`'s kind holding false, 0 or 0.0.
  NodeId recovery_const(DType dtype);

  /// Copies another DAG's nodes into this context and returns its outputs
  /// mapped into this context. `Param` nodes map to this context's parameter
  /// nodes (nothing is appended for them). A forward operand reference or a
  /// parameter index this context does not have throws `InternalError`.
  std::vector<NodeId> import_dag(const TypedDag& dag);

  /// A validated copy of the current tables with `output` as the only output.
  /// Throws `InternalError` ("lower produced invalid TypedDag snapshot: ...")
  /// if the copy does not validate.
  TypedDag snapshot(NodeId output) const;

  /// The node bound to `name`, if any.
  std::optional<NodeId> lookup(std::string_view name) const;
  /// Binds `name` to `id`, returning the binding it replaces.
  std::optional<NodeId> bind(std::string_view name, NodeId id);
  /// Restores the binding `bind` returned (or removes the name).
  void restore(std::string_view name, std::optional<NodeId> previous);

  const std::vector<Node>& nodes() const { return builder_.nodes(); }
  const std::vector<DType>& dtypes() const { return builder_.dtypes(); }
  const std::vector<ParamDecl>& params() const { return params_; }
  const std::vector<NodeId>& param_nodes() const { return param_nodes_; }
  const DiagMode& mode() const { return mode_; }
  DiagMode& mode() { return mode_; }

  /// Builds the DAG with `outputs`; a validation failure throws `InternalError`
  /// ("lower produced invalid TypedDag: ...").
  TypedDag finish(std::vector<NodeId> outputs) &&;

 private:
  DagBuilder builder_;
  std::vector<ParamDecl> params_;
  std::vector<NodeId> param_nodes_;
  DiagMode mode_;
  Scope scope_;
};

/// Lowers one expression: one id for a scalar form, one per element for a
/// tuple. Fails only in the `DiagCollector` mode, with the first error.
Result<std::vector<NodeId>, diag::Diag> lower_expr(Ctx& ctx, const parse::Spanned& expr);

/// The operand spans of a binary operator, for the implicit-promotion labels.
struct OperandSpans {
  Span lhs;
  Span rhs;
};

/// The common dtype of `a` and `b` for the operation `name`, with its
/// diagnostics in order: a type mismatch (the result is then `f64`), the
/// unsafe-promotion warning (`u64` with a signed integer), and the
/// implicit-promotion note (labelled with the operand spans when given).
Result<DType, diag::Diag> promote_with_diags(Ctx& ctx, std::string_view name, DType a, DType b, Span span,
                                             std::optional<OperandSpans> operand_spans);

struct LowerResultWithErrors {
  TypedDag dag;
  std::vector<diag::Diag> warnings;
  std::vector<diag::Diag> errors;
};

/// Lowers a whole program, collecting diagnostics in emission order. Never
/// fails: after errors the DAG is complete and valid but meaningless.
LowerResultWithErrors lower_with_config_collect(const parse::FuncDef& program, const diag::DiagConfig& config);
/// Like `lower_with_config_collect`, but notes and warnings are dropped unbuilt
/// (`warnings` stays empty); the DAG and the errors are the same. The node
/// table starts with room for `expected_nodes` nodes, so that a large program
/// grows it without copies.
LowerResultWithErrors lower_with_config_collect_errors(const parse::FuncDef& program, const diag::DiagConfig& config,
                                                       std::size_t expected_nodes = 0);

/// Lowers a whole program through `collector`: notes and warnings are kept in
/// it, and the first error stops lowering and is returned.
Result<TypedDag, diag::Diag> lower_with_collector(const parse::FuncDef& program, diag::DiagCollector& collector);

/// The lowering diagnostic for a failed inline derivative.
diag::Diag diff_error_diag(const diff::DiffError& error, Span span);

// The help texts of differentiation failures; the other lowering diagnostics
// carry their kind's default help.
inline constexpr std::string_view kUnknownDiffVariableHelp =
    "use an existing floating parameter inside `diff[var](expr)`";
inline constexpr std::string_view kNonFloatDiffParameterHelp =
    "choose a floating parameter such as `x: f32` or `x: f64`";
inline constexpr std::string_view kDiffTupleHelp = "use `diff[x](expr)` with a scalar expression result";

}  // namespace morvalen::ir
