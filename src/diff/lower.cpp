#include "diff/lower.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "ir/dag.h"
#include "ir/node.h"
#include "support/internal_error.h"
#include "support/kept.h"

namespace morvalen::diff {
namespace {

struct DeclaredParam {
  std::size_t index = 0;
  ir::DType dtype;
};

struct Frame {
  CanonExprId id;
  std::size_t next = 0;
};

// The working lists of one lowering, kept per thread between calls (see
// `support::Kept`).
struct LoweringScratch {
  // Per expression: its node's id, or kNotLowered, or kInProgress while its
  // operands are being lowered. Node ids stay below both: a lowering appends
  // at most one node per expression, and a builder holds fewer than 2^32 - 2.
  std::vector<std::uint32_t> node_of;
  std::vector<Frame> stack;
  // The signature's names in name order; a repeated name keeps its later
  // entry, which comes last among its equals.
  std::vector<std::pair<std::string_view, DeclaredParam>> params;
  void clear() {
    node_of.clear();
    stack.clear();
    params.clear();
  }
  std::size_t capacity() const {
    return node_of.capacity() * sizeof(std::uint32_t) + stack.capacity() * sizeof(Frame) +
           params.capacity() * sizeof(params.front());
  }
};
struct KeptLoweringTag {};
using KeptLoweringScratch = support::Kept<LoweringScratch, KeptLoweringTag, std::size_t{1} << 16>;

constexpr std::uint32_t kNotLowered = 0xffffffffU;
constexpr std::uint32_t kInProgress = 0xfffffffeU;

// The working state of one lowering: the node and dtype tables under
// construction, the expression-to-node memo and the walk's stack.
class CanonLowering {
 public:
  explicit CanonLowering(const CanonFunction& function) : function_(function) {
    node_of_.assign(function.exprs().size(), kNotLowered);
    const auto& signature = function.signature();
    for (std::size_t i = 0; i < signature.size(); ++i) {
      params_.emplace_back(signature[i].name, DeclaredParam{i, signature[i].dtype});
    }
    // By name, then by position (the order a stable sort would keep, without
    // its buffer).
    std::sort(params_.begin(), params_.end(), [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first < b.first : a.second.index < b.second.index;
    });
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
      node_of_[done.value] = static_cast<std::uint32_t>(append(function_.exprs()[done.value]).value);
    }
    return lowered(root);
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

  // Both are asked at every step of the walk, so the kinds are tested in turn
  // (binary expressions first) rather than visited.
  static std::size_t operand_count(const CanonExpr& expr) {
    if (std::holds_alternative<canon::Binary>(expr)) return 2;
    if (std::holds_alternative<canon::Unary>(expr) || std::holds_alternative<canon::Cast>(expr)) return 1;
    if (const auto* c = std::get_if<canon::Call>(&expr)) return c->args.size();
    if (std::holds_alternative<canon::Select>(expr)) return 3;
    return 0;
  }

  static CanonExprId operand_at(const CanonExpr& expr, std::size_t k) {
    if (const auto* b = std::get_if<canon::Binary>(&expr)) return k == 0 ? b->left : b->right;
    if (const auto* u = std::get_if<canon::Unary>(&expr)) return u->operand;
    if (const auto* c = std::get_if<canon::Cast>(&expr)) return c->operand;
    if (const auto* c = std::get_if<canon::Call>(&expr)) return c->args[k];
    if (const auto* s = std::get_if<canon::Select>(&expr)) {
      return k == 0 ? s->cond : (k == 1 ? s->then_branch : s->else_branch);
    }
    throw InternalError("canonical lowering: leaf expression has no operands");
  }

  // Starts lowering `id`: nothing to do when it is already lowered; leaves are
  // appended at once; other expressions are checked and pushed so that their
  // operands are lowered first.
  [[nodiscard]] std::optional<CanonLowerError> enter(CanonExprId id) {
    if (id.value >= function_.exprs().size()) return CanonLowerError{CanonLowerError::InvalidId{id}};
    const std::uint32_t node = node_of_[id.value];
    // A function assembled by hand may refer back to an expression still being
    // lowered; that id cannot be lowered and is reported as invalid.
    if (node == kInProgress) return CanonLowerError{CanonLowerError::InvalidId{id}};
    if (node != kNotLowered) return std::nullopt;
    const CanonExpr& expr = function_.exprs()[id.value];
    if (const auto* p = std::get_if<canon::Parameter>(&expr)) {
      const DeclaredParam* declared = find_param(p->name);
      if (declared == nullptr) return CanonLowerError{CanonLowerError::MissingParameter{p->name}};
      if (!(declared->dtype == p->dtype)) {
        return CanonLowerError{CanonLowerError::ParameterDtypeMismatch{p->name, p->dtype, declared->dtype}};
      }
    } else if (const auto* c = std::get_if<canon::Call>(&expr)) {
      if (!ir::parse_builtin(c->name)) return CanonLowerError{CanonLowerError::UnknownBuiltin{c->name}};
      if (c->args.size() != 1) return CanonLowerError{CanonLowerError::ArityMismatch{c->name, 1, c->args.size()}};
    }
    if (operand_count(expr) == 0) {
      node_of_[id.value] = static_cast<std::uint32_t>(append(expr).value);
      return std::nullopt;
    }
    node_of_[id.value] = kInProgress;
    stack_.push_back(Frame{id, 0});
    return std::nullopt;
  }

  ir::NodeId lowered(CanonExprId id) const { return ir::NodeId{node_of_[id.value]}; }

  const DeclaredParam* find_param(std::string_view name) const {
    auto after = std::upper_bound(params_.begin(), params_.end(), name,
                                  [](std::string_view n, const auto& entry) { return n < entry.first; });
    if (after == params_.begin() || std::prev(after)->first != name) return nullptr;
    return &std::prev(after)->second;
  }

  // Appends the node of an expression whose operands are lowered and checked.
  ir::NodeId append(const CanonExpr& expr) {
    return std::visit(
        [&](const auto& e) -> ir::NodeId {
          using T = std::decay_t<decltype(e)>;
          if constexpr (std::is_same_v<T, canon::Parameter>) {
            return push(ir::Param{find_param(e.name)->index}, e.dtype);
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
  KeptLoweringScratch scratch_;
  std::vector<std::uint32_t>& node_of_ = scratch_.value.node_of;
  std::vector<Frame>& stack_ = scratch_.value.stack;
  std::vector<std::pair<std::string_view, DeclaredParam>>& params_ = scratch_.value.params;
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
