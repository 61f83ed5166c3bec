#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "util/TraceThrottle.h"

namespace quorvex {
namespace {

TEST(TraceThrottleTest, LetsOneLineThroughPerGap) {
  // Ticks of successive calls with a 1000 ms gap, and whether each may write.
  const struct {
    uint64_t tick;
    bool allowed;
  } calls[] = {
      {5000, true},   // the first line always
      {5000, false},  {5999, false},  // within the gap of the last line
      {6000, true},   // a whole gap later
      {6500, false},  {7999, true},   // the gap counts from the last line let through, not from the last call
      {0, false},     // a tick that went backwards never opens the gap early
      {1000000, true},
  };
  CTraceThrottle throttle(1000);
  for (const auto& c : calls) EXPECT_EQ(throttle.Allow(c.tick), c.allowed) << "tick " << c.tick;
}

TEST(TraceThrottleTest, TheFirstLineIsWrittenEvenAtTickZero) {
  CTraceThrottle throttle(1000);
  EXPECT_TRUE(throttle.Allow(0));
  EXPECT_FALSE(throttle.Allow(0));
  EXPECT_FALSE(throttle.Allow(999));
}

TEST(TraceThrottleTest, ThreadsRacingForOneSlotGetOneLine) {
  CTraceThrottle throttle(1000);
  std::atomic<int> allowed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i)
        if (throttle.Allow(42)) ++allowed;
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(allowed.load(), 1);
}

}  // namespace
}  // namespace quorvex
