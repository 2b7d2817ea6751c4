#include "ir/lower.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <type_traits>

#include "diff/builder.h"
#include "diff/engine.h"
#include "diff/error.h"
#include "ir/error.h"
#include "ir/ops.h"
#include "support/internal_error.h"
#include "support/stack.h"

namespace morvalen::ir {
namespace {

using diag::Diag;
using diag::DiagKind;
using NodeIds = std::vector<NodeId>;

// Propagates the stop of the `DiagCollector` mode out of a helper returning a
// `Result`: `MORVALEN_LOWER_TRY(x, expr)` declares `x` from a successful result.
#define MORVALEN_LOWER_CAT2(a, b) a##b
#define MORVALEN_LOWER_CAT(a, b) MORVALEN_LOWER_CAT2(a, b)
#define MORVALEN_LOWER_TRY(var, expr)                                     \
  auto MORVALEN_LOWER_CAT(try_result_, __LINE__) = (expr);                \
  if (!MORVALEN_LOWER_CAT(try_result_, __LINE__))                         \
    return unexpected(std::move(MORVALEN_LOWER_CAT(try_result_, __LINE__)).error()); \
  auto var = std::move(*MORVALEN_LOWER_CAT(try_result_, __LINE__))

// ---------------------------------------------------------------------------
// Narrow binary floating formats. A format has `MantBits` stored fraction bits
// and `ExpBits` exponent bits, with IEEE subnormals, infinities and NaNs.

template <int MantBits, int ExpBits>
std::uint32_t encode_narrow(double value) {
  constexpr int bias = (1 << (ExpBits - 1)) - 1;
  constexpr int emin = 1 - bias;
  constexpr std::uint32_t exp_all = (1u << ExpBits) - 1;
  constexpr std::uint64_t implicit_bit = std::uint64_t{1} << MantBits;

  const auto bits = std::bit_cast<std::uint64_t>(value);
  const std::uint32_t sign = static_cast<std::uint32_t>(bits >> 63) << (MantBits + ExpBits);
  const int dexp = static_cast<int>((bits >> 52) & 0x7ff);
  const std::uint64_t dmant = bits & ((std::uint64_t{1} << 52) - 1);
  if (dexp == 0x7ff) {
    if (dmant != 0) return sign | (exp_all << MantBits) | (1u << (MantBits - 1));
    return sign | (exp_all << MantBits);
  }
  // Double subnormals (and zeros) lie far below half of the narrow format's
  // smallest subnormal, so they round to zero.
  if (dexp == 0) return sign;

  // |value| = m * 2^(e - 52) with m in [2^52, 2^53).
  const int e = dexp - 1023;
  const std::uint64_t m = dmant | (std::uint64_t{1} << 52);
  // Exponent of the unit in the last place of the result; below the normal
  // range the spacing stays that of the subnormals.
  int ulp_exp = std::max(e, emin) - MantBits;
  const int shift = ulp_exp - (e - 52);  // at least 52 - MantBits, so positive
  std::uint64_t q = 0;
  if (shift < 64) {
    q = m >> shift;
    const std::uint64_t rem = m & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    if (rem > half || (rem == half && (q & 1) != 0)) ++q;
  }
  // Rounding up may carry into the next binade; q is then a power of two.
  if (q >= (implicit_bit << 1)) {
    q >>= 1;
    ++ulp_exp;
  }
  if (q < implicit_bit) return sign | static_cast<std::uint32_t>(q);  // subnormal or zero
  const int biased = ulp_exp + MantBits + bias;
  if (biased >= static_cast<int>(exp_all)) return sign | (exp_all << MantBits);
  return sign | (static_cast<std::uint32_t>(biased) << MantBits) | static_cast<std::uint32_t>(q - implicit_bit);
}

template <int MantBits, int ExpBits>
double decode_narrow(std::uint32_t bits) {
  constexpr int bias = (1 << (ExpBits - 1)) - 1;
  constexpr int emin = 1 - bias;
  constexpr std::uint32_t exp_all = (1u << ExpBits) - 1;
  const bool negative = ((bits >> (MantBits + ExpBits)) & 1) != 0;
  const std::uint32_t exp_field = (bits >> MantBits) & exp_all;
  const std::uint32_t mant = bits & ((1u << MantBits) - 1);
  double magnitude = 0.0;
  if (exp_field == exp_all) {
    magnitude = mant != 0 ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
  } else if (exp_field == 0) {
    magnitude = std::ldexp(static_cast<double>(mant), emin - MantBits);
  } else {
    magnitude = std::ldexp(static_cast<double>(mant | (1u << MantBits)),
                           static_cast<int>(exp_field) - bias - MantBits);
  }
  return negative ? -magnitude : magnitude;
}

double round_trip_f32(double value) { return decode_narrow<23, 8>(encode_narrow<23, 8>(value)); }

// ---------------------------------------------------------------------------
// Diagnostics of the lowering checks.

Diag undefined_variable_diag(const std::string& name, Span span) {
  return Diag::make(DiagKind::UndefinedVariable, span, diag::undefined_variable_message(name));
}

Diag int_out_of_range_diag(std::int64_t value, DType dtype, Span span) {
  return Diag::make(DiagKind::IntOutOfRange, span, diag::int_out_of_range_message(value, dtype));
}

NodeIds one(NodeId id) { return NodeIds{id}; }

Result<NodeIds, Diag> single(Result<NodeId, Diag> r) {
  if (!r) return unexpected(std::move(r).error());
  return one(*r);
}

// Runs the precision check of a float literal of dtype `dtype` (a float below
// 64 bits). NaN and the infinities always pass.
std::optional<Diag> check_precision(Ctx& ctx, double value, DType dtype, Span span) {
  if (std::isnan(value) || std::isinf(value) || exactly_representable(value, dtype)) return std::nullopt;
  return ctx.emit(precision_loss_diag(value, dtype, span));
}

bool needs_precision_check(DType dtype) {
  return dtype == DType::f16() || dtype == DType::bf16() || dtype == DType::f32();
}

// ---------------------------------------------------------------------------
// Lowering of each form. `span` is the span of the form being lowered.

Result<NodeId, Diag> lower_int(Ctx& ctx, std::int64_t value, const std::optional<DType>& suffix, Span span) {
  if (!suffix) return ctx.push(Const{Scalar{value}}, default_int_dtype(value));
  if (suffix->is_integer() && !int_literal_fits(value, *suffix)) {
    return ctx.on_error(int_out_of_range_diag(value, *suffix, span), DType::i64());
  }
  return ctx.push(Const{Scalar{value}}, *suffix);
}

Result<NodeId, Diag> lower_float(Ctx& ctx, double value, const std::optional<DType>& suffix, Span span) {
  if (!suffix) return ctx.push(Const{Scalar{value}}, default_float_dtype(value));
  if (needs_precision_check(*suffix)) {
    if (auto stop = check_precision(ctx, value, *suffix, span)) return unexpected(std::move(*stop));
  }
  return ctx.push(Const{Scalar{value}}, *suffix);
}

Result<NodeId, Diag> lower_complex(Ctx& ctx, double re, double im, const std::optional<DType>& suffix, Span span) {
  const Scalar scalar{ComplexValue{re, im}};
  if (!suffix) return ctx.push(Const{scalar}, default_complex_dtype(re, im));
  if (*suffix == DType::c64()) {
    if (auto stop = check_precision(ctx, re, DType::f32(), span)) return unexpected(std::move(*stop));
    if (auto stop = check_precision(ctx, im, DType::f32(), span)) return unexpected(std::move(*stop));
  }
  return ctx.push(Const{scalar}, *suffix);
}

Result<NodeId, Diag> lower_unary(Ctx& ctx, const parse::Unary& u, Span span) {
  if (u.op == UnaryOp::Neg) {
    // A negated literal is the literal of the negated value, so that the
    // narrowest type and the range check see the value as written.
    const parse::Expr& inner = u.operand->expr;
    if (const auto* i = std::get_if<parse::Int>(&inner)) {
      // Wrapping negation: only the most negative value maps to itself.
      const auto negated = static_cast<std::int64_t>(std::uint64_t{0} - static_cast<std::uint64_t>(i->value));
      return lower_int(ctx, negated, i->suffix, span);
    }
    if (const auto* f = std::get_if<parse::Float>(&inner)) return lower_float(ctx, -f->value, f->suffix, span);
    if (const auto* c = std::get_if<parse::Complex>(&inner)) {
      return lower_complex(ctx, -c->re, -c->im, c->suffix, span);
    }
  }
  switch (u.op) {
    case UnaryOp::Not: {
      MORVALEN_LOWER_TRY(arg, ctx.lower_single(*u.operand, DType::boolean()));
      const DType dtype = ctx.dtypes()[arg.value];
      if (!dtype.is_bool()) {
        return ctx.on_error(type_mismatch_diag("not", dtype, DType::boolean(), span), DType::boolean());
      }
      return ctx.push(Unary{arg, UnaryOp::Not}, dtype);
    }
    case UnaryOp::Neg: {
      MORVALEN_LOWER_TRY(arg, ctx.lower_single(*u.operand, DType::f64()));
      const DType dtype = ctx.dtypes()[arg.value];
      if (dtype.is_bool()) {
        return ctx.on_error(type_mismatch_diag("neg", dtype, DType::boolean(), span), DType::f64());
      }
      return ctx.push(Unary{arg, UnaryOp::Neg}, dtype);
    }
  }
  throw InternalError("lower: unknown unary operator");
}

bool is_int_zero_const(const Ctx& ctx, NodeId id) {
  const auto* c = std::get_if<Const>(&ctx.nodes()[id.value]);
  if (c == nullptr) return false;
  const auto* i = std::get_if<std::int64_t>(&c->value);
  return i != nullptr && *i == 0;
}

bool is_float_or_complex(DType d) { return d.is_float() || d.is_complex(); }

Result<NodeId, Diag> lower_binary(Ctx& ctx, const parse::Binary& b, Span span) {
  const bool logical = is_logical(b.op);
  const DType recovery = logical ? DType::boolean() : DType::f64();
  MORVALEN_LOWER_TRY(lhs, ctx.lower_single(*b.lhs, recovery));
  MORVALEN_LOWER_TRY(rhs, ctx.lower_single(*b.rhs, recovery));
  const DType l = ctx.dtypes()[lhs.value];
  const DType r = ctx.dtypes()[rhs.value];
  const std::string_view spelling = as_str(b.op);

  if ((b.op == BinaryOp::FloorDiv || b.op == BinaryOp::Rem) && is_int_zero_const(ctx, rhs)) {
    if (auto stop = ctx.emit(Diag::make(DiagKind::DivByZero, span, diag::div_by_zero_message(spelling)))) {
      return unexpected(std::move(*stop));
    }
  }
  if (b.op == BinaryOp::Div && !(is_float_or_complex(l) && is_float_or_complex(r))) {
    return ctx.on_error(type_mismatch_diag(spelling, l, r, span), DType::f64());
  }
  if (b.op == BinaryOp::FloorDiv && !(l.is_integer() && r.is_integer())) {
    return ctx.on_error(type_mismatch_diag(spelling, l, r, span), DType::f64());
  }
  if (logical) {
    if (!(l.is_bool() && r.is_bool())) {
      return ctx.on_error(type_mismatch_diag(spelling, l, r, span), DType::boolean());
    }
    return ctx.push(Binary{b.op, lhs, rhs}, DType::boolean());
  }
  MORVALEN_LOWER_TRY(promoted,
                     promote_with_diags(ctx, spelling, l, r, span, OperandSpans{b.lhs->span, b.rhs->span}));
  const NodeId lhs_cast = ctx.cast_if_needed(lhs, promoted);
  const NodeId rhs_cast = ctx.cast_if_needed(rhs, promoted);
  const DType dtype = is_comparison(b.op) ? DType::boolean() : promoted;
  return ctx.push(Binary{b.op, lhs_cast, rhs_cast}, dtype);
}

Result<NodeId, Diag> lower_if(Ctx& ctx, const parse::If& f, Span span) {
  MORVALEN_LOWER_TRY(cond, ctx.lower_single(*f.cond, DType::boolean()));
  MORVALEN_LOWER_TRY(then_id, ctx.lower_single(*f.then_branch, DType::f64()));
  MORVALEN_LOWER_TRY(else_id, ctx.lower_single(*f.else_branch, DType::f64()));
  const DType cond_dtype = ctx.dtypes()[cond.value];
  if (!cond_dtype.is_bool()) {
    // The condition is kept as it is; the error already fails the program.
    if (auto stop = ctx.emit(type_mismatch_diag("if_cond", cond_dtype, DType::boolean(), f.cond->span))) {
      return unexpected(std::move(*stop));
    }
  }
  MORVALEN_LOWER_TRY(promoted, promote_with_diags(ctx, "if_branch", ctx.dtypes()[then_id.value],
                                                  ctx.dtypes()[else_id.value], span, std::nullopt));
  const NodeId then_cast = ctx.cast_if_needed(then_id, promoted);
  const NodeId else_cast = ctx.cast_if_needed(else_id, promoted);
  return ctx.push(If{cond, then_cast, else_cast}, promoted);
}

Result<NodeId, Diag> lower_call(Ctx& ctx, const parse::Call& c, Span span) {
  const std::optional<Builtin> builtin = parse_builtin(c.name);
  if (!builtin || !is_callable_from_source(*builtin)) {
    return ctx.on_error(Diag::make(DiagKind::UndefinedFunction, span, diag::undefined_function_message(c.name)),
                        DType::f64());
  }
  if (c.args.size() != 1) {
    return ctx.on_error(Diag::make(DiagKind::ArgCount, span, diag::arg_count_message(c.name, 1, c.args.size())),
                        DType::f64());
  }
  MORVALEN_LOWER_TRY(arg, ctx.lower_single(*c.args.front(), DType::f64()));
  const DType dtype = ctx.dtypes()[arg.value];
  return ctx.push(Call{*builtin, {arg}}, dtype);
}

Result<NodeId, Diag> lower_cast(Ctx& ctx, const parse::Cast& c, Span span) {
  if (const auto* inner = std::get_if<parse::Cast>(&c.operand->expr)) {
    if (auto stop = ctx.emit(Diag::make(DiagKind::SequentialCasts, span,
                                        diag::sequential_casts_message(inner->target, c.target),
                                        std::string(diag::kSequentialCastsHelp)))) {
      return unexpected(std::move(*stop));
    }
  }
  MORVALEN_LOWER_TRY(arg, ctx.lower_single(*c.operand, DType::f64()));
  return ctx.push(Cast{arg, c.target, true}, c.target);
}

Result<NodeIds, Diag> lower_diff(Ctx& ctx, const parse::Diff& d, Span span) {
  MORVALEN_LOWER_TRY(expr, ctx.lower_single(*d.expr, DType::f64()));
  const TypedDag snapshot = ctx.snapshot(expr);
  diff::TypedDagDifferentiator differentiator(snapshot);
  auto derivative = differentiator.differentiate(d.variable);
  if (!derivative) return single(ctx.on_error(diff_error_diag(derivative.error(), span), DType::f64()));
  auto lowered = derivative->lower_to_typed_dag();
  if (!lowered) {
    return single(ctx.on_error(canon_lower_error_diag(lowered.error().to_string(), span), DType::f64()));
  }
  return ctx.import_dag(*lowered);
}

Result<NodeIds, Diag> lower_let(Ctx& ctx, const parse::Let& let) {
  MORVALEN_LOWER_TRY(value, ctx.lower_single(*let.value, DType::f64()));
  const std::optional<NodeId> previous = ctx.bind(let.name, value);
  auto body = lower_expr(ctx, *let.body);
  ctx.restore(let.name, previous);
  return body;
}

Result<NodeIds, Diag> lower_expr_here(Ctx& ctx, const parse::Spanned& spanned) {
  const Span span = spanned.span;
  return std::visit(
      [&](const auto& e) -> Result<NodeIds, Diag> {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, parse::Bool>) {
          return one(ctx.push(Const{Scalar{e.value}}, DType::boolean()));
        } else if constexpr (std::is_same_v<T, parse::Int>) {
          return single(lower_int(ctx, e.value, e.suffix, span));
        } else if constexpr (std::is_same_v<T, parse::Float>) {
          return single(lower_float(ctx, e.value, e.suffix, span));
        } else if constexpr (std::is_same_v<T, parse::Complex>) {
          return single(lower_complex(ctx, e.re, e.im, e.suffix, span));
        } else if constexpr (std::is_same_v<T, parse::E>) {
          return one(ctx.push(Const{Scalar{2.718281828459045}}, DType::f64()));
        } else if constexpr (std::is_same_v<T, parse::Pi>) {
          return one(ctx.push(Const{Scalar{3.141592653589793}}, DType::f64()));
        } else if constexpr (std::is_same_v<T, parse::Var>) {
          if (auto bound = ctx.lookup(e.name)) return one(*bound);
          return single(ctx.on_error(undefined_variable_diag(e.name, span), DType::f64()));
        } else if constexpr (std::is_same_v<T, parse::Unary>) {
          return single(lower_unary(ctx, e, span));
        } else if constexpr (std::is_same_v<T, parse::Binary>) {
          return single(lower_binary(ctx, e, span));
        } else if constexpr (std::is_same_v<T, parse::If>) {
          return single(lower_if(ctx, e, span));
        } else if constexpr (std::is_same_v<T, parse::Call>) {
          return single(lower_call(ctx, e, span));
        } else if constexpr (std::is_same_v<T, parse::Cast>) {
          return single(lower_cast(ctx, e, span));
        } else if constexpr (std::is_same_v<T, parse::Diff>) {
          return lower_diff(ctx, e, span);
        } else if constexpr (std::is_same_v<T, parse::Tuple>) {
          NodeIds ids;
          ids.reserve(e.elements.size());
          for (const auto& element : e.elements) {
            MORVALEN_LOWER_TRY(id, ctx.lower_single(*element, DType::f64()));
            ids.push_back(id);
          }
          return ids;
        } else {
          static_assert(std::is_same_v<T, parse::Let>);
          return lower_let(ctx, e);
        }
      },
      spanned.expr);
}

}  // namespace

