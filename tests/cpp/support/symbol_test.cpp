#include "support/symbol.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/internal_error.h"

namespace morvalen::support {
namespace {

TEST(Symbol, EqualTextsGiveEqualSymbols) {
  Symbol a = Symbol::intern("symbol-test-alpha");
  Symbol b = Symbol::intern(std::string("symbol-test-") + "alpha");
  Symbol c = Symbol::intern("symbol-test-beta");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_EQ(a.text(), "symbol-test-alpha");
  EXPECT_EQ(c.text(), "symbol-test-beta");
  EXPECT_EQ(Symbol::from_index(a.index()), a);
}

TEST(Symbol, IndicesFollowFirstInterning) {
  std::size_t before = interned_symbol_count();
  Symbol z = Symbol::intern("symbol-test-zzz-first");
  Symbol a = Symbol::intern("symbol-test-aaa-second");
  EXPECT_EQ(z.index(), before);
  EXPECT_EQ(a.index(), before + 1);
  EXPECT_LT(z, a);  // not alphabetical
  EXPECT_EQ(interned_symbol_count(), before + 2);
}

TEST(Symbol, EmptyAndUnusualTexts) {
  Symbol empty = Symbol::intern("");
  EXPECT_EQ(empty.text(), "");
  std::string with_nul("a\0b", 3);
  Symbol nul = Symbol::intern(with_nul);
  EXPECT_EQ(nul.text(), with_nul);
  EXPECT_NE(nul, Symbol::intern("a"));
}

TEST(Symbol, ViewsStayValidAsTheTableGrows) {
  Symbol first = Symbol::intern("symbol-test-stable");
  std::string_view view = first.text();
  for (int i = 0; i < 5000; ++i) Symbol::intern("symbol-test-grow-" + std::to_string(i));
  EXPECT_EQ(view, "symbol-test-stable");
}

TEST(Symbol, ConcurrentInterningAgrees) {
  std::vector<std::vector<std::uint32_t>> seen(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) seen[t].push_back(Symbol::intern("symbol-test-mt-" + std::to_string(i)).index());
    });
  }
  for (auto& th : threads) th.join();
  for (std::size_t t = 1; t < seen.size(); ++t) EXPECT_EQ(seen[t], seen[0]);
  EXPECT_EQ(Symbol::from_index(seen[0][7]).text(), "symbol-test-mt-7");
}

TEST(SymbolFailure, UnknownIndex) {
  try {
    (void)Symbol::from_index(0xFFFFFFF0u).text();
    ADD_FAILURE() << "no failure";
  } catch (const InternalError& e) {
    EXPECT_EQ(std::string(e.what()), "unknown symbol index 4294967280");
  }
}

}  // namespace
}  // namespace morvalen::support
