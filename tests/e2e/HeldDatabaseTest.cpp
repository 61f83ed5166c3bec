// Another program holds the database's write lock while uplinks arrive: the
// gateway still gets its acknowledgements at once, the frames wait, and once
// the file is free they are stored and posted in the order they came, even
// though their posts all fall due in the same scheduler pass.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "e2e/E2eFixture.h"
#include "persistence/DbFixture.h"

namespace quorvex {
namespace {

using e2e::DeviceSim;
using e2e::kAppSKey;
using e2e::kNwkSKey;
using test::PfIdentifier;

class HeldDatabaseTest : public e2e::E2eFixture {};

TEST_F(HeldDatabaseTest, UplinksAreAcknowledgedWhileTheFileIsHeldThenStoredAndPostedInOrder) {
  DeviceSim device(0x26011D01, kNwkSKey, kAppSKey);
  StartAbp(device);
  constexpr int kUplinks = 6;
  {
    test::RawDb other(dir.File(CDbManager::kFileName));
    ASSERT_EQ(other.Exec("BEGIN EXCLUSIVE"), 0);
    for (int i = 0; i < kUplinks; ++i) {
      const uint16_t token = gateway.SendRxpk(Meta(1000000u + 100000u * i), device.Uplink(i, false, 2, {uint8_t(i)}));
      auto ack = gateway.WaitFor(PfIdentifier::PushAck, test::kPatienceMs);
      ASSERT_TRUE(ack && ack->token == token) << i;
    }
    // Held past the uplinks' forwarding points: their posts fall due together.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(appServer.Posts(), 0u);
    EXPECT_FALSE(app.WaitForFramesHandled(0)) << "the frames wait for the file";
    ASSERT_EQ(other.Exec("COMMIT"), 0);
  }
  ASSERT_TRUE(app.WaitForFramesHandled(test::kPatienceMs));
  ASSERT_TRUE(test::WaitUntil([&] { return appServer.Posts() == kUplinks; })) << appServer.Posts();
  for (int i = 0; i < kUplinks; ++i)
    EXPECT_NE(appServer.Body(i).find("\"fcnt\" : " + std::to_string(i) + ","), std::string::npos)
        << i << ": " << appServer.Body(i);
  test::RawDb raw(dir.File(CDbManager::kFileName));
  EXPECT_EQ(raw.Scalar("SELECT RXSEQ FROM DEVTBL WHERE PKEY=" + std::to_string(devKey)), std::to_string(kUplinks - 1));
}

}  // namespace
}  // namespace quorvex