// ---------------------------------------------------------------------------
// Literal typing.

DType default_int_dtype(std::int64_t value) {
  if (value >= std::numeric_limits<std::int8_t>::min() && value <= std::numeric_limits<std::int8_t>::max()) {
    return DType::i8();
  }
  if (value >= std::numeric_limits<std::int16_t>::min() && value <= std::numeric_limits<std::int16_t>::max()) {
    return DType::i16();
  }
  if (value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max()) {
    return DType::i32();
  }
  return DType::i64();
}

bool int_literal_fits(std::int64_t value, DType dtype) {
  if (!dtype.is_integer()) return true;
  if (dtype.is_unsigned()) {
    if (value < 0) return false;
    if (dtype.bits >= 64) return true;  // a signed 64-bit literal never exceeds 2^63 - 1
    return static_cast<std::uint64_t>(value) <= (std::uint64_t{1} << dtype.bits) - 1;
  }
  if (dtype.bits >= 64) return true;
  const std::int64_t max = (std::int64_t{1} << (dtype.bits - 1)) - 1;
  return value >= -max - 1 && value <= max;
}

DType default_float_dtype(double value) {
  if (std::isnan(value) || std::isinf(value)) return DType::f16();
  if (exactly_representable(value, DType::f16())) return DType::f16();
  if (exactly_representable(value, DType::f32())) return DType::f32();
  return DType::f64();
}

