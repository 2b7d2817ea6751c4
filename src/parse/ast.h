#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "ir/dtype.h"
#include "ir/ops.h"
#include "support/span.h"

namespace morvalen::parse {

struct Spanned;

/// A child node. Every node of a tree lives in the tree's `NodeArena`, which
/// frees them all at once: a child is a plain reference, so dropping a tree of
/// any depth walks none of it.
class Child {
 public:
  Child() = default;
  // Implicit, as for a pointer.
  Child(std::nullptr_t) {}
  explicit Child(Spanned* node) : node_(node) {}

  Spanned* get() const { return node_; }
  Spanned& operator*() const { return *node_; }
  Spanned* operator->() const { return node_; }
  explicit operator bool() const { return node_ != nullptr; }

 private:
  Spanned* node_ = nullptr;
};

/// The children of a call or tuple, stored in the tree's arena.
using Children = std::span<const Child>;

struct Bool {
  bool value = false;
};
struct Int {
  std::int64_t value = 0;
  std::optional<ir::DType> suffix;
};
struct Float {
  double value = 0.0;
  std::optional<ir::DType> suffix;
};
/// Comes only from imaginary tokens, so `re` is always 0.0 when parsed.
struct Complex {
  double re = 0.0;
  double im = 0.0;
  std::optional<ir::DType> suffix;
};
struct E {};
struct Pi {};
/// Names view text stored in the tree's arena.
struct Var {
  std::string_view name;
};
struct Unary {
  Child operand;
  ir::UnaryOp op = ir::UnaryOp::Neg;
};
struct Binary {
  Child lhs;
  Child rhs;
  ir::BinaryOp op = ir::BinaryOp::Add;
};
struct If {
  Child cond;
  Child then_branch;
  Child else_branch;
};
struct Call {
  std::string_view name;
  Children args;
};
struct Cast {
  Child operand;
  ir::DType target;
};
struct Diff {
  std::string_view variable;
  Child expr;
};
/// At least two elements.
struct Tuple {
  Children elements;
};
/// Built only by the program grammar: one per assignment line.
struct Let {
  std::string_view name;
  Child value;
  Child body;
};

using Expr = std::variant<Bool, Int, Float, Complex, E, Pi, Var, Unary, Binary, If, Call, Cast, Diff, Tuple, Let>;

/// A parse-tree node: an expression and its span in the whole source. Owns
/// nothing: its children and names live in the tree's `NodeArena`.
struct Spanned {
  Expr expr;
  Span span;

  Spanned(Expr e, Span s) : expr(e), span(s) {}
  /// Builds the node's expression in place from one alternative.
  template <typename T>
  Spanned(std::in_place_type_t<T> kind, T&& value, Span s) : expr(kind, std::move(value)), span(s) {}
};

static_assert(std::is_trivially_destructible_v<Spanned>, "trees are dropped by freeing their arena");

/// The storage of syntax trees: nodes, child lists and names are carved out of
/// a few large blocks and freed together when the arena goes, so building a
/// tree costs no allocation per node and dropping one costs none per node.
/// Moving an arena keeps every node where it is.
class NodeArena {
 public:
  NodeArena() = default;
  NodeArena(NodeArena&& other) noexcept
      : last_block_(std::exchange(other.last_block_, nullptr)),
        next_(std::exchange(other.next_, nullptr)),
        end_(std::exchange(other.end_, nullptr)),
        block_size_(std::exchange(other.block_size_, 0)) {}
  NodeArena& operator=(NodeArena&& other) noexcept;
  NodeArena(const NodeArena&) = delete;
  NodeArena& operator=(const NodeArena&) = delete;
  ~NodeArena() { release(); }

  /// A new node holding `value`.
  template <typename T>
  Child make(T&& value, Span span) {
    return Child(new (allocate(sizeof(Spanned), alignof(Spanned)))
                     Spanned(std::in_place_type<T>, std::move(value), span));
  }
  /// A new node holding a copy of `node`.
  Child make(const Spanned& node) { return Child(new (allocate(sizeof(Spanned), alignof(Spanned))) Spanned(node)); }
  /// A copy of `children` in the arena.
  Children list(std::span<const Child> children);
  /// A copy of `text` in the arena.
  std::string_view text(std::string_view text);

 private:
  // The start of every block: its size and origin, and the block started
  // before it. The blocks are found from the latest one, so that an arena
  // needs no allocation besides its blocks.
  struct BlockHeader;

  void* allocate(std::size_t bytes, std::size_t align) {
    const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(next_) & (align - 1);
    const std::size_t skip = misalignment == 0 ? 0 : align - misalignment;
    if (static_cast<std::size_t>(end_ - next_) >= skip + bytes) {
      void* at = next_ + skip;
      next_ += skip + bytes;
      return at;
    }
    return allocate_in_new_block(bytes);
  }
  // Starts a new block (large enough for `bytes`) and takes `bytes` from it.
  void* allocate_in_new_block(std::size_t bytes);
  // Gives every block back.
  void release() noexcept;

  BlockHeader* last_block_ = nullptr;
  std::byte* next_ = nullptr;
  std::byte* end_ = nullptr;
  // The size of the latest regular block; the next one is twice as large.
  std::size_t block_size_ = 0;
};

/// Calls `f(const Spanned&)` for each direct child, in source order.
template <typename F>
void for_each_child(const Expr& expr, F&& f) {
  std::visit(
      [&](const auto& node) {
        using T = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<T, Unary>) {
          f(*node.operand);
        } else if constexpr (std::is_same_v<T, Binary>) {
          f(*node.lhs);
          f(*node.rhs);
        } else if constexpr (std::is_same_v<T, If>) {
          f(*node.cond);
          f(*node.then_branch);
          f(*node.else_branch);
        } else if constexpr (std::is_same_v<T, Call>) {
          for (const auto& a : node.args) f(*a);
        } else if constexpr (std::is_same_v<T, Cast>) {
          f(*node.operand);
        } else if constexpr (std::is_same_v<T, Diff>) {
          f(*node.expr);
        } else if constexpr (std::is_same_v<T, Tuple>) {
          for (const auto& a : node.elements) f(*a);
        } else if constexpr (std::is_same_v<T, Let>) {
          f(*node.value);
          f(*node.body);
        }
      },
      expr);
}

struct FuncParam {
  std::string name;
  ir::DType dtype;
};

/// A parsed program: the header parameters and the body, in which assignments
/// are nested `Let` nodes around the result expression.
struct FuncDef {
  std::vector<FuncParam> params;
  Spanned body;
  /// Holds the nodes under `body`.
  NodeArena nodes;
};

}  // namespace morvalen::parse
