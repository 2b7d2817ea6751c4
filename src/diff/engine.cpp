#include "diff/engine.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "support/internal_error.h"

namespace morvalen::diff {
namespace {

DiffError invariant(std::string text) { return DiffError{DiffError::Invariant{std::move(text)}}; }

DiffError builder_failed(const CanonBuildError& error) {
  return invariant("canonical builder failed: " + error.to_string());
}

// One half of a dtype for the derivative of sqrt; integer (and bool) dtypes
// have no half and use the Int constant 0.
Literal half_of(ir::DType t) {
  if (t.is_float()) return literal::Float{0.5};
  if (t.is_complex()) return literal::Complex{0.5, 0.0};
  return literal::Int{0};
}

Literal literal_of(const ir::Scalar& s) {
  return std::visit(
      [](const auto& v) -> Literal {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return literal::Bool{v};
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return literal::Int{v};
        } else if constexpr (std::is_same_v<T, double>) {
          return literal::Float{v};
        } else {
          return literal::Complex{v.re, v.im};
        }
      },
      s);
}

// A constant equal to zero: Bool false, Int 0, or a Float or Complex zero of
// either sign.
bool is_zero_constant(const CanonExpr& expr) {
  const auto* constant = std::get_if<canon::Constant>(&expr);
  if (constant == nullptr) return false;
  if (const auto* b = std::get_if<literal::Bool>(&constant->value)) return !b->value;
  if (const auto* i = std::get_if<literal::Int>(&constant->value)) return i->value == 0;
  if (const auto* f = std::get_if<literal::Float>(&constant->value)) return f->value == 0.0;
  if (const auto* z = std::get_if<literal::Complex>(&constant->value)) return z->re == 0.0 && z->im == 0.0;
  return false;
}

// For each node, whether a path through its operands leads to a `Param` node of
// parameter `index`. Operands precede their users, so one forward pass settles
// every node. An operand that does not precede its user (no valid DAG has one)
// counts as leading there, so that such a node keeps what its rule builds.
void nodes_reaching_param(const ir::TypedDag& dag, std::size_t index, std::vector<std::uint8_t>& reaches) {
  reaches.assign(dag.size(), 0);
  for (std::size_t k = 0; k < dag.size(); ++k) {
    const auto via = [&](ir::NodeId operand) { return operand.value >= k || reaches[operand.value]; };
    reaches[k] = std::visit(
        [&](const auto& n) -> bool {
          using T = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<T, ir::Param>) {
            return n.index == index;
          } else if constexpr (std::is_same_v<T, ir::Const>) {
            return false;
          } else if constexpr (std::is_same_v<T, ir::Binary>) {
            return via(n.lhs) || via(n.rhs);
          } else if constexpr (std::is_same_v<T, ir::If>) {
            return via(n.cond) || via(n.then_branch) || via(n.else_branch);
          } else if constexpr (std::is_same_v<T, ir::Call>) {
            return std::any_of(n.args.begin(), n.args.end(), via);
          } else {
            static_assert(std::is_same_v<T, ir::Unary> || std::is_same_v<T, ir::Cast>);
            return via(n.arg);
          }
        },
        dag.nodes()[k]);
  }
}

}  // namespace

TypedDagDifferentiator::TypedDagDifferentiator(ir::TypedDag&& dag) : TypedDagDifferentiator(dag) {
  owned_dag_ = std::move(dag);
  dag_ = &*owned_dag_;
}

TypedDagDifferentiator::TypedDagDifferentiator(const ir::TypedDag& dag)
    : dag_(&dag), builder_(InternedCanonExprBuilder::kMaxExprs - 1) {
  memo_.assign(dag.size(), Memo{});
  // A derivative takes from about as many to about one and a half times as
  // many expressions as the DAG has nodes (shared subexpressions and folded
  // terms make up for the primal and the derivative of each). Reserving no
  // more keeps the intern set small enough to stay in cache longer.
  builder_.reserve(dag.size() + dag.size() / 2);
}

