// The server killed with SIGKILL in the middle of a load: the database it
// leaves passes SQLite's integrity check, holds every write that a gateway
// had seen the result of, and a restarted server on the same data directory
// serves the next uplink of every device.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <map>
#include <thread>

#include "persistence/Application.h"
#include "runtime/QuorvexApp.h"
#include "support/DeviceSim.h"
#include "support/GatewaySim.h"
#include "support/Ports.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace quorvex {
namespace {

using test::DeviceSim;
using test::GatewaySim;
using test::PfIdentifier;

const std::string kServer = QUORVEX_SERVER_BIN;
constexpr int kDevices = 20;
const test::Key kNwkSKey = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const test::Key kAppSKey = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};

uint32_t DevAddr(int i) { return 0x26000000u + static_cast<uint32_t>(i); }

void PrepareDatabase(const std::string& dir) {
  CQuorvexApp prep;
  ASSERT_TRUE(prep.InitBase(dir));
  auto application = std::make_unique<CApplication>();
  application->ACTIVATION = 1;
  application->RX2CHAN = 921900000;
  CApplication* kept = application.get();
  ASSERT_EQ(prep.m_LoRaAppList.InsertApplication(std::move(application)), 0);
  for (int i = 0; i < kDevices; ++i) {
    auto device = std::make_unique<CDevice>();
    device->APKEY = kept->PKEY;
    device->JOINED = 1;
    device->DEVEUI[7] = static_cast<uint8_t>(i);
    device->DEVADDR = DevAddr(i);
    std::copy(kNwkSKey.begin(), kNwkSKey.end(), device->NETSKEY);
    std::copy(kAppSKey.begin(), kAppSKey.end(), device->APPSKEY);
    device->TXSEQ = -1;
    device->RXSEQ = -1;
    ASSERT_EQ(prep.m_LoRaDevMgr.InsertDevice(std::move(device)), 0);
  }
}

test::RxMeta Meta(uint32_t tmst) {
  test::RxMeta meta;
  meta.tmst = tmst;
  return meta;
}

// A counter column of DEVTBL ("TXSEQ", "RXSEQ") for every device address,
// read by a connection of the test's own (also while the server runs); with
// `integrity`, the answer of SQLite's integrity check as well.
std::map<uint32_t, int32_t> StoredCounters(const std::string& file, const std::string& column,
                                           std::string* integrity = nullptr) {
  std::map<uint32_t, int32_t> result;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* stmt = nullptr;
    if (integrity != nullptr) {
      sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr);
      if (sqlite3_step(stmt) == SQLITE_ROW) *integrity = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
      sqlite3_finalize(stmt);
    }
    sqlite3_prepare_v2(db, ("SELECT DEVADDR, " + column + " FROM DEVTBL").c_str(), -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW)
      result[static_cast<uint32_t>(sqlite3_column_int64(stmt, 0))] = sqlite3_column_int(stmt, 1);
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return result;
}

// True once the server answers the gateway's PULL_DATA.
bool Listening(GatewaySim& gateway) {
  return test::WaitUntil([&] {
    const uint16_t token = gateway.SendPullData();
    auto ack = gateway.WaitFor(PfIdentifier::PullAck, 200);
    return ack && ack->token == token;
  });
}

// The device address of a downlink frame.
uint32_t AddressOf(const std::vector<uint8_t>& phy) {
  return uint32_t(phy[1]) | uint32_t(phy[2]) << 8 | uint32_t(phy[3]) << 16 | uint32_t(phy[4]) << 24;
}

// Uplinks are committed in groups, but a group never stays open once the
// gateways fall silent: what the server has acknowledged reaches the file
// while it runs, both for a single uplink and for a burst.
TEST(CrashRecoveryTest, AcknowledgedUplinksReachTheFileWhileTheServerRuns) {
  test::TempDir dir;
  PrepareDatabase(dir.Path().string());
  const uint16_t port = test::FreeUdpPort();
  const std::string file = (dir.Path() / "LoRaDB_V001.db").string();
  test::ServerProcess server(kServer, {"--data-dir", dir.Path().string(), "--port", std::to_string(port)},
                             dir.Path().string());
  GatewaySim gateway(port, 0xAA555A00000000C2ull);
  ASSERT_TRUE(Listening(gateway)) << server.Stderr();

  gateway.SendRxpk(Meta(1000), DeviceSim(DevAddr(0), kNwkSKey, kAppSKey).Uplink(7, false, 1, {1}));
  ASSERT_TRUE(gateway.WaitFor(PfIdentifier::PushAck, test::kPatienceMs));
  EXPECT_TRUE(test::WaitUntil([&] { return StoredCounters(file, "RXSEQ")[DevAddr(0)] == 7; }));

  for (int round = 0; round < 5; ++round)
    for (int i = 0; i < kDevices; ++i)
      gateway.SendRxpk(Meta(2000 + round), DeviceSim(DevAddr(i), kNwkSKey, kAppSKey).Uplink(100 + round, false, 1, {2}));
  EXPECT_TRUE(test::WaitUntil([&] {
    const auto stored = StoredCounters(file, "RXSEQ");
    for (int i = 0; i < kDevices; ++i)
      if (stored.count(DevAddr(i)) == 0 || stored.at(DevAddr(i)) != 104) return false;
    return true;
  }));
  // Committed, not merely written: a kill now takes none of it back.
  server.Signal(SIGKILL);
  EXPECT_EQ(server.WaitExit(test::kPatienceMs), -SIGKILL);
  const auto stored = StoredCounters(file, "RXSEQ");
  for (int i = 0; i < kDevices; ++i) EXPECT_EQ(stored.at(DevAddr(i)), 104) << i;
}

