#include "parse/ast.h"

namespace morvalen::parse {
namespace {

// Moves the direct children of `expr` onto `out`, leaving `expr` childless.
void take_children(Expr& expr, std::vector<Child>& out) {
  auto take = [&](Child& c) {
    if (c) out.push_back(std::move(c));
  };
  std::visit(
      [&](auto& node) {
        using T = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<T, Unary>) {
          take(node.operand);
        } else if constexpr (std::is_same_v<T, Binary>) {
          take(node.lhs);
          take(node.rhs);
        } else if constexpr (std::is_same_v<T, If>) {
          take(node.cond);
          take(node.then_branch);
          take(node.else_branch);
        } else if constexpr (std::is_same_v<T, Call>) {
          for (auto& a : node.args) take(a);
          node.args.clear();
        } else if constexpr (std::is_same_v<T, Cast>) {
          take(node.operand);
        } else if constexpr (std::is_same_v<T, Diff>) {
          take(node.expr);
        } else if constexpr (std::is_same_v<T, Tuple>) {
          for (auto& a : node.elements) take(a);
          node.elements.clear();
        } else if constexpr (std::is_same_v<T, Let>) {
          take(node.value);
          take(node.body);
        }
      },
      expr);
}

// The leaf forms, which own no nodes.
bool is_leaf(const Expr& expr) {
  return std::holds_alternative<Bool>(expr) || std::holds_alternative<Int>(expr) ||
         std::holds_alternative<Float>(expr) || std::holds_alternative<Complex>(expr) ||
         std::holds_alternative<E>(expr) || std::holds_alternative<Pi>(expr) || std::holds_alternative<Var>(expr);
}

void dismantle(Expr& expr) {
  if (is_leaf(expr)) return;
  std::vector<Child> pending;
  take_children(expr, pending);
  while (!pending.empty()) {
    Child next = std::move(pending.back());
    pending.pop_back();
    take_children(next->expr, pending);
    // `next` now has no children, so its destruction does not recurse.
  }
}

}  // namespace

Spanned& Spanned::operator=(Spanned&& other) noexcept {
  if (this != &other) {
    dismantle(expr);
    expr = std::move(other.expr);
    span = other.span;
  }
  return *this;
}

Spanned::~Spanned() { dismantle(expr); }

}  // namespace morvalen::parse
