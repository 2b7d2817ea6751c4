#include "diff/lower.h"

#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ir/node.h"
#include "support/internal_error.h"
#include "support/stack.h"

namespace morvalen::diff {
namespace {

struct DeclaredParam {
  std::size_t index = 0;
  ir::DType dtype;
};

// The working state of one lowering: the node and dtype tables under
// construction and the expression-to-node memo.
class CanonLowering {
 public:
  explicit CanonLowering(const CanonFunction& function) : function_(function), memo_(function.exprs().size()), in_progress_(function.exprs().size(), false) {
    const auto& signature = function.signature();
    for (std::size_t i = 0; i < signature.size(); ++i) {
      // A repeated name keeps its later entry.
      params_.insert_or_assign(signature[i].name, DeclaredParam{i, signature[i].dtype});
    }
    nodes_.reserve(function.exprs().size());
    dtypes_.reserve(function.exprs().size());
  }

  Result<ir::NodeId, CanonLowerError> lower_expr(CanonExprId id) {
    if (id.value >= function_.exprs().size()) return unexpected(CanonLowerError{CanonLowerError::InvalidId{id}});
    if (const auto& memo = memo_[id.value]) return *memo;
    // A function assembled by hand may refer back to an expression still being
    // lowered; that id cannot be lowered and is reported as invalid.
    if (in_progress_[id.value]) return unexpected(CanonLowerError{CanonLowerError::InvalidId{id}});
    in_progress_[id.value] = true;
    auto node = support::grow_stack([&] { return lower_uncached(function_.exprs()[id.value]); });
    in_progress_[id.value] = false;
    if (node) memo_[id.value] = *node;
    return node;
  }

  std::vector<ir::Node> take_nodes() { return std::move(nodes_); }
  std::vector<ir::DType> take_dtypes() { return std::move(dtypes_); }

 private:
  using NodeResult = Result<ir::NodeId, CanonLowerError>;

  ir::NodeId push(ir::Node node, ir::DType dtype) {
    nodes_.push_back(std::move(node));
    dtypes_.push_back(dtype);
    return ir::NodeId{nodes_.size() - 1};
  }

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

  NodeResult lower_uncached(const CanonExpr& expr) {
    return std::visit(
        [&](const auto& e) -> NodeResult {
          using T = std::decay_t<decltype(e)>;
          if constexpr (std::is_same_v<T, canon::Parameter>) {
            auto it = params_.find(e.name);
            if (it == params_.end()) return unexpected(CanonLowerError{CanonLowerError::MissingParameter{e.name}});
            if (!(it->second.dtype == e.dtype)) {
              return unexpected(
                  CanonLowerError{CanonLowerError::ParameterDtypeMismatch{e.name, e.dtype, it->second.dtype}});
            }
            return push(ir::Param{it->second.index}, e.dtype);
          } else if constexpr (std::is_same_v<T, canon::Constant>) {
            auto [scalar, dtype] = constant_scalar(e);
            return push(ir::Const{scalar}, dtype);
          } else if constexpr (std::is_same_v<T, canon::Unary>) {
            auto x = lower_expr(e.operand);
            if (!x) return x;
            return push(ir::Unary{*x, e.op}, e.dtype);
          } else if constexpr (std::is_same_v<T, canon::Binary>) {
            auto a = lower_expr(e.left);
            if (!a) return a;
            auto b = lower_expr(e.right);
            if (!b) return b;
            return push(ir::Binary{e.op, *a, *b}, e.dtype);
          } else if constexpr (std::is_same_v<T, canon::Select>) {
            auto c = lower_expr(e.cond);
            if (!c) return c;
            auto a = lower_expr(e.then_branch);
            if (!a) return a;
            auto b = lower_expr(e.else_branch);
            if (!b) return b;
            return push(ir::If{*c, *a, *b}, e.dtype);
          } else if constexpr (std::is_same_v<T, canon::Call>) {
            const std::optional<ir::Builtin> builtin = ir::parse_builtin(e.name);
            if (!builtin) return unexpected(CanonLowerError{CanonLowerError::UnknownBuiltin{e.name}});
            if (e.args.size() != 1) {
              return unexpected(CanonLowerError{CanonLowerError::ArityMismatch{e.name, 1, e.args.size()}});
            }
            std::vector<ir::NodeId> args;
            for (CanonExprId arg : e.args) {
              auto a = lower_expr(arg);
              if (!a) return a;
              args.push_back(*a);
            }
            return push(ir::Call{*builtin, std::move(args)}, e.dtype);
          } else {
            auto x = lower_expr(e.operand);
            if (!x) return x;
            return push(ir::Cast{*x, e.dtype, e.is_explicit}, e.dtype);
          }
        },
        expr);
  }

  const CanonFunction& function_;
  std::unordered_map<std::string, DeclaredParam> params_;
  std::vector<std::optional<ir::NodeId>> memo_;
  std::vector<bool> in_progress_;
  std::vector<ir::Node> nodes_;
  std::vector<ir::DType> dtypes_;
};

}  // namespace

Result<ir::TypedDag, CanonLowerError> CanonFunction::lower_to_typed_dag() const {
  CanonLowering lowering(*this);
  std::vector<ir::NodeId> outputs;
  outputs.reserve(outputs_.size());
  for (CanonExprId id : outputs_) {
    auto node = lowering.lower_expr(id);
    if (!node) return unexpected(std::move(node).error());
    outputs.push_back(*node);
  }
  auto dag = ir::TypedDag::try_new(lowering.take_nodes(), lowering.take_dtypes(), signature_, std::move(outputs));
  if (!dag) return unexpected(CanonLowerError{CanonLowerError::Dag{dag.error()}});
  return std::move(*dag);
}

}  // namespace morvalen::diff
