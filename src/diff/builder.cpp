#include "diff/builder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <type_traits>

#include "support/internal_error.h"

namespace morvalen::diff {
namespace {

// How many terms (or factors) one sum (or product) collects at most. Flattening
// a DAG whose sums reuse earlier sums (a2 = a1 + a0, a3 = a2 + a1, ...) would
// otherwise copy an exponential number of leaves; past this bound the remaining
// nested sums are kept as single terms, which leaves the value unchanged.
constexpr std::size_t kMaxCollected = 64;

// ---------------------------------------------------------------------------
// Numbers read from constants under the class of a result dtype.

enum class NumClass : std::uint8_t { None, Integer, Float, Complex };

NumClass num_class(ir::DType t) {
  switch (t.kind) {
    case ir::DTypeKind::Bool:
      return NumClass::None;
    case ir::DTypeKind::UInt:
    case ir::DTypeKind::Int:
      return NumClass::Integer;
    case ir::DTypeKind::Float:
      return NumClass::Float;
    case ir::DTypeKind::Complex:
      return NumClass::Complex;
  }
  return NumClass::None;
}

struct Number {
  std::int64_t i = 0;
  double re = 0.0;
  double im = 0.0;
};

const canon::Constant* as_constant(const CanonExpr& e) { return std::get_if<canon::Constant>(&e); }

const literal::Int* as_int_literal(const CanonExpr& e) {
  const auto* c = as_constant(e);
  return c ? std::get_if<literal::Int>(&c->value) : nullptr;
}

// The value of `lit` when it counts as a number of class `k`.
std::optional<Number> read_number(const Literal& lit, NumClass k) {
  switch (k) {
    case NumClass::None:
      return std::nullopt;
    case NumClass::Integer:
      if (const auto* i = std::get_if<literal::Int>(&lit)) return Number{i->value, 0.0, 0.0};
      return std::nullopt;
    case NumClass::Float:
    case NumClass::Complex:
      if (const auto* i = std::get_if<literal::Int>(&lit)) return Number{0, static_cast<double>(i->value), 0.0};
      if (const auto* f = std::get_if<literal::Float>(&lit)) return Number{0, f->value, 0.0};
      if (std::holds_alternative<literal::E>(lit)) return Number{0, kEValue, 0.0};
      if (std::holds_alternative<literal::Pi>(lit)) return Number{0, kPiValue, 0.0};
      if (k == NumClass::Complex) {
        if (const auto* c = std::get_if<literal::Complex>(&lit)) return Number{0, c->re, c->im};
      }
      return std::nullopt;
  }
  return std::nullopt;
}

bool is_zero_number(const Number& n, NumClass k) {
  switch (k) {
    case NumClass::None:
      return false;
    case NumClass::Integer:
      return n.i == 0;
    case NumClass::Float:
      return n.re == 0.0;
    case NumClass::Complex:
      return n.re == 0.0 && n.im == 0.0;
  }
  return false;
}

bool is_one_number(const Number& n, NumClass k) {
  switch (k) {
    case NumClass::None:
      return false;
    case NumClass::Integer:
      return n.i == 1;
    case NumClass::Float:
      return n.re == 1.0;
    case NumClass::Complex:
      return n.re == 1.0 && n.im == 0.0;
  }
  return false;
}

Literal number_literal(const Number& n, NumClass k) {
  switch (k) {
    case NumClass::None:
      break;
    case NumClass::Integer:
      return literal::Int{n.i};
    case NumClass::Float:
      return literal::Float{n.re};
    case NumClass::Complex:
      return literal::Complex{n.re, n.im};
  }
  throw InternalError("canonical builder: no literal for a non-numeric class");
}

Literal zero_literal(ir::DType t) {
  switch (t.kind) {
    case ir::DTypeKind::Bool:
      return literal::Bool{false};
    case ir::DTypeKind::UInt:
    case ir::DTypeKind::Int:
      return literal::Int{0};
    case ir::DTypeKind::Float:
      return literal::Float{0.0};
    case ir::DTypeKind::Complex:
      return literal::Complex{0.0, 0.0};
  }
  return literal::Bool{false};
}

Literal one_literal(ir::DType t) {
  switch (t.kind) {
    case ir::DTypeKind::Bool:
      return literal::Bool{true};
    case ir::DTypeKind::UInt:
    case ir::DTypeKind::Int:
      return literal::Int{1};
    case ir::DTypeKind::Float:
      return literal::Float{1.0};
    case ir::DTypeKind::Complex:
      return literal::Complex{1.0, 0.0};
  }
  return literal::Bool{true};
}

// The constant equals `target` (0 or 1) in the sense the power rules use: for a
// float dtype an Int or Float literal; for a complex dtype an Int, Float or
// Complex literal with a zero imaginary part; for an integer dtype an Int literal.
bool power_literal_equals(const CanonExpr& e, ir::DType t, int target) {
  const auto* c = as_constant(e);
  if (c == nullptr) return false;
  const double want = static_cast<double>(target);
  switch (t.kind) {
    case ir::DTypeKind::Bool:
      return false;
    case ir::DTypeKind::UInt:
    case ir::DTypeKind::Int:
      if (const auto* i = std::get_if<literal::Int>(&c->value)) return i->value == target;
      return false;
    case ir::DTypeKind::Float:
      if (const auto* i = std::get_if<literal::Int>(&c->value)) return static_cast<double>(i->value) == want;
      if (const auto* f = std::get_if<literal::Float>(&c->value)) return f->value == want;
      return false;
    case ir::DTypeKind::Complex:
      if (const auto* i = std::get_if<literal::Int>(&c->value)) return static_cast<double>(i->value) == want;
      if (const auto* f = std::get_if<literal::Float>(&c->value)) return f->value == want;
      if (const auto* z = std::get_if<literal::Complex>(&c->value)) return z->im == 0.0 && z->re == want;
      return false;
  }
  return false;
}

double flip_sign(double v) { return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) ^ (std::uint64_t{1} << 63)); }

