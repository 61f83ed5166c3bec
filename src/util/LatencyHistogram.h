// Durations gathered into fixed buckets, as a Prometheus histogram shows
// them: how many fell at or below each bound, their count and their sum.
// Any thread adds without a lock; a reader sees each counter whole, though
// a sample added meanwhile may show in one counter and not yet in another.
#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace quorvex {

class CLatencyHistogram {
 public:
  // Upper bounds of the buckets in microseconds: from a quick commit on a
  // fast disk to the busy timeout of a locked file.
  static constexpr std::array<uint64_t, 12> kBoundsUs = {100,   250,    500,    1000,    2500,    5000,
                                                         10000, 25000, 100000, 250000, 1000000, 5000000};
  static constexpr std::size_t kBuckets = kBoundsUs.size();

  struct Snapshot {
    // Samples at or below each bound (cumulative, as the text format wants);
    // those above the last bound count only in `count`.
    std::array<uint64_t, kBuckets> atOrBelow{};
    uint64_t count = 0;
    uint64_t sumUs = 0;
  };

  void Add(uint64_t us) {
    std::size_t i = 0;
    while (i < kBuckets && us > kBoundsUs[i]) ++i;
    if (i < kBuckets) m_Buckets[i].fetch_add(1, std::memory_order_relaxed);
    m_Count.fetch_add(1, std::memory_order_relaxed);
    m_SumUs.fetch_add(us, std::memory_order_relaxed);
  }

  Snapshot Read() const {
    Snapshot out;
    uint64_t running = 0;
    for (std::size_t i = 0; i < kBuckets; ++i) {
      running += m_Buckets[i].load(std::memory_order_relaxed);
      out.atOrBelow[i] = running;
    }
    // Never fewer in total than in the buckets, whatever a writer did meanwhile.
    const uint64_t count = m_Count.load(std::memory_order_relaxed);
    out.count = count < running ? running : count;
    out.sumUs = m_SumUs.load(std::memory_order_relaxed);
    return out;
  }

 private:
  std::array<std::atomic<uint64_t>, kBuckets> m_Buckets{};
  std::atomic<uint64_t> m_Count{0};
  std::atomic<uint64_t> m_SumUs{0};
};

}  // namespace quorvex
