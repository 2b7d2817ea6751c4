#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvalen::fuzz {

/// The public operation a fuzz input runs.
enum class Operation : std::uint8_t { SimplifyExpr, Diff, EmitPython };

/// What the selector byte of an input asks for.
struct Request {
  Operation operation = Operation::SimplifyExpr;
  bool optimize = false;
};

/// Bit 0 sets `optimize`; the remaining bits modulo 3 pick the operation.
Request decode_request(std::uint8_t selector);

/// The selector byte that `decode_request` maps back to `request`.
std::uint8_t encode_request(Request request);

/// The name of the first parameter of the header, found by a cheap scan: the
/// text after the first `|` up to `:`, `,`, `|` or a line end, trimmed of ASCII
/// spaces and tabs. Empty when there is no `|`. Not a validated identifier:
/// `diff` gets whatever the scan finds and reports a bad name itself.
std::string_view first_parameter_name(std::string_view source);

/// Runs the requested operation on `source` through the public API and checks
/// what every call must satisfy: a result or an error value, never an
/// exception; a non-empty error message; output and messages that are valid
/// UTF-8 (the Python module turns both into `str`). A violation aborts, which
/// the fuzzer reports as a crash. `source` must itself be valid UTF-8, as the
/// Python module guarantees. Returns the error message, if the call failed.
std::optional<std::string> run_request(Request request, std::string_view source);

/// Prints `what` and `text` to standard error and aborts: how a harness
/// reports a broken expectation to the fuzzer.
[[noreturn]] void fail(std::string_view what, std::string_view text);

}  // namespace morvalen::fuzz
