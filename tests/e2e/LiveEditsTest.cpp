// The operator's edits while the server runs, end to end: a device added, an
// application's URL changed, a gateway and devices deleted while their
// answers wait in the transmit queue. The edits go through the same registry
// operations the window uses, from the test's thread, while the server's
// threads serve simulated gateways.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/E2eFixture.h"
#include "persistence/RecordDeletion.h"
#include "persistence/RecordStore.h"
#include "support/TraceCapture.h"

namespace quorvex {
namespace {

using e2e::DeviceSim;
using e2e::GatewaySim;
using e2e::kAppEui;
using e2e::kAppSKey;
using e2e::kNwkSKey;
using e2e::kReplyWaitMs;
using e2e::PfIdentifier;

const test::Eui kAbpAppEui = {0x70, 0xB3, 0xD5, 0x7E, 0xD0, 0x00, 0x00, 0x02};

// A distinct device EUI and application key per `n`.
test::Eui DevEui(int n) { return {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x00, static_cast<uint8_t>(n)}; }
test::Key AppKey(int n) {
  test::Key key = e2e::kAppKey;
  key[15] = static_cast<uint8_t>(n);
  return key;
}

// The gateway time of the PULL_RESP that answers a frame received at `tmst`.
std::string AnswerTmst(uint32_t tmst, uint32_t delayUs) { return std::to_string(tmst + delayUs); }

class LiveEditsTest : public e2e::E2eFixture {
 protected:
  // Changes the application's URL as the window does: a changed copy of the
  // listed record replaces it and is stored, under the database lock, so
  // that the radio threads copy either the old record or the new one.
  // As the window's edit stores it: the changed copy through the engine.
  void EditApplicationUrl(int32_t pkey, const std::string& url) {
    CApplication changed;
    ASSERT_TRUE(app.m_LoRaAppList.CopyApplication(pkey, changed));
    SetText(changed.APPURL, url);
    ASSERT_EQ(StoreEditedApplication(app.m_LoRaDbMgr, app.m_LoRaAppList, changed), 0);
  }
  DeleteResult DeleteDevice(int32_t pkey) {
    return DeleteDeviceCascade(app.m_LoRaDbMgr, app.m_LoRaDevMgr, app.m_LoRaDlinkList, pkey);
  }

