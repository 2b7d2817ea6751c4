#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "parse/parser.h"
#include "support/unicode.h"

namespace morvalen::parse {
namespace {

// Pieces of real programs, so that random programs get deep into the grammar.
const std::vector<std::string_view> kFragments = {"|",
                                                  "||",
                                                  "|x: f32|",
                                                  "|x: f32, n: i32|",
                                                  "|a: bool, b: c64|",
                                                  "\n",
                                                  "\r\n",
                                                  " ",
                                                  "  ",
                                                  "\t",
                                                  "#",
                                                  "# note\n",
                                                  "x",
                                                  "y",
                                                  "n",
                                                  "_t",
                                                  "größe",
                                                  "f",
                                                  "exp",
                                                  "log",
                                                  "(",
                                                  ")",
                                                  "[",
                                                  "]",
                                                  ",",
                                                  "@",
                                                  "@f32",
                                                  "@foo",
                                                  "cast<f64>(",
                                                  "cast<",
                                                  ">",
                                                  "<",
                                                  "diff[x](",
                                                  "diff[",
                                                  "if ",
                                                  " then ",
                                                  " else ",
                                                  "true",
                                                  "false",
                                                  "e",
                                                  "pi",
                                                  "0",
                                                  "1",
                                                  "007",
                                                  "42",
                                                  "2.5",
                                                  "1e3",
                                                  "1e",
                                                  "1.",
                                                  ".5",
                                                  "2.5j",
                                                  "3j",
                                                  "1e+5j",
                                                  "9223372036854775807",
                                                  "9223372036854775808",
                                                  "99999999999999999999j",
                                                  "+",
                                                  "-",
                                                  "*",
                                                  "/",
                                                  "//",
                                                  "%",
                                                  "**",
                                                  "&&",
                                                  "&",
                                                  "!",
                                                  "!=",
                                                  "==",
                                                  "=",
                                                  "<=",
                                                  ">=",
                                                  "y = ",
                                                  "x = x + 1\n",
                                                  " = ",
                                                  "$",
                                                  ";",
                                                  ":",
                                                  "f32",
                                                  "bf16",
                                                  "u128",
                                                  "\u3000",
                                                  "\u00A0",
                                                  "\u2200",
                                                  "\U0001F600"};

const std::vector<std::string_view> kSeeds = {
    "|x: f32, n: i32|\ny = x * 2.0  # double it\ny ** n",
    "|x: f64| if x > 0.0 then exp(x) else -x@f32",
    "|a: i32, b: i32|\nc = (a, b)\nd = cast<f64>(a) // 2\nd % 3 + diff[a](a*a)",
    "|z: c64| z * 2.5j + 1e-3 - (z ** 2)",
    "|p: bool, q: bool| !p && q || p == q",
    "||\n1",
};

class Fuzzer {
 public:
  explicit Fuzzer(std::uint64_t seed) : rng_(seed) {}

  std::string program() {
    switch (below(4)) {
      case 0:
        return from_fragments();
      case 1:
        return mutate(std::string(kSeeds[below(kSeeds.size())]));
      case 2:
        return random_code_points();
      default:
        return mutate(from_fragments());
    }
  }

 private:
  std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

  std::string from_fragments() {
    std::string out = below(4) == 0 ? "" : "|x: f32|\n";
    std::size_t count = 1 + below(40);
    for (std::size_t i = 0; i < count; ++i) out += kFragments[below(kFragments.size())];
    return out;
  }

  void append_random_code_point(std::string& out) {
    switch (below(4)) {
      case 0:
        out.push_back(static_cast<char>(0x20 + below(0x5F)));  // printable ASCII
        break;
      case 1:
        out.push_back(static_cast<char>(below(0x80)));  // any ASCII, controls included
        break;
      default: {
        char32_t c = static_cast<char32_t>(below(0x110000));
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        support::append_utf8(out, c);
      }
    }
  }

  std::string random_code_points() {
    std::string out = "|x: f32| ";
    std::size_t count = below(60);
    for (std::size_t i = 0; i < count; ++i) append_random_code_point(out);
    return out;
  }