TEST(CrashRecoveryTest, KilledDuringLoadLosesNothingAndServesEveryDeviceAfterRestart) {
  test::TempDir dir;
  PrepareDatabase(dir.Path().string());
  const uint16_t port = test::FreeUdpPort();
  const std::vector<std::string> args = {"--data-dir", dir.Path().string(), "--port", std::to_string(port)};
  std::vector<int> lastSent(kDevices, -1);
  std::map<uint32_t, int> lastReplyFcnt;  // highest downlink counter seen per device

  auto collect = [&](GatewaySim& gateway) {
    for (const auto& datagram : gateway.TakeAll()) {
      if (!datagram.Is(PfIdentifier::PullResp) || !datagram.phyPayload) continue;
      const auto& phy = *datagram.phyPayload;
      const uint32_t addr = AddressOf(phy);
      auto downlink = DeviceSim(addr, kNwkSKey, kAppSKey).Open(phy);
      if (downlink) lastReplyFcnt[addr] = std::max(lastReplyFcnt[addr], int(downlink->fcnt));
    }
  };

  {
    test::ServerProcess server(kServer, args, dir.Path().string());
    GatewaySim gateway(port, 0xAA555A00000000C1ull);
    ASSERT_TRUE(Listening(gateway)) << server.Stderr();
    // Confirmed uplinks from every device, round after round, until replies flow; then kill.
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; std::chrono::steady_clock::now() - start < std::chrono::milliseconds(2500); ++round) {
      for (int i = 0; i < kDevices; ++i) {
        DeviceSim sim(DevAddr(i), kNwkSKey, kAppSKey);
        gateway.SendRxpk(Meta(1000000u + round * 100000u), sim.Uplink(static_cast<uint16_t>(round), true, 1, {1, 2}));
        lastSent[i] = round;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      collect(gateway);
    }
    collect(gateway);
    ASSERT_FALSE(lastReplyFcnt.empty()) << "no reply before the kill";
    server.Signal(SIGKILL);
    EXPECT_EQ(server.WaitExit(test::kPatienceMs), -SIGKILL);
  }

  std::string integrity;
  const auto stored = StoredCounters((dir.Path() / "LoRaDB_V001.db").string(), "TXSEQ", &integrity);
  EXPECT_EQ(integrity, "ok");
  for (const auto& [addr, fcnt] : lastReplyFcnt) {
    // The row is written before its reply leaves: a reply seen means a write completed.
    ASSERT_TRUE(stored.count(addr));
    EXPECT_GE(stored.at(addr), fcnt) << std::hex << addr;
  }

  test::ServerProcess restarted(kServer, args, dir.Path().string());
  GatewaySim gateway(port, 0xAA555A00000000C1ull);
  ASSERT_TRUE(Listening(gateway)) << restarted.Stderr();
  for (int i = 0; i < kDevices; ++i) {
    DeviceSim sim(DevAddr(i), kNwkSKey, kAppSKey);
    gateway.SendRxpk(Meta(90000000u), sim.Uplink(static_cast<uint16_t>(lastSent[i] + 1), true, 1, {3}));
  }
  std::map<uint32_t, bool> acked;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(test::kPatienceMs);
  while (acked.size() < kDevices && std::chrono::steady_clock::now() < deadline) {
    auto datagram = gateway.WaitFor(PfIdentifier::PullResp, 500);
    if (!datagram || !datagram->phyPayload) continue;
    const auto& phy = *datagram->phyPayload;
    const uint32_t addr = AddressOf(phy);
    auto downlink = DeviceSim(addr, kNwkSKey, kAppSKey).Open(phy);
    if (downlink && downlink->Ack()) acked[addr] = true;
  }
  EXPECT_EQ(acked.size(), static_cast<size_t>(kDevices)) << restarted.Stderr().substr(0, 2000);
  restarted.Signal(SIGTERM);
  EXPECT_EQ(restarted.WaitExit(test::kPatienceMs), 0);
}

}  // namespace
}  // namespace quorvex
