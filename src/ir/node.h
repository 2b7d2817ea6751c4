#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

}  // namespace morvalen::ir

template <>
struct std::hash<morvalen::ir::NodeId> {
  std::size_t operator()(morvalen::ir::NodeId id) const noexcept { return std::hash<std::size_t>{}(id.value); }
};
