#include "request.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "api.h"
#include "support/unicode.h"

namespace morvalen::fuzz {
namespace {

std::optional<std::string> checked(const Result<std::string, api::ApiError>& outcome) {
  if (outcome) {
    if (!support::is_valid_utf8(*outcome)) fail("output is not valid UTF-8", *outcome);
    return std::nullopt;
  }
  std::string message = outcome.error().to_string();
  if (message.empty()) fail("empty error message", message);
  if (!support::is_valid_utf8(message)) fail("error message is not valid UTF-8", message);
  return message;
}

}  // namespace

void fail(std::string_view what, std::string_view text) {
  std::fprintf(stderr, "fuzz check failed: %.*s\n%.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(text.size()), text.data());
  std::abort();
}

Request decode_request(std::uint8_t selector) {
  return Request{static_cast<Operation>((selector >> 1) % 3), (selector & 1) != 0};
}

std::uint8_t encode_request(Request request) {
  return static_cast<std::uint8_t>((static_cast<unsigned>(request.operation) << 1) | (request.optimize ? 1U : 0U));
}

std::string_view first_parameter_name(std::string_view source) {
  std::size_t bar = source.find('|');
  if (bar == std::string_view::npos) return {};
  std::size_t start = bar + 1;
  std::size_t end = source.find_first_of(":,|\n", start);
  if (end == std::string_view::npos) end = source.size();
  while (start < end && (source[start] == ' ' || source[start] == '\t')) ++start;
  while (end > start && (source[end - 1] == ' ' || source[end - 1] == '\t' || source[end - 1] == '\r')) --end;
  return source.substr(start, end - start);
}

std::optional<std::string> run_request(Request request, std::string_view source) {
  switch (request.operation) {
    case Operation::SimplifyExpr:
      return checked(api::simplify_expr(source, request.optimize));
    case Operation::Diff:
      return checked(api::diff(source, first_parameter_name(source), request.optimize));
    case Operation::EmitPython:
      return checked(api::emit_python(source, "_kernel", request.optimize));
  }
  fail("unknown operation", {});
}

}  // namespace morvalen::fuzz
