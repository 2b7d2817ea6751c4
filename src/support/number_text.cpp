#include "support/number_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "support/internal_error.h"

namespace morvalen::support {
namespace {

// The longest fixed-form shortest text of a finite double is the smallest
// subnormal: "-0." followed by 323 zeros and one digit.
constexpr std::size_t kFixedBufferSize = 400;

// Appends [first, last). Given two pointers, `append` takes them as an
// iterator range and goes through the general `replace`; the counted form is
// the plain append.
void append_range(std::string& out, const char* first, const char* last) {
  out.append(first, static_cast<std::size_t>(last - first));
}

template <typename T>
void append_chars(std::string& out, T value) {
  std::array<char, 32> buffer;  // only the written prefix is read
  auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  if (ec != std::errc()) throw InternalError("integer text does not fit its buffer");
  append_range(out, buffer.data(), end);
}

// Powers of ten up to 10^22, each exact in a double.
constexpr std::array<double, 23> kExactPowersOfTen = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr double kExactIntegerLimit = 9007199254740992.0;  // 2^53
constexpr int kMostShortFractionDigits = 17;

// "00" to "99", one pair after the other.
constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> out{};
  for (std::size_t i = 0; i < 100; ++i) {
    out[2 * i] = static_cast<char>('0' + i / 10);
    out[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return out;
}();

// Writes the two digits of `pair` (below 100) just before `at`.
char* put_two_digits(char* at, std::uint64_t pair) {
  at -= 2;
  std::memcpy(at, kDigitPairs.data() + 2 * pair, 2);
  return at;
}

// Whether the decimal `digits` / 10^`scale` reads back as `magnitude`. Both
// operands are exact doubles (`digits` below 2^53, `scale` at most 22), so the
// one rounding of the division is the correctly rounded reading of the text.
bool reads_back(std::uint64_t digits, int scale, double magnitude) {
  return static_cast<double>(digits) / kExactPowersOfTen[static_cast<std::size_t>(scale)] == magnitude;
}

// The shortest text of the common values (at most 17 fraction digits, fewer
// than 16 significant ones) without the general conversion. A text with
// `scale` fraction digits is found by scaling; it is then proven the one
// `to_chars` gives: the decimal reads back to the value, its neighbours with
// as many fraction digits do not (so it is the only one of its length), and
// neither do the two texts with one fraction digit less around it (none in
// between reads back either, so no shorter text does). Returns false, having
// written nothing, for any value this does not settle.
bool append_short_fixed(std::string& out, double value) {
  const double magnitude = std::fabs(value);
  // Tiny values are left to the general conversion: they need many digits,
  // and a processor that reads subnormals as zero would compare them wrongly.
  if (magnitude != 0.0 && !(magnitude >= 1e-3)) return false;
  for (int scale = 0; scale <= kMostShortFractionDigits; ++scale) {
    const double scaled = magnitude * kExactPowersOfTen[static_cast<std::size_t>(scale)];
    if (!(scaled < kExactIntegerLimit - 1)) return false;
    const auto digits = static_cast<std::uint64_t>(scaled + 0.5);
    if (!reads_back(digits, scale, magnitude)) continue;
    if ((digits > 0 && reads_back(digits - 1, scale, magnitude)) || reads_back(digits + 1, scale, magnitude)) {
      return false;
    }
    if (scale > 0 &&
        (reads_back(digits / 10, scale - 1, magnitude) || reads_back(digits / 10 + 1, scale - 1, magnitude))) {
      return false;
    }
    std::array<char, 24> text;  // sign, 16 digits, point, leading zeros
    char* end = text.data() + text.size();
    char* at = end;
    std::uint64_t rest = digits;
    // The fraction digits, then the integer part's (at least one), from the
    // last digit back, two at a time where two are left.
    int fraction_left = scale;
    for (; fraction_left >= 2; fraction_left -= 2) {
      at = put_two_digits(at, rest % 100);
      rest /= 100;
    }
    if (fraction_left == 1) {
      *--at = static_cast<char>('0' + rest % 10);
      rest /= 10;
    }
    if (scale > 0) *--at = '.';
    for (; rest >= 100; rest /= 100) at = put_two_digits(at, rest % 100);
    if (rest >= 10) {
      at = put_two_digits(at, rest);
    } else {
      *--at = static_cast<char>('0' + rest);
    }
    if (std::signbit(value)) *--at = '-';
    append_range(out, at, end);
    return true;
  }
  return false;
}

}  // namespace

void append_shortest_fixed(std::string& out, double value) {
  if (!std::isfinite(value)) throw InternalError("fixed-form text of a non-finite float");
  if (append_short_fixed(out, value)) return;
  // Left uninitialised: only the prefix `to_chars` writes is read, and
  // zero-filling 400 bytes cost more than formatting a short constant.
  std::array<char, kFixedBufferSize> buffer;
  // Without a precision, `fixed` still gives the shortest digits that round
  // trip, only laid out without an exponent.
  auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed);
  if (ec != std::errc()) throw InternalError("float text does not fit its buffer");
  append_range(out, buffer.data(), end);
}

std::string shortest_fixed(double value) {
  std::string out;
  append_shortest_fixed(out, value);
  return out;
}

void append_decimal(std::string& out, std::int64_t value) { append_chars(out, value); }
void append_decimal(std::string& out, std::uint64_t value) { append_chars(out, value); }

}  // namespace morvalen::support
