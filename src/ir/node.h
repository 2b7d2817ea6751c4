#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <variant>
#include <vector>

#include "ir/dtype.h"
#include "ir/ops.h"

namespace morvalen::ir {

/// Position of a node in one `TypedDag`'s node table.
struct NodeId {
  std::size_t value = 0;

  friend constexpr bool operator==(NodeId, NodeId) = default;
  friend constexpr auto operator<=>(NodeId, NodeId) = default;
};

struct ComplexValue {
  double re = 0.0;
  double im = 0.0;
};

/// A constant held at full width: Bool, Int (signed 64-bit; an unsigned value is
/// its 64-bit pattern), Float (64-bit), Complex (two 64-bit floats). The node's
/// dtype, not the alternative, is the type of the value.
using Scalar = std::variant<bool, std::int64_t, double, ComplexValue>;

struct Param {
  std::size_t index = 0;
};
struct Const {
  Scalar value;
};
struct Unary {
  NodeId arg;
  UnaryOp op = UnaryOp::Neg;
};
struct Binary {
  BinaryOp op = BinaryOp::Add;
  NodeId lhs;
  NodeId rhs;
};
struct If {
  NodeId cond;
  NodeId then_branch;
  NodeId else_branch;
};
struct Call {
  Builtin builtin = Builtin::Exp;
  std::vector<NodeId> args;
};
struct Cast {
  NodeId arg;
  DType dtype;
  /// Written in the source (`@` form) rather than inserted by promotion.
  bool is_explicit = false;
};

using Node = std::variant<Param, Const, Unary, Binary, If, Call, Cast>;

/// Calls `f` on every operand of `node` in the order the operands are written:
/// the argument of a `Unary` or `Cast`; lhs, then rhs; condition, then branch,
/// else branch; the call arguments in order. `Param` and `Const` have none.
/// A mutable `node` hands out `NodeId&`, so that `f` may replace operands.
template <typename N, typename F>
  requires std::same_as<std::remove_const_t<N>, Node>
void for_each_operand(N& node, F&& f) {
  std::visit(
      [&](auto& n) {
        using T = std::remove_cvref_t<decltype(n)>;
        if constexpr (std::is_same_v<T, Unary> || std::is_same_v<T, Cast>) {
          f(n.arg);
        } else if constexpr (std::is_same_v<T, Binary>) {
          f(n.lhs);
          f(n.rhs);
        } else if constexpr (std::is_same_v<T, If>) {
          f(n.cond);
          f(n.then_branch);
          f(n.else_branch);
        } else if constexpr (std::is_same_v<T, Call>) {
          for (auto& arg : n.args) f(arg);
        } else {
          static_assert(std::is_same_v<T, Param> || std::is_same_v<T, Const>);
        }
      },
      node);
}

}  // namespace morvalen::ir

template <>
struct std::hash<morvalen::ir::NodeId> {
  std::size_t operator()(morvalen::ir::NodeId id) const noexcept { return std::hash<std::size_t>{}(id.value); }
};