// Truncation toward zero with saturation at the 64-bit limits; NaN gives 0.
std::int64_t saturating_to_int(double v) {
  if (std::isnan(v)) return 0;
  constexpr double kTwo63 = 9223372036854775808.0;
  if (v >= kTwo63) return std::numeric_limits<std::int64_t>::max();
  if (v < -kTwo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(v);
}

// ---------------------------------------------------------------------------
// Structural order helpers.

std::strong_ordering compare_text(std::string_view a, std::string_view b) {
  const int c = a.compare(b);
  return c < 0 ? std::strong_ordering::less : (c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal);
}

std::strong_ordering compare_dtype(ir::DType a, ir::DType b) { return compare_text(ir::to_str(a), ir::to_str(b)); }

std::strong_ordering compare_opt_dtype(const std::optional<ir::DType>& a, const std::optional<ir::DType>& b) {
  if (a.has_value() != b.has_value()) return a.has_value() ? std::strong_ordering::greater : std::strong_ordering::less;
  if (!a.has_value()) return std::strong_ordering::equal;
  return compare_dtype(*a, *b);
}

std::uint64_t bits_of(double v) { return std::bit_cast<std::uint64_t>(v); }

// Literal kind, then value (and then the optional dtype for Int, Float, Complex).
std::strong_ordering compare_constants(const canon::Constant& a, const canon::Constant& b) {
  if (a.value.index() != b.value.index()) return a.value.index() <=> b.value.index();
  std::strong_ordering value = std::visit(
      [&](const auto& la) -> std::strong_ordering {
        using T = std::decay_t<decltype(la)>;
        const auto& lb = std::get<T>(b.value);
        if constexpr (std::is_same_v<T, literal::Bool>) {
          return la.value <=> lb.value;
        } else if constexpr (std::is_same_v<T, literal::Int>) {
          return la.value <=> lb.value;
        } else if constexpr (std::is_same_v<T, literal::Float>) {
          return bits_of(la.value) <=> bits_of(lb.value);
        } else if constexpr (std::is_same_v<T, literal::Complex>) {
          if (auto c = bits_of(la.re) <=> bits_of(lb.re); c != 0) return c;
          return bits_of(la.im) <=> bits_of(lb.im);
        } else {
          return std::strong_ordering::equal;
        }
      },
      a.value);
  if (value != 0) return value;
  const bool has_dtype_key = std::holds_alternative<literal::Int>(a.value) ||
                             std::holds_alternative<literal::Float>(a.value) ||
                             std::holds_alternative<literal::Complex>(a.value);
  if (!has_dtype_key) return std::strong_ordering::equal;
  return compare_opt_dtype(a.dtype, b.dtype);
}

// One pending step of an iterative structural comparison: either a pair of ids
// to compare, or an already known result of a non-recursive field.
struct CompareStep {
  CanonExprId a;
  CanonExprId b;
  std::strong_ordering fixed = std::strong_ordering::equal;
  bool is_fixed = false;
};

}  // namespace

