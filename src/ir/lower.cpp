#include "ir/lower.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <type_traits>

#include "diff/builder.h"
#include "diff/engine.h"
#include "diff/error.h"
#include "ir/error.h"
#include "ir/ops.h"
#include "support/internal_error.h"
#include "support/overloaded.h"
#include "support/stack.h"

namespace morvalen::ir {
namespace {

using diag::Diag;
using diag::DiagKind;

// ---------------------------------------------------------------------------
// The recursive walk.
//
// Its depth is the user's, so the frames that stay on the stack while it
// descends are kept small: the stop of the `DiagCollector` mode travels as one
// boxed pointer, the values of tuples and bindings go through a scratch buffer
// instead of a vector per node, and diagnostics are built and emitted in
// out-of-line helpers.

/// Lowering stopped at this diagnostic (only in the `DiagCollector` mode).
struct Stop {
  std::unique_ptr<Diag> diag;
};

template <typename T>
using Lowered = Result<T, Stop>;
using Done = Result<void, Stop>;

// Emits the diagnostic that `make` builds.
template <typename Make>
[[gnu::noinline]] Done report(Ctx& ctx, const Make& make) {
  if (auto stop = ctx.emit(make())) return unexpected(Stop{std::make_unique<Diag>(std::move(*stop))});
  return {};
}

// Emits the diagnostic that `make` builds and, unless lowering stops, yields a
// recovery constant of `recovery` in place of the failed form.
template <typename Make>
[[gnu::noinline]] Lowered<NodeId> fail(Ctx& ctx, DType recovery, const Make& make) {
  MORVALEN_TRY_VOID(report(ctx, make));
  return ctx.recovery_const(recovery);
}

// `report` for a diagnostic of `kind` that may be dropped unseen: then its
// text is never built.
template <typename Make>
Done report_kind(Ctx& ctx, DiagKind kind, const Make& make) {
  if (ctx.discards(kind)) return {};
  return report(ctx, make);
}

Diag unbox(Stop stop) {
  if (!stop.diag) throw InternalError("lowering stopped without a diagnostic");
  return std::move(*stop.diag);
}

bool needs_precision_check(DType dtype) {
  return dtype == DType::f16() || dtype == DType::bf16() || dtype == DType::f32();
}

bool is_int_zero_const(const Ctx& ctx, NodeId id) {
  const auto* c = std::get_if<Const>(&ctx.nodes()[id.value]);
  if (c == nullptr) return false;
  const auto* i = std::get_if<std::int64_t>(&c->value);
  return i != nullptr && *i == 0;
}

bool is_float_or_complex(DType d) { return d.is_float() || d.is_complex(); }

// Forms that may yield other than one value.
bool is_multi_valued(const parse::Expr& e) {
  return std::holds_alternative<parse::Tuple>(e) || std::holds_alternative<parse::Let>(e) ||
         std::holds_alternative<parse::Diff>(e);
}

// Literals and names: forms with no subexpression.
bool is_leaf(const parse::Expr& e) {
  return std::holds_alternative<parse::Var>(e) || std::holds_alternative<parse::Float>(e) ||
         std::holds_alternative<parse::Int>(e) || std::holds_alternative<parse::Bool>(e) ||
         std::holds_alternative<parse::Complex>(e) || std::holds_alternative<parse::E>(e) ||
         std::holds_alternative<parse::Pi>(e);
}

class Lowerer {
 public:
  explicit Lowerer(Ctx& ctx) : ctx_(ctx) {}

  // Appends the values of `e` to `out`.
  Done lower_into(const parse::Spanned& e, std::vector<NodeId>& out) {
    return support::grow_stack([&] { return lower_into_here(e, out); });
  }

  // The one value of `e`; any other count is an `ExpectedScalar` error.
  Lowered<NodeId> single(const parse::Spanned& e, DType recovery) {
    // Half the nodes of a program are leaves, which lower without recursing:
    // they need no look at the stack.
    if (is_leaf(e.expr)) return scalar(e);
    return support::grow_stack([&] { return single_here(e, recovery); });
  }

  Lowered<DType> promote(std::string_view name, DType a, DType b, Span span,
                         const std::optional<OperandSpans>& operand_spans);

 private:
  Done lower_into_here(const parse::Spanned& e, std::vector<NodeId>& out);
  Lowered<NodeId> single_here(const parse::Spanned& e, DType recovery);
  Lowered<NodeId> scalar(const parse::Spanned& e);

