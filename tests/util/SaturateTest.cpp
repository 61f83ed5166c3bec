#include <gtest/gtest.h>

#include <climits>

#include "util/Saturate.h"

namespace quorvex {
namespace {

TEST(SaturateTest, SumsStayWithinInt32) {
  const struct {
    int32_t a, b, sum;
  } cases[] = {
      {1, 2, 3},           {INT_MAX, 1, INT_MAX},      {INT_MAX - 1, 1, INT_MAX},
      {INT_MIN, -1, INT_MIN}, {INT_MAX, INT_MAX, INT_MAX}, {INT_MIN, INT_MAX, -1},
  };
  for (const auto& c : cases) EXPECT_EQ(SaturatingAdd(c.a, c.b), c.sum) << c.a << " + " << c.b;
}

}  // namespace
}  // namespace quorvex