// ---------------------------------------------------------------------------

InternedCanonExprBuilder::InternedCanonExprBuilder(std::size_t max_exprs) : max_exprs_(std::min(max_exprs, kMaxExprs)) {}

Result<void, CanonBuildError> InternedCanonExprBuilder::check_id(CanonExprId id) const {
  if (id.value >= exprs_.size()) return unexpected(CanonBuildError{CanonBuildError::InvalidId{id}});
  return {};
}

#define MORVALEN_CHECK_ID(id)                                 \
  do {                                                        \
    if (auto checked_ = check_id(id); !checked_) {            \
      return unexpected(std::move(checked_).error());         \
    }                                                         \
  } while (false)

CanonExprBuilder::IdResult InternedCanonExprBuilder::intern_expr(CanonExpr expr) {
  ExprKey key{std::move(expr)};
  if (auto it = interned_.find(key); it != interned_.end()) return it->second;
  if (exprs_.size() >= max_exprs_) return unexpected(CanonBuildError{CanonBuildError::TooMany{}});
  const CanonExprId id{static_cast<std::uint32_t>(exprs_.size())};
  exprs_.push_back(key.expr);
  interned_.emplace(std::move(key), id);
  return id;
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::parameter(std::string_view name, ir::DType dtype) {
  return intern_expr(canon::Parameter{std::string(name), dtype});
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::unary(ir::UnaryOp op, CanonExprId operand, ir::DType dtype) {
  MORVALEN_CHECK_ID(operand);
  switch (op) {
    case ir::UnaryOp::Not:
      if (const auto* c = as_constant(exprs_[operand.value])) {
        if (const auto* b = std::get_if<literal::Bool>(&c->value)) {
          return intern_expr(canon::Constant{literal::Bool{!b->value}, dtype});
        }
      }
      return intern_expr(canon::Unary{dtype, operand, ir::UnaryOp::Not});
    case ir::UnaryOp::Neg:
      return build_neg(operand, dtype);
  }
  throw InternalError("canonical builder: unknown unary operator");
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::build_neg(CanonExprId operand, ir::DType t) {
  const CanonExpr& x = exprs_[operand.value];
  if (const auto* c = as_constant(x)) {
    std::optional<Literal> folded;
    switch (t.kind) {
      case ir::DTypeKind::Bool:
        break;
      case ir::DTypeKind::UInt:
      case ir::DTypeKind::Int:
        if (const auto* i = std::get_if<literal::Int>(&c->value)) {
          // Saturating: the most negative value becomes the most positive.
          folded = literal::Int{i->value == std::numeric_limits<std::int64_t>::min()
                                    ? std::numeric_limits<std::int64_t>::max()
                                    : -i->value};
        }
        break;
      case ir::DTypeKind::Float:
        if (auto n = read_number(c->value, NumClass::Float)) folded = literal::Float{-n->re};
        break;
      case ir::DTypeKind::Complex:
        if (auto n = read_number(c->value, NumClass::Complex)) {
          folded = literal::Complex{flip_sign(n->re), flip_sign(n->im)};
        }
        break;
    }
    if (folded) return intern_expr(canon::Constant{*folded, t});
  }
  if (const auto* u = std::get_if<canon::Unary>(&x); u != nullptr && u->op == ir::UnaryOp::Neg) return u->operand;
  return intern_expr(canon::Unary{t, operand, ir::UnaryOp::Neg});
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::binary(ir::BinaryOp op, CanonExprId left, CanonExprId right,
                                                            ir::DType dtype) {
  MORVALEN_CHECK_ID(left);
  MORVALEN_CHECK_ID(right);
  switch (op) {
    case ir::BinaryOp::Add:
      return build_add(left, right, dtype);
    case ir::BinaryOp::Sub: {
      auto negated = build_neg(right, dtype);
      if (!negated) return negated;
      return build_add(left, *negated, dtype);
    }
    case ir::BinaryOp::Mul:
      return build_mul(left, right, dtype);
    case ir::BinaryOp::Pow:
      return build_pow(left, right, dtype);
    case ir::BinaryOp::Div:
    case ir::BinaryOp::FloorDiv:
    case ir::BinaryOp::Rem:
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
  return intern_expr(canon::Binary{dtype, left, right, op});
}

namespace {

// Appends the leaves of nested `op` nodes of exactly `dtype` below `root`, left
// to right, expanding at most `kMaxCollected` leaves in total.
void collect_leaves(const std::vector<CanonExpr>& exprs, CanonExprId root, ir::BinaryOp op, ir::DType dtype,
                    std::vector<CanonExprId>& out) {
  std::vector<CanonExprId> pending{root};
  while (!pending.empty()) {
    const CanonExprId id = pending.back();
    pending.pop_back();
    const auto* b = id.value < exprs.size() ? std::get_if<canon::Binary>(&exprs[id.value]) : nullptr;
    const bool expand = b != nullptr && b->op == op && b->dtype == dtype &&
                        out.size() + pending.size() + 2 <= kMaxCollected;
    if (expand) {
      pending.push_back(b->right);
      pending.push_back(b->left);
    } else {
      out.push_back(id);
    }
  }
}

}  // namespace

void InternedCanonExprBuilder::collect_add_terms(CanonExprId id, ir::DType dtype, std::vector<CanonExprId>& out) const {
  collect_leaves(exprs_, id, ir::BinaryOp::Add, dtype, out);
}

void InternedCanonExprBuilder::collect_mul_factors(CanonExprId id, ir::DType dtype,
                                                   std::vector<CanonExprId>& out) const {
  collect_leaves(exprs_, id, ir::BinaryOp::Mul, dtype, out);
}

namespace {

// Adds or multiplies two numbers of a class; false on 64-bit integer overflow.
bool combine(Number& acc, const Number& n, NumClass k, bool multiply) {
  switch (k) {
    case NumClass::None:
      return true;
    case NumClass::Integer: {
      std::int64_t r = 0;
      const bool overflow = multiply ? __builtin_mul_overflow(acc.i, n.i, &r) : __builtin_add_overflow(acc.i, n.i, &r);
      if (overflow) return false;
      acc.i = r;
      return true;
    }
    case NumClass::Float:
      acc.re = multiply ? acc.re * n.re : acc.re + n.re;
      return true;
    case NumClass::Complex:
      if (multiply) {
        const double re = acc.re * n.re - acc.im * n.im;
        const double im = acc.re * n.im + acc.im * n.re;
        acc.re = re;
        acc.im = im;
      } else {
        acc.re += n.re;
        acc.im += n.im;
      }
      return true;
  }
  return true;
}

}  // namespace

CanonExprBuilder::IdResult InternedCanonExprBuilder::build_add(CanonExprId left, CanonExprId right, ir::DType dtype) {
  return build_sum_or_product(left, right, dtype, false);
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::build_mul(CanonExprId left, CanonExprId right, ir::DType dtype) {
  return build_sum_or_product(left, right, dtype, true);
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::build_sum_or_product(CanonExprId left, CanonExprId right,
                                                                          ir::DType dtype, bool multiply) {
  MORVALEN_CHECK_ID(left);
  MORVALEN_CHECK_ID(right);
  const ir::BinaryOp op = multiply ? ir::BinaryOp::Mul : ir::BinaryOp::Add;
  std::vector<CanonExprId> terms;
  collect_leaves(exprs_, left, op, dtype, terms);
  collect_leaves(exprs_, right, op, dtype, terms);
  auto less = [this](CanonExprId a, CanonExprId b) { return compare_ids(a, b) < 0; };
  std::stable_sort(terms.begin(), terms.end(), less);

  const NumClass k = num_class(dtype);
  std::optional<Number> acc;
  std::vector<CanonExprId> rest;
  for (CanonExprId id : terms) {
    const auto* c = as_constant(exprs_[id.value]);
    std::optional<Number> n = c ? read_number(c->value, k) : std::nullopt;
    if (!n) {
      rest.push_back(id);
      continue;
    }
    if (!acc) {
      acc = *n;
    } else if (!combine(*acc, *n, k, multiply)) {
      // Integer overflow: keep what was accumulated so far as a term of its
      // own, so no constant is lost, and start afresh with this constant.
      auto kept = intern_expr(canon::Constant{number_literal(*acc, k), dtype});
      if (!kept) return kept;
      rest.push_back(*kept);
      acc = *n;
    }
  }
  if (acc) {
    if (multiply && is_zero_number(*acc, k)) return intern_expr(canon::Constant{zero_literal(dtype), dtype});
    const bool drop = multiply ? is_one_number(*acc, k) : is_zero_number(*acc, k);
    if (!drop) {
      auto folded = intern_expr(canon::Constant{number_literal(*acc, k), dtype});
      if (!folded) return folded;
      rest.push_back(*folded);
    }
  }
  if (rest.empty()) {
    return intern_expr(canon::Constant{multiply ? one_literal(dtype) : zero_literal(dtype), dtype});
  }
  if (rest.size() == 1) return rest.front();
  std::stable_sort(rest.begin(), rest.end(), less);
  CanonExprId chain = rest.front();
  for (std::size_t i = 1; i < rest.size(); ++i) {
    auto next = intern_expr(canon::Binary{dtype, chain, rest[i], op});
    if (!next) return next;
    chain = *next;
  }
  return chain;
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::build_pow(CanonExprId base, CanonExprId exponent, ir::DType t) {
  const CanonExpr& a = exprs_[base.value];
  const CanonExpr& b = exprs_[exponent.value];
  if (power_literal_equals(b, t, 0)) return intern_expr(canon::Constant{one_literal(t), t});
  if (power_literal_equals(b, t, 1)) return base;
  if (power_literal_equals(a, t, 1)) return intern_expr(canon::Constant{one_literal(t), t});
  const auto* b_int = as_int_literal(b);
  if (b_int != nullptr && b_int->value > 0 && power_literal_equals(a, t, 0)) {
    return intern_expr(canon::Constant{zero_literal(t), t});
  }
  if (const auto* inner = std::get_if<canon::Binary>(&a);
      b_int != nullptr && inner != nullptr && inner->op == ir::BinaryOp::Pow && inner->dtype == t) {
    if (const auto* c = as_int_literal(exprs_[inner->right.value])) {
      std::int64_t product = 0;
      if (!__builtin_mul_overflow(c->value, b_int->value, &product)) {
        const CanonExprId inner_base = inner->left;
        auto power = intern_expr(canon::Constant{literal::Int{product}, ir::DType::i64()});
        if (!power) return power;
        return intern_expr(canon::Binary{t, inner_base, *power, ir::BinaryOp::Pow});
      }
    }
  }
  return intern_expr(canon::Binary{t, base, exponent, ir::BinaryOp::Pow});
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::call(std::string_view name, std::span<const CanonExprId> args,
                                                          ir::DType dtype) {
  for (CanonExprId arg : args) MORVALEN_CHECK_ID(arg);
  return intern_expr(canon::Call{std::string(name), std::vector<CanonExprId>(args.begin(), args.end()), dtype});
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::select(CanonExprId cond, CanonExprId then_branch,
                                                            CanonExprId else_branch, ir::DType dtype) {
  MORVALEN_CHECK_ID(cond);
  MORVALEN_CHECK_ID(then_branch);
  MORVALEN_CHECK_ID(else_branch);
  if (then_branch == else_branch) return then_branch;
  return intern_expr(canon::Select{dtype, cond, then_branch, else_branch});
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::cast_with_explicit(CanonExprId operand, ir::DType target,
                                                                        bool is_explicit) {
  MORVALEN_CHECK_ID(operand);
  const CanonExpr& x = exprs_[operand.value];
  if (const auto* c = as_constant(x)) {
    double re = 0.0;
    double im = 0.0;
    std::visit(
        [&](const auto& lit) {
          using L = std::decay_t<decltype(lit)>;
          if constexpr (std::is_same_v<L, literal::Bool>) {
            re = lit.value ? 1.0 : 0.0;
          } else if constexpr (std::is_same_v<L, literal::Int>) {
            re = static_cast<double>(lit.value);
          } else if constexpr (std::is_same_v<L, literal::Float>) {
            re = lit.value;
          } else if constexpr (std::is_same_v<L, literal::Complex>) {
            re = lit.re;
            im = lit.im;
          } else if constexpr (std::is_same_v<L, literal::E>) {
            re = kEValue;
          } else {
            re = kPiValue;
          }
        },
        c->value);
    Literal folded = literal::Bool{false};
    switch (target.kind) {
      case ir::DTypeKind::Bool:
        folded = literal::Bool{re != 0.0 || im != 0.0};
        break;
      case ir::DTypeKind::UInt:
      case ir::DTypeKind::Int:
        folded = literal::Int{saturating_to_int(re)};
        break;
      case ir::DTypeKind::Float:
        folded = literal::Float{re};
        break;
      case ir::DTypeKind::Complex:
        folded = literal::Complex{re, im};
        break;
    }
    return intern_expr(canon::Constant{folded, target});
  }
  if (auto own = expr_dtype(x); own && *own == target) return operand;
  return intern_expr(canon::Cast{target, operand, is_explicit});
}

Result<CanonFunction, CanonBuildError> InternedCanonExprBuilder::finish(std::vector<ir::ParamDecl> signature,
                                                                        std::vector<CanonExprId> outputs) && {
  std::set<std::string_view> seen;
  for (const ir::ParamDecl& p : signature) {
    if (!seen.insert(p.name).second) {
      return unexpected(CanonBuildError{CanonBuildError::DuplicateParameter{p.name}});
    }
  }
  for (CanonExprId id : outputs) MORVALEN_CHECK_ID(id);
  interned_.clear();
  return CanonFunction(std::move(signature), std::move(exprs_), std::move(outputs));
}

std::strong_ordering InternedCanonExprBuilder::compare_ids(CanonExprId a, CanonExprId b) const {
  const CanonExprId one[1] = {a};
  const CanonExprId other[1] = {b};
  return compare_id_slices(one, other);
}

std::strong_ordering InternedCanonExprBuilder::compare_id_slices(std::span<const CanonExprId> a,
                                                                 std::span<const CanonExprId> b) const {
  // An explicit work list instead of recursion: the operands of two deep
  // expressions may be compared all the way down.
  std::vector<CompareStep> steps;
  auto push_slices = [&steps](std::span<const CanonExprId> xs, std::span<const CanonExprId> ys) {
    // Pushed in reverse, so the elements are compared first to last and the
    // lengths (a proper prefix first) last.
    steps.push_back(CompareStep{{}, {}, xs.size() <=> ys.size(), true});
    for (std::size_t i = std::min(xs.size(), ys.size()); i-- > 0;) steps.push_back(CompareStep{xs[i], ys[i]});
  };
  auto push_fixed = [&steps](std::strong_ordering o) { steps.push_back(CompareStep{{}, {}, o, true}); };
  auto push_ids = [&steps](CanonExprId x, CanonExprId y) { steps.push_back(CompareStep{x, y}); };

  push_slices(a, b);
  const std::size_t n = exprs_.size();
  while (!steps.empty()) {
    const CompareStep step = steps.back();
    steps.pop_back();
    if (step.is_fixed) {
      if (step.fixed != 0) return step.fixed;
      continue;
    }
    const CanonExprId x = step.a;
    const CanonExprId y = step.b;
    if (x == y) continue;
    const bool x_valid = x.value < n;
    const bool y_valid = y.value < n;
    if (!x_valid || !y_valid) {
      if (x_valid != y_valid) return x_valid ? std::strong_ordering::less : std::strong_ordering::greater;
      return x.value <=> y.value;
    }
    const CanonExpr& ex = exprs_[x.value];
    const CanonExpr& ey = exprs_[y.value];
    if (ex.index() != ey.index()) return ex.index() <=> ey.index();
    // The fields of one variant; the remaining ones are pushed in reverse.
    std::strong_ordering head = std::visit(
        [&](const auto& fx) -> std::strong_ordering {
          using T = std::decay_t<decltype(fx)>;
          const auto& fy = std::get<T>(ey);
          if constexpr (std::is_same_v<T, canon::Parameter>) {
            if (auto c = compare_text(fx.name, fy.name); c != 0) return c;
            return compare_dtype(fx.dtype, fy.dtype);
          } else if constexpr (std::is_same_v<T, canon::Constant>) {
            return compare_constants(fx, fy);
          } else if constexpr (std::is_same_v<T, canon::Unary>) {
            push_fixed(compare_dtype(fx.dtype, fy.dtype));
            push_ids(fx.operand, fy.operand);
            return compare_text(ir::to_str(fx.op), ir::to_str(fy.op));
          } else if constexpr (std::is_same_v<T, canon::Binary>) {
            push_fixed(compare_dtype(fx.dtype, fy.dtype));
            push_ids(fx.right, fy.right);
            push_ids(fx.left, fy.left);
            return compare_text(ir::as_str(fx.op), ir::as_str(fy.op));
          } else if constexpr (std::is_same_v<T, canon::Call>) {
            push_fixed(compare_dtype(fx.dtype, fy.dtype));
            push_slices(fx.args, fy.args);
            return compare_text(fx.name, fy.name);
          } else if constexpr (std::is_same_v<T, canon::Select>) {
            push_fixed(compare_dtype(fx.dtype, fy.dtype));
            push_ids(fx.else_branch, fy.else_branch);
            push_ids(fx.then_branch, fy.then_branch);
            push_ids(fx.cond, fy.cond);
            return std::strong_ordering::equal;
          } else {
            push_fixed(fx.is_explicit <=> fy.is_explicit);
            push_fixed(compare_dtype(fx.dtype, fy.dtype));
            push_ids(fx.operand, fy.operand);
            return std::strong_ordering::equal;
          }
        },
        ex);
    if (head != 0) return head;
  }
  return std::strong_ordering::equal;
}

#undef MORVALEN_CHECK_ID

}  // namespace morvalen::diff
