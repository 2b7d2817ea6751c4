#include "opt/restore.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "ir/const_conv.h"
#include "ir/node.h"
#include "ir/ops.h"
#include "support/kept.h"

namespace morvalen::opt {
namespace {

using ir::DType;
using Slot = std::optional<DType>;

constexpr std::string_view kExplicitPrefix = "explicit:";

// Arithmetic takes the promoted dtype of its operands; comparisons and logic
// give bool.
bool is_arithmetic(MathKind kind) {
  std::optional<ir::BinaryOp> op = ir::binary_op_of(kind);
  return op && !ir::is_comparison(*op) && !ir::is_logical(*op);
}
bool is_comparison(MathKind kind) {
  std::optional<ir::BinaryOp> op = ir::binary_op_of(kind);
  return op && ir::is_comparison(*op);
}
bool is_unary_builtin(MathKind kind) { return ir::builtin_of(kind).has_value(); }

// The label of a promotion diagnostic: "restore:" and the variant's name,
// spelled once per process.
std::string_view restore_label(MathKind kind) {
  static const std::array<std::string, kMathKindCount> labels = [] {
    std::array<std::string, kMathKindCount> out;
    for (std::size_t k = 0; k < kMathKindCount; ++k)
      out[k] = "restore:" + std::string(kind_name(static_cast<MathKind>(k)));
    return out;
  }();
  return labels[static_cast<std::size_t>(kind)];
}

// The working lists of `Slots`, kept per thread (see `support::Kept`) so that
// restoring a small term does not allocate them again.
struct SlotStorage {
  std::vector<Slot> slots;
  std::vector<std::uint32_t> users_start;
  std::vector<std::uint32_t> users;
  std::vector<std::uint32_t> fill_at;
  std::vector<std::uint32_t> now;
  std::vector<std::uint32_t> next;
  std::vector<char> queued_now;
  std::vector<char> queued_next;
  // Not used by `Slots`: the DAG node built for each term node (see `Builder`).
  std::vector<std::optional<ir::NodeId>> built;

  void clear() {
    slots.clear();
    users_start.clear();
    users.clear();
    fill_at.clear();
    now.clear();
    next.clear();
    queued_now.clear();
    queued_next.clear();
    built.clear();
  }

  /// In bytes: a term that made the lists larger than `KeptSlots` keeps does not
  /// pin them for good.
  std::size_t capacity() const {
    return slots.capacity() * sizeof(Slot) +
           (users_start.capacity() + users.capacity() + fill_at.capacity() + now.capacity() + next.capacity()) *
               sizeof(std::uint32_t) +
           queued_now.capacity() + queued_next.capacity() + built.capacity() * sizeof(std::optional<ir::NodeId>);
  }
};

struct KeptSlotsTag {};
using KeptSlots = support::Kept<SlotStorage, KeptSlotsTag, std::size_t{1} << 16>;

OptError invalid_node(std::size_t index, const MathLang& node) {
  return OptError::invalid_expr("invalid node #" + std::to_string(index) + ": " + node.to_string());
}

std::optional<DType> promote_opt(DType a, DType b) {
  auto promoted = ir::promote(a, b);
  if (!promoted.has_value()) return std::nullopt;
  return *promoted;
}

// Type slots of the term nodes. Only absent slots are ever written.
//
// Propagation is defined as whole sweeps from the last node to the first,
// repeated until a sweep assigns nothing. Evaluating a node reads and writes
// only its own slot and its operands' slots, and re-evaluating it when none of
// those changed assigns nothing. So instead of visiting every node in every
// sweep, the slots keep the nodes whose inputs changed: a node still ahead in
// the current sweep (a lower position) is visited in this sweep, any other in
// the next one. The assignments, and their order, are those of full sweeps,
// while the work stays proportional to the number of operand references
// instead of growing with the depth of the term.
class Slots {
 public:
  Slots(const RecExpr& expr, SlotStorage& storage)
      : slots_(storage.slots),
        users_start_(storage.users_start),
        users_(storage.users),
        now_(storage.now),
        next_(storage.next),
        queued_now_(storage.queued_now),
        queued_next_(storage.queued_next) {
    slots_.assign(expr.size(), std::nullopt);
    users_start_.assign(expr.size() + 1, 0);
    now_.clear();
    next_.clear();
    const auto& nodes = expr.nodes();
    for (const MathLang& node : nodes)
      for (Id c : node.children()) ++users_start_[c.value + 1];
    for (std::size_t i = 0; i < nodes.size(); ++i) users_start_[i + 1] += users_start_[i];
    users_.resize(users_start_.back());
    std::vector<std::uint32_t>& fill_at = storage.fill_at;
    fill_at.assign(users_start_.begin(), users_start_.end() - 1);
    for (std::size_t i = 0; i < nodes.size(); ++i)
      for (Id c : nodes[i].children()) users_[fill_at[c.value]++] = static_cast<std::uint32_t>(i);
    queued_now_.assign(nodes.size(), 0);
    queued_next_.assign(nodes.size(), 0);
  }