  // A second application server, made by the test that needs it. It goes
  // after the server has stopped (TearDown), so that it never waits for the
  // forwarder's kept-alive connection to time out.
  std::optional<e2e::AppServer> otherServer;
};

TEST_F(LiveEditsTest, ADeviceAddedWhileRunningIsServedAtItsFirstUplink) {
  apKey = AddApplication(true, 0, 0, appServer.Url(), kAbpAppEui);
  Start();
  ASSERT_TRUE(Pull(gateway));
  DeviceSim device(0x26011C01, kNwkSKey, kAppSKey);
  // Heard once while unknown: acknowledged, nothing to answer.
  SendAndAwaitAck(gateway, Meta(1000000), device.Uplink(0, true, 3, {0x41}));

  devKey = AddAbpDevice(apKey, device);
  auto reply = SendAndAwaitReply(gateway, Meta(5000000), device.Uplink(1, true, 3, {0x42}));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->txpk["tmst"], AnswerTmst(5000000, 1000000));  // the answer of the known uplink
  auto downlink = device.Open(*reply->phyPayload);
  ASSERT_TRUE(downlink.has_value());
  EXPECT_TRUE(downlink->Ack());
  EXPECT_EQ(downlink->fcnt, 0);
  ASSERT_TRUE(test::WaitUntil([&] { return appServer.Posts() >= 1; }));
  EXPECT_EQ(appServer.Posts(), 1u);
  EXPECT_NE(appServer.Body(0).find(R"("data" : "Qg==")"), std::string::npos) << appServer.Body(0);
}

TEST_F(LiveEditsTest, AnApplicationsUrlEditedWhileRunningIsUsedByTheNextPost) {
  e2e::AppServer& moved = otherServer.emplace();
  DeviceSim device(0x26011C02, kNwkSKey, kAppSKey);
  StartAbp(device);
  SendAndAwaitAck(gateway, Meta(1000000), device.Uplink(0, false, 2, {0x01}));
  ASSERT_TRUE(test::WaitUntil([&] { return appServer.Posts() >= 1; }));

  EditApplicationUrl(apKey, moved.Url());
  SendAndAwaitAck(gateway, Meta(3000000), device.Uplink(1, false, 2, {0x02}));
  ASSERT_TRUE(test::WaitUntil([&] { return moved.Posts() >= 1; }));
  EXPECT_NE(moved.Body(0).find(R"("data" : "Ag==")"), std::string::npos) << moved.Body(0);
  EXPECT_EQ(appServer.Posts(), 1u);
  // The edit is on file as well.
  CAppList stored(app.m_LoRaDbMgr);
  ASSERT_EQ(stored.LoadApplications(), 0);
  CApplication reread;
  ASSERT_TRUE(stored.CopyApplication(apKey, reread));
  EXPECT_EQ(std::string(reread.APPURL), moved.Url());
}

// A device deleted while its answer waits in the queue gets no answer and
// keeps no row; a device of the same kind heard just after it is answered.
TEST_F(LiveEditsTest, ADeviceDeletedWhileItsAnswerWaitsGetsNoneAndItsNeighbourStillDoes) {
  const struct {
    const char* what;
    bool join;
    uint32_t delayUs;
  } cases[] = {{"confirmed uplink", false, 1000000}, {"join request", true, 5000000}};
  const int32_t otaaApp = AddApplication(false, 0, 0, "", kAppEui);
  const int32_t abpApp = AddApplication(true, 0, 0, "", kAbpAppEui);
  Start();
  ASSERT_TRUE(Pull(gateway));
  test::TraceCapture trace;
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const int gone = ++n, kept = ++n;
    auto makeSim = [&](int i) {
      return c.join ? DeviceSim(kAppEui, DevEui(i), AppKey(i)) : DeviceSim(0x26011D00u + i, kNwkSKey, kAppSKey);
    };
    DeviceSim goneSim = makeSim(gone), keptSim = makeSim(kept);
    auto store = [&](DeviceSim& sim, int i) {
      return c.join ? AddOtaaDevice(otaaApp, DevEui(i), AppKey(i)) : AddAbpDevice(abpApp, sim, DevEui(i));
    };
    auto frame = [&](DeviceSim& sim) {
      return c.join ? sim.JoinRequest(static_cast<uint16_t>(0x100 + n)) : sim.Uplink(0, true, std::nullopt, {});
    };
    const int32_t goneKey = store(goneSim, gone), keptKey = store(keptSim, kept);
    const uint32_t goneTmst = 1000000u * static_cast<uint32_t>(gone), keptTmst = goneTmst + 500000u;

    SendAndAwaitAck(gateway, Meta(goneTmst), frame(goneSim));
    ASSERT_TRUE(test::WaitUntil([&] { return app.m_LoRaJitMgr.Count() == 1; }));  // its answer waits
    ASSERT_FALSE(DeleteDevice(goneKey).Refused());
    SendAndAwaitAck(gateway, Meta(keptTmst), frame(keptSim));

    auto answer = gateway.WaitFor(PfIdentifier::PullResp, kReplyWaitMs);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->txpk["tmst"], AnswerTmst(keptTmst, c.delayUs));
    ASSERT_TRUE(answer->phyPayload.has_value());
    if (c.join) {
      EXPECT_TRUE(keptSim.AcceptJoin(*answer->phyPayload));
    } else {
      EXPECT_TRUE(keptSim.Open(*answer->phyPayload).has_value());
    }
    // The deleted device's request was due first, so its pass is over.
    EXPECT_TRUE(trace.Saw("JIT TX device " + std::to_string(goneKey) + " deleted, request dropped"));
    for (const auto& datagram : gateway.TakeAll())
      EXPECT_FALSE(datagram.Is(PfIdentifier::PullResp)) << datagram.json;
    EXPECT_EQ(app.m_LoRaDevMgr.GetDeviceByPkey(goneKey), nullptr);
    EXPECT_NE(app.m_LoRaDevMgr.GetDeviceByPkey(keptKey), nullptr);
  }
}

// Load through two gateways: uplink k is a confirmed uplink of device
// k % kDevices at gateway time Tmst(k), so each PULL_RESP names its uplink.
// Halfway the odd devices move from the second gateway to the first, and
// the second is deleted while the replies of its last uplinks still wait.
class GatewayDeletionLoad {
 public:
  static constexpr int kDevices = 8;
  static constexpr int kUplinks = 600;
  static constexpr int kMove = 300;  // from this uplink on, every device uses the first gateway
  static constexpr auto kPeriod = std::chrono::microseconds(4000);  // 250 uplinks/s

  static uint32_t Tmst(int k) { return 10000000u + static_cast<uint32_t>(k) * 1000u; }
  static int UplinkOf(const test::SimDatagram& reply) {
    const auto tmst = reply.txpk.find("tmst");
    if (tmst == reply.txpk.end()) return -1;
    return static_cast<int>((std::stoul(tmst->second) - 1000000u - Tmst(0)) / 1000u);
  }
  static int GatewayOf(int k) { return k >= kMove || (k % kDevices) % 2 == 0 ? 0 : 1; }
  static int SentThrough(int g, int uplinks) {
    int count = 0;
    for (int k = 0; k < uplinks; ++k) count += GatewayOf(k) == g ? 1 : 0;
    return count;
  }
};

