#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "diag.h"
#include "parse/ast.h"
#include "support/result.h"
#include "support/span.h"

namespace morvalen::parse {

/// Parses one expression text whose first byte sits at `offset` in the whole
/// source; every span in the tree and in the diagnostics is a whole-source
/// offset. Returns the tree, or the diagnostics in the order they were found:
/// the single integer-imaginary finding (`2j`), else one per lex error, else
/// one per parse error (recovery lets one text yield several). Nesting depth
/// is limited only by memory. The nodes under the returned root are built in
/// `nodes`. Never throws.
Result<Spanned, std::vector<diag::Diag>> parse_expr_with_offset(std::string_view text, std::size_t offset,
                                                                NodeArena& nodes);

/// Parses a whole program: the header `|name: dtype, ...|`, assignment lines
/// `name = expr` and the result expression on the last line; `#` starts a
/// comment that runs to the end of the line. Assignments become nested `Let`
/// nodes around the result. On failure returns one diagnostic for a header or
/// line-structure problem, or the whole diagnostic list of the failing
/// expression; statements are checked last to first after the result line.
/// Never throws.
Result<FuncDef, std::vector<diag::Diag>> parse_dsl_with_errors(std::string_view source);

/// Checks a declared name (parameter or assignment target): non-empty, ASCII
/// letter or `_` first, then ASCII letters, digits or `_`, and not a keyword
/// or dtype name. Returns the name or its diagnostic at `span`.
Result<std::string, diag::Diag> parse_ident(std::string_view name, Span span);

}  // namespace morvalen::parse
