#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "diag.h"
#include "support/span.h"

namespace morvalen::parse {

/// The parser expected something else where it stopped. What was expected and
/// found is never shown to the user, so it is not recorded.
struct ExpectedFound {
  friend bool operator==(const ExpectedFound&, const ExpectedFound&) = default;
};
/// An error with its own text, e.g. "unknown-dtype:foo" or "invalid integer literal".
struct CustomReason {
  std::string message;
  friend bool operator==(const CustomReason&, const CustomReason&) = default;
};
using RichReason = std::variant<ExpectedFound, CustomReason>;

/// An error of the lexer or of the expression parser. Lexer spans are relative
/// to the lexed text; parser spans are already offsets into the whole source.
struct Rich {
  RichReason reason;
  Span span;
  friend bool operator==(const Rich&, const Rich&) = default;
};

/// The prefix of the parser's custom error for a dtype name that does not exist.
inline constexpr std::string_view kUnknownDtypePrefix = "unknown-dtype:";

/// `Syntax`: "syntax error: " + message, with the default syntax help.
diag::Diag parse_syntax(std::string_view message, Span span);

/// `IntImaginaryLiteral`: "integer imaginary literal `<v>j` is not supported;
/// use float form `<v>.0j` instead".
diag::Diag parse_int_imaginary(std::int64_t value, Span span);

/// `UnknownDtype`: "unknown type `<name>`", help listing the fifteen dtypes.
diag::Diag parse_unknown_dtype(std::string_view name, Span span);

/// `ReservedIdentifier`: "reserved word `<name>` cannot be used as an identifier".
diag::Diag parse_reserved_identifier(std::string_view name, Span span);

/// A `Syntax` diagnostic "syntax error: " + detail carrying the kind's default help.
diag::Diag syntax_diag(std::string_view detail, Span span);

/// An expression-parser error as a diagnostic: a custom "unknown-dtype:NAME"
/// becomes `parse_unknown_dtype(NAME)`, another custom text T becomes
/// "syntax error: T", and an expected-token error "syntax error: syntax error".
diag::Diag parse_error_from_rich(const Rich& error);

/// A lexer error as a diagnostic, its span shifted by `offset`: "syntax error: "
/// + the custom text, or "syntax error: lex error" for unexpected input.
diag::Diag lex_error_to_diag(const Rich& error, std::size_t offset);

}  // namespace morvalen::parse
