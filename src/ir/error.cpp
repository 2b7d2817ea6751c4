#include "ir/error.h"

#include <cmath>

#include "support/number_text.h"

namespace morvalen::ir {

std::string plain_float_text(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  return support::shortest_fixed(value);
}

diag::Diag precision_loss_diag(double value, DType dtype, Span span) {
  return diag::Diag::make(diag::DiagKind::PrecisionLoss, span,
                          diag::precision_loss_message(plain_float_text(value), dtype),
                          std::string(diag::precision_loss_help(dtype)));
}

diag::Diag expected_scalar_diag(std::size_t count, Span span) {
  return diag::Diag::make(diag::DiagKind::ExpectedScalar, span,
                          diag::expected_scalar_message("1", std::to_string(count)));
}

diag::Diag type_mismatch_diag(std::string_view operation, DType a, DType b, Span span) {
  return diag::Diag::make(diag::DiagKind::TypeMismatch, span, diag::type_mismatch_message(operation, a, b));
}

diag::Diag canon_lower_error_diag(std::string_view error_text, Span span) {
  return diag::Diag::make(diag::DiagKind::UndefinedFunction, span,
                          "inline differentiation lowering failed: " + std::string(error_text));
}

}  // namespace morvalen::ir
