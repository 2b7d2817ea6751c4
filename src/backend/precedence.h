#pragma once

namespace morvalen::backend {

/// Binding strength of a piece of program text, higher binding tighter: a
/// piece is set in parentheses where its operator binds looser than the place
/// it stands in needs.
enum class Precedence : int {
  If = 0,
  Or = 1,
  And = 2,
  Compare = 3,
  Add = 4,
  Mul = 5,
  Pow = 6,
  Unary = 7,  // a prefix sign or `!`, and a negative literal
  Cast = 8,   // the postfix `@dtype`
  Call = 9,
  Atom = 255,  // names, literals, parenthesised texts
};

}  // namespace morvalen::backend