  Done check_precision(double value, DType dtype, Span span);
  Lowered<NodeId> lower_int(std::int64_t value, const std::optional<DType>& suffix, Span span);
  Lowered<NodeId> lower_float(double value, const std::optional<DType>& suffix, Span span);
  Lowered<NodeId> lower_complex(double re, double im, const std::optional<DType>& suffix, Span span);
  Lowered<NodeId> lower_var(const parse::Var& v, Span span);
  Lowered<NodeId> lower_unary(const parse::Unary& u, Span span);
  Lowered<NodeId> lower_binary(const parse::Binary& b, Span span);
  Lowered<NodeId> combine_binary(const parse::Binary& b, Span span, NodeId lhs, NodeId rhs);
  Lowered<NodeId> lower_if(const parse::If& f, Span span);
  Lowered<NodeId> lower_call(const parse::Call& c, Span span);
  Lowered<NodeId> lower_cast(const parse::Cast& c, Span span);
  Done lower_diff(const parse::Diff& d, Span span, std::vector<NodeId>& out);
  Done lower_let(const parse::Let& let, std::vector<NodeId>& out);

  DType dtype_of(NodeId id) const { return ctx_.dtypes()[id.value]; }

  Ctx& ctx_;
  // Values of multi-valued forms in scalar positions; used as a stack.
  std::vector<NodeId> scratch_;
  // The operators down the left operands of a binary chain, outermost first;
  // used as a stack (see `lower_binary`).
  struct Link {
    const parse::Binary* binary;
    Span span;
  };
  std::vector<Link> chain_;
  // The names bound by a long run of assignment lines, outermost first, with
  // what each shadowed; used as a stack (see `lower_let`).
  struct Binding {
    std::string_view name;
    std::optional<NodeId> previous;
  };
  std::vector<Binding> bindings_;
};

Done Lowerer::lower_into_here(const parse::Spanned& e, std::vector<NodeId>& out) {
  if (const auto* t = std::get_if<parse::Tuple>(&e.expr)) {
    for (const auto& element : t->elements) {
      MORVALEN_TRY(id, single(*element, DType::f64()));
      out.push_back(id);
    }
    return {};
  }
  if (const auto* let = std::get_if<parse::Let>(&e.expr)) return lower_let(*let, out);
  if (const auto* d = std::get_if<parse::Diff>(&e.expr)) return lower_diff(*d, e.span, out);
  MORVALEN_TRY(id, scalar(e));
  out.push_back(id);
  return {};
}

Lowered<NodeId> Lowerer::single_here(const parse::Spanned& e, DType recovery) {
  if (!is_multi_valued(e.expr)) return scalar(e);
  const std::size_t start = scratch_.size();
  Done lowered = lower_into_here(e, scratch_);
  const std::size_t count = scratch_.size() - start;
  const NodeId first = count > 0 ? scratch_[start] : NodeId{};
  scratch_.resize(start);
  MORVALEN_TRY_VOID(std::move(lowered));
  if (count == 1) return first;
  return fail(ctx_, recovery, [&] { return expected_scalar_diag(count, e.span); });
}

Lowered<NodeId> Lowerer::scalar(const parse::Spanned& e) {
  const Span span = e.span;
  return std::visit(
      [&](const auto& x) -> Lowered<NodeId> {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, parse::Bool>) {
          return ctx_.push(Const{Scalar{x.value}}, DType::boolean());
        } else if constexpr (std::is_same_v<T, parse::Int>) {
          return lower_int(x.value, x.suffix, span);
        } else if constexpr (std::is_same_v<T, parse::Float>) {
          return lower_float(x.value, x.suffix, span);
        } else if constexpr (std::is_same_v<T, parse::Complex>) {
          return lower_complex(x.re, x.im, x.suffix, span);
        } else if constexpr (std::is_same_v<T, parse::E>) {
          return ctx_.push(Const{Scalar{2.718281828459045}}, DType::f64());
        } else if constexpr (std::is_same_v<T, parse::Pi>) {
          return ctx_.push(Const{Scalar{3.141592653589793}}, DType::f64());
        } else if constexpr (std::is_same_v<T, parse::Var>) {
          return lower_var(x, span);
        } else if constexpr (std::is_same_v<T, parse::Unary>) {
          return lower_unary(x, span);
        } else if constexpr (std::is_same_v<T, parse::Binary>) {
          return lower_binary(x, span);
        } else if constexpr (std::is_same_v<T, parse::If>) {
          return lower_if(x, span);
        } else if constexpr (std::is_same_v<T, parse::Call>) {
          return lower_call(x, span);
        } else if constexpr (std::is_same_v<T, parse::Cast>) {
          return lower_cast(x, span);
        } else {
          static_assert(std::is_same_v<T, parse::Tuple> || std::is_same_v<T, parse::Let> ||
                        std::is_same_v<T, parse::Diff>);
          throw InternalError("lower: a multi-valued form reached the scalar path");
        }
      },
      e.expr);
}

// NaN and the infinities always pass.
Done Lowerer::check_precision(double value, DType dtype, Span span) {
  if (std::isnan(value) || std::isinf(value) || exactly_representable(value, dtype)) return {};
  return report_kind(ctx_, DiagKind::PrecisionLoss, [&] { return precision_loss_diag(value, dtype, span); });
}

Lowered<NodeId> Lowerer::lower_int(std::int64_t value, const std::optional<DType>& suffix, Span span) {
  if (!suffix) return ctx_.push(Const{Scalar{value}}, default_int_dtype(value));
  if (suffix->is_integer() && !int_literal_fits(value, *suffix)) {
    return fail(ctx_, DType::i64(), [&] {
      return Diag::make(DiagKind::IntOutOfRange, span, diag::int_out_of_range_message(value, *suffix));
    });
  }
  return ctx_.push(Const{Scalar{value}}, *suffix);
}

Lowered<NodeId> Lowerer::lower_float(double value, const std::optional<DType>& suffix, Span span) {
  if (!suffix) return ctx_.push(Const{Scalar{value}}, default_float_dtype(value));
  if (needs_precision_check(*suffix)) MORVALEN_TRY_VOID(check_precision(value, *suffix, span));
  return ctx_.push(Const{Scalar{value}}, *suffix);
}

Lowered<NodeId> Lowerer::lower_complex(double re, double im, const std::optional<DType>& suffix, Span span) {
  const Scalar scalar{ComplexValue{re, im}};
  if (!suffix) return ctx_.push(Const{scalar}, default_complex_dtype(re, im));
  if (*suffix == DType::c64()) {
    MORVALEN_TRY_VOID(check_precision(re, DType::f32(), span));
    MORVALEN_TRY_VOID(check_precision(im, DType::f32(), span));
  }
  return ctx_.push(Const{scalar}, *suffix);
}

Lowered<NodeId> Lowerer::lower_var(const parse::Var& v, Span span) {
  if (auto bound = ctx_.lookup(v.name)) return *bound;
  return fail(ctx_, DType::f64(),
              [&] { return Diag::make(DiagKind::UndefinedVariable, span, diag::undefined_variable_message(v.name)); });
}

Lowered<NodeId> Lowerer::lower_unary(const parse::Unary& u, Span span) {
  if (u.op == UnaryOp::Neg) {
    // A negated literal is the literal of the negated value, so that the
    // narrowest type and the range check see the value as written.
    const parse::Expr& inner = u.operand->expr;
    if (const auto* i = std::get_if<parse::Int>(&inner)) {
      // Wrapping negation: only the most negative value maps to itself.
      const auto negated = static_cast<std::int64_t>(std::uint64_t{0} - static_cast<std::uint64_t>(i->value));
      return lower_int(negated, i->suffix, span);
    }
    if (const auto* f = std::get_if<parse::Float>(&inner)) return lower_float(-f->value, f->suffix, span);
    if (const auto* c = std::get_if<parse::Complex>(&inner)) return lower_complex(-c->re, -c->im, c->suffix, span);
  }
  const bool is_not = u.op == UnaryOp::Not;
  const DType recovery = is_not ? DType::boolean() : DType::f64();
  MORVALEN_TRY(arg, single(*u.operand, recovery));
  const DType dtype = dtype_of(arg);
  if (is_not != dtype.is_bool()) {
    // `not` of a non-bool, or negation of a bool.
    return fail(ctx_, recovery, [&] { return type_mismatch_diag(to_str(u.op), dtype, DType::boolean(), span); });
  }
  return ctx_.push(Unary{arg, u.op}, dtype);
}

DType binary_recovery(BinaryOp op) { return is_logical(op) ? DType::boolean() : DType::f64(); }

// Whether fewer than 16 nodes of `node`'s own kind follow it through `next`
// (a binary operator's left operand, an assignment's body). Such a short run
// is lowered by plain recursion, which needs no list of pending work; a longer
// one is walked in a loop, so that the stack does not grow with its length.
template <typename Node, typename Next>
bool short_run(const Node& node, Next next) {
  const Node* at = &node;
  for (int depth = 0; depth < 16; ++depth) {
    at = std::get_if<Node>(&next(*at).expr);
    if (at == nullptr) return true;
  }
  return false;
}

// A long sum or product leans left: `a + b + c` is `(a + b) + c`. The chain of
// left operands is walked in a loop rather than by recursion, so that the
// stack does not grow with the number of terms; nodes are appended in the
// order the recursion would append them (each left operand, then its right
// operand, then the operator).
Lowered<NodeId> Lowerer::lower_binary(const parse::Binary& b, Span span) {
  if (short_run(b, [](const parse::Binary& at) -> const parse::Spanned& { return *at.lhs; })) {
    MORVALEN_TRY(lhs, single(*b.lhs, binary_recovery(b.op)));
    MORVALEN_TRY(rhs, single(*b.rhs, binary_recovery(b.op)));
    return combine_binary(b, span, lhs, rhs);
  }
  const std::size_t base = chain_.size();
  chain_.push_back(Link{&b, span});
  const parse::Binary* innermost = &b;
  while (const auto* inner = std::get_if<parse::Binary>(&innermost->lhs->expr)) {
    chain_.push_back(Link{inner, innermost->lhs->span});
    innermost = inner;
  }
  Lowered<NodeId> value = single(*innermost->lhs, binary_recovery(innermost->op));
  // Entries are read by position: lowering a right operand may grow the stack.
  for (std::size_t i = chain_.size(); value && i-- > base;) {
    const Link link = chain_[i];
    Lowered<NodeId> rhs = single(*link.binary->rhs, binary_recovery(link.binary->op));
    if (!rhs) {
      value = std::move(rhs);
      break;
    }
    value = combine_binary(*link.binary, link.span, *value, *rhs);
  }
  chain_.resize(base);
  return value;
}

// The operator of `b` applied to its lowered operands.
Lowered<NodeId> Lowerer::combine_binary(const parse::Binary& b, Span span, NodeId lhs, NodeId rhs) {
  const bool logical = is_logical(b.op);
  const DType l = dtype_of(lhs);
  const DType r = dtype_of(rhs);
  const std::string_view spelling = as_str(b.op);
  auto mismatch = [&] { return type_mismatch_diag(spelling, l, r, span); };

  if ((b.op == BinaryOp::FloorDiv || b.op == BinaryOp::Rem) && is_int_zero_const(ctx_, rhs)) {
    MORVALEN_TRY_VOID(
        report(ctx_, [&] { return Diag::make(DiagKind::DivByZero, span, diag::div_by_zero_message(spelling)); }));
  }
  if (b.op == BinaryOp::Div && !(is_float_or_complex(l) && is_float_or_complex(r))) {
    return fail(ctx_, DType::f64(), mismatch);
  }
  if (b.op == BinaryOp::FloorDiv && !(l.is_integer() && r.is_integer())) return fail(ctx_, DType::f64(), mismatch);
  if (logical) {
    if (!(l.is_bool() && r.is_bool())) return fail(ctx_, DType::boolean(), mismatch);
    return ctx_.push(Binary{b.op, lhs, rhs}, DType::boolean());
  }
  // Operands of one dtype need no promotion, cast or diagnostic.
  if (l == r) return ctx_.push(Binary{b.op, lhs, rhs}, is_comparison(b.op) ? DType::boolean() : l);
  MORVALEN_TRY(promoted, promote(spelling, l, r, span, OperandSpans{b.lhs->span, b.rhs->span}));
  const NodeId lhs_cast = ctx_.cast_if_needed(lhs, promoted);
  const NodeId rhs_cast = ctx_.cast_if_needed(rhs, promoted);
  return ctx_.push(Binary{b.op, lhs_cast, rhs_cast}, is_comparison(b.op) ? DType::boolean() : promoted);
}

Lowered<NodeId> Lowerer::lower_if(const parse::If& f, Span span) {
  MORVALEN_TRY(cond, single(*f.cond, DType::boolean()));
  MORVALEN_TRY(then_id, single(*f.then_branch, DType::f64()));
  MORVALEN_TRY(else_id, single(*f.else_branch, DType::f64()));
  const DType cond_dtype = dtype_of(cond);
  if (!cond_dtype.is_bool()) {
    // The condition is kept as it is; the error already fails the program.
    MORVALEN_TRY_VOID(
        report(ctx_, [&] { return type_mismatch_diag("if_cond", cond_dtype, DType::boolean(), f.cond->span); }));
  }
  MORVALEN_TRY(promoted, promote("if_branch", dtype_of(then_id), dtype_of(else_id), span, std::nullopt));
  const NodeId then_cast = ctx_.cast_if_needed(then_id, promoted);
  const NodeId else_cast = ctx_.cast_if_needed(else_id, promoted);
  return ctx_.push(If{cond, then_cast, else_cast}, promoted);
}

Lowered<NodeId> Lowerer::lower_call(const parse::Call& c, Span span) {
  const std::optional<Builtin> builtin = parse_builtin(c.name);
  if (!builtin || !is_callable_from_source(*builtin)) {
    return fail(ctx_, DType::f64(), [&] {
      return Diag::make(DiagKind::UndefinedFunction, span, diag::undefined_function_message(c.name));
    });
  }
  if (c.args.size() != 1) {
    return fail(ctx_, DType::f64(), [&] {
      return Diag::make(DiagKind::ArgCount, span, diag::arg_count_message(c.name, 1, c.args.size()));
    });
  }
  MORVALEN_TRY(arg, single(*c.args.front(), DType::f64()));
  return ctx_.push(Call{*builtin, {arg}}, dtype_of(arg));
}

Lowered<NodeId> Lowerer::lower_cast(const parse::Cast& c, Span span) {
  if (const auto* inner = std::get_if<parse::Cast>(&c.operand->expr)) {
    MORVALEN_TRY_VOID(report_kind(ctx_, DiagKind::SequentialCasts, [&] {
      return Diag::make(DiagKind::SequentialCasts, span, diag::sequential_casts_message(inner->target, c.target),
                        std::string(diag::kSequentialCastsHelp));
    }));
  }
  MORVALEN_TRY(arg, single(*c.operand, DType::f64()));
  return ctx_.push(Cast{arg, c.target, true}, c.target);
}

// The derivative of the operand with respect to a parameter, computed on a
// snapshot of the DAG so far and imported back; the differentiated nodes stay.
[[gnu::noinline]] Lowered<std::vector<NodeId>> differentiate_into(Ctx& ctx, NodeId expr, std::string_view variable,
                                                                  Span span) {
  const TypedDag snapshot = ctx.snapshot(expr);
  diff::TypedDagDifferentiator differentiator(snapshot);
  auto derivative = differentiator.differentiate(variable);
  if (!derivative) {
    MORVALEN_TRY(id, fail(ctx, DType::f64(), [&] { return diff_error_diag(derivative.error(), span); }));
    return std::vector<NodeId>{id};
  }
  auto lowered = derivative->lower_to_typed_dag();
  if (!lowered) {
    MORVALEN_TRY(id,
                 fail(ctx, DType::f64(), [&] { return canon_lower_error_diag(lowered.error().to_string(), span); }));
    return std::vector<NodeId>{id};
  }
  return ctx.import_dag(*lowered);
}

Done Lowerer::lower_diff(const parse::Diff& d, Span span, std::vector<NodeId>& out) {
  MORVALEN_TRY(expr, single(*d.expr, DType::f64()));
  MORVALEN_TRY(ids, differentiate_into(ctx_, expr, d.variable, span));
  out.insert(out.end(), ids.begin(), ids.end());
  return {};
}

// Each assignment line nests the rest of the program in its body. A long run
// of lines is walked in a loop rather than by recursion, so that the stack
// does not grow with the number of lines; values are lowered, names bound and
// bindings restored in the order the recursion would do them.
Done Lowerer::lower_let(const parse::Let& first, std::vector<NodeId>& out) {
  if (short_run(first, [](const parse::Let& at) -> const parse::Spanned& { return *at.body; })) {
    MORVALEN_TRY(value, single(*first.value, DType::f64()));
    const std::optional<NodeId> previous = ctx_.bind(first.name, value);
    Done body = lower_into(*first.body, out);
    ctx_.restore(first.name, previous);
    return body;
  }
  const std::size_t base = bindings_.size();
  Done done{};
  for (const parse::Let* let = &first;;) {
    Lowered<NodeId> value = single(*let->value, DType::f64());
    if (!value) {
      done = ::morvalen::unexpected(std::move(value).error());
      break;
    }
    bindings_.push_back(Binding{let->name, ctx_.bind(let->name, *value)});
    const auto* next = std::get_if<parse::Let>(&let->body->expr);
    if (next == nullptr) {
      done = lower_into(*let->body, out);
      break;
    }
    let = next;
  }
  // Entries are read by position: lowering a value may grow the list.
  for (std::size_t i = bindings_.size(); i-- > base;) ctx_.restore(bindings_[i].name, bindings_[i].previous);
  bindings_.resize(base);
  return done;
}

Lowered<DType> Lowerer::promote(std::string_view name, DType a, DType b, Span span,
                                const std::optional<OperandSpans>& operand_spans) {
  auto promoted = ir::promote(a, b);
  if (!promoted) {
    MORVALEN_TRY_VOID(report(ctx_, [&] { return type_mismatch_diag(name, a, b, span); }));
    return DType::f64();
  }
  const DType p = *promoted;
  if (is_unsafe_promotion(a, b)) {
    MORVALEN_TRY_VOID(report_kind(ctx_, DiagKind::UnsafePromotion, [&] {
      return Diag::make(DiagKind::UnsafePromotion, span, diag::unsafe_promotion_message(name, a, b, p),
                        std::string(diag::kUnsafePromotionHelp));
    }));
  }
  if (!(p == a) || !(p == b)) {
    MORVALEN_TRY_VOID(report_kind(ctx_, DiagKind::ImplicitPromotion, [&] {
      Diag note = Diag::make(DiagKind::ImplicitPromotion, span, diag::implicit_promotion_message(name, a, b, p),
                             diag::promotion_hint(a, b, p));
      if (operand_spans) {
        note.labels =
            std::vector<diag::Label>{diag::Label{operand_spans->lhs, "left operand (" + std::string(to_str(a)) + ")"},
                                     diag::Label{operand_spans->rhs, "right operand (" + std::string(to_str(b)) + ")"}};
      }
      return note;
    }));
  }
  return p;
}

}  // namespace

