#pragma once

// The binary operators as the expression grammar reads them: the token that
// spells each one and its binding powers in the Pratt loop. The parser looks
// the table up by token; the program back end, which writes text that the
// parser must read back the same, looks it up by operator.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ir/ops.h"
#include "parse/lexer.h"

namespace morvalen::parse {

/// Minimum power for the operand of a prefix operator (`-`, `!`).
inline constexpr unsigned kPrefixPower = 10;

enum class Assoc : std::uint8_t { Left, Right, None };

struct InfixOp {
  ir::BinaryOp op;
  std::size_t token;  // the kind of the token that spells it
  Assoc assoc;
  unsigned left;   // compared with the loop's minimum power
  unsigned right;  // the minimum power of the right operand
};

/// A level L gives powers (2L, 2L+1) when left-associative, (2L+1, 2L) when
/// right-associative and (2L, 2L) when non-associative.
constexpr InfixOp infix(ir::BinaryOp op, std::size_t token, Assoc assoc, unsigned level) {
  switch (assoc) {
    case Assoc::Left:
      return {op, token, assoc, 2 * level, 2 * level + 1};
    case Assoc::Right:
      return {op, token, assoc, 2 * level + 1, 2 * level};
    case Assoc::None:
      return {op, token, assoc, 2 * level, 2 * level};
  }
  return {op, token, assoc, 0, 0};
}

/// One row per binary operator, in `BinaryOp` order.
inline constexpr std::array<InfixOp, ir::kBinaryOpCount> kInfixOps = {{
    infix(ir::BinaryOp::Add, token_index<tok::Plus>(), Assoc::Left, 3),
    infix(ir::BinaryOp::Sub, token_index<tok::Minus>(), Assoc::Left, 3),
    infix(ir::BinaryOp::Mul, token_index<tok::Star>(), Assoc::Left, 4),
    infix(ir::BinaryOp::Div, token_index<tok::Slash>(), Assoc::Left, 4),
    infix(ir::BinaryOp::FloorDiv, token_index<tok::SlashSlash>(), Assoc::Left, 4),
    infix(ir::BinaryOp::Rem, token_index<tok::Percent>(), Assoc::Left, 4),
    infix(ir::BinaryOp::Pow, token_index<tok::StarStar>(), Assoc::Right, 6),
    infix(ir::BinaryOp::Eq, token_index<tok::EqEq>(), Assoc::None, 2),
    infix(ir::BinaryOp::Ne, token_index<tok::NotEq>(), Assoc::None, 2),
    infix(ir::BinaryOp::Lt, token_index<tok::Lt>(), Assoc::None, 2),
    infix(ir::BinaryOp::Le, token_index<tok::LtEq>(), Assoc::None, 2),
    infix(ir::BinaryOp::Gt, token_index<tok::Gt>(), Assoc::None, 2),
    infix(ir::BinaryOp::Ge, token_index<tok::GtEq>(), Assoc::None, 2),
    infix(ir::BinaryOp::And, token_index<tok::AndAnd>(), Assoc::Left, 1),
    infix(ir::BinaryOp::Or, token_index<tok::OrOr>(), Assoc::Left, 0),
}};

constexpr bool rows_in_operator_order() {
  for (std::size_t i = 0; i < kInfixOps.size(); ++i) {
    if (static_cast<std::size_t>(kInfixOps[i].op) != i) return false;
  }
  return true;
}
static_assert(rows_in_operator_order(), "kInfixOps is indexed by BinaryOp");

constexpr const InfixOp& infix_op(ir::BinaryOp op) { return kInfixOps[static_cast<std::size_t>(op)]; }

/// The operator as source text spells it: "&&" and "||" for `And` and `Or`,
/// where `ir::as_str` gives "and" and "or".
constexpr std::string_view source_spelling(ir::BinaryOp op) { return kTokenTable[infix_op(op).token].spelling; }

}  // namespace morvalen::parse
