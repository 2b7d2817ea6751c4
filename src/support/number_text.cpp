#include "support/number_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

#include "support/internal_error.h"

namespace morvalen::support {
namespace {

// The longest fixed-form shortest text of a finite double is the smallest
// subnormal: "-0." followed by 323 zeros and one digit.
constexpr std::size_t kFixedBufferSize = 400;

template <typename T>
void append_chars(std::string& out, T value) {
  std::array<char, 32> buffer;  // only the written prefix is read
  auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  if (ec != std::errc()) throw InternalError("integer text does not fit its buffer");
  out.append(buffer.data(), end);
}

}  // namespace

void append_shortest_fixed(std::string& out, double value) {
  if (!std::isfinite(value)) throw InternalError("fixed-form text of a non-finite float");
  // Left uninitialised: only the prefix `to_chars` writes is read, and
  // zero-filling 400 bytes cost more than formatting a short constant.
  std::array<char, kFixedBufferSize> buffer;
  // Without a precision, `fixed` still gives the shortest digits that round
  // trip, only laid out without an exponent.
  auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed);
  if (ec != std::errc()) throw InternalError("float text does not fit its buffer");
  out.append(buffer.data(), end);
}

std::string shortest_fixed(double value) {
  std::string out;
  append_shortest_fixed(out, value);
  return out;
}

void append_decimal(std::string& out, std::int64_t value) { append_chars(out, value); }
void append_decimal(std::string& out, std::uint64_t value) { append_chars(out, value); }

}  // namespace morvalen::support