// ---------------------------------------------------------------------------
// Scope.

std::optional<NodeId> Scope::lookup(std::string_view name) const {
  for (std::size_t i = 0; i < listed_count_; ++i) {
    if (listed_[i].name == name) return listed_[i].id;
  }
  if (!hashed_ || hashed_->empty()) return std::nullopt;
  auto it = hashed_->find(std::string(name));
  if (it == hashed_->end()) return std::nullopt;
  return it->second;
}

std::optional<NodeId> Scope::bind(std::string_view name, NodeId id) {
  for (std::size_t i = 0; i < listed_count_; ++i) {
    if (listed_[i].name == name) return std::exchange(listed_[i].id, id);
  }
  if ((!hashed_ || hashed_->empty()) && listed_count_ < kListed) {
    listed_[listed_count_++] = Binding{std::string(name), id};
    return std::nullopt;
  }
  if (!hashed_) hashed_ = std::make_unique<std::unordered_map<std::string, NodeId>>();
  for (std::size_t i = 0; i < listed_count_; ++i) hashed_->emplace(std::move(listed_[i].name), listed_[i].id);
  listed_count_ = 0;
  auto [it, inserted] = hashed_->try_emplace(std::string(name), id);
  if (inserted) return std::nullopt;
  return std::exchange(it->second, id);
}

