// What the server page learns from the gateway registry: how many gateways
// count as connected, and the status line and polling period that follow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "gateway/GateManager.h"
#include "persistence/DbFixture.h"
#include "persistence/DbManager.h"
#include "runtime/Settings.h"
#include "support/TempDir.h"
#include "support/TraceCapture.h"

namespace quorvex {
namespace {

void AddGateway(CGateManager& manager, int32_t connected, uint64_t lastPullTick) {
  auto gateway = std::make_unique<CGateway>();
  gateway->m_Connected = connected;
  gateway->m_LastPullTick = lastPullTick;
  manager.m_Gateways.push_back(std::move(gateway));
}

TEST(GatewayConnectedCountTest, CountsConnectedGatewaysPulledWithinAMinute) {
  const uint64_t now = 10'000'000;
  const struct {
    const char* what;
    int32_t connected;
    uint64_t lastPullTick;
    int counted;
  } cases[] = {
      {"just pulled", 1, now, 1},
      {"59999 ms ago", 1, now - 59'999, 1},
      {"60000 ms ago", 1, now - 60'000, 0},
      {"an hour ago", 1, now - 3'600'000, 0},
      {"fresh but not connected", 0, now, 0},
      {"pulled after the caller read the tick", 1, now + 5, 1},
  };
  CGateManager all;
  int expectedTotal = 0;
  for (const auto& c : cases) {
    CGateManager one;
    AddGateway(one, c.connected, c.lastPullTick);
    EXPECT_EQ(one.CountConnected(now), c.counted) << c.what;
    AddGateway(all, c.connected, c.lastPullTick);
    expectedTotal += c.counted;
  }
  EXPECT_EQ(all.CountConnected(now), expectedTotal);
}

TEST(GatewayConnectedCountTest, EarlyTicksAndAnEmptyRegistry) {
  CGateManager manager;
  EXPECT_EQ(manager.CountConnected(0), 0);
  AddGateway(manager, 1, 0);  // pulled at the tick counter's start
  EXPECT_EQ(manager.CountConnected(0), 1);
  EXPECT_EQ(manager.CountConnected(59'999), 1);
  EXPECT_EQ(manager.CountConnected(60'000), 0);
}

// "Gateway Searching " followed by `pairs` times " .".
std::string Searching(int pairs) {
  std::string text = "Gateway Searching ";
  for (int i = 0; i < pairs; ++i) text += " .";
  return text;
}

TEST(GatewayStatusTextTest, NextText) {
  const std::string at50 = Searching(16);  // 18 + 32 characters
  const std::string at51 = at50 + "x";
  const struct {
    std::string current;
    int connected;
    std::string expected;
  } cases[] = {
      {"", 0, "Gateway Searching "},
      {"Gateway Searching ", 0, Searching(1)},
      {Searching(5), 0, Searching(6)},
      {at50, 0, at50 + " ."},  // at most 50: still grows
      {at51, 0, "Gateway Searching "},
      {Searching(17), 0, "Gateway Searching "},
      {"Gateway connected : 2", 0, "Gateway Searching "},  // the gateways went away
      {"Gateway Searching", 0, "Gateway Searching "},      // not the searching text itself
      {Searching(3), -1, Searching(4)},
      {Searching(3), 1, "Gateway connected : 1"},
      {"Gateway connected : 2", 3, "Gateway connected : 3"},
      {"", 12, "Gateway connected : 12"},
  };
  ASSERT_EQ(at50.size(), 50u);
  for (const auto& c : cases) {
    EXPECT_EQ(NextGatewayStatusText(c.current, c.connected), c.expected)
        << "'" << c.current << "' with " << c.connected;
  }
}

TEST(GatewayStatusTextTest, SearchingCyclesThroughSeventeenDotPairs) {
  std::string text = "Gateway Searching ";
  for (int look = 1; look <= 17; ++look) {
    text = NextGatewayStatusText(text, 0);
    EXPECT_EQ(text, Searching(look));
  }
  EXPECT_EQ(text.size(), 52u);
  EXPECT_EQ(NextGatewayStatusText(text, 0), "Gateway Searching ");
}

TEST(GatewayStatusTextTest, PeriodIsQuickWhileSearching) {
  EXPECT_EQ(GatewayStatusPeriodMs(0), 150);
  EXPECT_EQ(GatewayStatusPeriodMs(-1), 150);
  EXPECT_EQ(GatewayStatusPeriodMs(1), 1000);
  EXPECT_EQ(GatewayStatusPeriodMs(7), 1000);
}

}  // namespace
// ------------------------------------------------------------ the registry

class GatewayRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db.Open(dir.Path().string());
    ASSERT_TRUE(db.IsOpen());
    settings.m_bAutoReg = 0;
    gateways.Attach(&db, &settings.m_bAutoReg);
  }
  static SocketAddress From(const char* ip, uint16_t port) {
    SocketAddress address{};
    EXPECT_TRUE(MakeAddress(ip, port, address));
    return address;
  }
  static std::string Eui(uint64_t value) {
    char text[17];
    snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(value));
    return text;
  }
  size_t InactiveCount() {
    std::lock_guard<std::recursive_mutex> lock(gateways.Mutex());
    return static_cast<size_t>(std::count_if(gateways.m_Gateways.begin(), gateways.m_Gateways.end(),
                                             [](const auto& g) { return g->ACTIVE == 0; }));
  }
  std::string StoredRows() {
    test::RawDb raw(dir.File(CDbManager::kFileName));
    return raw.Scalar("SELECT COUNT(*) FROM GATETBL");
  }

  test::TempDir dir;
  test::TraceCapture trace;
  CDbManager db;
  CSettingsBlock settings;
  CGateManager gateways;
};

TEST_F(GatewayRegistryTest, LookupIgnoresCaseAndFindsTheFirstListedRecord) {
  for (const char* id : {"aa555a0000000001", "AA555A0000000001", "AA555A0000000002"}) {
    auto gateway = std::make_unique<CGateway>();
    snprintf(gateway->ID, sizeof gateway->ID, "%s", id);
    ASSERT_EQ(gateways.InsertGateway(std::move(gateway)), 0);
  }
  std::lock_guard<std::recursive_mutex> lock(gateways.Mutex());
  EXPECT_EQ(gateways.FindGateway("AA555A0000000001"), gateways.m_Gateways[0].get());
  EXPECT_EQ(gateways.FindGateway("aa555a0000000002"), gateways.m_Gateways[2].get());
  EXPECT_EQ(gateways.FindGateway("AA555A0000000003"), nullptr);
  // Deleting the first leaves the second of the same ID to be found.
  const int32_t first = gateways.m_Gateways[0]->PKEY;
  ASSERT_EQ(gateways.DeleteGateway(first), 0);
  EXPECT_EQ(gateways.FindGateway("AA555A0000000001"), gateways.m_Gateways[0].get());
  // A record put into the list directly is found as well.
  auto direct = std::make_unique<CGateway>();
  snprintf(direct->ID, sizeof direct->ID, "AA555A0000000004");
  gateways.m_Gateways.push_back(std::move(direct));
  EXPECT_EQ(gateways.FindGateway("AA555A0000000004"), gateways.m_Gateways.back().get());
}

// Anyone can invent gateway EUIs. With Auto Reg off each new one is recorded
// inactive (for the operator to switch on), but only up to a bound: the
// oldest inactive ones make room, the active ones and those the operator
// switched on stay, and the table follows the registry.
TEST_F(GatewayRegistryTest, InventedEuisKeepAtMostTheBoundOfInactiveGateways) {
  const SocketAddress from = From("10.0.0.9", 1700);
  settings.m_bAutoReg = 1;
  gateways.SetGatewayUpdate(from, Eui(0xA0).c_str(), 1);  // a real, active gateway
  settings.m_bAutoReg = 0;
  CGateway* recorded = gateways.SetGatewayUpdate(from, Eui(0xB0).c_str(), 1);
  {
    std::lock_guard<std::recursive_mutex> lock(gateways.Mutex());
    recorded->ACTIVE = 1;  // the operator switches it on
  }
  const size_t invented = CGateManager::kMaxInactive + 500;
  db.BeginBatch();
  for (size_t i = 0; i < invented; ++i) gateways.SetGatewayUpdate(from, Eui(0xC000 + i).c_str(), 1);
  db.CommitBatch();

  EXPECT_EQ(InactiveCount(), CGateManager::kMaxInactive);
  EXPECT_EQ(gateways.Count(), CGateManager::kMaxInactive + 2);
  EXPECT_EQ(StoredRows(), std::to_string(CGateManager::kMaxInactive + 2));
  std::lock_guard<std::recursive_mutex> lock(gateways.Mutex());
  EXPECT_NE(gateways.FindGateway(Eui(0xA0).c_str()), nullptr);
  EXPECT_EQ(gateways.FindGateway(Eui(0xB0).c_str()), recorded);
  EXPECT_EQ(gateways.FindGateway(Eui(0xC000).c_str()), nullptr);                  // the oldest went
  EXPECT_NE(gateways.FindGateway(Eui(0xC000 + invented - 1).c_str()), nullptr);  // the newest stays
  EXPECT_TRUE(trace.Saw("inactive and unconfirmed, removed to make room"));
}

TEST_F(GatewayRegistryTest, APullFromAnotherHostIsTracedAndANewPortIsNot) {
  gateways.SetGatewayUpdate(From("10.0.0.1", 1700), "AA555A0000000001", 1);
  gateways.SetGatewayUpdate(From("10.0.0.1", 1800), "AA555A0000000001", 1);  // forwarder restarted
  EXPECT_FALSE(trace.Saw("pulls from another host"));
  gateways.SetGatewayUpdate(From("10.0.0.66", 1700), "AA555A0000000001", 1);
  EXPECT_TRUE(trace.Saw("Gateway AA555A0000000001 now pulls from another host: 10.0.0.66 (was 10.0.0.1)"))
      << (trace.Lines().empty() ? "" : trace.Lines().back());
}

}  // namespace quorvex
