#include <gtest/gtest.h>

#include <atomic>

#include "platform/Event.h"
#include "platform/Thread.h"

namespace quorvex {
namespace {

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
  CEvent event;
  EXPECT_EQ(event.Wait(1), CEvent::Timeout);
  event.Set();
  EXPECT_EQ(event.Wait(1), CEvent::Signalled);
  EXPECT_EQ(event.Wait(1), CEvent::Signalled);  // still set: manual reset
  event.Reset();
  EXPECT_EQ(event.Wait(1), CEvent::Timeout);
}

TEST(ThreadTest, WaitForReportsEndAndExitCode) {
  CEvent release;
  auto thread = CThread::Create([&] {
    release.Wait(10000);
    return 7;
  });
  ASSERT_NE(thread, nullptr);
  EXPECT_FALSE(thread->WaitFor(10));
  EXPECT_FALSE(thread->HasEnded());
  release.Set();
  EXPECT_TRUE(thread->WaitFor(10000));
  EXPECT_EQ(thread->ExitCode(), 7);
}

TEST(ThreadTest, ThrowingBodyEndsWithMinusOne) {
  auto thread = CThread::Create([]() -> int { throw 1; });
  ASSERT_TRUE(thread->WaitFor(10000));
  EXPECT_EQ(thread->ExitCode(), -1);
}

}  // namespace
}  // namespace quorvex
