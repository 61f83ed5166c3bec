// The hand-over between the receive thread and the frame thread: frames are
// handled in the order they were queued, the queue is bounded, a stop still
// handles what was queued, and the idle wait sees a queued frame.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "runtime/FramePipeline.h"
#include "support/Wait.h"

namespace quorvex {
namespace {

using test::kPatienceMs;

PendingFrame Numbered(uint32_t n) {
  PendingFrame frame;
  frame.rxTick = n;
  return frame;
}

// A handler that records the frames and can be held, to let frames pile up.
class Recorder {
 public:
  void Handle(PendingFrame& frame) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Released.wait(lock, [this] { return !m_Held; });
    m_Seen.push_back(frame.rxTick);
  }
  void Hold() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Held = true;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Held = false;
    m_Released.notify_all();
  }
  std::vector<uint64_t> Seen() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Seen;
  }

 private:
  std::mutex m_Mutex;
  std::condition_variable m_Released;
  bool m_Held = false;
  std::vector<uint64_t> m_Seen;
};

TEST(FramePipelineTest, FramesAreHandledInOrderWithAGroupEndAfterEachTake) {
  Recorder recorder;
  std::atomic<int> groups{0};
  CFramePipeline pipeline([&](PendingFrame& f) { recorder.Handle(f); }, [&] { ++groups; });
  EXPECT_FALSE(pipeline.Push(Numbered(0))) << "no thread yet: nothing may be queued for no one";
  ASSERT_TRUE(pipeline.Start());
  recorder.Hold();
  constexpr uint32_t kFrames = 1000;
  for (uint32_t i = 1; i <= kFrames; ++i) ASSERT_TRUE(pipeline.Push(Numbered(i)));
  recorder.Release();
  ASSERT_TRUE(pipeline.WaitUntilIdle(kPatienceMs));
  const std::vector<uint64_t> seen = recorder.Seen();
  ASSERT_EQ(seen.size(), kFrames);
  for (uint32_t i = 0; i < kFrames; ++i) EXPECT_EQ(seen[i], i + 1u);
  // At most kMaxBurst frames share one group commit.
  EXPECT_GE(groups.load(), static_cast<int>(kFrames / CFramePipeline::kMaxBurst));
  EXPECT_EQ(pipeline.Waiting(), 0u);
}

TEST(FramePipelineTest, AFullQueueRefusesAndAStopStillHandlesWhatWaits) {
  Recorder recorder;
  CFramePipeline pipeline([&](PendingFrame& f) { recorder.Handle(f); }, [] {});
  ASSERT_TRUE(pipeline.Start());
  recorder.Hold();
  ASSERT_TRUE(pipeline.Push(Numbered(0)));
  // The thread may have taken the first frame already; fill what is left.
  ASSERT_TRUE(test::WaitUntil([&] { return pipeline.Waiting() == 0; }));
  for (size_t i = 1; i <= CFramePipeline::kMaxWaiting; ++i) ASSERT_TRUE(pipeline.Push(Numbered(i))) << i;
  EXPECT_FALSE(pipeline.Push(Numbered(999999))) << "beyond the bound";
  EXPECT_FALSE(pipeline.WaitUntilIdle(10));
  pipeline.Stop();
  EXPECT_FALSE(pipeline.Push(Numbered(999998))) << "stopping: nothing new";
  recorder.Release();
  ASSERT_TRUE(pipeline.WaitForThread(kPatienceMs));
  EXPECT_EQ(recorder.Seen().size(), CFramePipeline::kMaxWaiting + 1);
  EXPECT_FALSE(pipeline.Running());
  // A new run starts with an empty queue.
  ASSERT_TRUE(pipeline.Start());
  ASSERT_TRUE(pipeline.Push(Numbered(7)));
  ASSERT_TRUE(pipeline.WaitUntilIdle(kPatienceMs));
  EXPECT_EQ(recorder.Seen().back(), 7u);
}

}  // namespace
}  // namespace quorvex