Result<CanonFunction, DiffError> TypedDagDifferentiator::differentiate(std::string_view variable) {
  if (used_) throw InternalError("TypedDagDifferentiator::differentiate called twice");
  used_ = true;

  const auto& params = dag_->params();
  std::optional<std::size_t> found;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (params[i].name == variable) {
      found = i;
      break;
    }
  }
  if (!found) return unexpected(DiffError{DiffError::UnknownVariable{std::string(variable)}});
  const ir::DType param_dtype = params[*found].dtype;
  if (!param_dtype.is_float()) {
    return unexpected(DiffError{DiffError::NonFloatParameter{std::string(variable), param_dtype}});
  }
  param_index_ = *found;
  if (dag_->outputs().size() != 1) return unexpected(DiffError{DiffError::TupleOutput{}});
  nodes_reaching_param(*dag_, *found, reaches_param_);

  const Built d = evaluate(Want::Derivative, dag_->outputs().front());
  if (!d) return unexpected(take_error());
  CanonExprId result = *d;
  const CanonExpr& expr = builder_.expr(result);
  const auto* constant = std::get_if<canon::Constant>(&expr);
  const bool is_e_or_pi = constant != nullptr && (std::holds_alternative<literal::E>(constant->value) ||
                                                  std::holds_alternative<literal::Pi>(constant->value));
  if (auto own = expr_dtype(expr); own && !is_e_or_pi && !(*own == param_dtype)) {
    const Built cast = lift(builder_.cast_with_explicit(result, param_dtype, false));
    if (!cast) return unexpected(take_error());
    result = *cast;
  }
  // The walk is over: working lists too large to be kept for the next call
  // are freed now rather than while the caller lowers the result.
  if (scratch_.value.capacity() > kKeptScratchBytes) scratch_.value = Scratch{};
  auto finished = std::move(builder_).finish(params, {result});
  if (!finished) return unexpected(builder_failed(finished.error()));
  return std::move(*finished);
}

void TypedDagDifferentiator::node_out_of_range(ir::NodeId node) {
  throw InternalError("differentiation: node id " + std::to_string(node.value) + " out of range");
}

TypedDagDifferentiator::Built TypedDagDifferentiator::evaluate(Want want, ir::NodeId root) {
  if (const std::uint32_t known = memo(want, root); known != kAbsent) return CanonExprId{known};
  std::vector<Task>& tasks = tasks_;
  tasks.clear();
  tasks.push_back(Task{root, want, 0});
  while (true) {
    Task& task = tasks.back();
    if (task.next == 0 && task.want == Want::Derivative) {
      // Checked before any operand is built.
      if (const auto* call = std::get_if<ir::Call>(&dag_->node(task.node)); call != nullptr && call->args.size() != 1) {
        return fail(DiffError{DiffError::UnsupportedCall{std::string(ir::to_str(call->builtin))}});
      }
    }
    bool descended = false;
    while (const std::optional<Dependency> dep = dependency(task)) {
      ++task.next;
      if (memo(dep->want, dep->node) == kAbsent) {
        tasks.push_back(Task{dep->node, dep->want, 0});
        descended = true;
        break;
      }
    }
    if (descended) continue;
    const Task done = task;
    tasks.pop_back();
    const Built built =
        done.want == Want::Primal ? primal_from_operands(done.node) : derivative_from_operands(done.node);
    if (!built) return built;
    memo(done.want, done.node) = built->value;
    if (tasks.empty()) return built;
  }
}

