// The parser's work, counted in rule entries and skipped tokens, grows
// linearly with the input for nested forms, closed or not: recovery must not
// parse the same text again at every level.
#include <gtest/gtest.h>

#include <string>

#include "parse/expr_parser.h"
#include "parse/lexer.h"

namespace morvalen::parse {
namespace {

std::size_t steps_for(const std::string& text) {
  CompactLexOutput lexed = lex_compact(text, 0);
  EXPECT_TRUE(lexed.errors.empty()) << text.substr(0, 40);
  NodeArena nodes;
  return expr_parser(lexed, text, nodes).steps;
}

std::string repeat(const std::string& piece, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += piece;
  return out;
}

struct Family {
  const char* open;   // repeated n times
  const char* inner;  // once, in the middle
  const char* close;  // repeated n times
};

class ParseWorkTest : public ::testing::TestWithParam<Family> {};

TEST_P(ParseWorkTest, GrowsLinearly) {
  const Family& f = GetParam();
  auto text = [&](int n) { return repeat(f.open, n) + f.inner + repeat(f.close, n); };
  const std::size_t small = steps_for(text(250));
  const std::size_t large = steps_for(text(2000));
  // Eight times the input may cost at most about eight times the work.
  EXPECT_LE(large, 9 * small) << f.open << " x n: " << small << " steps at 250, " << large << " at 2000";
}

INSTANTIATE_TEST_SUITE_P(NestedForms, ParseWorkTest,
                         ::testing::Values(Family{"f(x,f(", "", ""}, Family{"log(x, log(", "", ""},
                                           Family{"f(x,f(", "x", "))"}, Family{"f(x,f(", "x", ")"},
                                           Family{"(x,(", "", ""}, Family{"(x,(", "x", "))"}, Family{"f(", "x y", ""},
                                           Family{"(", "x", ""}, Family{"((x ", "", ""}, Family{"cast<f32>(x,", "", ""},
                                           Family{"diff[x](x,", "", ""}, Family{"if x then f(x,", "", ""},
                                           Family{"if (x, ", "", ""}, Family{"f(x) (", "", ""},
                                           Family{"- f(x,", "* *", ")"}, Family{"g(x, x@foo, f(", "", ""},
                                           Family{"f(x, if x then (", "", ""}, Family{"x < f(x, y < ", "", ""},
                                           Family{"f(,", "", ""}, Family{"f(x,(x,", "", ")"}));

}  // namespace
}  // namespace morvalen::parse
