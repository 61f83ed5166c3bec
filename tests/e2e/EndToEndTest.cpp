// A device served end to end over real loopback: simulated packet-forwarder
// gateways, a simulated LoRaWAN device, the started server, and a real HTTP
// application server. Each scenario waits for what a gateway would receive,
// with generous deadlines; the radio timing is checked through the "tmst"
// the gateway is told, not through wall-clock measurements.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "e2e/E2eFixture.h"
#include "persistence/DLink.h"

namespace quorvex {
namespace {

using e2e::DeviceSim;
using e2e::GatewaySim;
using e2e::kAppEui;
using e2e::kAppKey;
using e2e::kAppSKey;
using e2e::kDevEui;
using e2e::kNwkSKey;
using e2e::kReplyWaitMs;
using e2e::PfIdentifier;
using e2e::RxMeta;

class EndToEndTest : public e2e::E2eFixture {};

TEST_F(EndToEndTest, OtaaJoinThenUplinksAreForwardedAndAnswered) {
  apKey = AddApplication(false, 0, 0, "http://127.0.0.1:" + std::to_string(appServer.Port()));
  devKey = AddOtaaDevice(apKey);
  // Every uplink is received at 2026-01-01 00:00:00.5 UTC by the server's
  // calendar clock: GPS time 1451260818 s and 128/256 s.
  app.m_UnixClockMs = [] { return int64_t{1767225600500}; };
  Start();
  ASSERT_TRUE(Pull(gateway));
  DeviceSim device(kAppEui, kDevEui, kAppKey);

  // Join: the accept is timed for the join-accept window 5 s after the request.
  auto accept = SendAndAwaitReply(gateway, Meta(1000000), device.JoinRequest(0x1234));
  ASSERT_TRUE(accept.has_value());
  EXPECT_EQ(accept->txpk["tmst"], "6000000");
  EXPECT_EQ(accept->txpk["freq"], "922.1");
  EXPECT_EQ(accept->txpk["datr"], "SF7BW125");
  EXPECT_EQ(accept->txpk["size"], "17");
  ASSERT_TRUE(accept->phyPayload.has_value());
  ASSERT_TRUE(device.AcceptJoin(*accept->phyPayload));
  {
    // The server stored the same session keys the device derived.
    auto stored = app.m_LoRaDevMgr.GetDeviceByPkey(devKey);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->JOINED, 1);
    EXPECT_EQ(stored->DEVADDR, device.DevAddr());
    EXPECT_TRUE(std::equal(device.NwkSKey().begin(), device.NwkSKey().end(), stored->NETSKEY));
    EXPECT_TRUE(std::equal(device.AppSKey().begin(), device.AppSKey().end(), stored->APPSKEY));
  }

  // An unconfirmed uplink reaches the application server once; its answer
  // rides on the reply to this very uplink.
  appServer.AnswerNext(R"({"result":0,"appdata":"CA FE"})");
  auto reply = SendAndAwaitReply(gateway, Meta(20000000), device.Uplink(0, false, 5, {'a', 'b', 'c'}));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->txpk["tmst"], "21000000");
  auto downlink = device.Open(*reply->phyPayload);
  ASSERT_TRUE(downlink.has_value());
  EXPECT_EQ(downlink->mtype, 3);
  EXPECT_EQ(downlink->fcnt, 0);
  ASSERT_TRUE(downlink->fport.has_value());
  EXPECT_EQ(*downlink->fport, 5);
  EXPECT_EQ(downlink->payload, (std::vector<uint8_t>{0xCA, 0xFE}));
  ASSERT_EQ(appServer.Posts(), 1u);
  EXPECT_NE(appServer.Body(0).find(R"("data" : "YWJj")"), std::string::npos) << appServer.Body(0);
  EXPECT_EQ(appServer.Path(0), "/up/70-B3-D5-7E-D0-00-00-01/00-11-22-33-44-55-66-77");

  // A confirmed uplink is acknowledged with an empty frame.
  reply = SendAndAwaitReply(gateway, Meta(30000000), device.Uplink(1, true, 5, {1}));
  ASSERT_TRUE(reply.has_value());
  downlink = device.Open(*reply->phyPayload);
  ASSERT_TRUE(downlink.has_value());
  EXPECT_TRUE(downlink->Ack());
  EXPECT_EQ(downlink->fcnt, 1);
  EXPECT_FALSE(downlink->fport.has_value());
  EXPECT_EQ(reply->phyPayload->size(), 12u);