// Asked once per dependency and once more per node, so the node kinds are
// tested in turn (binary nodes first) and the `index`-th dependency is picked
// out directly rather than from a list built on every call.
std::optional<TypedDagDifferentiator::Dependency> TypedDagDifferentiator::dependency(const Task& task) const {
  const std::uint32_t i = task.next;
  constexpr Want P = Want::Primal;
  constexpr Want D = Want::Derivative;
  const ir::Node& node = dag_->node(task.node);
  if (const auto* n = std::get_if<ir::Binary>(&node)) {
    const auto side = [n](std::uint32_t k) { return k % 2 == 0 ? n->lhs : n->rhs; };
    if (task.want == P) return i < 2 ? std::optional<Dependency>(Dependency{P, side(i)}) : std::nullopt;
    switch (n->op) {
      case ir::BinaryOp::Add:
      case ir::BinaryOp::Sub:
        return i < 2 ? std::optional<Dependency>(Dependency{D, side(i)}) : std::nullopt;
      case ir::BinaryOp::Mul:
      case ir::BinaryOp::Div:
      case ir::BinaryOp::Rem:
      case ir::BinaryOp::Pow:
        if (i >= 4) return std::nullopt;
        return Dependency{i < 2 ? P : D, side(i)};
      default:
        return std::nullopt;
    }
  }
  if (const auto* n = std::get_if<ir::Unary>(&node)) {
    if (i >= 1) return std::nullopt;
    if (task.want == P) return Dependency{P, n->arg};
    return n->op == ir::UnaryOp::Neg ? std::optional<Dependency>(Dependency{D, n->arg}) : std::nullopt;
  }
  if (const auto* n = std::get_if<ir::Call>(&node)) {
    if (task.want == P) {
      if (i >= n->args.size()) return std::nullopt;
      return Dependency{P, n->args[i]};
    }
    // The argument's derivative first, then its primal.
    if (i >= 2) return std::nullopt;
    return Dependency{i == 0 ? D : P, n->args.front()};
  }
  if (const auto* n = std::get_if<ir::If>(&node)) {
    if (i >= 3) return std::nullopt;
    if (i == 0) return Dependency{P, n->cond};
    return Dependency{task.want, i == 1 ? n->then_branch : n->else_branch};
  }
  if (const auto* n = std::get_if<ir::Cast>(&node)) {
    if (i >= 1) return std::nullopt;
    return Dependency{task.want, n->arg};
  }
  static_assert(std::variant_size_v<ir::Node> == 7, "every node kind with operands is handled above");
  return std::nullopt;
}

TypedDagDifferentiator::Built TypedDagDifferentiator::primal_from_operands(ir::NodeId node) {
  const ir::DType t = dag_->dtype(node);
  auto of = [this](ir::NodeId operand) { return primal_of(operand); };
  return std::visit(
      [&](const auto& n) -> Built {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, ir::Param>) {
          const auto& params = dag_->params();
          if (n.index >= params.size()) return fail(invariant("invalid param id " + std::to_string(n.index)));
          const ir::ParamDecl& decl = params[n.index];
          if (!(decl.dtype == t)) {
            return fail(invariant("param `" + decl.name + "` dtype mismatch: node uses " + std::string(ir::to_str(t)) +
                                  ", signature uses " + std::string(ir::to_str(decl.dtype))));
          }
          return lift(builder_.parameter(decl.name, t));
        } else if constexpr (std::is_same_v<T, ir::Const>) {
          return lift(builder_.intern_constant(literal_of(n.value), t));
        } else if constexpr (std::is_same_v<T, ir::Unary>) {
          return lift(builder_.unary(n.op, of(n.arg), t));
        } else if constexpr (std::is_same_v<T, ir::Binary>) {
          return lift(builder_.binary(n.op, of(n.lhs), of(n.rhs), t));
        } else if constexpr (std::is_same_v<T, ir::If>) {
          return lift(builder_.select(of(n.cond), of(n.then_branch), of(n.else_branch), t));
        } else if constexpr (std::is_same_v<T, ir::Call>) {
          call_args_.clear();
          for (ir::NodeId arg : n.args) call_args_.push_back(of(arg));
          return lift(builder_.call(ir::to_str(n.builtin), call_args_, t));
        } else {
          return lift(builder_.cast_with_explicit(of(n.arg), n.dtype, n.is_explicit));
        }
      },
      dag_->node(node));
}