  const Slot& operator[](Id id) const { return slots_[id.value]; }
  bool known(Id id) const { return slots_[id.value].has_value(); }

  void fill(Id id, DType dtype) {
    if (slots_[id.value].has_value()) return;
    slots_[id.value] = dtype;
    if (!sweeping_) return;
    schedule(id.value);
    for (std::uint32_t k = users_start_[id.value]; k < users_start_[id.value + 1]; ++k) schedule(users_[k]);
  }
  void fill(Id id, const Slot& dtype) {
    if (dtype.has_value()) fill(id, *dtype);
  }

  /// Runs the sweeps to their fixed point, calling `visit(position)` for each
  /// node evaluated, in sweep order.
  template <typename Visit>
  void sweep(Visit&& visit) {
    const auto n = static_cast<std::uint32_t>(slots_.size());
    sweeping_ = true;
    // The first sweep visits every node, from the last to the first. No node
    // can join it, since all are queued until visited, so it needs no heap.
    next_.clear();
    std::fill(queued_now_.begin(), queued_now_.end(), 1);
    for (std::uint32_t i = n; i-- > 0;) {
      cursor_ = i;
      queued_now_[i] = 0;
      visit(i);
    }
    while (!next_.empty()) {
      now_.swap(next_);
      next_.clear();
      for (std::uint32_t i : now_) {
        queued_next_[i] = 0;
        queued_now_[i] = 1;
      }
      std::make_heap(now_.begin(), now_.end());
      cursor_ = n;
      while (!now_.empty()) {
        std::pop_heap(now_.begin(), now_.end());
        cursor_ = now_.back();
        now_.pop_back();
        queued_now_[cursor_] = 0;
        visit(cursor_);
      }
    }
    sweeping_ = false;
  }

  const std::vector<Slot>& all() const { return slots_; }

 private:
  void schedule(std::uint32_t i) {
    if (i < cursor_) {
      if (queued_now_[i]) return;
      queued_now_[i] = 1;
      now_.push_back(i);
      std::push_heap(now_.begin(), now_.end());
    } else if (!queued_next_[i]) {
      queued_next_[i] = 1;
      next_.push_back(i);
    }
  }

