#pragma once

// The outermost construct of a piece of program text, and where that piece
// needs parentheses to be read back as the operand it stands for. Infix
// operators bind as the operator table says (ir/ops.h).

#include <cstdint>
#include <string_view>

#include "ir/ops.h"

namespace morvalen::backend {

struct TextForm {
  enum class Kind : std::uint8_t {
    If,       // `if c then a else b`, which no operator takes as an operand
    Infix,    // `a op b`
    Prefix,   // `-x`, `!x`, a negative literal
    Postfix,  // `x@dtype`
    Atom,     // a name, a literal, a call, a parenthesised text
  };
  Kind kind = Kind::Atom;
  ir::BinaryOp op = ir::BinaryOp::Add;  // the operator of an `Infix` text

  static constexpr TextForm of(Kind kind) { return {kind, ir::BinaryOp::Add}; }
  static constexpr TextForm infix(ir::BinaryOp op) { return {Kind::Infix, op}; }
};

/// Whether `operand` needs parentheses as the left (`right` false) or right
/// operand of `op`: an infix text whose operator the grammar would not group
/// under `op` there, a prefix text left of an operator that binds tighter
/// than the prefix operand, an `if` anywhere.
bool needs_parens_as_operand(TextForm operand, ir::BinaryOp op, bool right);

/// Whether `operand` needs parentheses after a prefix `-` or `!`: an `if`,
/// and every infix text (`-x ** 2` would read as `-(x ** 2)`, but not for
/// every reader).
bool needs_parens_after_prefix(TextForm operand);

/// Whether `operand` needs parentheses before a postfix `@dtype`: all but
/// atoms and postfix texts.
bool needs_parens_before_postfix(TextForm operand);

/// The operator as source text spells it ("&&", where `ir::as_str` gives "and").
std::string_view infix_spelling(ir::BinaryOp op);

}  // namespace morvalen::backend