TypedDagDifferentiator::Built TypedDagDifferentiator::derivative_from_operands(ir::NodeId node) {
  const ir::DType t = dag_->dtype(node);
  auto d_of = [this](ir::NodeId operand) { return derivative_of(operand); };
  Built r = std::visit(
      [&](const auto& n) -> Built {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, ir::Param>) {
          return param_index_ == n.index ? one(t) : zero(t);
        } else if constexpr (std::is_same_v<T, ir::Const>) {
          return zero(t);
        } else if constexpr (std::is_same_v<T, ir::Unary>) {
          switch (n.op) {
            case ir::UnaryOp::Neg:
              return neg(d_of(n.arg), t);
            case ir::UnaryOp::Not:
              return zero(t);
          }
          throw InternalError("differentiation: unknown unary operator");
        } else if constexpr (std::is_same_v<T, ir::Binary>) {
          return derivative_binary(n.op, n.lhs, n.rhs, t);
        } else if constexpr (std::is_same_v<T, ir::If>) {
          return select(primal_of(n.cond), d_of(n.then_branch), d_of(n.else_branch), t);
        } else if constexpr (std::is_same_v<T, ir::Call>) {
          const ir::NodeId arg = n.args.front();
          return builtin_rule(n.builtin, primal_of(arg), d_of(arg), t);
        } else {
          return d_of(n.arg);
        }
      },
      dag_->node(node));
  // A node that does not lead to the parameter has derivative zero. Its rule
  // still runs, so that it visits and checks the nodes it always did, but what
  // it built may be zero in value only (0 / v, a select of 0 and -0, or NaN
  // from inf * 0), so the zero itself takes its place.
  if (r && !reaches_param_[node.value]) r = zero(t);
  return r;
}

TypedDagDifferentiator::Built TypedDagDifferentiator::derivative_binary(ir::BinaryOp op, ir::NodeId left,
                                                                        ir::NodeId right, ir::DType t) {
  switch (op) {
    case ir::BinaryOp::Add:
    case ir::BinaryOp::Sub:
      return lift(builder_.binary(op, derivative_of(left), derivative_of(right), t));
    case ir::BinaryOp::FloorDiv:
    case ir::BinaryOp::Eq:
    case ir::BinaryOp::Ne:
    case ir::BinaryOp::Lt:
    case ir::BinaryOp::Le:
    case ir::BinaryOp::Gt:
    case ir::BinaryOp::Ge:
    case ir::BinaryOp::And:
    case ir::BinaryOp::Or:
      return zero(t);
    case ir::BinaryOp::Mul:
    case ir::BinaryOp::Div:
    case ir::BinaryOp::Rem:
    case ir::BinaryOp::Pow:
      break;
  }
  const Pair pair{primal_of(left), primal_of(right), derivative_of(left), derivative_of(right)};
  return binary_rule(op, pair, t);
}

TypedDagDifferentiator::Built TypedDagDifferentiator::binary_rule(ir::BinaryOp op, const Pair& pair, ir::DType t) {
  const auto [u, v, du, dv] = pair;
  switch (op) {
    case ir::BinaryOp::Mul: {
      MORVALEN_TRY(du_v, mul(du, v, t));
      MORVALEN_TRY(u_dv, mul(u, dv, t));
      return add(du_v, u_dv, t);
    }
    case ir::BinaryOp::Div: {
      MORVALEN_TRY(du_v, mul(du, v, t));
      MORVALEN_TRY(u_dv, mul(u, dv, t));
      MORVALEN_TRY(numerator, sub(du_v, u_dv, t));
      MORVALEN_TRY(v_v, mul(v, v, t));
      return div(numerator, v_v, t);
    }
    case ir::BinaryOp::Rem: {
      MORVALEN_TRY(quotient, lift(builder_.binary(ir::BinaryOp::FloorDiv, u, v, t)));
      MORVALEN_TRY(scaled, mul(quotient, dv, t));
      return sub(du, scaled, t);
    }
    case ir::BinaryOp::Pow: {
      MORVALEN_TRY(one_t, one(t));
      MORVALEN_TRY(v_minus_one, sub(v, one_t, t));
      MORVALEN_TRY(u_pow_vm1, pow(u, v_minus_one, t));
      MORVALEN_TRY(v_times, mul(v, u_pow_vm1, t));
      MORVALEN_TRY(base_term, mul(v_times, du, t));
      MORVALEN_TRY(u_pow_v, pow(u, v, t));
      MORVALEN_TRY(log_u, call_builtin1(ir::Builtin::Log, u, t));
      MORVALEN_TRY(u_pow_v_log, mul(u_pow_v, log_u, t));
      MORVALEN_TRY(exponent_term, mul(u_pow_v_log, dv, t));
      return add(base_term, exponent_term, t);
    }
    case ir::BinaryOp::Add:
    case ir::BinaryOp::Sub:
    case ir::BinaryOp::FloorDiv:
    case ir::BinaryOp::Eq:
    case ir::BinaryOp::Ne:
    case ir::BinaryOp::Lt:
    case ir::BinaryOp::Le:
    case ir::BinaryOp::Gt:
    case ir::BinaryOp::Ge:
    case ir::BinaryOp::And:
    case ir::BinaryOp::Or:
      break;
  }
  throw InternalError("differentiation: unexpected binary operator");
}

