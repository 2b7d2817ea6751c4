#include "support/stack.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace morvalen::support {
namespace {

// Deliberately stack-hungry recursion: far deeper than one native stack allows
// without growth.
std::size_t depth_sum(std::size_t n) {
  return grow_stack([&]() -> std::size_t {
    volatile char pad[256] = {};
    if (n == 0) return pad[0];
    return 1 + depth_sum(n - 1) + pad[1];
  });
}

TEST(StackTest, DeepRecursionGrowsTheStack) { EXPECT_EQ(depth_sum(200000), 200000u); }

void throw_at_depth(std::size_t n) {
  grow_stack([&] {
    volatile char pad[256] = {};
    (void)pad;
    if (n == 0) throw std::runtime_error("bottom reached");
    throw_at_depth(n - 1);
  });
}

TEST(StackTest, ExceptionsCrossSegments) {
  try {
    throw_at_depth(100000);
    FAIL() << "expected an exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "bottom reached");
  }
}

TEST(StackTest, ShallowCallRunsInPlace) {
  int calls = 0;
  EXPECT_EQ(grow_stack([&] { return ++calls; }), 1);
  EXPECT_FALSE(stack_is_low());
}

}  // namespace
}  // namespace morvalen::support