void Scope::erase(std::string_view name) {
  for (std::size_t i = 0; i < listed_count_; ++i) {
    if (listed_[i].name == name) {
      // The last binding takes the freed place: the list has no order.
      if (i + 1 != listed_count_) listed_[i] = std::move(listed_[listed_count_ - 1]);
      --listed_count_;
      return;
    }
  }
  if (hashed_ && !hashed_->empty()) hashed_->erase(std::string(name));
}

// ---------------------------------------------------------------------------
// Collect.

namespace {
const diag::DiagConfig kDefaultConfig{};
}  // namespace

const diag::DiagConfig& Collect::settings() const { return config != nullptr ? *config : kDefaultConfig; }

// ---------------------------------------------------------------------------
// Ctx.

Ctx::Ctx(DiagMode mode) : params_(spare_param_list()), param_nodes_(spare_id_list()), mode_(std::move(mode)) {}

Ctx::~Ctx() { leave_id_list(std::move(param_nodes_)); }

NodeId Ctx::add_param(std::string name, DType dtype) {
  const NodeId id = push(Param{params_.size()}, dtype);
  param_nodes_.push_back(id);
  (void)scope_.bind(name, id);
  params_.push_back(ParamDecl{std::move(name), dtype});
  return id;
}

Result<NodeId, Diag> Ctx::lower_single(const parse::Spanned& expr, DType recovery) {
  auto id = Lowerer(*this).single(expr, recovery);
  if (!id) return unexpected(unbox(std::move(id).error()));
  return *id;
}

