#include "support/kept.h"

#include <gtest/gtest.h>

#include <vector>

namespace morvalen::support {
namespace {

struct ReuseTag {};
struct NestTag {};
struct CapTag {};

TEST(Kept, NextUseOnTheThreadGetsTheBufferBackClearedWithItsCapacity) {
  const int* storage = nullptr;
  {
    Kept<std::vector<int>, ReuseTag, 1024> first;
    first.value.assign(100, 7);
    storage = first.value.data();
  }
  Kept<std::vector<int>, ReuseTag, 1024> second;
  EXPECT_TRUE(second.value.empty());
  EXPECT_GE(second.value.capacity(), 100U);
  EXPECT_EQ(second.value.data(), storage);
}

TEST(Kept, NestedUseStartsEmptyAndNeverSharesTheOuterBuffer) {
  Kept<std::vector<int>, NestTag, 1024> outer;
  outer.value.assign(10, 1);
  {
    Kept<std::vector<int>, NestTag, 1024> inner;
    EXPECT_EQ(inner.value.capacity(), 0U);
    inner.value.assign(20, 2);
  }
  EXPECT_EQ(outer.value, std::vector<int>(10, 1));
  Kept<std::vector<int>, NestTag, 1024> after_inner;
  EXPECT_EQ(after_inner.value.size(), 0U);
  EXPECT_GE(after_inner.value.capacity(), 20U);
}

TEST(Kept, BufferGrownPastTheCapIsFreedNotKept) {
  {
    Kept<std::vector<int>, CapTag, 64> large;
    large.value.assign(65, 0);
  }
  Kept<std::vector<int>, CapTag, 64> next;
  EXPECT_EQ(next.value.capacity(), 0U);
}

}  // namespace
}  // namespace morvalen::support
