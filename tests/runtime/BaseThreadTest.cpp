// The manager thread framework: start, stop, restart and the stale-loop
// guard, with a manager whose loop follows the common polling pattern.
#include "runtime/BaseThread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "forwarding/HttpManager.h"
#include "support/Wait.h"

namespace quorvex {
namespace {

using test::WaitUntil;

// A manager whose loop waits on its wake event like the scheduler does and
// counts its passes and the wakes it saw.
class CountingManager : public CBaseMgr {
 public:
  int RunThread(intptr_t, intptr_t) override {
    const auto wake = ThisThreadWakeEvent();
    ++starts;
    while (true) {
      wake->Wait(20);
      wake->Reset();
      if (!ShouldRun()) break;
      ++passes;
    }
    EndRun();
    ++ends;
    return 42;
  }
  std::atomic<int> starts{0}, passes{0}, ends{0};
};

TEST(BaseThreadTest, NullTargetAndBaseRunThreadEndWithZero) {
  EXPECT_EQ(ManagerThreadEntry(std::make_unique<ThreadStartInfo>()), 0);

  CBaseMgr plain;  // RunThread not overridden
  ASSERT_TRUE(StartManagerThread(plain));
  ASSERT_TRUE(plain.m_Thread->WaitFor(test::kPatienceMs));
  EXPECT_EQ(plain.m_Thread->ExitCode(), 0);
}

TEST(BaseThreadTest, StopEndsTheLoopAndStoppingTwiceIsHarmless) {
  CountingManager manager;
  ASSERT_TRUE(StartManagerThread(manager));
  ASSERT_TRUE(WaitUntil([&] { return manager.passes.load() > 0; }));
  EXPECT_EQ(manager.m_Alive.load(), 1);
  EXPECT_EQ(manager.m_Run.load(), 1);

  StopManagerThread(manager);
  ASSERT_TRUE(manager.m_Thread->WaitFor(test::kPatienceMs));
  EXPECT_EQ(manager.m_Thread->ExitCode(), 42);
  EXPECT_EQ(manager.m_Alive.load(), 0);
  EXPECT_EQ(manager.m_Run.load(), 0);
  EXPECT_FALSE(manager.m_WakeEvent->IsSet());  // the loop reset it before leaving

  StopManagerThread(manager);  // a second stop finds nothing to do
  EXPECT_EQ(manager.m_Run.load(), 0);
  EXPECT_EQ(manager.ends.load(), 1);
}

TEST(BaseThreadTest, RestartGetsAFreshEventAndRetiresTheOldLoop) {
  CountingManager manager;
  ASSERT_TRUE(StartManagerThread(manager));
  ASSERT_TRUE(WaitUntil([&] { return manager.starts.load() == 1; }));
  const auto firstEvent = manager.m_WakeEvent;
  StopManagerThread(manager);
  // Start again at once, before the old loop has necessarily noticed.
  ASSERT_TRUE(StartManagerThread(manager));
  EXPECT_NE(manager.m_WakeEvent, firstEvent);
  EXPECT_FALSE(manager.m_WakeEvent->IsSet());  // the stop's set event does not carry over

  // The old loop ends; exactly one loop keeps running.
  ASSERT_TRUE(WaitUntil([&] { return manager.ends.load() == 1 && manager.starts.load() == 2; }));
  const int before = manager.passes.load();
  ASSERT_TRUE(WaitUntil([&] { return manager.passes.load() > before + 2; }));
  EXPECT_EQ(manager.ends.load(), 1);
  EXPECT_EQ(manager.m_Alive.load(), 1);

  StopManagerThread(manager);
  EXPECT_TRUE(manager.WaitForThreads(test::kPatienceMs));
  EXPECT_EQ(manager.ends.load(), 2);
}

// A forwarding manager that records the posts its drivers have ended (the
// empty requests here end at once: an empty URL cannot be posted).
class RecordingHttpManager : public CHttpManager {
 public:
  std::atomic<int> processed{0};

 protected:
  void Complete(const HttpRequest&, int, const std::string&, int) override { ++processed; }
};

TEST(BaseThreadTest, WorkAppendedWithoutWakeIsPickedUpAtTheNextTimeout) {
  RecordingHttpManager http;
  EXPECT_EQ(http.StartWorkers(1), 1);
  for (int i = 0; i < 3; ++i) http.AddRequest(std::make_unique<HttpRequest>());
  ASSERT_TRUE(WaitUntil([&] { return http.processed.load() == 3; }));
  EXPECT_EQ(http.Count(), 0u);
  http.StopWorkers();
  EXPECT_TRUE(http.WaitForThreads(test::kPatienceMs));

  // Stopped workers take nothing more; a restart takes up the queue again.
  http.AddRequest(std::make_unique<HttpRequest>());
  EXPECT_EQ(http.Count(), 1u);
  http.StartWorkers(2);
  EXPECT_EQ(http.WorkerCount(), 2);
  ASSERT_TRUE(WaitUntil([&] { return http.processed.load() == 4; }));
}

}  // namespace
}  // namespace quorvex