std::optional<Diag> Ctx::emit(Diag diag) {
  if (auto* collect = std::get_if<Collect>(&mode_)) {
    switch (collect->settings().severity(diag.kind)) {
      case diag::Severity::Allow:
        break;
      case diag::Severity::Note:
      case diag::Severity::Warning:
        collect->warnings.push_back(std::move(diag));
        break;
      case diag::Severity::Error:
      case diag::Severity::Fatal:
        collect->errors.push_back(std::move(diag));
        break;
    }
    return std::nullopt;
  }
  return std::get<diag::DiagCollector>(mode_).emit(std::move(diag));
}

bool Ctx::discards(DiagKind kind) const {
  const diag::DiagConfig& config = std::holds_alternative<Collect>(mode_)
                                       ? std::get<Collect>(mode_).settings()
                                       : std::get<diag::DiagCollector>(mode_).config();
  switch (config.severity(kind)) {
    case diag::Severity::Allow:
      return true;
    case diag::Severity::Note:
    case diag::Severity::Warning:
      return std::holds_alternative<Collect>(mode_) && !std::get<Collect>(mode_).keep_warnings;
    case diag::Severity::Error:
    case diag::Severity::Fatal:
      return false;
  }
  return false;
}

Result<NodeId, Diag> Ctx::on_error(Diag diag, DType recovery) {
  if (auto stop = emit(std::move(diag))) return unexpected(std::move(*stop));
  return recovery_const(recovery);
}