TEST_F(LiveEditsTest, AGatewayDeletedWithRepliesQueuedLeavesTheServerAnsweringThroughTheOther) {
  using Load = GatewayDeletionLoad;
  apKey = AddApplication(true, 0, 0, "", kAbpAppEui);  // no application server: the radio side alone
  std::vector<DeviceSim> sims;
  for (int i = 0; i < Load::kDevices; ++i) {
    sims.emplace_back(0x26012000u + static_cast<uint32_t>(i), kNwkSKey, kAppSKey);
    AddAbpDevice(apKey, sims.back(), DevEui(i));
  }
  GatewaySim second(serverPort, 0xAA555A0000000002ull);
  GatewaySim* gateways[2] = {&gateway, &second};
  Start();
  ASSERT_TRUE(Pull(gateway));
  ASSERT_TRUE(Pull(second));
  const int32_t secondKey = GatewayKey(second);
  ASSERT_NE(secondKey, 0);

  // Everything the gateways receive; the sender thread owns them until it is joined.
  std::vector<test::SimDatagram> received[2];
  std::atomic<int> pushAcks[2] = {0, 0};
  std::atomic<int> replies[2] = {0, 0};
  auto drain = [&] {
    for (int g = 0; g < 2; ++g) {
      for (auto& datagram : gateways[g]->TakeAll()) {
        if (datagram.Is(PfIdentifier::PushAck)) ++pushAcks[g];
        if (datagram.Is(PfIdentifier::PullResp)) ++replies[g];
        received[g].push_back(std::move(datagram));
      }
    }
  };
  std::thread sender([&] {
    const auto start = std::chrono::steady_clock::now();
    std::vector<uint16_t> fcnt(Load::kDevices, 0);
    for (int k = 0; k < Load::kUplinks; ++k) {
      std::this_thread::sleep_until(start + k * Load::kPeriod);
      const int d = k % Load::kDevices;
      gateways[Load::GatewayOf(k)]->SendRxpk(Meta(Load::Tmst(k)),
                                             sims[d].Uplink(fcnt[d]++, true, std::nullopt, {}));
      drain();
    }
  });

  // Once every uplink of the second gateway was handled, its latest replies
  // still wait for their windows: delete it then.
  const int secondUplinks = Load::SentThrough(1, Load::kUplinks);
  const bool handled = test::WaitUntil([&] { return pushAcks[1].load() == secondUplinks; });
  const int repliedBefore = replies[1].load();
  const DeleteResult deleted = DeleteGatewayRecord(app.m_LoRaGateMgr, secondKey);
  sender.join();
  ASSERT_TRUE(handled);
  EXPECT_LT(repliedBefore, secondUplinks);
  ASSERT_FALSE(deleted.Refused());

  // Every uplink through the first gateway is acknowledged and answered.
  const int firstUplinks = Load::SentThrough(0, Load::kUplinks);
  EXPECT_TRUE(test::WaitUntil([&] {
    drain();
    return replies[0].load() >= firstUplinks;
  }));
  EXPECT_EQ(pushAcks[0].load(), firstUplinks);

  // Each reply answers one uplink through its own gateway; the second
  // gateway's queued replies either left through it or were dropped.
  std::set<int> answered;
  for (int g = 0; g < 2; ++g) {
    for (const auto& datagram : received[g]) {
      if (!datagram.Is(PfIdentifier::PullResp)) continue;
      const int k = Load::UplinkOf(datagram);
      ASSERT_TRUE(k >= 0 && k < Load::kUplinks) << datagram.json;
      EXPECT_EQ(Load::GatewayOf(k), g) << k;
      EXPECT_TRUE(answered.insert(k).second) << "answered twice: " << k;
      ASSERT_TRUE(datagram.phyPayload.has_value());
      auto downlink = sims[k % Load::kDevices].Open(*datagram.phyPayload);
      ASSERT_TRUE(downlink.has_value()) << k;
      EXPECT_TRUE(downlink->Ack());
    }
  }
  EXPECT_LE(replies[1].load(), secondUplinks);
  EXPECT_EQ(app.m_LoRaGateMgr.Count(), 1u);
  std::vector<CGatewayRow> rows;
  int32_t lastResult = 0;
  ASSERT_EQ(app.m_LoRaDbMgr.LoadGatewayRows(rows, lastResult), 0);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(std::string(rows[0].ID), gateway.EuiText());
}

}  // namespace
}  // namespace quorvex
