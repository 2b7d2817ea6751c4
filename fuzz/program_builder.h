#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace morvalen::fuzz {

/// Builds the text of a well-typed program from fuzz bytes: a header of one to
/// four parameters of any of the fifteen dtypes, up to four assignments, and a
/// result expression (a tuple when `allow_tuple` is set and the bytes ask for
/// one). Expressions use every operator, the twelve callable builtins, both
/// cast spellings, suffixed and plain literals of every kind, `if`, and
/// `diff[x](...)` (at most two per program, as each derivative of a derivative
/// multiplies the rendered length). Operand types are tracked with the
/// promotion table, and an operand of the wrong kind is cast, so lowering
/// accepts the program; the bytes only choose among well-formed alternatives.
/// Every byte sequence, including the empty one, gives a program; once the
/// bytes run out every choice takes its first (simplest) alternative, so the
/// size stays bounded.
std::string build_program(const std::uint8_t* data, std::size_t size, bool allow_tuple);

}  // namespace morvalen::fuzz
