#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "diff/builder.h"
#include "diff/error.h"
#include "diff/expr.h"
#include "diff/lower.h"
#include "ir/dag.h"
#include "ir/node.h"
#include "ir/ops.h"
#include "support/kept.h"
#include "support/result.h"

namespace morvalen::diff {

/// Forward-mode symbolic differentiation of a single-output `TypedDag` with
/// respect to one of its floating parameters. One differentiator serves one
/// `differentiate` call.
class TypedDagDifferentiator {
 public:
  /// Reads the DAG in place, so it must outlive the differentiator; never
  /// fails.
  explicit TypedDagDifferentiator(const ir::TypedDag& dag);
  /// Keeps a DAG handed over as a temporary.
  explicit TypedDagDifferentiator(ir::TypedDag&& dag);

  /// The derivative of the DAG's only output with respect to the parameter
  /// named `variable`, cast (implicitly) to that parameter's dtype when its
  /// dtype differs. The function's signature is the DAG's parameter list.
  /// Checked first, in this order: `UnknownVariable`, `NonFloatParameter`
  /// (bool, integer and complex parameters), `TupleOutput` (not exactly one
  /// output). `UnsupportedCall` for a call with other than one argument on the
  /// path to the output; `Invariant` for parameter inconsistencies in the DAG
  /// and for canonical builder failures ("canonical builder failed: ...").
  /// A second call on the same differentiator is an internal invariant failure.
  Result<CanonFunction, DiffError> differentiate(std::string_view variable);

 private:
  // An expression id, or a failure whose error waits in `error_`.
  struct ErrorPending {};
  using Built = Result<CanonExprId, ErrorPending>;

  struct Pair {
    CanonExprId u;
    CanonExprId v;
    CanonExprId du;
    CanonExprId dv;
  };

  // What a step of the walk computes for a node: its primal expression or its
  // derivative.
  enum class Want : std::uint8_t { Primal, Derivative };
  // A node waiting on the walk's stack; `next` counts the dependencies looked at.
  struct Task {
    ir::NodeId node;
    Want want = Want::Primal;
    std::uint32_t next = 0;
  };
  struct Dependency {
    Want want = Want::Primal;
    ir::NodeId node;
  };

  // The expression for `root`, building first, depth-first on an explicit
  // stack, every dependency it lacks (a DAG can be as deep as it is long).
  Built evaluate(Want want, ir::NodeId root);
  // The `index`-th dependency of a node's primal or derivative, in the order
  // they are built; none past the last.
  std::optional<Dependency> dependency(const Task& task) const;
  // The built expression's id, or kAbsent.
  std::uint32_t& memo(Want want, ir::NodeId node) {
    if (node.value >= memo_.size()) node_out_of_range(node);
    return want == Want::Primal ? memo_[node.value].primal : memo_[node.value].derivative;
  }
  [[noreturn]] static void node_out_of_range(ir::NodeId node);
  CanonExprId primal_of(ir::NodeId node) const { return CanonExprId{memo_[node.value].primal}; }
  CanonExprId derivative_of(ir::NodeId node) const { return CanonExprId{memo_[node.value].derivative}; }
  // Build a node's expression once all its dependencies are built.
  Built primal_from_operands(ir::NodeId node);
  Built derivative_from_operands(ir::NodeId node);
  Built derivative_binary(ir::BinaryOp op, ir::NodeId left, ir::NodeId right, ir::DType dtype);
  // The formulas once the operands are built: "*", "/", "%", "**" from the
  // pair, and each builtin from its argument and the argument's derivative.
  Built binary_rule(ir::BinaryOp op, const Pair& pair, ir::DType dtype);
  Built builtin_rule(ir::Builtin builtin, CanonExprId x, CanonExprId dx, ir::DType dtype);

  Built fail(DiffError error);
  // Called once per builder call: the success path stays inline.
  Built lift(const Result<CanonExprId, CanonBuildError>& built) {
    if (built) return *built;
    return lift_failure(built.error());
  }
  Built lift_failure(const CanonBuildError& error);
  DiffError take_error();

  Built add(CanonExprId a, CanonExprId b, ir::DType dtype);
  Built sub(CanonExprId a, CanonExprId b, ir::DType dtype);
  Built mul(CanonExprId a, CanonExprId b, ir::DType dtype);
  Built div(CanonExprId a, CanonExprId b, ir::DType dtype);
  Built pow(CanonExprId a, CanonExprId b, ir::DType dtype);
  Built neg(CanonExprId a, ir::DType dtype);
  Built select(CanonExprId cond, CanonExprId a, CanonExprId b, ir::DType dtype);
  Built one(ir::DType dtype);
  Built zero(ir::DType dtype);
  // The interned constant of `literal` under `dtype`, remembered in `known`
  // for the last few dtypes asked for: nearly every node asks for the zero or
  // the one of one of a few dtypes (constants are often typed narrower than
  // the variables around them).
  struct KnownConstant {
    ir::DType dtype;
    std::uint32_t id = 0xffffffffU;
  };
  struct KnownConstants {
    std::array<KnownConstant, 4> entries{};
    std::size_t next = 0;
  };
  Built known_constant(KnownConstants& known, Literal (*literal)(ir::DType), ir::DType dtype);
  Built gt_zero(CanonExprId x, ir::DType dtype);
  Built lt_zero(CanonExprId x, ir::DType dtype);
  Built call_builtin1(ir::Builtin builtin, CanonExprId x, ir::DType dtype);

  // Set only when the DAG was handed over; `dag_` points to it then.
  std::optional<ir::TypedDag> owned_dag_;
  const ir::TypedDag* dag_;
  std::optional<std::size_t> param_index_;
  // Per node, the ids built for it; the builder holds fewer than 2^32 - 1
  // expressions, so no id is kAbsent.
  static constexpr std::uint32_t kAbsent = 0xffffffffU;
  struct Memo {
    std::uint32_t primal = kAbsent;
    std::uint32_t derivative = kAbsent;
  };
  // The working lists of one call, kept per thread between calls (see
  // `support::Kept`): a short call would otherwise spend more on allocating
  // them than on differentiating.
  struct Scratch {
    // Per node: whether a path through its operands leads to the
    // differentiation parameter's `Param` node (1 or 0).
    std::vector<std::uint8_t> reaches_param;
    std::vector<Memo> memo;
    std::vector<Task> tasks;
    std::vector<CanonExprId> call_args;
    void clear() {
      reaches_param.clear();
      memo.clear();
      tasks.clear();
      call_args.clear();
    }
    /// In bytes, for the cap on what a thread keeps.
    std::size_t capacity() const {
      return reaches_param.capacity() + memo.capacity() * sizeof(Memo) + tasks.capacity() * sizeof(Task) +
             call_args.capacity() * sizeof(CanonExprId);
    }
  };
  struct KeptScratchTag {};
  static constexpr std::size_t kKeptScratchBytes = std::size_t{1} << 16;
  support::Kept<Scratch, KeptScratchTag, kKeptScratchBytes> scratch_;
  std::vector<std::uint8_t>& reaches_param_ = scratch_.value.reaches_param;
  std::vector<Memo>& memo_ = scratch_.value.memo;
  std::vector<Task>& tasks_ = scratch_.value.tasks;
  std::vector<CanonExprId>& call_args_ = scratch_.value.call_args;
  InternedCanonExprBuilder builder_;
  KnownConstants zeros_;
  KnownConstants ones_;
  std::optional<DiffError> error_;
  bool used_ = false;
};

}  // namespace morvalen::diff