  std::vector<Slot>& slots_;
  // Users of each node (compressed rows): the nodes that read its slot.
  std::vector<std::uint32_t>& users_start_;
  std::vector<std::uint32_t>& users_;
  bool sweeping_ = false;
  std::uint32_t cursor_ = 0;
  std::vector<std::uint32_t>& now_;   // max-heap of the current sweep's pending nodes
  std::vector<std::uint32_t>& next_;  // pending nodes of the next sweep
  std::vector<char>& queued_now_;
  std::vector<char>& queued_next_;
};

void seed(const RecExpr& expr, const TypeMap& types, Slots& slots) {
  const auto& nodes = expr.nodes();
  if (!types.output_dtypes.empty())
    slots.fill(Id{static_cast<std::uint32_t>(nodes.size() - 1)}, types.output_dtypes[0]);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const MathLang& node = nodes[i];
    Id self{static_cast<std::uint32_t>(i)};
    if (slots.known(self)) continue;
    MathKind kind = node.kind();
    if (kind == MathKind::Bool || is_comparison(kind) || kind == MathKind::And || kind == MathKind::Or ||
        kind == MathKind::Not) {
      slots.fill(self, DType::boolean());
    } else if (kind == MathKind::Param) {
      const MathLang& child = expr[node.children()[0]];
      if (child.kind() != MathKind::Int) continue;
      std::int64_t v = child.int_value();
      if (v >= 0 && static_cast<std::uint64_t>(v) < types.param_dtypes.size())
        slots.fill(self, types.param_dtypes[static_cast<std::size_t>(v)]);
    } else if (kind == MathKind::TypeToken) {
      if (auto token = parse_cast_token(node.token().text())) slots.fill(self, token->dtype);
    }
  }
}

// The propagation rules of one node, as applied at its turn in a sweep.
void propagate(const MathLang& node, Id self, Slots& slots) {
  MathKind kind = node.kind();
  auto ch = node.children();
  if (kind == MathKind::Complex) {
    if (slots.known(self) && slots[self]->is_complex()) {
      DType part = *slots[self] == DType::c64() ? DType::f32() : DType::f64();
      slots.fill(ch[0], part);
      slots.fill(ch[1], part);
    }
  } else if (kind == MathKind::Cast) {
    if (slots.known(ch[0])) slots.fill(self, slots[ch[0]]);
  } else if (is_arithmetic(kind)) {
    if (slots.known(self)) {
      slots.fill(ch[0], slots[self]);
      slots.fill(ch[1], slots[self]);
    }
    if (slots.known(ch[0]) != slots.known(ch[1])) {
      if (slots.known(ch[0])) {
        slots.fill(ch[1], slots[ch[0]]);
      } else {
        slots.fill(ch[0], slots[ch[1]]);
      }
    }
    if (slots.known(ch[0]) && slots.known(ch[1]) && !slots.known(self))
      slots.fill(self, promote_opt(*slots[ch[0]], *slots[ch[1]]));
  } else if (kind == MathKind::Neg || is_unary_builtin(kind)) {
    if (slots.known(self)) {
      slots.fill(ch[0], slots[self]);
    } else if (slots.known(ch[0])) {
      slots.fill(self, slots[ch[0]]);
    }
  } else if (is_comparison(kind)) {
    if (slots.known(ch[0]) != slots.known(ch[1])) {
      if (slots.known(ch[0])) {
        slots.fill(ch[1], slots[ch[0]]);
      } else {
        slots.fill(ch[0], slots[ch[1]]);
      }
    }
  } else if (kind == MathKind::And || kind == MathKind::Or) {
    slots.fill(ch[0], DType::boolean());
    slots.fill(ch[1], DType::boolean());
  } else if (kind == MathKind::IfElse) {
    slots.fill(ch[0], DType::boolean());
    if (slots.known(self)) {
      slots.fill(ch[1], slots[self]);
      slots.fill(ch[2], slots[self]);
    } else if (slots.known(ch[1]) && slots.known(ch[2])) {
      slots.fill(self, promote_opt(*slots[ch[1]], *slots[ch[2]]));
    }
  }
}

ir::Scalar int_scalar(std::int64_t v, DType t) {
  if (t.is_float()) return static_cast<double>(v);
  if (t.is_complex()) return ir::ComplexValue{static_cast<double>(v), 0.0};
  if (t.is_bool()) return v != 0;
  return v;
}

ir::Scalar num_scalar(double x, DType t) {
  if (t.is_integer()) return ir::f64_to_i64_saturating(x);
  if (t.is_bool()) return x != 0.0;
  if (t.is_complex()) return ir::ComplexValue{x, 0.0};
  return x;
}

// Builds the DAG nodes in term order; `map` holds the DAG node of every term
// node built so far (type tokens and failures build nothing).
class Builder {
 public:
  Builder(const RecExpr& expr, const std::vector<Slot>& slots, const std::vector<ir::ParamDecl>& params,
          std::vector<std::optional<ir::NodeId>>& map)
      : expr_(expr), slots_(slots), params_(params), map_(map) {
    map_.assign(expr.size(), std::nullopt);
  }