NodeId Ctx::push(Node node, DType dtype) { return builder_.push(std::move(node), dtype); }

NodeId Ctx::cast_if_needed(NodeId id, DType target) {
  if (builder_.dtype(id) == target) return id;
  return push(Cast{id, target, false}, target);
}

NodeId Ctx::recovery_const(DType dtype) {
  switch (dtype.kind) {
    case DTypeKind::Bool:
      return push(Const{Scalar{false}}, dtype);
    case DTypeKind::UInt:
    case DTypeKind::Int:
      return push(Const{Scalar{std::int64_t{0}}}, dtype);
    case DTypeKind::Float:
    case DTypeKind::Complex:
      return push(Const{Scalar{0.0}}, dtype);
  }
  throw InternalError("lower: unknown dtype kind for a recovery constant");
}

std::vector<NodeId> Ctx::import_dag(const TypedDag& dag) {
  std::vector<NodeId> mapped;
  mapped.reserve(dag.size());
  for (std::size_t i = 0; i < dag.size(); ++i) {
    auto map = [&](NodeId operand) {
      if (operand.value >= mapped.size()) {
        throw InternalError("import_dag: node " + std::to_string(i) + " refers to node " +
                            std::to_string(operand.value) + " that is not before it");
      }
      return mapped[operand.value];
    };
    const Node& node = dag.nodes()[i];
    if (const auto* p = std::get_if<Param>(&node)) {
      if (p->index >= param_nodes_.size()) {
        throw InternalError("import_dag: parameter index " + std::to_string(p->index) + " out of range (" +
                            std::to_string(param_nodes_.size()) + " parameters)");
      }
      mapped.push_back(param_nodes_[p->index]);
      continue;
    }
    Node copy = node;
    for_each_operand(copy, [&](NodeId& operand) { operand = map(operand); });
    mapped.push_back(push(std::move(copy), dag.dtypes()[i]));
  }
  std::vector<NodeId> outputs;
  outputs.reserve(dag.outputs().size());
  for (NodeId out : dag.outputs()) {
    if (out.value >= mapped.size()) {
      throw InternalError("import_dag: output " + std::to_string(out.value) + " out of range");
    }
    outputs.push_back(mapped[out.value]);
  }
  return outputs;
}

