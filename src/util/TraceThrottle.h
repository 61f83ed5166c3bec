// Lets a repeated trace line through at most once per gap, so that a flood
// (an overload, a misbehaving peer) shows as one line a second carrying a
// running count instead of a line per event, which would cost the very
// processor time the overload is short of. Safe to call from any thread.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstdint>

namespace quorvex {

class CTraceThrottle {
 public:
  static constexpr uint64_t kDefaultGapMs = 1000;

  explicit CTraceThrottle(uint64_t gapMs = kDefaultGapMs) : m_GapMs(gapMs) {}

  // True when a line may be written at tick `nowMs` (milliseconds of a
  // monotonic clock): the first call, then once `gapMs` have passed since
  // the last line let through. Of callers racing for one slot, one wins.
  bool Allow(uint64_t nowMs) {
    uint64_t last = m_LastMs.load(std::memory_order_relaxed);
    // Compared without subtracting: a caller whose tick was read just before
    // another's line went through holds an older tick, and must not wrap
    // round to a huge gap.
    if (last != 0 && nowMs < last + m_GapMs) return false;
    return m_LastMs.compare_exchange_strong(last, std::max<uint64_t>(nowMs, 1), std::memory_order_relaxed);
  }

 private:
  const uint64_t m_GapMs;
  std::atomic<uint64_t> m_LastMs{0};  // tick of the last line let through; 0: none yet
};

}  // namespace quorvex