TypedDagDifferentiator::Built TypedDagDifferentiator::builtin_rule(ir::Builtin builtin, CanonExprId x, CanonExprId dx,
                                                                   ir::DType t) {
  switch (builtin) {
    case ir::Builtin::Exp: {
      MORVALEN_TRY(e, call_builtin1(ir::Builtin::Exp, x, t));
      return mul(e, dx, t);
    }
    case ir::Builtin::Log:
      return div(dx, x, t);
    case ir::Builtin::Sqrt: {
      MORVALEN_TRY(h, lift(builder_.intern_constant(half_of(t), t)));
      MORVALEN_TRY(root, call_builtin1(ir::Builtin::Sqrt, x, t));
      MORVALEN_TRY(q, div(h, root, t));
      return mul(q, dx, t);
    }
    case ir::Builtin::Abs: {
      MORVALEN_TRY(positive, gt_zero(x, t));
      MORVALEN_TRY(negative, lt_zero(x, t));
      MORVALEN_TRY(minus_dx, neg(dx, t));
      MORVALEN_TRY(zero_t, zero(t));
      MORVALEN_TRY(inner, select(negative, minus_dx, zero_t, t));
      return select(positive, dx, inner, t);
    }
    case ir::Builtin::Sin: {
      MORVALEN_TRY(c, call_builtin1(ir::Builtin::Cos, x, t));
      return mul(c, dx, t);
    }
    case ir::Builtin::Cos: {
      MORVALEN_TRY(s, call_builtin1(ir::Builtin::Sin, x, t));
      MORVALEN_TRY(minus_s, neg(s, t));
      return mul(minus_s, dx, t);
    }
    case ir::Builtin::Tanh: {
      MORVALEN_TRY(th, call_builtin1(ir::Builtin::Tanh, x, t));
      MORVALEN_TRY(one_t, one(t));
      MORVALEN_TRY(th2, mul(th, th, t));
      MORVALEN_TRY(d, sub(one_t, th2, t));
      return mul(d, dx, t);
    }
    case ir::Builtin::Sigmoid: {
      MORVALEN_TRY(s, call_builtin1(ir::Builtin::Sigmoid, x, t));
      MORVALEN_TRY(one_t, one(t));
      MORVALEN_TRY(rest, sub(one_t, s, t));
      MORVALEN_TRY(d, mul(s, rest, t));
      return mul(d, dx, t);
    }
    case ir::Builtin::Relu: {
      MORVALEN_TRY(positive, gt_zero(x, t));
      MORVALEN_TRY(zero_t, zero(t));
      return select(positive, dx, zero_t, t);
    }
    case ir::Builtin::Softplus: {
      MORVALEN_TRY(s, call_builtin1(ir::Builtin::Sigmoid, x, t));
      return mul(s, dx, t);
    }
    case ir::Builtin::Floor:
    case ir::Builtin::Ceil:
      return zero(t);
    case ir::Builtin::ExpSigmoid: {
      MORVALEN_TRY(es, call_builtin1(ir::Builtin::ExpSigmoid, x, t));
      MORVALEN_TRY(one_t, one(t));
      MORVALEN_TRY(rest, sub(one_t, es, t));
      MORVALEN_TRY(d, mul(es, rest, t));
      MORVALEN_TRY(e, call_builtin1(ir::Builtin::Exp, x, t));
      MORVALEN_TRY(de, mul(d, e, t));
      return mul(de, dx, t);
    }
    case ir::Builtin::SigmoidLog: {
      MORVALEN_TRY(one_t, one(t));
      MORVALEN_TRY(s, call_builtin1(ir::Builtin::Sigmoid, x, t));
      MORVALEN_TRY(d, sub(one_t, s, t));
      return mul(d, dx, t);
    }
  }
  throw InternalError("differentiation: unknown builtin");
}