  Result<void, OptError> build_all() {
    for (std::size_t i = 0; i < expr_.size(); ++i) MORVALEN_TRY_VOID(build(i));
    return {};
  }

  std::optional<ir::NodeId> mapped(std::size_t i) const { return map_[i]; }
  ir::DagBuilder take_dag() { return std::move(dag_); }
  std::vector<diag::Diag> take_diags() { return std::move(diags_); }

 private:
  DType dtype(ir::NodeId id) const { return dag_.dtype(id); }

  // The DAG node of an operand, when it precedes the node being built and was built.
  std::optional<ir::NodeId> operand(std::size_t i, Id child) const {
    if (child.value >= i) return std::nullopt;
    return map_[child.value];
  }

  Result<void, OptError> build(std::size_t i) {
    const MathLang& node = expr_.nodes()[i];
    const Slot& slot = slots_[i];
    auto ch = node.children();
    auto put = [&](ir::Node n, DType t) -> Result<void, OptError> {
      map_[i] = dag_.push(std::move(n), t);
      return {};
    };
    auto fail = [&]() -> Result<void, OptError> { return unexpected(invalid_node(i, node)); };

    std::optional<ir::NodeId> a, b, c;
    if (!ch.empty() && node.kind() != MathKind::Complex && node.kind() != MathKind::Param &&
        node.kind() != MathKind::Cast) {
      a = operand(i, ch[0]);
      if (!a) return fail();
      if (ch.size() > 1 && !(b = operand(i, ch[1]))) return fail();
      if (ch.size() > 2 && !(c = operand(i, ch[2]))) return fail();
    }

    switch (node.kind()) {
      case MathKind::Bool:
        return put(ir::Const{node.bool_value()}, DType::boolean());
      case MathKind::Int: {
        DType t = slot.value_or(DType::i64());
        return put(ir::Const{int_scalar(node.int_value(), t)}, t);
      }
      case MathKind::Num: {
        DType t = slot.value_or(DType::f64());
        return put(ir::Const{num_scalar(node.num_value(), t)}, t);
      }
      case MathKind::Complex: {
        if (ch[0].value >= i || ch[1].value >= i) return fail();
        const MathLang& re = expr_[ch[0]];
        const MathLang& im = expr_[ch[1]];
        if (re.kind() != MathKind::Num || im.kind() != MathKind::Num) return fail();
        if (slot.has_value() && !slot->is_complex()) return fail();
        return put(ir::Const{ir::ComplexValue{re.num_value(), im.num_value()}}, slot.value_or(DType::c128()));
      }
      case MathKind::Param: {
        if (ch[0].value >= i) return fail();
        const MathLang& index = expr_[ch[0]];
        if (index.kind() != MathKind::Int) return fail();
        std::int64_t v = index.int_value();
        if (v < 0 || static_cast<std::uint64_t>(v) >= params_.size()) return fail();
        auto k = static_cast<std::size_t>(v);
        return put(ir::Param{k}, params_[k].dtype);
      }
      case MathKind::TypeToken:
        return {};
      case MathKind::Cast: {
        if (ch[0].value >= i) return fail();
        const MathLang& token = expr_[ch[0]];
        if (token.kind() != MathKind::TypeToken) return fail();
        auto target = parse_cast_token(token.token().text());
        auto arg = operand(i, ch[1]);
        if (!target || !arg) return fail();
        return put(ir::Cast{*arg, target->dtype, target->is_explicit}, target->dtype);
      }
      case MathKind::Neg:
        return put(ir::Unary{*a, ir::UnaryOp::Neg}, dtype(*a));
      case MathKind::Not:
        return put(ir::Unary{*a, ir::UnaryOp::Not}, DType::boolean());
      case MathKind::Add:
      case MathKind::Sub:
      case MathKind::Mul:
      case MathKind::Div:
      case MathKind::FloorDiv:
      case MathKind::Rem:
      case MathKind::Pow: {
        MORVALEN_TRY(t, try_promote(restore_label(node.kind()), dtype(*a), dtype(*b), i, node, diags_));
        return put(ir::Binary{*ir::binary_op_of(node.kind()), *a, *b}, t);
      }
      case MathKind::Eq:
      case MathKind::Ne:
      case MathKind::Lt:
      case MathKind::Le:
      case MathKind::Gt:
      case MathKind::Ge:
      case MathKind::And:
      case MathKind::Or:
        return put(ir::Binary{*ir::binary_op_of(node.kind()), *a, *b}, DType::boolean());
      case MathKind::IfElse: {
        MORVALEN_TRY(t, try_promote(restore_label(node.kind()), dtype(*b), dtype(*c), i, node, diags_));
        return put(ir::If{*a, *b, *c}, t);
      }
      case MathKind::Exp:
      case MathKind::Log:
      case MathKind::Sqrt:
      case MathKind::Abs:
      case MathKind::Sin:
      case MathKind::Cos:
      case MathKind::Tanh:
      case MathKind::Sigmoid:
      case MathKind::Relu:
      case MathKind::Softplus:
      case MathKind::Floor:
      case MathKind::Ceil:
      case MathKind::FusedExpSigmoid:
      case MathKind::FusedSigmoidLog:
        return put(ir::Call{*ir::builtin_of(node.kind()), {*a}}, dtype(*a));
    }
    return fail();
  }

