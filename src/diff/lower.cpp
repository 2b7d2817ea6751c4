#include "diff/lower.h"

#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ir/dag.h"
#include "ir/node.h"
#include "support/internal_error.h"

namespace morvalen::diff {
namespace {

struct DeclaredParam {
  std::size_t index = 0;
  ir::DType dtype;
};

// The working state of one lowering: the node and dtype tables under
// construction, the expression-to-node memo and the walk's stack.
class CanonLowering {
 public:
  explicit CanonLowering(const CanonFunction& function)
      : function_(function), memo_(function.exprs().size()), in_progress_(function.exprs().size(), false) {
    const auto& signature = function.signature();
    for (std::size_t i = 0; i < signature.size(); ++i) {
      // A repeated name keeps its later entry.
      params_.insert_or_assign(signature[i].name, DeclaredParam{i, signature[i].dtype});
    }
    dag_.reserve(function.exprs().size());
  }

  // Lowers `root` and everything below it: a depth-first walk on an explicit
  // stack (expressions can be as deep as the DAG they came from), appending
  // each node after its operands, left to right.
  Result<ir::NodeId, CanonLowerError> lower_expr(CanonExprId root) {
    if (auto failed = enter(root)) return unexpected(std::move(*failed));
    while (!stack_.empty()) {
      Frame& frame = stack_.back();
      const CanonExpr& expr = function_.exprs()[frame.id.value];
      if (frame.next < operand_count(expr)) {
        const CanonExprId operand = operand_at(expr, frame.next++);
        if (auto failed = enter(operand)) return unexpected(std::move(*failed));
        continue;
      }
      const CanonExprId done = frame.id;
      stack_.pop_back();
      memo_[done.value] = append(function_.exprs()[done.value]);
      in_progress_[done.value] = false;
    }
    return *memo_[root.value];
  }

  ir::DagBuilder take_dag() { return std::move(dag_); }

 private:
  ir::NodeId push(ir::Node node, ir::DType dtype) { return dag_.push(std::move(node), dtype); }

  static std::pair<ir::Scalar, ir::DType> constant_scalar(const canon::Constant& c) {
    return std::visit(
        [&](const auto& lit) -> std::pair<ir::Scalar, ir::DType> {
          using L = std::decay_t<decltype(lit)>;
          if constexpr (std::is_same_v<L, literal::Bool>) {
            return {ir::Scalar{lit.value}, ir::DType::boolean()};
          } else if constexpr (std::is_same_v<L, literal::Int>) {
            return {ir::Scalar{lit.value}, c.dtype.value_or(ir::DType::i64())};
          } else if constexpr (std::is_same_v<L, literal::Float>) {
            return {ir::Scalar{lit.value}, c.dtype.value_or(ir::DType::f64())};
          } else if constexpr (std::is_same_v<L, literal::Complex>) {
            return {ir::Scalar{ir::ComplexValue{lit.re, lit.im}}, c.dtype.value_or(ir::DType::c128())};
          } else if constexpr (std::is_same_v<L, literal::E>) {
            return {ir::Scalar{kEValue}, ir::DType::f64()};
          } else {
            return {ir::Scalar{kPiValue}, ir::DType::f64()};
          }
        },
        c.value);
  }

  struct Frame {
    CanonExprId id;
    std::size_t next = 0;
  };

  static std::size_t operand_count(const CanonExpr& expr) {
    return std::visit(
        [](const auto& e) -> std::size_t {
          using T = std::decay_t<decltype(e)>;
          if constexpr (std::is_same_v<T, canon::Unary> || std::is_same_v<T, canon::Cast>) {
            return 1;
          } else if constexpr (std::is_same_v<T, canon::Binary>) {
            return 2;
          } else if constexpr (std::is_same_v<T, canon::Select>) {
            return 3;
          } else if constexpr (std::is_same_v<T, canon::Call>) {
            return e.args.size();
          } else {
            return 0;
          }
        },
        expr);
  }

  static CanonExprId operand_at(const CanonExpr& expr, std::size_t k) {
    return std::visit(
        [k](const auto& e) -> CanonExprId {
          using T = std::decay_t<decltype(e)>;
          if constexpr (std::is_same_v<T, canon::Unary> || std::is_same_v<T, canon::Cast>) {
            return e.operand;
          } else if constexpr (std::is_same_v<T, canon::Binary>) {
            return k == 0 ? e.left : e.right;
          } else if constexpr (std::is_same_v<T, canon::Select>) {
            return k == 0 ? e.cond : (k == 1 ? e.then_branch : e.else_branch);
          } else if constexpr (std::is_same_v<T, canon::Call>) {
            return e.args[k];
          } else {
            throw InternalError("canonical lowering: leaf expression has no operands");
          }
        },
        expr);
  }

