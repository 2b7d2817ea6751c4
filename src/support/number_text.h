#pragma once

#include <cstdint>
#include <string>

namespace morvalen::support {

/// Appends the shortest decimal text that reads back to the same 64-bit value,
/// never in exponent form and without a fractional part for integral values:
/// "2", "0.5", "-0", "100000000000000000000", "0.0000001". `value` must be
/// finite; infinities and NaN are spelled by each caller in its own language.
void append_shortest_fixed(std::string& out, double value);

/// `append_shortest_fixed` into a new text.
std::string shortest_fixed(double value);

/// Decimal text of an integer ("-5", "18446744073709551615").
void append_decimal(std::string& out, std::int64_t value);
void append_decimal(std::string& out, std::uint64_t value);

}  // namespace morvalen::support