TypedDag Ctx::snapshot(NodeId output) const {
  DagBuilder copy = builder_;
  return std::move(copy).finish(params_, {output}, "lower produced invalid TypedDag snapshot: ");
}

std::optional<NodeId> Ctx::lookup(std::string_view name) const { return scope_.lookup(name); }

std::optional<NodeId> Ctx::bind(std::string_view name, NodeId id) { return scope_.bind(name, id); }

void Ctx::restore(std::string_view name, std::optional<NodeId> previous) {
  if (previous) {
    (void)scope_.bind(name, *previous);
  } else {
    scope_.erase(name);
  }
}

TypedDag Ctx::finish(std::vector<NodeId> outputs) && {
  auto dag = std::move(builder_).try_finish(std::move(params_), std::move(outputs));
  if (!dag) throw InternalError("lower produced invalid TypedDag: " + dag.error().to_string());
  return std::move(*dag);
}

// ---------------------------------------------------------------------------
// Entry points.

diag::Diag diff_error_diag(const diff::DiffError& error, Span span) {
  using E = diff::DiffError;
  return std::visit(
      support::Overloaded{
          [&](const E::UnknownVariable& e) {
            return Diag::make(DiagKind::UndefinedVariable, span, "unknown differentiation variable `" + e.name + "`",
                              std::string(kUnknownDiffVariableHelp));
          },
          [&](const E::NonFloatParameter& e) {
            return Diag::make(DiagKind::TypeMismatch, span,
                              "differentiation requires a floating parameter, got `" + e.name + ": " +
                                  std::string(to_str(e.dtype)) + "`",
                              std::string(kNonFloatDiffParameterHelp));
          },
          [&](const E::TupleOutput&) {
            return Diag::make(DiagKind::ExpectedScalar, span, "differentiation requires a single scalar expression",
                              std::string(kDiffTupleHelp));
          },
          [&](const E::UnsupportedCall& e) {
            return Diag::make(DiagKind::UndefinedFunction, span,
                              "differentiation does not support call `" + e.name + "`");
          },
          [&](const E::Invariant& e) {
            return Diag::make(DiagKind::UndefinedFunction, span, "inline differentiation failed: " + e.text);
          },
      },
      error.detail);
}