DType default_complex_dtype(double re, double im) {
  auto fits = [](double v) { return std::isnan(v) || std::isinf(v) || exactly_representable(v, DType::f32()); };
  return fits(re) && fits(im) ? DType::c64() : DType::c128();
}

std::uint16_t to_half_bits(double value) { return static_cast<std::uint16_t>(encode_narrow<10, 5>(value)); }
double from_half_bits(std::uint16_t bits) { return decode_narrow<10, 5>(bits); }
std::uint16_t to_bfloat16_bits(double value) { return static_cast<std::uint16_t>(encode_narrow<7, 8>(value)); }
double from_bfloat16_bits(std::uint16_t bits) { return decode_narrow<7, 8>(bits); }

bool exactly_representable(double value, DType dtype) {
  if (!dtype.is_float()) return false;
  if (dtype == DType::f64()) return true;
  if (dtype == DType::f32()) return round_trip_f32(value) == value;
  if (dtype == DType::bf16()) return from_bfloat16_bits(to_bfloat16_bits(value)) == value;
  if (dtype == DType::f16()) return from_half_bits(to_half_bits(value)) == value;
  return false;
}

// ---------------------------------------------------------------------------
// Ctx.

NodeId Ctx::add_param(std::string name, DType dtype) {
  const NodeId id = push(Param{params_.size()}, dtype);
  param_nodes_.push_back(id);
  scope_.insert_or_assign(name, id);
  params_.push_back(ParamDecl{std::move(name), dtype});
  return id;
}

