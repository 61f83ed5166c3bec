// What the server page learns from the gateway registry: how many gateways
// count as connected, and the status line and polling period that follow.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "gateway/GateManager.h"

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
}  // namespace quorvex