  // LinkCheckReq and DeviceTimeReq are answered in FOpts.
  reply = SendAndAwaitReply(gateway, Meta(40000000, -50, 7.5), device.Uplink(2, false, std::nullopt, {}, {0x02}));
  ASSERT_TRUE(reply.has_value());
  downlink = device.Open(*reply->phyPayload);
  ASSERT_TRUE(downlink.has_value());
  ASSERT_EQ(downlink->fopts.size(), 3u);
  EXPECT_EQ(downlink->fopts[0], 0x02);
  EXPECT_EQ(downlink->fopts[2], 1);  // one gateway heard it

  reply = SendAndAwaitReply(gateway, Meta(50000000), device.Uplink(3, false, std::nullopt, {}, {0x0D}));
  ASSERT_TRUE(reply.has_value());
  downlink = device.Open(*reply->phyPayload);
  ASSERT_TRUE(downlink.has_value());
  EXPECT_EQ(downlink->fopts, (std::vector<uint8_t>{0x0D, 0x92, 0x7B, 0x80, 0x56, 0x80}));

  // Both in one uplink: both answered, in the order asked.
  reply = SendAndAwaitReply(gateway, Meta(60000000), device.Uplink(4, false, std::nullopt, {}, {0x0D, 0x02}));
  ASSERT_TRUE(reply.has_value());
  downlink = device.Open(*reply->phyPayload);
  ASSERT_TRUE(downlink.has_value());
  EXPECT_EQ(downlink->fopts, (std::vector<uint8_t>{0x0D, 0x92, 0x7B, 0x80, 0x56, 0x80, 0x02, 0x00, 0x01}));

  // Only uplinks with application data were posted.
  EXPECT_EQ(appServer.Posts(), 2u);
}

TEST_F(EndToEndTest, LinkAdrReqFollowsTheAdrCount) {
  DeviceSim device(0x26011BDA, kNwkSKey, kAppSKey);
  StartAbp(device, /*adr=*/1);
  // Two good uplinks at SF12 (m_nAdrRxCount is 2): the second reply asks for a faster rate.
  const RxMeta slow = Meta(1000000, -60, 10.0, "SF12BW125");
  auto first = SendAndAwaitReply(gateway, slow, device.Uplink(0, false, 1, {1}, {}, true), 2500);
  EXPECT_FALSE(first.has_value());  // nothing to say yet
  RxMeta second = slow;
  second.tmst = 3000000u;
  auto reply = SendAndAwaitReply(gateway, second, device.Uplink(1, false, 1, {2}, {}, true));
  ASSERT_TRUE(reply.has_value());
  auto downlink = device.Open(*reply->phyPayload);
  ASSERT_TRUE(downlink.has_value());
  EXPECT_TRUE(downlink->Adr());
  ASSERT_EQ(downlink->fopts.size(), 5u);
  EXPECT_EQ(downlink->fopts[0], 0x03);  // LinkADRReq
  EXPECT_EQ(downlink->fopts[2], 0x00);  // CHMASK 0x00FF, high byte first
  EXPECT_EQ(downlink->fopts[3], 0xFF);
  EXPECT_EQ(downlink->fopts[4], 0x61);
}

