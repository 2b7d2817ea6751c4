#include "parse/error.h"

#include <charconv>

#include "ir/dtype.h"
#include "support/overloaded.h"

namespace morvalen::parse {
namespace {

constexpr std::string_view kSyntaxPrefix = "syntax error: ";
constexpr std::string_view kSyntaxHelp = "check the surrounding tokens and parentheses for typos or missing separators";
constexpr std::string_view kIntImaginaryHelp = "use a float imaginary literal instead, e.g. `2.0j` instead of `2j`";
constexpr std::string_view kReservedHelp = "use a different name for the variable or parameter";

std::string unknown_dtype_help() {
  std::string help = "expected one of: ";
  bool first = true;
  for (ir::DType d : ir::all_dtypes) {
    if (!first) help += ", ";
    first = false;
    help += ir::to_str(d);
  }
  return help;
}

std::string decimal(std::int64_t value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

}  // namespace

diag::Diag parse_syntax(std::string_view message, Span span) {
  std::string text(kSyntaxPrefix);
  text += message;
  return diag::Diag::make(diag::DiagKind::Syntax, span, std::move(text), std::string(kSyntaxHelp));
}

diag::Diag parse_int_imaginary(std::int64_t value, Span span) {
  std::string v = decimal(value);
  std::string text = "integer imaginary literal `" + v + "j` is not supported; use float form `" + v + ".0j` instead";
  return diag::Diag::make(diag::DiagKind::IntImaginaryLiteral, span, std::move(text), std::string(kIntImaginaryHelp));
}

diag::Diag parse_unknown_dtype(std::string_view name, Span span) {
  std::string text = "unknown type `";
  text += name;
  text += '`';
  return diag::Diag::make(diag::DiagKind::UnknownDtype, span, std::move(text), unknown_dtype_help());
}

diag::Diag parse_reserved_identifier(std::string_view name, Span span) {
  std::string text = "reserved word `";
  text += name;
  text += "` cannot be used as an identifier";
  return diag::Diag::make(diag::DiagKind::ReservedIdentifier, span, std::move(text), std::string(kReservedHelp));
}

diag::Diag syntax_diag(std::string_view detail, Span span) {
  std::string text(kSyntaxPrefix);
  text += detail;
  return diag::Diag::make(diag::DiagKind::Syntax, span, std::move(text));
}

diag::Diag parse_error_from_rich(const Rich& error) {
  return std::visit(support::Overloaded{
                        [&](const CustomReason& custom) {
                          std::string_view text = custom.message;
                          if (text.starts_with(kUnknownDtypePrefix)) {
                            return parse_unknown_dtype(text.substr(kUnknownDtypePrefix.size()), error.span);
                          }
                          return syntax_diag(text, error.span);
                        },
                        [&](const ExpectedFound&) { return syntax_diag("syntax error", error.span); },
                    },
                    error.reason);
}

diag::Diag lex_error_to_diag(const Rich& error, std::size_t offset) {
  Span span{error.span.start + offset, error.span.end + offset};
  return std::visit(support::Overloaded{
                        [&](const CustomReason& custom) { return syntax_diag(custom.message, span); },
                        [&](const ExpectedFound&) { return syntax_diag("lex error", span); },
                    },
                    error.reason);
}

}  // namespace morvalen::parse
