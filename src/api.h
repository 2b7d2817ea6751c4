#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "diag.h"
#include "diff/error.h"
#include "ir/dag.h"
#include "support/result.h"

namespace morvalen::api {

/// The one error of every public operation; its display text is the message
/// that reaches the caller (the Python module raises it unchanged).
struct ApiError {
  /// The parse diagnostics, joined.
  struct Parse {
    std::string message;
  };
  /// The lowering errors joined, or a canonical-lowering message.
  struct Lower {
    std::string message;
  };
  /// The optimizer's own error text.
  struct Optimize {
    std::string message;
  };
  /// The rejected function name, exactly as the caller wrote it.
  struct InvalidFunctionName {
    std::string name;
  };
  /// The number of outputs of a DAG that needed exactly one.
  struct OutputCount {
    std::uint64_t count = 0;
  };
  /// Differentiation refused; shown with the error's own text, no prefix.
  struct Diff {
    diff::DiffError error;
  };
  /// The rendered text would be too long to hand back (sharing can make it
  /// grow exponentially with the program); shown with its own text.
  struct OutputTooLong {
    std::string message;
  };
  std::variant<Parse, Lower, Optimize, InvalidFunctionName, OutputCount, Diff, OutputTooLong> detail;

  /// "parse failed: " + message, "lowering failed: " + message,
  /// "optimization failed: " + message,
  /// "invalid Python function name `NAME`: expected a non-keyword identifier
  /// matching [A-Za-z_][A-Za-z0-9_]*", "expected a single output expression,
  /// got N", the differentiation error's text, or "rendered expression is
  /// longer than N bytes".
  std::string to_string() const;
};

/// The messages of `diags` in list order joined by "; " (empty for none).
std::string format_diags(const std::vector<diag::Diag>& diags);

/// Parses and lowers `source` under a fresh default configuration. Parse
/// diagnostics give `Parse`; lowering errors (warnings never) give `Lower`.
Result<ir::TypedDag, ApiError> parsed_and_lowered_dag(std::string_view source);

/// `parsed_and_lowered_dag`, then the optimizer (non-aggressive) when
/// `optimize` is set; its refusal gives `Optimize`.
Result<ir::TypedDag, ApiError> lowered_dag(std::string_view source, bool optimize);

/// The program's single result, folded (and optimized on request) and rendered
/// as one line of source-like text. A result of other than one value gives
/// `OutputCount` (or, with `optimize`, the optimizer's single-output refusal).
Result<std::string, ApiError> simplify_expr(std::string_view source, bool optimize = false);

/// Python source of a function named `function_name` evaluating the program.
/// The name is checked before the source is looked at: a name that is not a
/// non-keyword identifier, or that is a name the emitted code calls (`math`,
/// `abs`, `bool`, `complex`, `float`, `int`: the function would hide it), gives
/// `InvalidFunctionName`.
Result<std::string, ApiError> emit_python(std::string_view source, std::string_view function_name,
                                          bool optimize = false);

/// The derivative of the program's single result with respect to the floating
/// parameter `variable`, folded (and optimized on request) and rendered. The
/// primal program is neither folded nor optimized before differentiation.
Result<std::string, ApiError> diff(std::string_view source, std::string_view variable, bool optimize = false);

/// The program's single result, as `simplify_expr` computes it (folded, and
/// optimized on request), written as the text of a program: its header, a
/// line for every node used more than once, the result expression (see
/// `backend::render_program`). The text reads back into the same DAG, so
/// `simplify_program` of it gives it back unchanged. Errors as
/// `simplify_expr`'s, and `OutputTooLong` past `backend::kMaxProgramBytes`.
Result<std::string, ApiError> simplify_program(std::string_view source, bool optimize = false);

/// The derivative that `diff` renders, written as the text of a program like
/// `simplify_program` writes it; `diff_program` of that text differentiates
/// again. Errors as `diff`'s, and `OutputTooLong`.
Result<std::string, ApiError> diff_program(std::string_view source, std::string_view variable, bool optimize = false);

/// The text back ends that `emit` writes.
enum class Backend : std::uint8_t { Python, Numpy };

/// One multi-output DAG: the program's value (as `lowered_dag` gives it), then
/// its derivative by each name of `wrt` in order (the DAG that `diff` renders
/// for that name: differentiated from the unoptimized program, optimized on
/// request, folded). The program is parsed and lowered once; equal nodes of
/// the value and the derivatives are one node. A name that `diff` refuses, or
/// a tuple result, gives `diff`'s error; the derivatives are checked before
/// the value is optimized.
Result<ir::TypedDag, ApiError> value_and_gradient_dag(std::string_view source, std::span<const std::string> wrt,
                                                      bool optimize = false);

/// The source of the function `function_name` for `backend`, computing the
/// program (`wrt` empty: for `Backend::Python` the text of `emit_python`) or
/// returning its value followed by its derivatives (`value_and_gradient_dag`).
/// The name is checked first, as `emit_python` does, against the names that
/// the chosen back end's text reads.
Result<std::string, ApiError> emit(std::string_view source, std::string_view function_name, Backend backend,
                                   bool optimize = false, std::span<const std::string> wrt = {});

}  // namespace morvalen::api
