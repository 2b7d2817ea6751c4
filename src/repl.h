#pragma once

#include <cstddef>
#include <string>

#include "ir/dag.h"
#include "ir/node.h"

namespace morvalen::repl {

/// Longest text `render_simplified_expr` produces. Sharing lets a short program
/// denote an expression whose text doubles with every binding; past this size
/// rendering stops with `std::length_error` instead of exhausting memory.
inline constexpr std::size_t kMaxRenderedBytes = std::size_t{1} << 28;

/// Renders the expression rooted at `output` as one line in the surface syntax:
/// parentheses by operator precedence (only where reading the text back needs
/// them), casts inserted by promotion hidden, shared nodes written out again at
/// every use. The text has no surrounding whitespace and no pair of parentheses
/// enclosing all of it. Depth is limited by memory only.
///
/// Throws `InternalError` when `output` is not a node of `dag` or an operand does
/// not precede its user, and `std::length_error` beyond `kMaxRenderedBytes`.
std::string render_simplified_expr(const ir::TypedDag& dag, ir::NodeId output);

}  // namespace morvalen::repl
