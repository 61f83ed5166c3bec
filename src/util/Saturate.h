// Counters of a stored row that the server adds to. A row written by another
// program may hold any value, so a sum is held at the int32 limits instead of
// overflowing.
#pragma once
#include <algorithm>
#include <cstdint>
#include <limits>

namespace quorvex {

inline int32_t SaturatingAdd(int32_t a, int32_t b) {
  const int64_t sum = static_cast<int64_t>(a) + b;
  return static_cast<int32_t>(std::clamp<int64_t>(sum, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

}  // namespace quorvex