Result<NodeId, Diag> Ctx::lower_single(const parse::Spanned& expr, DType recovery) {
  MORVALEN_LOWER_TRY(ids, lower_expr(*this, expr));
  if (ids.size() == 1) return ids.front();
  return on_error(expected_scalar_diag(ids.size(), expr.span), recovery);
}

std::optional<Diag> Ctx::emit(Diag diag) {
  if (auto* collect = std::get_if<Collect>(&mode_)) {
    switch (collect->config.severity(diag.kind)) {
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

Result<NodeId, Diag> Ctx::on_error(Diag diag, DType recovery) {
  if (auto stop = emit(std::move(diag))) return unexpected(std::move(*stop));
  return recovery_const(recovery);
}

NodeId Ctx::push(Node node, DType dtype) {
  nodes_.push_back(std::move(node));
  dtypes_.push_back(dtype);
  return NodeId{nodes_.size() - 1};
}

NodeId Ctx::cast_if_needed(NodeId id, DType target) {
  if (dtypes_[id.value] == target) return id;
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
    const DType dtype = dag.dtypes()[i];
    const NodeId id = std::visit(
        [&](const auto& n) -> NodeId {
          using T = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<T, Param>) {
            if (n.index >= param_nodes_.size()) {
              throw InternalError("import_dag: parameter index " + std::to_string(n.index) + " out of range (" +
                                  std::to_string(param_nodes_.size()) + " parameters)");
            }
            return param_nodes_[n.index];
          } else if constexpr (std::is_same_v<T, Const>) {
            return push(n, dtype);
          } else if constexpr (std::is_same_v<T, Unary>) {
            return push(Unary{map(n.arg), n.op}, dtype);
          } else if constexpr (std::is_same_v<T, Binary>) {
            const NodeId lhs = map(n.lhs);
            return push(Binary{n.op, lhs, map(n.rhs)}, dtype);
          } else if constexpr (std::is_same_v<T, If>) {
            const NodeId cond = map(n.cond);
            const NodeId then_id = map(n.then_branch);
            return push(If{cond, then_id, map(n.else_branch)}, dtype);
          } else if constexpr (std::is_same_v<T, Call>) {
            std::vector<NodeId> args;
            args.reserve(n.args.size());
            for (NodeId a : n.args) args.push_back(map(a));
            return push(Call{n.builtin, std::move(args)}, dtype);
          } else {
            static_assert(std::is_same_v<T, Cast>);
            return push(Cast{map(n.arg), n.dtype, n.is_explicit}, dtype);
          }
        },
        dag.nodes()[i]);
    mapped.push_back(id);
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
  auto dag = TypedDag::try_new(nodes_, dtypes_, params_, {output});
  if (!dag) throw InternalError("lower produced invalid TypedDag snapshot: " + dag.error().to_string());
  return std::move(*dag);
}

std::optional<NodeId> Ctx::lookup(const std::string& name) const {
  auto it = scope_.find(name);
  if (it == scope_.end()) return std::nullopt;
  return it->second;
}

std::optional<NodeId> Ctx::bind(const std::string& name, NodeId id) {
  auto [it, inserted] = scope_.try_emplace(name, id);
  if (inserted) return std::nullopt;
  const NodeId previous = it->second;
  it->second = id;
  return previous;
}

void Ctx::restore(const std::string& name, std::optional<NodeId> previous) {
  if (previous) {
    scope_.insert_or_assign(name, *previous);
  } else {
    scope_.erase(name);
  }
}

TypedDag Ctx::finish(std::vector<NodeId> outputs) && {
  auto dag = TypedDag::try_new(std::move(nodes_), std::move(dtypes_), std::move(params_), std::move(outputs));
  if (!dag) throw InternalError("lower produced invalid TypedDag: " + dag.error().to_string());
  return std::move(*dag);
}

// ---------------------------------------------------------------------------
// Entry points.

Result<std::vector<NodeId>, Diag> lower_expr(Ctx& ctx, const parse::Spanned& expr) {
  // The tree's depth is the user's: continue on a fresh stack segment when the
  // current one runs low.
  return support::grow_stack([&] { return lower_expr_here(ctx, expr); });
}

Result<DType, Diag> promote_with_diags(Ctx& ctx, std::string_view name, DType a, DType b, Span span,
                                       std::optional<OperandSpans> operand_spans) {
  auto promoted = promote(a, b);
  if (!promoted) {
    if (auto stop = ctx.emit(type_mismatch_diag(name, a, b, span))) return unexpected(std::move(*stop));
    return DType::f64();
  }
  const DType p = *promoted;
  if (is_unsafe_promotion(a, b)) {
    if (auto stop = ctx.emit(Diag::make(DiagKind::UnsafePromotion, span,
                                        diag::unsafe_promotion_message(name, a, b, p),
                                        std::string(diag::kUnsafePromotionHelp)))) {
      return unexpected(std::move(*stop));
    }
  }
  if (!(p == a) || !(p == b)) {
    Diag note = Diag::make(DiagKind::ImplicitPromotion, span, diag::implicit_promotion_message(name, a, b, p),
                           diag::promotion_hint(a, b, p));
    if (operand_spans) {
      note.labels = std::vector<diag::Label>{
          diag::Label{operand_spans->lhs, "left operand (" + std::string(to_str(a)) + ")"},
          diag::Label{operand_spans->rhs, "right operand (" + std::string(to_str(b)) + ")"}};
    }
    if (auto stop = ctx.emit(std::move(note))) return unexpected(std::move(*stop));
  }
  return p;
}

LowerResultWithErrors lower_with_config_collect(const parse::FuncDef& program, const diag::DiagConfig& config) {
  Ctx ctx(DiagMode{Collect{{}, {}, config}});
  for (const auto& param : program.params) ctx.add_param(param.name, param.dtype);
  auto outputs = lower_expr(ctx, program.body);
  if (!outputs) throw InternalError("lowering stopped although diagnostics were being collected");
  Collect collected = std::move(std::get<Collect>(ctx.mode()));
  TypedDag dag = std::move(ctx).finish(std::move(*outputs));
  return LowerResultWithErrors{std::move(dag), std::move(collected.warnings), std::move(collected.errors)};
}

Result<TypedDag, Diag> lower_with_collector(const parse::FuncDef& program, diag::DiagCollector& collector) {
  Ctx ctx(DiagMode{std::move(collector)});
  for (const auto& param : program.params) ctx.add_param(param.name, param.dtype);
  auto outputs = lower_expr(ctx, program.body);
  collector = std::move(std::get<diag::DiagCollector>(ctx.mode()));
  if (!outputs) return unexpected(std::move(outputs).error());
  return std::move(ctx).finish(std::move(*outputs));
}

}  // namespace morvalen::ir
