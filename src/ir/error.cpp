#include "ir/error.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

#include "support/internal_error.h"

namespace morvalen::ir {

std::string plain_float_text(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // The shortest round-trip digits in scientific form, "d.ddde±XX", are
  // rewritten with the decimal point moved by the exponent.
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  if (ec != std::errc()) throw InternalError("plain_float_text: to_chars failed");
  std::string_view text(buf, static_cast<std::size_t>(end - buf));
  std::string out;
  if (!text.empty() && text.front() == '-') {
    out.push_back('-');
    text.remove_prefix(1);
  }
  const std::size_t e_pos = text.find('e');
  if (e_pos == std::string_view::npos) throw InternalError("plain_float_text: no exponent in scientific text");
  std::string digits;
  for (char c : text.substr(0, e_pos)) {
    if (c != '.') digits.push_back(c);
  }
  std::string_view exp_text = text.substr(e_pos + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
  int exponent = 0;
  auto parsed = std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  if (parsed.ec != std::errc()) throw InternalError("plain_float_text: bad exponent");

  // The value is 0.DIGITS times 10^(exponent + 1).
  const long point = static_cast<long>(exponent) + 1;
  const long ndigits = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= ndigits) {
    out += digits;
    out.append(static_cast<std::size_t>(point - ndigits), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out.push_back('.');
    out += digits.substr(static_cast<std::size_t>(point));
  }
  return out;
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
