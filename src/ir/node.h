#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <variant>
#include <vector>

#include "ir/dtype.h"
#include "ir/ops.h"
#include "support/internal_error.h"

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
/// The arguments of a call, held in place. Every builtin takes one argument;
/// the list keeps room for two so that passes can still see (and reject) a call
/// of the wrong arity. Holding them inline keeps `Node` trivially copyable, so
/// the node tables move and free nodes without touching the heap.
class CallArgs {
 public:
  static constexpr std::size_t kCapacity = 2;

  constexpr CallArgs() = default;
  CallArgs(std::initializer_list<NodeId> args) { assign(args.begin(), args.size()); }
  CallArgs(std::span<const NodeId> args) { assign(args.data(), args.size()); }
  CallArgs(const std::vector<NodeId>& args) { assign(args.data(), args.size()); }

  [[nodiscard]] constexpr std::size_t size() const { return count_; }
  [[nodiscard]] constexpr bool empty() const { return count_ == 0; }

  constexpr NodeId& operator[](std::size_t i) { return ids_[i]; }
  constexpr const NodeId& operator[](std::size_t i) const { return ids_[i]; }
  NodeId& at(std::size_t i) { return ids_[checked(i)]; }
  [[nodiscard]] const NodeId& at(std::size_t i) const { return ids_[checked(i)]; }
  constexpr NodeId& front() { return ids_[0]; }
  [[nodiscard]] constexpr const NodeId& front() const { return ids_[0]; }

  constexpr NodeId* begin() { return ids_; }
  constexpr NodeId* end() { return ids_ + count_; }
  [[nodiscard]] constexpr const NodeId* begin() const { return ids_; }
  [[nodiscard]] constexpr const NodeId* end() const { return ids_ + count_; }

  friend bool operator==(const CallArgs& a, const CallArgs& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  void assign(const NodeId* args, std::size_t n) {
    if (n > kCapacity) throw InternalError("a call holds at most two arguments");
    std::copy_n(args, n, ids_);
    count_ = static_cast<std::uint8_t>(n);
  }
  [[nodiscard]] std::size_t checked(std::size_t i) const {
    if (i >= count_) throw std::out_of_range("call argument index out of range");
    return i;
  }

  NodeId ids_[kCapacity] = {};
  std::uint8_t count_ = 0;
};

struct Call {
  Builtin builtin = Builtin::Exp;
  CallArgs args;
};
struct Cast {
  NodeId arg;
  DType dtype;
  /// Written in the source (`@` form) rather than inserted by promotion.
  bool is_explicit = false;
};

using Node = std::variant<Param, Const, Unary, Binary, If, Call, Cast>;
static_assert(std::is_trivially_copyable_v<Node>);

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
