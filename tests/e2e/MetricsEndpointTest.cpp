// The operator's endpoint on a running server: /metrics counters move with
// the frames a gateway sends (by one per frame, each under its own name),
// and /health follows the gateway socket and the database's write lock.
#include <gtest/gtest.h>
#include <httplib.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/E2eFixture.h"
#include "persistence/DbFixture.h"
#include "runtime/MetricsServer.h"

namespace quorvex {
namespace {

using e2e::DeviceSim;
using e2e::kAppSKey;
using e2e::kNwkSKey;

constexpr uint32_t kDevAddr = 0x26011D01;

class MetricsEndpointTest : public e2e::E2eFixture {
 protected:
  void StartEndpoint() {
    std::string error;
    ASSERT_TRUE(endpoint.Start("127.0.0.1", 0, error)) << error;
  }
  httplib::Result Get(const std::string& path) {
    httplib::Client client("127.0.0.1", endpoint.Port());
    client.set_read_timeout(5, 0);
    return client.Get(path);
  }
  // Every sample of /metrics by its series (name and labels).
  std::map<std::string, double> Scrape() {
    std::map<std::string, double> values;
    auto result = Get("/metrics");
    EXPECT_TRUE(result && result->status == 200);
    if (!result) return values;
    std::istringstream in(result->body);
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') continue;
      const size_t space = line.rfind(' ');
      values[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
    return values;
  }

  CMetricsServer endpoint{app};
};

// The counters that no frame of the table should move unless it says so.
const std::vector<std::string> kWatched = {
    "quorvex_uplinks_total",
    "quorvex_duplicates_total",
    "quorvex_mic_failures_total",
    "quorvex_frames_refused_total{reason=\"mic\"}",
    "quorvex_frames_refused_total{reason=\"counter_behind\"}",
    "quorvex_frames_refused_total{reason=\"unknown_device\"}",
    "quorvex_frames_refused_total{reason=\"frame_error\"}",
};

TEST_F(MetricsEndpointTest, EachFrameMovesItsOwnCounterByOne) {
  DeviceSim device(kDevAddr, kNwkSKey, kAppSKey);
  DeviceSim wrongKey(kDevAddr, kAppSKey, kNwkSKey);  // the same address, the keys swapped
  DeviceSim stranger(0x26011DFF, kNwkSKey, kAppSKey);
  StartAbp(device);
  StartEndpoint();
  const struct {
    const char* what;
    std::vector<uint8_t> frame;
    std::map<std::string, double> moves;
  } cases[] = {
      {"a new uplink", device.Uplink(5, false, 2, {0x01}), {{"quorvex_uplinks_total", 1}}},
      {"the same uplink again", device.Uplink(5, false, 2, {0x01}), {{"quorvex_duplicates_total", 1}}},
      {"the next uplink", device.Uplink(6, false, 2, {0x02}), {{"quorvex_uplinks_total", 1}}},
      {"a wrong MIC",
       wrongKey.Uplink(7, false, 2, {0x03}),
       {{"quorvex_mic_failures_total", 1}, {"quorvex_frames_refused_total{reason=\"mic\"}", 1}}},
      {"an old counter", device.Uplink(4, false, 2, {0x04}),
       {{"quorvex_frames_refused_total{reason=\"counter_behind\"}", 1}}},
      {"an unknown device", stranger.Uplink(1, false, 2, {0x05}),
       {{"quorvex_frames_refused_total{reason=\"unknown_device\"}", 1}}},
      {"a frame too short", {0x40, 0x01, 0x1D, 0x01}, {{"quorvex_frames_refused_total{reason=\"frame_error\"}", 1}}},
  };
  uint32_t tmst = 1000000;
  for (const auto& c : cases) {
    const std::map<std::string, double> before = Scrape();
    SendAndAwaitAck(gateway, Meta(tmst += 2000000), c.frame);
    // SendAndAwaitAck waits until the frame was handled, so its counts are in.
    const std::map<std::string, double> after = Scrape();
    for (const std::string& series : kWatched) {
      const auto moved = c.moves.find(series);
      const double expected = moved == c.moves.end() ? 0 : moved->second;
      EXPECT_EQ(after.at(series) - before.at(series), expected) << c.what << ": " << series;
    }
  }
  // The two accepted uplinks carried data: both posted.
  ASSERT_TRUE(test::WaitUntil([&] { return Scrape()["quorvex_posts_total{result=\"succeeded\"}"] == 2; }));
  const std::map<std::string, double> now = Scrape();
  EXPECT_EQ(now.at("quorvex_gateways_connected"), 1);
  EXPECT_EQ(now.count("quorvex_gateway_last_seen_timestamp_seconds{gateway=\"" + gateway.EuiText() + "\"}"), 1u);
  EXPECT_GT(now.at("quorvex_db_commit_duration_seconds_count"), 0);
}

TEST_F(MetricsEndpointTest, AConfirmedUplinkCountsTheReplySent) {
  DeviceSim device(kDevAddr, kNwkSKey, kAppSKey);
  StartAbp(device);
  StartEndpoint();
  ASSERT_TRUE(SendAndAwaitReply(gateway, Meta(1000000), device.Uplink(1, true, 2, {0x01})).has_value());
  ASSERT_TRUE(test::WaitUntil([&] { return Scrape()["quorvex_downlinks_sent_total"] == 1; }));
  EXPECT_EQ(Scrape().at("quorvex_scheduler_queue_depth"), 0);
}

TEST_F(MetricsEndpointTest, HealthFollowsTheSocketAndTheDatabaseLock) {
  DeviceSim device(kDevAddr, kNwkSKey, kAppSKey);
  StartAbp(device);
  StartEndpoint();
  auto health = Get("/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  EXPECT_EQ(health->body, "ok\n");

  // Another program holds the write lock: nothing could be stored.
  test::RawDb other(dir.File(CDbManager::kFileName));
  ASSERT_EQ(other.Exec("BEGIN EXCLUSIVE"), 0);
  health = Get("/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 503);
  EXPECT_NE(health->body.find("database: the database is locked by another program"), std::string::npos)
      << health->body;
  ASSERT_EQ(other.Exec("COMMIT"), 0);
  health = Get("/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);

  app.StopServer();
  health = Get("/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 503);
  EXPECT_NE(health->body.find("udp: "), std::string::npos) << health->body;
}

TEST_F(MetricsEndpointTest, AnAddressInUseIsRefusedWithTheReason) {
  StartEndpoint();
  CMetricsServer second(app);
  std::string error;
  EXPECT_FALSE(second.Start("127.0.0.1", endpoint.Port(), error));
  EXPECT_NE(error.find("cannot listen on 127.0.0.1 port " + std::to_string(endpoint.Port())), std::string::npos)
      << error;
  EXPECT_EQ(second.Port(), 0);
  auto missing = Get("/nothing");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
}

}  // namespace
}  // namespace quorvex
