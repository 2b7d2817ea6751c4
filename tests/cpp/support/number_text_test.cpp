#include "support/number_text.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

namespace morvalen::support {
namespace {

std::string general_conversion(double value) {
  std::array<char, 400> buffer;
  auto end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed).ptr;
  return std::string(buffer.data(), end);
}

void expect_same_text(double value) {
  ASSERT_EQ(shortest_fixed(value), general_conversion(value)) << std::bit_cast<std::uint64_t>(value);
  ASSERT_EQ(shortest_fixed(-value), general_conversion(-value)) << std::bit_cast<std::uint64_t>(value);
}

// The texts are those of the general shortest conversion: for every short
// decimal of up to six fraction digits and its double neighbours, for sums
// and products of such decimals (the values folding makes), and for doubles
// of random bits across the magnitudes.
TEST(ShortestFixed, SameTextAsGeneralConversion) {
  const std::array<double, 7> scales = {1.0, 10.0, 100.0, 1e3, 1e4, 1e5, 1e6};
  for (double scale : scales) {
    for (int i = 0; i <= 100000; ++i) {
      const double v = i / scale;
      expect_same_text(v);
      expect_same_text(std::nextafter(v, 1e300));
      expect_same_text(std::nextafter(v, -1e300));
    }
  }
  std::uint64_t state = 0x9e3779b97f4a7c15ull;
  auto next = [&] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 11;
  };
  for (int i = 0; i < 300000; ++i) {
    const double a = static_cast<double>(next() % 100000) / 1000.0;
    const double b = static_cast<double>(next() % 100000) / 1000.0;
    expect_same_text(a + b);
    expect_same_text(a - b);
    expect_same_text(a * b);
    const std::uint64_t exponent = 1023 - 30 + next() % 90;  // about 1e-9 to 1e18
    expect_same_text(std::bit_cast<double>((exponent << 52) | (next() & ((std::uint64_t{1} << 52) - 1))));
  }
  for (double v : {0.0, 0.001, 0.0009999999999999998, 9007199254740991.0, 9007199254740992.0, 1e16, 1e17,
                   0.30000000000000004, 123456789.123456789}) {
    expect_same_text(v);
  }
}

}  // namespace
}  // namespace morvalen::support
