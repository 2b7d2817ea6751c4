#include "diff/expr.h"

#include <bit>
#include <type_traits>

namespace morvalen::diff {
namespace {

std::uint64_t bits_of(double v) { return std::bit_cast<std::uint64_t>(v); }

bool same_dtype(const std::optional<ir::DType>& a, const std::optional<ir::DType>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a.has_value() || *a == *b;
}

bool same_literal_key(const canon::Constant& a, const canon::Constant& b) {
  if (a.value.index() != b.value.index()) return false;
  return std::visit(
      [&](const auto& la) -> bool {
        using T = std::decay_t<decltype(la)>;
        const auto& lb = std::get<T>(b.value);
        if constexpr (std::is_same_v<T, literal::Bool>) {
          return la.value == lb.value;
        } else if constexpr (std::is_same_v<T, literal::Int>) {
          return la.value == lb.value && same_dtype(a.dtype, b.dtype);
        } else if constexpr (std::is_same_v<T, literal::Float>) {
          return bits_of(la.value) == bits_of(lb.value) && same_dtype(a.dtype, b.dtype);
        } else if constexpr (std::is_same_v<T, literal::Complex>) {
          return bits_of(la.re) == bits_of(lb.re) && bits_of(la.im) == bits_of(lb.im) && same_dtype(a.dtype, b.dtype);
        } else {
          return true;
        }
      },
      a.value);
}

void mix(std::size_t& h, std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); }

void mix_dtype(std::size_t& h, const std::optional<ir::DType>& d) {
  mix(h, d.has_value() ? std::hash<ir::DType>{}(*d) + 1 : 0);
}

}  // namespace

Literal zero_literal(ir::DType dtype) {
  switch (dtype.kind) {
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

Literal one_literal(ir::DType dtype) {
  switch (dtype.kind) {
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

std::string CanonExprId::debug() const { return "CanonExprId(" + std::to_string(value) + ")"; }

std::optional<ir::DType> expr_dtype(const CanonExpr& expr) {
  return std::visit([](const auto& e) -> std::optional<ir::DType> { return e.dtype; }, expr);
}

bool operator==(const ExprKey& a, const ExprKey& b) {
  if (a.expr.index() != b.expr.index()) return false;
  return std::visit(
      [&](const auto& ea) -> bool {
        using T = std::decay_t<decltype(ea)>;
        const auto& eb = std::get<T>(b.expr);
        if constexpr (std::is_same_v<T, canon::Parameter>) {
          return ea.name == eb.name && ea.dtype == eb.dtype;
        } else if constexpr (std::is_same_v<T, canon::Constant>) {
          return same_literal_key(ea, eb);
        } else if constexpr (std::is_same_v<T, canon::Unary>) {
          return ea.op == eb.op && ea.operand == eb.operand && ea.dtype == eb.dtype;
        } else if constexpr (std::is_same_v<T, canon::Binary>) {
          return ea.op == eb.op && ea.left == eb.left && ea.right == eb.right && ea.dtype == eb.dtype;
        } else if constexpr (std::is_same_v<T, canon::Call>) {
          return ea.name == eb.name && ea.args == eb.args && ea.dtype == eb.dtype;
        } else if constexpr (std::is_same_v<T, canon::Select>) {
          return ea.cond == eb.cond && ea.then_branch == eb.then_branch && ea.else_branch == eb.else_branch &&
                 ea.dtype == eb.dtype;
        } else {
          return ea.operand == eb.operand && ea.dtype == eb.dtype && ea.is_explicit == eb.is_explicit;
        }
      },
      a.expr);
}

std::size_t ExprKeyHash::operator()(const ExprKey& key) const noexcept {
  std::size_t h = key.expr.index();
  std::hash<ir::DType> hd;
  std::visit(
      [&](const auto& e) {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, canon::Parameter>) {
          mix(h, std::hash<std::string>{}(e.name));
          mix(h, hd(e.dtype));
        } else if constexpr (std::is_same_v<T, canon::Constant>) {
          mix(h, e.value.index());
          std::visit(
              [&](const auto& lit) {
                using L = std::decay_t<decltype(lit)>;
                if constexpr (std::is_same_v<L, literal::Bool>) {
                  mix(h, lit.value ? 1 : 0);
                } else if constexpr (std::is_same_v<L, literal::Int>) {
                  mix(h, static_cast<std::size_t>(lit.value));
                  mix_dtype(h, e.dtype);
                } else if constexpr (std::is_same_v<L, literal::Float>) {
                  mix(h, bits_of(lit.value));
                  mix_dtype(h, e.dtype);
                } else if constexpr (std::is_same_v<L, literal::Complex>) {
                  mix(h, bits_of(lit.re));
                  mix(h, bits_of(lit.im));
                  mix_dtype(h, e.dtype);
                }
              },
              e.value);
        } else if constexpr (std::is_same_v<T, canon::Unary>) {
          mix(h, static_cast<std::size_t>(e.op));
          mix(h, e.operand.value);
          mix(h, hd(e.dtype));
        } else if constexpr (std::is_same_v<T, canon::Binary>) {
          mix(h, static_cast<std::size_t>(e.op));
          mix(h, e.left.value);
          mix(h, e.right.value);
          mix(h, hd(e.dtype));
        } else if constexpr (std::is_same_v<T, canon::Call>) {
          mix(h, std::hash<std::string>{}(e.name));
          for (CanonExprId a : e.args) mix(h, a.value);
          mix(h, e.args.size());
          mix(h, hd(e.dtype));
        } else if constexpr (std::is_same_v<T, canon::Select>) {
          mix(h, e.cond.value);
          mix(h, e.then_branch.value);
          mix(h, e.else_branch.value);
          mix(h, hd(e.dtype));
        } else {
          mix(h, e.operand.value);
          mix(h, hd(e.dtype));
          mix(h, e.is_explicit ? 1 : 0);
        }
      },
      key.expr);
  return h;
}

}  // namespace morvalen::diff
