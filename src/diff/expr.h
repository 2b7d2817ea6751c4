#pragma once

#include <algorithm>
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
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

/// The name of a parameter or a call, 16 bytes wide: names of up to 15 bytes
/// (every builtin's and nearly every parameter's) are stored in place, longer
/// ones in a heap block. Expressions are kept by the hundred thousand and most
/// carry no name, so a name must not widen every expression.
class CanonName {
 public:
  CanonName() = default;
  CanonName(std::string_view text);
  CanonName(const char* text) : CanonName(std::string_view(text)) {}
  CanonName(const std::string& text) : CanonName(std::string_view(text)) {}
  CanonName(const CanonName& other) : CanonName(other.view()) {}
  CanonName(CanonName&& other) noexcept : bytes_(other.bytes_) { other.bytes_ = {}; }
  CanonName& operator=(const CanonName& other);
  CanonName& operator=(CanonName&& other) noexcept;
  ~CanonName() { release(); }

  std::string_view view() const;
  std::string str() const { return std::string(view()); }
  operator std::string_view() const { return view(); }
  operator std::string() const { return str(); }

  friend bool operator==(const CanonName& a, const CanonName& b) { return a.view() == b.view(); }

 private:
  static constexpr std::size_t kInline = 15;
  static constexpr char kOnHeap = static_cast<char>(0xff);
  void release();

  // The last byte is the length of an in-place name, or kOnHeap; a heap name
  // keeps its pointer and length at the front.
  std::array<char, kInline + 1> bytes_{};
};

/// The arguments of a call, one pointer wide: the ids live in a heap block
/// after their count.
class CanonArgs {
 public:
  CanonArgs() = default;
  CanonArgs(std::initializer_list<CanonExprId> ids)
      : CanonArgs(std::span<const CanonExprId>(ids.begin(), ids.size())) {}
  explicit CanonArgs(std::span<const CanonExprId> ids);
  CanonArgs(const CanonArgs& other) : CanonArgs(std::span<const CanonExprId>(other.begin(), other.size())) {}
  CanonArgs(CanonArgs&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
  CanonArgs& operator=(const CanonArgs& other);
  CanonArgs& operator=(CanonArgs&& other) noexcept;
  ~CanonArgs() { delete[] block_; }

  std::size_t size() const { return block_ == nullptr ? 0 : block_[0].value; }
  bool empty() const { return size() == 0; }
  const CanonExprId* begin() const { return block_ == nullptr ? nullptr : block_ + 1; }
  const CanonExprId* end() const { return begin() + size(); }
  const CanonExprId& operator[](std::size_t k) const { return block_[k + 1]; }

  friend bool operator==(const CanonArgs& a, const CanonArgs& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  // The count in the first entry, then the ids; null when there are none.
  CanonExprId* block_ = nullptr;
};

/// The seven kinds of canonical expression. Their order in `CanonExpr` is the
/// first key of the structural order.
namespace canon {
struct Parameter {
  CanonName name;
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
  CanonName name;
  CanonArgs args;
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
// The expression list is what differentiation walks and keeps; its width
// decides how much of it stays in cache.
static_assert(sizeof(CanonExpr) <= 40, "a canonical expression stays within 40 bytes");

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
/// `key_hash` of a constant, without building the variant.
std::uint64_t constant_key_hash(const canon::Constant& constant);
/// `same_key` of two constants.
bool same_constant_key(const canon::Constant& a, const canon::Constant& b);
/// `key_hash` of the call of `name` on `args` typed `dtype`, without building
/// the variant (or its argument block).
std::uint64_t call_key_hash(std::string_view name, std::span<const CanonExprId> args, ir::DType dtype);

}  // namespace morvalen::diff

template <>
struct std::hash<morvalen::diff::CanonExprId> {
  std::size_t operator()(morvalen::diff::CanonExprId id) const noexcept { return std::hash<std::uint32_t>{}(id.value); }
};
