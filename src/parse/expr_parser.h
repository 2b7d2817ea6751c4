#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "parse/ast.h"
#include "parse/error.h"
#include "parse/lexer.h"
#include "support/span.h"

namespace morvalen::parse {

/// What the expression parser produced: a tree (possibly after recovering from
/// errors), the errors in the order they were recorded, or both. A tree that
/// comes with errors is not a valid result and is dropped by the callers.
struct ExprParseOutput {
  Child tree;
  std::vector<Rich> errors;
  /// Work done: rule entries and tokens skipped by recovery. Grows linearly
  /// with the input, whatever the input; tests watch it.
  std::size_t steps = 0;
};

/// Parses a whole token sequence (lexed from `text`, spans shifted by
/// `offset`) as one expression followed by the end of input. Spans are
/// whole-source offsets; `eoi` is the span reported for errors at the end of
/// the input. Recovery keeps going after a missing `)`,
/// a missing `,` or an unparsable expression, recording one error each, so
/// one input can yield several errors. Linear in the number of tokens on every
/// input; depth is limited only by memory. The nodes are built in `nodes`.
/// `tokens` is left as it was; it is changed while the parser runs.
/// Never throws.
ExprParseOutput expr_parser(std::vector<CompactToken>& tokens, std::string_view text, std::size_t offset, Span eoi,
                            NodeArena& nodes);

}  // namespace morvalen::parse
