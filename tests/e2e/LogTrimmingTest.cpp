// The packet-log trimmer running beside the server's radio threads, end to
// end: uplinks keep being acknowledged and answered while it deletes, and the
// log ends at its limit with the newest rows. Under ThreadSanitizer this is
// the check that trimming shares the connection with the receive thread and
// the scheduler only through the database lock.
#include <gtest/gtest.h>

#include <string>

#include "e2e/E2eFixture.h"
#include "persistence/DbFixture.h"
#include "persistence/LogTrimmer.h"

namespace quorvex {
namespace {

using e2e::DeviceSim;
using e2e::kAppSKey;
using e2e::kNwkSKey;

class LogTrimmingTest : public e2e::E2eFixture {};

TEST_F(LogTrimmingTest, UplinksAreServedWhileTheLogIsTrimmedToItsLimit) {
  constexpr int64_t kKeep = 5;
  constexpr int kUplinks = 30;
  DeviceSim device(0x26011D01, kNwkSKey, kAppSKey);
  StartAbp(device);
  CLogTrimmer trimmer(app.m_LoRaDbMgr, kKeep, 2);
  for (int i = 0; i < kUplinks; ++i) {
    auto reply = SendAndAwaitReply(gateway, Meta(1000000u + 2000000u * i), device.Uplink(i, i % 5 == 0, 2, {0x01}),
                                   i % 5 == 0 ? e2e::kReplyWaitMs : 0);
    if (i % 5 == 0) {
      EXPECT_TRUE(reply.has_value()) << i;
    }
  }
  test::RawDb raw(dir.File(CDbManager::kFileName));
  ASSERT_TRUE(test::WaitUntil([&] { return raw.Scalar("SELECT COUNT(*) FROM LOGTBL") == std::to_string(kKeep); }))
      << raw.Scalar("SELECT COUNT(*) FROM LOGTBL");
  EXPECT_EQ(raw.Scalar("SELECT MAX(PKEY) - MIN(PKEY) + 1 FROM LOGTBL"), std::to_string(kKeep));  // the newest
  EXPECT_GT(trimmer.RowsDeleted(), 0);
}

}  // namespace
}  // namespace quorvex
