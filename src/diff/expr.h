#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "ir/dtype.h"
#include "ir/ops.h"

namespace morvalen::diff {

/// Index of an expression in one canonical builder's expression list. Ids are
/// dense, start at 0 and are handed out in creation order.
struct CanonExprId {
  std::uint32_t value = 0;

  /// "CanonExprId(7)".
  std::string debug() const;

  friend constexpr bool operator==(CanonExprId, CanonExprId) = default;
  friend constexpr auto operator<=>(CanonExprId, CanonExprId) = default;
};

/// The literal of a canonical constant. The first four mirror `ir::Scalar`; E and
/// Pi exist only here and are lowered to `f64` constants.
namespace literal {
struct Bool {
  bool value = false;
};
struct Int {
  std::int64_t value = 0;
};
struct Float {
  double value = 0.0;
};
struct Complex {
  double re = 0.0;
  double im = 0.0;
};
struct E {};
struct Pi {};
}  // namespace literal

/// Alternatives in this order: Bool, Int, Float, Complex, E, Pi (the order is
/// the structural order of literal kinds).
using Literal = std::variant<literal::Bool, literal::Int, literal::Float, literal::Complex, literal::E, literal::Pi>;

inline constexpr double kEValue = 2.718281828459045;
inline constexpr double kPiValue = 3.141592653589793;

/// The seven kinds of canonical expression. Their order in `CanonExpr` is the
/// first key of the structural order.
namespace canon {
struct Parameter {
  std::string name;
  ir::DType dtype;
};
struct Constant {
  Literal value;
  /// Absent only when a caller supplies none.
  std::optional<ir::DType> dtype;
};
struct Unary {
  ir::DType dtype;
  CanonExprId operand;
  ir::UnaryOp op = ir::UnaryOp::Neg;
};
struct Binary {
  ir::DType dtype;
  CanonExprId left;
  CanonExprId right;
  ir::BinaryOp op = ir::BinaryOp::Add;
};
struct Call {
  std::string name;
  std::vector<CanonExprId> args;
  ir::DType dtype;
};
struct Select {
  ir::DType dtype;
  CanonExprId cond;
  CanonExprId then_branch;
  CanonExprId else_branch;
};
struct Cast {
  /// The target dtype.
  ir::DType dtype;
  CanonExprId operand;
  /// Written in the source rather than inserted by promotion.
  bool is_explicit = false;
};
}  // namespace canon

using CanonExpr = std::variant<canon::Parameter, canon::Constant, canon::Unary, canon::Binary, canon::Call,
                               canon::Select, canon::Cast>;

/// The zero of a dtype by its kind: Bool false, Int 0, Float 0.0 or Complex
/// (0.0, 0.0).
Literal zero_literal(ir::DType dtype);
/// The one of a dtype by its kind: Bool true, Int 1, Float 1.0 or Complex
/// (1.0, 0.0).
Literal one_literal(ir::DType dtype);

/// The dtype an expression carries: its own dtype field; for a constant its
/// optional dtype.
std::optional<ir::DType> expr_dtype(const CanonExpr& expr);

/// Whether two expressions are the same interning key: the same variant with
/// equal fields, where dtypes compare by kind and width (and the bfloat flag
/// for float and complex kinds); Bool constants by their truth value alone; Int,
/// Float and Complex constants by the exact 64-bit patterns of their values,
/// then the optional dtype (so 0.0 and -0.0 differ and equal NaN patterns
/// coincide); E and Pi constants by their kind alone.
bool same_key(const CanonExpr& a, const CanonExpr& b);

/// A hash of the interning key: expressions for which `same_key` holds hash
/// alike.
std::uint64_t key_hash(const CanonExpr& expr);
/// `key_hash` of a binary expression, without building the variant.
std::uint64_t binary_key_hash(const canon::Binary& binary);

}  // namespace morvalen::diff

template <>
struct std::hash<morvalen::diff::CanonExprId> {
  std::size_t operator()(morvalen::diff::CanonExprId id) const noexcept { return std::hash<std::uint32_t>{}(id.value); }
};