TEST_F(EndToEndTest, TheSameFrameThroughTwoGatewaysIsForwardedOnceAndAnsweredThroughTheStronger) {
  DeviceSim device(0x26011BDB, kNwkSKey, kAppSKey);
  StartAbp(device);
  GatewaySim second(serverPort, 0xAA555A0000000002ull);
  ASSERT_TRUE(Pull(second));

  const auto frame = device.Uplink(7, true, 2, {0x10, 0x20});
  gateway.SendRxpk(Meta(5000000, -100, -2.0), frame);
  second.SendRxpk(Meta(7000000, -40, 9.0), frame);
  ASSERT_TRUE(gateway.WaitFor(PfIdentifier::PushAck, test::kPatienceMs).has_value());
  ASSERT_TRUE(second.WaitFor(PfIdentifier::PushAck, test::kPatienceMs).has_value());

  auto reply = second.WaitFor(PfIdentifier::PullResp, kReplyWaitMs);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->txpk["tmst"], "8000000");  // timed on the stronger gateway's clock
  EXPECT_TRUE(gateway.ExpectNothing(1500));
  ASSERT_TRUE(test::WaitUntil([&] { return appServer.Posts() >= 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(appServer.Posts(), 1u);
}

TEST_F(EndToEndTest, ClassCDownlinkGoesOutAtOnceOnRx2) {
  DeviceSim device(0x26011BDC, kNwkSKey, kAppSKey);
  apKey = AddApplication(true, 1, 0, "");
  devKey = AddAbpDevice(apKey, device);
  Start();
  ASSERT_TRUE(Pull(gateway));
  // The uplink ties the device to this gateway.
  gateway.SendRxpk(Meta(1000000), device.Uplink(0, false, 1, {1}));
  ASSERT_TRUE(gateway.WaitFor(PfIdentifier::PushAck, test::kPatienceMs).has_value());
  ASSERT_TRUE(test::WaitUntil([&] {
    auto stored = app.m_LoRaDevMgr.GetDeviceByPkey(devKey);
    return stored && stored->GPKEY != 0;
  }));

  auto request = std::make_unique<CDLink>();
  request->DEVPKEY = devKey;
  request->PORT = 9;
  request->CHANNEL = CDLink::kRx2;
  snprintf(request->APP, sizeof request->APP, "01 02 03");
  ASSERT_EQ(app.m_LoRaDlinkList.InsertDownlink(std::move(request), false), 0);

  auto sent = gateway.WaitFor(PfIdentifier::PullResp, kReplyWaitMs);
  ASSERT_TRUE(sent.has_value());
  EXPECT_EQ(sent->txpk["imme"], "true");
  EXPECT_EQ(sent->txpk["freq"], "921.9");
  EXPECT_EQ(sent->txpk["datr"], "SF12BW125");
  EXPECT_EQ(sent->txpk.count("tmst"), 0u);
  auto downlink = device.Open(*sent->phyPayload);
  ASSERT_TRUE(downlink.has_value());
  EXPECT_EQ(*downlink->fport, 9);
  EXPECT_EQ(downlink->payload, (std::vector<uint8_t>{1, 2, 3}));
  DLinkRecords pending;
  ASSERT_EQ(app.m_LoRaDlinkList.LoadDownlinks(devKey, true, &pending), 0);
  EXPECT_TRUE(pending.empty());  // marked transmitted
}

TEST_F(EndToEndTest, BackToBackUplinksGetIncreasingDownlinkCounters) {
  DeviceSim device(0x26011BDE, kNwkSKey, kAppSKey);
  StartAbp(device);
  // The second uplink is processed (and its row written) while the reply to
  // the first still waits: that write must not roll the downlink counter back.
  for (uint16_t fcnt = 0; fcnt < 3; ++fcnt) {
    gateway.SendRxpk(Meta(1000000u + fcnt * 100000u), device.Uplink(fcnt, true, 3, {7}));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::vector<int> counters;
  for (int i = 0; i < 3; ++i) {
    auto reply = gateway.WaitFor(PfIdentifier::PullResp, kReplyWaitMs);
    ASSERT_TRUE(reply.has_value()) << i;
    auto downlink = device.Open(*reply->phyPayload);
    ASSERT_TRUE(downlink.has_value());
    counters.push_back(downlink->fcnt);
  }
  EXPECT_EQ(counters, (std::vector<int>{0, 1, 2}));
  auto stored = app.m_LoRaDevMgr.GetDeviceByPkey(devKey);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->TXSEQ, 2);
  EXPECT_EQ(stored->RXSEQ, 2);
}

TEST_F(EndToEndTest, ASlowOrDownApplicationServerDoesNotDelayTheRadioSide) {
  DeviceSim device(0x26011BDD, kNwkSKey, kAppSKey);
  StartAbp(device);
  appServer.Delay(6000);  // the post gives up after 5 s
  for (uint16_t fcnt = 0; fcnt < 3; ++fcnt) {
    const auto start = std::chrono::steady_clock::now();
    auto reply = SendAndAwaitReply(gateway, Meta(1000000 + fcnt * 10000000u), device.Uplink(fcnt, true, 3, {7}));
    ASSERT_TRUE(reply.has_value()) << fcnt;
    // The reply leaves ~0.8 s after the uplink; a radio side waiting on the
    // application server would wait for the post's 5 s time-out first.
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::milliseconds(4500)) << fcnt;
    EXPECT_TRUE(device.Open(*reply->phyPayload)->Ack());
  }
}

}  // namespace
}  // namespace quorvex
