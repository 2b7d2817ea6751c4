#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ir/dag.h"
#include "ir/node.h"
#include "support/result.h"

namespace morvalen::repl {

/// Longest text `render_simplified_expr` produces. Sharing lets a short program
/// denote an expression whose text doubles with every binding; past this size
/// rendering is refused with `RenderTooLong` instead of exhausting memory.
inline constexpr std::size_t kMaxRenderedBytes = std::size_t{1} << 28;

/// The text would exceed `kMaxRenderedBytes`.
struct RenderTooLong {
  /// "rendered expression is longer than 268435456 bytes"
  std::string to_string() const;
};

/// Renders the expression rooted at `output` as one line in the surface syntax:
/// parentheses by operator precedence (only where reading the text back needs
/// them), casts inserted by promotion hidden, shared nodes written out again at
/// every use. The text has no surrounding whitespace and no pair of parentheses
/// enclosing all of it. Depth is limited by memory only.
///
/// Throws `InternalError` when `output` is not a node of `dag` or an operand does
/// not precede its user; a text beyond `kMaxRenderedBytes` gives `RenderTooLong`.
Result<std::string, RenderTooLong> render_simplified_expr(const ir::TypedDag& dag, ir::NodeId output);

}  // namespace morvalen::repl
