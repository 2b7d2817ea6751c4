#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "ir/dtype.h"
#include "ir/ops.h"
#include "support/span.h"

namespace morvalen::parse {

struct Spanned;
/// Children are owned; a tree is destroyed without recursion (see ~Spanned).
using Child = std::unique_ptr<Spanned>;

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
struct Var {
  std::string name;
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
  std::string name;
  std::vector<Child> args;
};
struct Cast {
  Child operand;
  ir::DType target;
};
struct Diff {
  std::string variable;
  Child expr;
};
/// At least two elements.
struct Tuple {
  std::vector<Child> elements;
};
/// Built only by the program grammar: one per assignment line.
struct Let {
  std::string name;
  Child value;
  Child body;
};

using Expr = std::variant<Bool, Int, Float, Complex, E, Pi, Var, Unary, Binary, If, Call, Cast, Diff, Tuple, Let>;

/// A parse-tree node: an expression and its span in the whole source.
struct Spanned {
  Expr expr;
  Span span;

  Spanned(Expr e, Span s) : expr(std::move(e)), span(s) {}
  /// Builds the node's expression in place from one alternative.
  template <typename T>
  Spanned(std::in_place_type_t<T> kind, T&& value, Span s) : expr(kind, std::move(value)), span(s) {}
  Spanned(Spanned&&) noexcept = default;
  Spanned& operator=(Spanned&&) noexcept;
  Spanned(const Spanned&) = delete;
  Spanned& operator=(const Spanned&) = delete;
  /// Dismantles the subtree with an explicit stack, so trees of any depth can
  /// be dropped.
  ~Spanned();
};

inline Child make_child(Expr e, Span s) { return std::make_unique<Spanned>(std::move(e), s); }

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
};

}  // namespace morvalen::parse
