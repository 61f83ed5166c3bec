// The DevNonces of accepted joins on a real database file: kept per device
// across a restart, the newest kDevNoncesKept of each device kept, cleared on
// request, and filed once however often they are recorded.
#include <gtest/gtest.h>

#include "persistence/DbFixture.h"
#include "persistence/DeviceManager.h"

namespace quorvex {
namespace {

using test::DbTest;
using test::RawDb;

constexpr int kFound = 0;
constexpr int kNotFound = CDeviceManager::kNoRow;

class DevNonceTest : public DbTest {
 protected:
  CDeviceManager devices{db};
};

TEST_F(DevNonceTest, NoncesAreKeptPerDeviceAcrossARestart) {
  ASSERT_EQ(devices.RecordDevNonce(1, 0xCC85), 0);
  ASSERT_EQ(devices.RecordDevNonce(2, 0x0001), 0);
  db.Close();

  CDbManager reopened;
  reopened.Open(dir.Path().string());
  ASSERT_TRUE(reopened.IsOpen());
  EXPECT_EQ(reopened.m_Result, 0);
  CDeviceManager after(reopened);
  const struct {
    int32_t device;
    uint16_t nonce;
    int found;
  } cases[] = {{1, 0xCC85, kFound}, {2, 0x0001, kFound}, {1, 0x0001, kNotFound}, {2, 0xCC85, kNotFound},
               {3, 0xCC85, kNotFound}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.device << " " << c.nonce);
    EXPECT_EQ(after.FindDevNonce(c.device, c.nonce), c.found);
  }
}

TEST_F(DevNonceTest, OnlyTheNewestOfADeviceAreKeptAndEachOnce) {
  constexpr int kKept = CDeviceManager::kDevNoncesKept;
  db.BeginBatch();
  for (int n = 0; n < kKept + 2; ++n) ASSERT_EQ(devices.RecordDevNonce(1, static_cast<uint16_t>(n)), 0);
  ASSERT_EQ(devices.RecordDevNonce(1, static_cast<uint16_t>(kKept + 1)), 0);  // again: still one row
  ASSERT_EQ(devices.RecordDevNonce(2, 0), 0);
  db.CommitBatch();
  RawDb raw(DbPath());
  EXPECT_EQ(raw.Scalar("SELECT COUNT(*) FROM NONCETBL WHERE DEVPKEY=1"), std::to_string(kKept));
  EXPECT_EQ(devices.FindDevNonce(1, 0), kNotFound);  // the oldest two are forgotten
  EXPECT_EQ(devices.FindDevNonce(1, 1), kNotFound);
  EXPECT_EQ(devices.FindDevNonce(1, 2), kFound);
  EXPECT_EQ(devices.FindDevNonce(1, static_cast<uint16_t>(kKept + 1)), kFound);
  EXPECT_EQ(devices.FindDevNonce(2, 0), kFound);  // another device's are its own
}

TEST_F(DevNonceTest, ClearingForgetsOneDevicesNonces) {
  ASSERT_EQ(devices.RecordDevNonce(1, 7), 0);
  ASSERT_EQ(devices.RecordDevNonce(2, 7), 0);
  ASSERT_EQ(devices.ClearDevNonces(1), 0);
  EXPECT_EQ(devices.FindDevNonce(1, 7), kNotFound);
  EXPECT_EQ(devices.FindDevNonce(2, 7), kFound);
}

TEST_F(DevNonceTest, WithTheDatabaseClosedTheLookupFails) {
  db.Close();
  EXPECT_EQ(devices.FindDevNonce(1, 7), 2);
  EXPECT_EQ(devices.RecordDevNonce(1, 7), 2);
}

}  // namespace
}  // namespace quorvex
