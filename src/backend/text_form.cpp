#include "backend/text_form.h"

#include "ir/ops.h"

namespace morvalen::backend {

bool needs_parens_as_operand(TextForm operand, ir::BinaryOp op, bool right) {
  const ir::BindingPowers outer = ir::binding_powers(op);
  switch (operand.kind) {
    case TextForm::Kind::If:
      return true;
    case TextForm::Kind::Infix: {
      const ir::BindingPowers inner = ir::binding_powers(operand.op);
      // On the left, the loop that parsed the operand's right side, at
      // inner.right, must stop before `op`; on the right, the loop parsing
      // at outer.right must take the operand's operator (a non-associative
      // one at an equal power fails instead).
      if (!right) return inner.right <= outer.left;
      return inner.left < outer.right || (inner.left == outer.right && ir::info(operand.op).assoc == ir::Assoc::None);
    }
    case TextForm::Kind::Prefix:
      // A prefix operand runs on over every operator that binds tighter.
      return !right && ir::kPrefixPower <= outer.left;
    case TextForm::Kind::Postfix:
    case TextForm::Kind::Atom:
      return false;
  }
  return true;
}

bool needs_parens_after_prefix(TextForm operand) {
  return operand.kind == TextForm::Kind::If || operand.kind == TextForm::Kind::Infix;
}

bool needs_parens_before_postfix(TextForm operand) {
  return operand.kind != TextForm::Kind::Postfix && operand.kind != TextForm::Kind::Atom;
}

std::string_view infix_spelling(ir::BinaryOp op) { return ir::info(op).token; }

}  // namespace morvalen::backend
