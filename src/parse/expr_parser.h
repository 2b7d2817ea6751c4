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

/// Parses a whole token sequence (lexed from `text`) as one expression
/// followed by the end of input. Spans are whole-source offsets (the lexing
/// offset added); errors at the end of the input are reported at the empty
/// span after the text. Recovery keeps going after a missing `)`,
/// a missing `,` or an unparsable expression, recording one error each, so
/// one input can yield several errors. Linear in the number of tokens on every
/// input; depth is limited only by memory. The nodes are built in `nodes`;
/// the names in them view `text`, which must live as long as the tree.
/// `lexed` is left as it was; its tokens change while the parser runs.
/// Never throws.
ExprParseOutput expr_parser(CompactLexOutput& lexed, std::string_view text, NodeArena& nodes);

}  // namespace morvalen::parse