  // Edits at code point boundaries only, so the text stays valid UTF-8.
  std::string mutate(std::string text) {
    std::size_t edits = 1 + below(6);
    for (std::size_t e = 0; e < edits; ++e) {
      std::vector<std::size_t> bounds;
      for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) bounds.push_back(i);
      }
      std::size_t a = bounds[below(bounds.size())];
      std::size_t b = bounds[below(bounds.size())];
      if (a > b) std::swap(a, b);
      switch (below(4)) {
        case 0:
          text.erase(a, b - a);
          break;
        case 1:
          text.insert(a, kFragments[below(kFragments.size())]);
          break;
        case 2: {
          std::string piece;
          append_random_code_point(piece);
          text.insert(a, piece);
          break;
        }
        default:
          text.insert(a, text.substr(a, b - a));  // duplicate a stretch
          break;
      }
    }
    return text;
  }

  std::mt19937_64 rng_;
};

bool known_message(const std::string& m) {
  auto starts = [&](std::string_view p) { return m.compare(0, p.size(), p) == 0; };
  return starts("syntax error: ") || starts("unknown type `") || starts("integer imaginary literal `") ||
         starts("reserved word `");
}

void check_spans(const Spanned& root, std::size_t size) {
  std::vector<const Spanned*> stack{&root};
  while (!stack.empty()) {
    const Spanned* node = stack.back();
    stack.pop_back();
    ASSERT_LE(node->span.start, node->span.end);
    ASSERT_LE(node->span.end, size);
    for_each_child(node->expr, [&](const Spanned& c) { stack.push_back(&c); });
  }
}

TEST(FuzzTest, RandomAndMutatedProgramsAlwaysGiveATreeOrDiagnostics) {
  Fuzzer fuzzer(0x6d6f7276616c656eULL);
  std::size_t accepted = 0;
  std::size_t rejected = 0;
  for (int i = 0; i < 100000; ++i) {
    std::string src = fuzzer.program();
    ASSERT_TRUE(support::is_valid_utf8(src));
    Result<FuncDef, std::vector<diag::Diag>> r = parse_dsl_with_errors(src);
    if (r) {
      ++accepted;
      check_spans(r->body, src.size());
      if (HasFatalFailure()) FAIL() << src;
      continue;
    }
    ++rejected;
    ASSERT_FALSE(r.error().empty()) << src;
    for (const diag::Diag& d : r.error()) {
      ASSERT_TRUE(known_message(d.message)) << d.message << " for " << src;
      ASSERT_TRUE(d.span.has_value()) << src;
      ASSERT_LE(d.span->start, d.span->end) << src;
      ASSERT_LE(d.span->end, src.size()) << src;
      ASSERT_TRUE(d.help.has_value() && !d.help->empty()) << src;
    }
  }
  // Both outcomes must be well represented, or the generator is not doing its job.
  EXPECT_GT(accepted, 1000u);
  EXPECT_GT(rejected, 10000u);
}

TEST(FuzzTest, SameInputSameDiagnostics) {
  Fuzzer a(7);
  for (int i = 0; i < 2000; ++i) {
    std::string src = a.program();
    auto first = parse_dsl_with_errors(src);
    auto second = parse_dsl_with_errors(src);
    ASSERT_EQ(first.has_value(), second.has_value()) << src;
    if (!first) {
      ASSERT_EQ(first.error().size(), second.error().size()) << src;
      for (std::size_t k = 0; k < first.error().size(); ++k) {
        EXPECT_EQ(first.error()[k].message, second.error()[k].message);
        EXPECT_EQ(first.error()[k].span, second.error()[k].span);
      }
    }
  }
}

// Ill-formed UTF-8 cannot come from Python, but a C++ caller could pass it:
// it must still end in diagnostics, not in a crash.
TEST(FuzzTest, IllFormedBytesAreRejectedCleanly) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 5000; ++i) {
    std::string src = "|x: f32| x + ";
    std::size_t count = 1 + rng() % 12;
    for (std::size_t k = 0; k < count; ++k) src.push_back(static_cast<char>(rng() & 0xFF));
    Result<FuncDef, std::vector<diag::Diag>> r = parse_dsl_with_errors(src);
    if (!r) {
      ASSERT_FALSE(r.error().empty());
    }
  }
}

}  // namespace
}  // namespace morvalen::parse