  // Starts lowering `id`: nothing to do when it is already lowered; leaves are
  // appended at once; other expressions are checked and pushed so that their
  // operands are lowered first.
  [[nodiscard]] std::optional<CanonLowerError> enter(CanonExprId id) {
    if (id.value >= function_.exprs().size()) return CanonLowerError{CanonLowerError::InvalidId{id}};
    if (memo_[id.value]) return std::nullopt;
    // A function assembled by hand may refer back to an expression still being
    // lowered; that id cannot be lowered and is reported as invalid.
    if (in_progress_[id.value]) return CanonLowerError{CanonLowerError::InvalidId{id}};
    const CanonExpr& expr = function_.exprs()[id.value];
    if (const auto* p = std::get_if<canon::Parameter>(&expr)) {
      auto it = params_.find(p->name);
      if (it == params_.end()) return CanonLowerError{CanonLowerError::MissingParameter{p->name}};
      if (!(it->second.dtype == p->dtype)) {
        return CanonLowerError{CanonLowerError::ParameterDtypeMismatch{p->name, p->dtype, it->second.dtype}};
      }
    } else if (const auto* c = std::get_if<canon::Call>(&expr)) {
      if (!ir::parse_builtin(c->name)) return CanonLowerError{CanonLowerError::UnknownBuiltin{c->name}};
      if (c->args.size() != 1) return CanonLowerError{CanonLowerError::ArityMismatch{c->name, 1, c->args.size()}};
    }
    if (operand_count(expr) == 0) {
      memo_[id.value] = append(expr);
      return std::nullopt;
    }
    in_progress_[id.value] = true;
    stack_.push_back(Frame{id, 0});
    return std::nullopt;
  }

  ir::NodeId lowered(CanonExprId id) const { return *memo_[id.value]; }

  // Appends the node of an expression whose operands are lowered and checked.
  ir::NodeId append(const CanonExpr& expr) {
    return std::visit(
        [&](const auto& e) -> ir::NodeId {
          using T = std::decay_t<decltype(e)>;
          if constexpr (std::is_same_v<T, canon::Parameter>) {
            return push(ir::Param{params_.at(e.name).index}, e.dtype);
          } else if constexpr (std::is_same_v<T, canon::Constant>) {
            auto [scalar, dtype] = constant_scalar(e);
            return push(ir::Const{scalar}, dtype);
          } else if constexpr (std::is_same_v<T, canon::Unary>) {
            return push(ir::Unary{lowered(e.operand), e.op}, e.dtype);
          } else if constexpr (std::is_same_v<T, canon::Binary>) {
            return push(ir::Binary{e.op, lowered(e.left), lowered(e.right)}, e.dtype);
          } else if constexpr (std::is_same_v<T, canon::Select>) {
            return push(ir::If{lowered(e.cond), lowered(e.then_branch), lowered(e.else_branch)}, e.dtype);
          } else if constexpr (std::is_same_v<T, canon::Call>) {
            std::vector<ir::NodeId> args;
            for (CanonExprId arg : e.args) args.push_back(lowered(arg));
            return push(ir::Call{*ir::parse_builtin(e.name), std::move(args)}, e.dtype);
          } else {
            return push(ir::Cast{lowered(e.operand), e.dtype, e.is_explicit}, e.dtype);
          }
        },
        expr);
  }

  const CanonFunction& function_;
  std::unordered_map<std::string, DeclaredParam> params_;
  std::vector<std::optional<ir::NodeId>> memo_;
  std::vector<bool> in_progress_;
  std::vector<Frame> stack_;
  ir::DagBuilder dag_;
};

}  // namespace

Result<ir::TypedDag, CanonLowerError> CanonFunction::lower_to_typed_dag() const {
  CanonLowering lowering(*this);
  std::vector<ir::NodeId> outputs;
  outputs.reserve(outputs_.size());
  for (CanonExprId id : outputs_) {
    MORVALEN_TRY(node, lowering.lower_expr(id));
    outputs.push_back(node);
  }
  auto dag = lowering.take_dag().try_finish(signature_, std::move(outputs));
  if (!dag) return unexpected(CanonLowerError{CanonLowerError::Dag{dag.error()}});
  return std::move(*dag);
}

}  // namespace morvalen::diff