Result<std::vector<NodeId>, Diag> lower_expr(Ctx& ctx, const parse::Spanned& expr) {
  std::vector<NodeId> ids = spare_id_list();
  auto done = Lowerer(ctx).lower_into(expr, ids);
  if (!done) return unexpected(unbox(std::move(done).error()));
  return ids;
}

Result<DType, Diag> promote_with_diags(Ctx& ctx, std::string_view name, DType a, DType b, Span span,
                                       std::optional<OperandSpans> operand_spans) {
  auto promoted = Lowerer(ctx).promote(name, a, b, span, operand_spans);
  if (!promoted) return unexpected(unbox(std::move(promoted).error()));
  return *promoted;
}

namespace {

LowerResultWithErrors lower_collecting(const parse::FuncDef& program, const diag::DiagConfig& config,
                                       bool keep_warnings, std::size_t expected_nodes = 0) {
  Ctx ctx(DiagMode{Collect{{}, {}, &config, keep_warnings}});
  // Small programs start from the thread's spare tables instead.
  constexpr std::size_t kReserveFrom = 256;
  if (expected_nodes > kReserveFrom) ctx.reserve(expected_nodes);
  for (const auto& param : program.params) ctx.add_param(param.name, param.dtype);
  auto outputs = lower_expr(ctx, program.body);
  if (!outputs) throw InternalError("lowering stopped although diagnostics were being collected");
  // Built in place: the DAG and the lists are not moved through temporaries.
  // `finish` takes the node tables only, so the lists are still there after it.
  Collect& collected = std::get<Collect>(ctx.mode());
  return LowerResultWithErrors{std::move(ctx).finish(std::move(*outputs)), std::move(collected.warnings),
                               std::move(collected.errors)};
}

}  // namespace

LowerResultWithErrors lower_with_config_collect(const parse::FuncDef& program, const diag::DiagConfig& config) {
  return lower_collecting(program, config, true);
}

LowerResultWithErrors lower_with_config_collect_errors(const parse::FuncDef& program, const diag::DiagConfig& config,
                                                       std::size_t expected_nodes) {
  return lower_collecting(program, config, false, expected_nodes);
}

Result<TypedDag, Diag> lower_with_collector(const parse::FuncDef& program, diag::DiagCollector& collector) {
  Ctx ctx(DiagMode{std::move(collector)});
  for (const auto& param : program.params) ctx.add_param(param.name, param.dtype);
  auto outputs = lower_expr(ctx, program.body);
  collector = std::move(std::get<diag::DiagCollector>(ctx.mode()));
  MORVALEN_TRY(output_ids, std::move(outputs));
  return std::move(ctx).finish(std::move(output_ids));
}

}  // namespace morvalen::ir
