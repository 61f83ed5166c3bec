// The operator's clearing of the packet log from a connection of its own (as
// quorvex-admin has) beside the server's radio threads, end to end: every
// deletion step gets the file in its turn, uplinks keep being acknowledged
// and answered while it deletes, and the log can be emptied afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "e2e/E2eFixture.h"
#include "persistence/DbFixture.h"
#include "persistence/LogQuery.h"

namespace quorvex {
namespace {

using e2e::DeviceSim;
using e2e::kAppSKey;
using e2e::kNwkSKey;

class LogClearingTest : public e2e::E2eFixture {};

TEST_F(LogClearingTest, UplinksAreServedWhileAnotherConnectionClearsTheLog) {
  constexpr int kUplinks = 30;
  DeviceSim device(0x26011D02, kNwkSKey, kAppSKey);
  StartAbp(device);
  CDbManager operatorDb;
  operatorDb.Open(dir.Path().string());
  ASSERT_TRUE(operatorDb.IsOpen());

  std::atomic<bool> uplinksDone{false};
  std::atomic<int> failedClears{0};
  std::thread clearer([&] {
    while (!uplinksDone) {
      if (DeleteLogRowsBefore(operatorDb, LogKeyAfterLast(operatorDb), 2, 1) < 0) ++failedClears;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // as an operator's runs, not a busy loop
    }
  });
  for (int i = 0; i < kUplinks; ++i) {
    auto reply = SendAndAwaitReply(gateway, Meta(1000000u + 2000000u * i), device.Uplink(i, i % 5 == 0, 2, {0x01}),
                                   i % 5 == 0 ? e2e::kReplyWaitMs : 0);
    if (i % 5 == 0) {
      EXPECT_TRUE(reply.has_value()) << i;
    }
  }
  uplinksDone = true;
  clearer.join();
  EXPECT_EQ(failedClears, 0);

  app.StopServer();
  app.WaitForServerThreads(test::kPatienceMs);
  EXPECT_GE(DeleteLogRowsBefore(operatorDb, LogKeyAfterLast(operatorDb), 2, 0), 0);
  test::RawDb raw(dir.File(CDbManager::kFileName));
  EXPECT_EQ(raw.Scalar("SELECT COUNT(*) FROM LOGTBL"), "0");
}

}  // namespace
}  // namespace quorvex