TypedDagDifferentiator::Built TypedDagDifferentiator::fail(DiffError error) {
  error_ = std::move(error);
  return unexpected(ErrorPending{});
}

TypedDagDifferentiator::Built TypedDagDifferentiator::lift_failure(const CanonBuildError& error) {
  return fail(builder_failed(error));
}

DiffError TypedDagDifferentiator::take_error() {
  if (!error_) throw InternalError("differentiation failed without an error");
  DiffError error = std::move(*error_);
  error_.reset();
  return error;
}

TypedDagDifferentiator::Built TypedDagDifferentiator::add(CanonExprId a, CanonExprId b, ir::DType t) {
  return lift(builder_.binary(ir::BinaryOp::Add, a, b, t));
}
TypedDagDifferentiator::Built TypedDagDifferentiator::sub(CanonExprId a, CanonExprId b, ir::DType t) {
  return lift(builder_.binary(ir::BinaryOp::Sub, a, b, t));
}
TypedDagDifferentiator::Built TypedDagDifferentiator::mul(CanonExprId a, CanonExprId b, ir::DType t) {
  return lift(builder_.binary(ir::BinaryOp::Mul, a, b, t));
}
// Every quotient built here belongs to a derivative rule (primal quotients are
// built in `primal_uncached`). A zero numerator stands for a term that
// vanishes, so the quotient is zero even where its denominator is zero.
TypedDagDifferentiator::Built TypedDagDifferentiator::div(CanonExprId a, CanonExprId b, ir::DType t) {
  if (is_zero_constant(builder_.expr(a))) return zero(t);
  return lift(builder_.binary(ir::BinaryOp::Div, a, b, t));
}
TypedDagDifferentiator::Built TypedDagDifferentiator::pow(CanonExprId a, CanonExprId b, ir::DType t) {
  return lift(builder_.binary(ir::BinaryOp::Pow, a, b, t));
}
TypedDagDifferentiator::Built TypedDagDifferentiator::neg(CanonExprId a, ir::DType t) {
  return lift(builder_.unary(ir::UnaryOp::Neg, a, t));
}
TypedDagDifferentiator::Built TypedDagDifferentiator::select(CanonExprId cond, CanonExprId a, CanonExprId b,
                                                             ir::DType t) {
  return lift(builder_.select(cond, a, b, t));
}
TypedDagDifferentiator::Built TypedDagDifferentiator::one(ir::DType t) { return known_constant(ones_, one_literal, t); }
TypedDagDifferentiator::Built TypedDagDifferentiator::zero(ir::DType t) {
  return known_constant(zeros_, zero_literal, t);
}
TypedDagDifferentiator::Built TypedDagDifferentiator::known_constant(KnownConstants& known,
                                                                     Literal (*literal)(ir::DType), ir::DType t) {
  // Interning the same constant again would hand back the same id.
  for (const KnownConstant& k : known.entries) {
    if (k.id != kAbsent && k.dtype == t) return CanonExprId{k.id};
  }
  const Built built = lift(builder_.intern_constant(literal(t), t));
  if (built) {
    known.entries[known.next] = KnownConstant{t, built->value};
    known.next = (known.next + 1) % known.entries.size();
  }
  return built;
}
TypedDagDifferentiator::Built TypedDagDifferentiator::gt_zero(CanonExprId x, ir::DType t) {
  MORVALEN_TRY(z, zero(t));
  return lift(builder_.binary(ir::BinaryOp::Gt, x, z, ir::DType::boolean()));
}
TypedDagDifferentiator::Built TypedDagDifferentiator::lt_zero(CanonExprId x, ir::DType t) {
  MORVALEN_TRY(z, zero(t));
  return lift(builder_.binary(ir::BinaryOp::Lt, x, z, ir::DType::boolean()));
}
TypedDagDifferentiator::Built TypedDagDifferentiator::call_builtin1(ir::Builtin builtin, CanonExprId x, ir::DType t) {
  const CanonExprId args[1] = {x};
  return lift(builder_.call(ir::to_str(builtin), args, t));
}

}  // namespace morvalen::diff