  const RecExpr& expr_;
  const std::vector<Slot>& slots_;
  const std::vector<ir::ParamDecl>& params_;
  std::vector<std::optional<ir::NodeId>>& map_;
  ir::DagBuilder dag_;
  std::vector<diag::Diag> diags_;
};

}  // namespace

std::optional<CastToken> parse_cast_token(std::string_view text) {
  bool is_explicit = text.starts_with(kExplicitPrefix);
  std::string_view name = is_explicit ? text.substr(kExplicitPrefix.size()) : text;
  auto dtype = ir::parse_dtype(name);
  if (!dtype.has_value()) return std::nullopt;
  return CastToken{*dtype, is_explicit};
}

Result<ir::DType, OptError> try_promote(std::string_view label, ir::DType a, ir::DType b, std::size_t index,
                                        const MathLang& node, std::vector<diag::Diag>& diags) {
  auto promoted = ir::promote(a, b);
  if (!promoted.has_value()) return unexpected(invalid_node(index, node));
  DType p = *promoted;
  if (p == a && p == b) return p;
  std::string message = "implicit promotion in ";
  message += label;
  message += " at node#" + std::to_string(index) + ": ";
  message += ir::to_str(a);
  message += " + ";
  message += ir::to_str(b);
  message += " -> ";
  message += ir::to_str(p);
  diags.push_back(diag::Diag::make(diag::DiagKind::RestorePromotion, std::nullopt, std::move(message)));
  return p;
}

Result<RestoreResult, OptError> restore_types_with_info(const RecExpr& expr, const TypeMap& types,
                                                        const std::vector<ir::ParamDecl>& params) {
  const std::size_t n = expr.size();
  if (n == 0) return unexpected(OptError::invalid_expr("cannot restore empty expression"));

  KeptSlots storage;
  Slots slots(expr, storage.value);
  seed(expr, types, slots);
  // Sweeps run from the root towards the leaves, so that dtypes known at a
  // user reach its operands within one sweep.
  slots.sweep([&](std::uint32_t i) { propagate(expr.nodes()[i], Id{i}, slots); });

  Builder builder(expr, slots.all(), params, storage.value.built);
  MORVALEN_TRY_VOID(builder.build_all());
  auto root = builder.mapped(n - 1);
  if (!root) return unexpected(invalid_node(n - 1, expr.nodes()[n - 1]));

  auto typed = builder.take_dag().try_finish(params, {*root});
  if (!typed.has_value())
    return unexpected(OptError::invalid_expr("restored TypedDag invalid: " + typed.error().to_string()));
  return RestoreResult{std::move(typed).value(), builder.take_diags()};
}

}  // namespace morvalen::opt
