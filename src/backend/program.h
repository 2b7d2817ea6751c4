#pragma once

#include <cstddef>
#include <string>

#include "ir/dag.h"
#include "support/result.h"

namespace morvalen::backend {

/// Longest text `render_program` produces.
inline constexpr std::size_t kMaxProgramBytes = std::size_t{1} << 28;

/// The program text would exceed `kMaxProgramBytes`.
struct ProgramTooLong {
  /// "program text is longer than 268435456 bytes"
  std::string to_string() const;
};

/// Writes the DAG's single output as a program of the language:
///
///     |x: f64|
///     t1 = x * x + sin(x)
///     t1 * t1 + sin(t1)
///
/// The header declares the DAG's parameters (names, dtypes, order). Every
/// node used more than once, and every expression whose text would be long,
/// is bound on a line of its own to a name `t1`, `t2`, ... (with `_` appended
/// while a parameter has that name), numbered in the order the lines come;
/// a line comes before the first line that uses it. The last line is the
/// result. The size of the text is proportional to the number of nodes.
///
/// Parsing, lowering and folding the text gives the DAG again in the shape
/// of `in_source_shape`, node for node: the same operations on the same
/// operands, the same dtypes, the same constant scalars (see `const_text.h`),
/// casts written with `@` where promotion would not add them. Only the
/// explicit flag of such a cast can differ. Writing that DAG again gives the
/// same text.
///
/// Throws `InternalError` when the DAG has other than one output or an
/// operand does not precede its user.
Result<std::string, ProgramTooLong> render_program(const ir::TypedDag& dag);

}  // namespace morvalen::backend
