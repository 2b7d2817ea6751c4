#pragma once

#include <variant>
#include <vector>

#include "ir/dag.h"
#include "ir/node.h"

namespace morvalen::backend {

/// Calls `f` with each operand of `node` in order: the argument of a `Unary`
/// or `Cast`, lhs then rhs, condition then both branches, every call argument.
template <typename F>
void for_each_operand(const ir::Node& node, F&& f) {
  if (const auto* u = std::get_if<ir::Unary>(&node)) {
    f(u->arg);
  } else if (const auto* b = std::get_if<ir::Binary>(&node)) {
    f(b->lhs);
    f(b->rhs);
  } else if (const auto* i = std::get_if<ir::If>(&node)) {
    f(i->cond);
    f(i->then_branch);
    f(i->else_branch);
  } else if (const auto* c = std::get_if<ir::Call>(&node)) {
    for (ir::NodeId a : c->args) f(a);
  } else if (const auto* k = std::get_if<ir::Cast>(&node)) {
    f(k->arg);
  }
}

/// A flag per node: set when an output depends on the node. Throws
/// `InternalError` when a needed node's operand does not precede it, since
/// straight-line code would read that operand before assigning it.
std::vector<bool> reachable_nodes(const ir::TypedDag& dag);

}  // namespace morvalen::backend
