// The join procedure on the published OTAA join request: refusals, the
// accepted join and its join accept as the device sees it, and the choice
// between copies of one request heard through several gateways.
#include "lorawan/JoinProcedure.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "lorawan/Aes.h"
#include "lorawan/ProcedureFixture.h"

namespace quorvex {
namespace {

using test::Bytes;
using test::Hex;

// The published OTAA exchange (see LoRaCryptoTest.cpp for its source).
const std::vector<uint8_t> kAppKey = Hex("B6B53F4A168A7A88BDF7EA135CE9CFCA");
const std::vector<uint8_t> kJoinRequest = Hex("00DC0000D07ED5B3701E6FEDF57CEEAF0085CC587FE913");
const std::vector<uint8_t> kAppEui = Hex("70B3D57ED00000DC");
const std::vector<uint8_t> kDevEui = Hex("00AFEE7CF5ED6F1E");
constexpr uint16_t kDevNonce = 0xCC85;

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// The published request with another DevNonce, signed under its AppKey.
std::vector<uint8_t> RequestWithNonce(uint16_t devNonce) {
  std::vector<uint8_t> frame(kJoinRequest.begin(), kJoinRequest.begin() + 19);
  frame[17] = static_cast<uint8_t>(devNonce);
  frame[18] = static_cast<uint8_t>(devNonce >> 8);
  const uint32_t mic = ComputeJoinMic(frame.data(), frame.size(), kAppKey.data());
  for (int i = 0; i < 4; ++i) frame.push_back(static_cast<uint8_t>(mic >> (8 * i)));
  return frame;
}

class JoinProcedureTest : public test::ProcedureTest {
 protected:
  // The application and device of the published request; the device was
  // in a session before (keys, counters and ADR state set).
  void AddKnownDevice(int32_t activation = 0) {
    appKey = AddApplication(kAppEui, activation);
    CDeviceRow row;
    row.APKEY = appKey;
    std::copy(kDevEui.begin(), kDevEui.end(), row.DEVEUI);
    std::copy(kAppKey.begin(), kAppKey.end(), row.APPKEY);
    std::memset(row.NETSKEY, 0x11, 16);
    std::memset(row.APPSKEY, 0x22, 16);
    row.DEVADDR = 0x26012E43;
    row.NETWORKID = 0xAB000013;
    row.TXSEQ = 40;
    row.RXSEQ = 41;
    row.ADR = 1;
    row.ADRCNT = 3;
    row.ADRPWR = 2;
    row.PWRREQ = 1;
    row.NBGATE = 2;
    before = row;
    before.PKEY = devKey = AddDevice(row);
  }
  std::unique_ptr<CDevice> Join(CGateway& gateway, const RadioMetadata& m, const std::vector<uint8_t>& frame) {
    return ProcessJoinRequestAt(app, gateway.PKEY == gatewayA.PKEY ? addrA : addrB, gateway,
                                frame.empty() ? 0 : frame[0], m, frame.data(), static_cast<int>(frame.size()),
                                kNow);
  }
  std::unique_ptr<CDevice> Join() { return Join(gatewayA, meta, kJoinRequest); }

  int32_t appKey = 0;
  int32_t devKey = 0;
  CDeviceRow before;
};

TEST_F(JoinProcedureTest, RefusedBeforeAnyDeviceIsFound) {
  struct Case {
    const char* name;
    std::vector<uint8_t> frame;
    std::string text;
  } cases[] = {
      {"no application", kJoinRequest, "Not exist application - 70 B3 D5 7E D0 00 00 DC"},
      {"no device", kJoinRequest, "Not exist device - 00 AF EE 7C F5 ED 6F 1E"},
      {"22 bytes", Bytes(kJoinRequest.data(), 22), "Join Fail, Frame Error (length 22): join request is not 23 bytes"},
      {"24 bytes", Hex("00DC0000D07ED5B3701E6FEDF57CEEAF0085CC587FE91300"),
       "Join Fail, Frame Error (length 24): join request is not 23 bytes"},
      {"empty", {}, "Join Fail, Frame Error (length 0): join request is not 23 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window.records.clear();
    EXPECT_EQ(Join(gatewayA, meta, c.frame), nullptr);
    const auto texts = DebugTexts();
    ASSERT_EQ(texts.size(), 2u);
    const int head = std::min(19, int(c.frame.size()));  // never the MIC
    EXPECT_EQ(texts[0], "JOIN RX DATA : " + std::to_string(c.frame.size()) + " bytes" +
                            (head > 0 ? ": " + CWinUtils::BytesToHex(c.frame.data(), ' ', head) : ""));
    EXPECT_EQ(texts[1], c.text);
    EXPECT_EQ(CountRecords(CLog::Join), 0);
    if (app.m_LoRaAppList.m_List.empty()) AddApplication(kAppEui);  // from the second case on
  }
}

TEST_F(JoinProcedureTest, FailuresReturnTheDeviceUnchangedAndNotAccepted) {
  AddKnownDevice();
  const int32_t otherApp = AddApplication(Hex("0000000000000001"));
  struct Case {
    const char* name;
    int32_t activation;
    bool wrongAppKey;
    bool otherApplication;
    std::string text;
  } cases[] = {
      {"ABP application", 1, false, false, "Join Fail, Device ABP mode - 00 AF EE 7C F5 ED 6F 1E"},
      {"MIC", 0, true, false, "Join Fail, Check app key - 00 AF EE 7C F5 ED 6F 1E"},
      {"device of another application", 0, false, true,
       "Join Fail, Check Key " + std::to_string(otherApp) + "  " + std::to_string(appKey)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window.records.clear();
    app.m_LoRaAppList.FindApplication(appKey)->ACTIVATION = c.activation;
    CDeviceRow row = before;
    if (c.wrongAppKey) row.APPKEY[15] ^= 1;
    if (c.otherApplication) row.APKEY = otherApp;
    ASSERT_EQ(app.m_LoRaDevMgr.UpdateDevice(&row), 0);

    auto result = Join();
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(DebugTexts().back(), c.text);
    EXPECT_EQ(result->m_Accepted, 0);
    EXPECT_EQ(result->NBGATE, 0);
    EXPECT_EQ(result->RXTICK, static_cast<int64_t>(kNow));
    EXPECT_EQ(Bytes(result->NETSKEY, 16), Bytes(before.NETSKEY, 16));
    EXPECT_EQ(Bytes(result->APPSKEY, 16), Bytes(before.APPSKEY, 16));
    EXPECT_EQ(result->RXSEQ, before.RXSEQ);
    EXPECT_EQ(result->TXSEQ, before.TXSEQ);
    EXPECT_EQ(result->JOINED, 0);
    EXPECT_EQ(result->m_TxLength, 0);
    EXPECT_EQ(CountRecords(CLog::Join), 0);
  }
}

TEST_F(JoinProcedureTest, AcceptedJoinGivesAJoinAcceptTheDeviceCanRead) {
  AddKnownDevice();
  auto device = Join();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->m_Accepted, 1);
  EXPECT_EQ(device->m_UpMType, 0);
  EXPECT_EQ(device->JOINED, 1);
  EXPECT_EQ(device->GPKEY, gatewayA.PKEY);
  EXPECT_EQ(device->NBGATE, 1);
  EXPECT_EQ(device->TXSEQ, -1);
  EXPECT_EQ(device->RXSEQ, -1);
  EXPECT_EQ(std::vector<int32_t>({device->ADR, device->ADRCNT, device->ADRPWR, device->PWRREQ}),
            std::vector<int32_t>({0, 0, 0, 0}));

  // The device decrypts the join accept with AES encryption under its AppKey.
  ASSERT_EQ(device->m_TxLength, 17);
  ASSERT_EQ(device->m_FrameLength, 17);
  EXPECT_EQ(device->m_TxFrame[0], 0x20);
  AesKeySchedule schedule;
  ASSERT_EQ(AesExpandKey(kAppKey.data(), 16, schedule), kAesOk);
  std::array<uint8_t, 17> plain{};
  plain[0] = device->m_TxFrame[0];
  AesEncryptBlock(device->m_TxFrame + 1, plain.data() + 1, schedule);
  EXPECT_EQ(Bytes(plain.data(), 17), Bytes(device->m_Frame, 17));
  EXPECT_EQ(Bytes(plain.data() + 4, 9), Hex("130000 432E0126 00 00"));  // NetID, DevAddr, DLSettings, RxDelay
  EXPECT_EQ(Le32(plain.data() + 13), ComputeJoinMic(plain.data(), 13, kAppKey.data()));

  // Its session keys are those of the AppNonce and NetID it received.
  std::array<uint8_t, 16> nwkSKey{}, appSKey{};
  DeriveSessionKeys(kAppKey.data(), plain.data() + 1, kDevNonce, nwkSKey.data(), appSKey.data());
  EXPECT_EQ(Bytes(device->NETSKEY, 16), Bytes(nwkSKey.data(), 16));
  EXPECT_EQ(Bytes(device->APPSKEY, 16), Bytes(appSKey.data(), 16));
  EXPECT_NE(Bytes(device->NETSKEY, 16), Bytes(before.NETSKEY, 16));

  const auto texts = DebugTexts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], "JOIN RX DATA : 23 bytes: " + CWinUtils::BytesToHex(kJoinRequest.data(), ' ', 19));
  EXPECT_EQ(CountRecords(CLog::Join), 1);

  // Counters of "none yet" survive the row being saved and read back.
  ASSERT_EQ(app.m_LoRaDevMgr.UpdateDevice(device.get()), 0);
  const auto stored = Stored(devKey);
  EXPECT_EQ(stored->TXSEQ, -1);
  EXPECT_EQ(stored->RXSEQ, -1);
}

TEST_F(JoinProcedureTest, EachJoinDrawsAFreshAppNonce) {
  AddKnownDevice();
  auto first = Join();
  app.m_LoRaJitMgr.DeleteAll();
  auto second = Join(gatewayA, meta, RequestWithNonce(kDevNonce + 1));
  ASSERT_TRUE(first && second);
  EXPECT_NE(Bytes(first->m_TxFrame, 17), Bytes(second->m_TxFrame, 17));
  EXPECT_NE(Bytes(first->NETSKEY, 16), Bytes(second->NETSKEY, 16));
}

TEST_F(JoinProcedureTest, CopiesOfOneRequestThroughSeveralGateways) {
  struct Case {
    const char* name;
    int64_t queuedAgeMs;
    bool queuedViaA;  // this copy arrives through gateway B
    const char* queuedRssi;
    const char* rssi;
    int accepted;
    size_t queueAfter;
    int32_t nbGate;
    const char* trace;
  } cases[] = {
      {"repeat after 600 ms", 600, false, "-90", "-100", 1, 0, 0, "Remove Pre Join Data "},
      {"other gateway, stronger", 120, true, "-90", "-60", 1, 0, 1, "Remove Pre Join Data "},
      {"other gateway, weaker", 120, true, "-60", "-90", 0, 1, 1, "Remove Curr Join Data 1"},
      {"other gateway, as strong", 120, true, "-60", "-60", 0, 1, 1, "Remove Curr Join Data 1"},
      {"other gateway, queued without RSSI", 500, true, "", "-90", 1, 0, 1, "Remove Pre Join Data "},
      {"same gateway within 500 ms", 500, false, "-90", "-60", 0, 1, 0, "Remove Curr Join Data 2"},
  };
  AddKnownDevice();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    app.m_LoRaJitMgr.DeleteAll();
    ASSERT_EQ(app.m_LoRaDevMgr.ClearDevNonces(devKey), 0);  // each case is the request's first hearing
    trace.Clear();
    Queue(before, c.queuedAgeMs, c.queuedViaA ? gatewayA : gatewayB, c.queuedRssi);
    auto device = Join(gatewayB, Meta(c.rssi, "5", "SF7BW125"), kJoinRequest);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->m_Accepted, c.accepted);
    EXPECT_EQ(app.m_LoRaJitMgr.Count(), c.queueAfter);
    EXPECT_EQ(device->NBGATE, c.nbGate);
    EXPECT_EQ(device->JOINED, c.accepted);
    EXPECT_EQ(device->GPKEY, c.accepted ? gatewayB.PKEY : 0);
    EXPECT_TRUE(trace.Saw(c.trace));
    EXPECT_EQ(device->m_TxLength, c.accepted ? 17 : 0);  // only the answered copy starts a session
  }
  EXPECT_EQ(CountRecords(CLog::Join), 6);  // duplicates are logged too
}

TEST_F(JoinProcedureTest, AUsedDevNonceIsAReplayUnlessTheRequestIsACopyOfTheQueuedOne) {
  enum Outcome { kAnswered, kDuplicate, kReplay };
  struct Case {
    const char* name;
    bool nonceOnFile;
    int64_t queuedAgeMs;  // -1: nothing queued
    uint16_t queuedNonce;
    const char* rssi;     // of this copy, through gateway B; the queued one came through A at -80
    Outcome outcome;
  } cases[] = {
      {"used, nothing queued", true, -1, 0, "-90", kReplay},
      {"used, queued with another nonce", true, 100, kDevNonce + 1, "-60", kReplay},
      {"used, a copy of the queued request after the window", true, 600, kDevNonce, "-60", kReplay},
      {"a stronger copy of the queued request", true, 100, kDevNonce, "-60", kAnswered},
      {"a weaker copy of the queued request", true, 100, kDevNonce, "-90", kDuplicate},
      {"fresh, nothing queued", false, -1, 0, "-90", kAnswered},
  };
  AddKnownDevice();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    app.m_LoRaJitMgr.DeleteAll();
    ASSERT_EQ(app.m_LoRaDevMgr.ClearDevNonces(devKey), 0);
    if (c.nonceOnFile) {
      ASSERT_EQ(app.m_LoRaDevMgr.RecordDevNonce(devKey, kDevNonce), 0);
    }
    if (c.queuedAgeMs >= 0) Queue(before, c.queuedAgeMs, gatewayA, "-80", 1, c.queuedNonce);
    window.records.clear();
    trace.Clear();
    auto device = Join(gatewayB, Meta(c.rssi, "5", "SF7BW125"), kJoinRequest);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->m_Accepted, c.outcome == kAnswered ? 1 : 0);
    const std::string refusal = "Join Fail, DevNonce 0xCC85 already used - 00 AF EE 7C F5 ED 6F 1E";
    EXPECT_EQ(trace.Saw(refusal), c.outcome == kReplay);
    if (c.outcome == kReplay) {
      EXPECT_EQ(DebugTexts().back(), refusal);
      EXPECT_EQ(app.m_LoRaJitMgr.Count(), c.queuedAgeMs >= 0 ? 1u : 0u);  // the queued answer stays
    }
    if (c.outcome != kAnswered) {
      // No session of its own: the record keeps the stored keys.
      EXPECT_EQ(Bytes(device->NETSKEY, 16), Bytes(before.NETSKEY, 16));
      EXPECT_EQ(device->m_TxLength, 0);
      continue;
    }
    EXPECT_NE(Bytes(device->NETSKEY, 16), Bytes(before.NETSKEY, 16));
    EXPECT_EQ(app.m_LoRaDevMgr.FindDevNonce(devKey, kDevNonce), 0);  // used from now on
  }
}

TEST_F(JoinProcedureTest, TheJoinAcceptCarriesTheRx2DatarateOfAClassCApplication) {
  struct Case {
    const char* name;
    int32_t deviceClass;
    int32_t rx2Sf;
    uint8_t dlSettings;
  } cases[] = {
      {"class A keeps DR0", CApplication::kClassA, 3, 0x00},
      {"class C at SF12", CApplication::kClassC, 0, 0x00},
      {"class C at SF10", CApplication::kClassC, 2, 0x02},
      {"class C at SF7", CApplication::kClassC, 5, 0x05},
      {"class C, an index out of range", CApplication::kClassC, 9, 0x00},
  };
  AddKnownDevice();
  uint16_t nonce = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CApplication* application = app.m_LoRaAppList.FindApplication(appKey);
    application->CLASS = c.deviceClass;
    application->RX2SF = c.rx2Sf;
    app.m_LoRaJitMgr.DeleteAll();
    auto device = Join(gatewayA, meta, RequestWithNonce(nonce++));
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->m_Accepted, 1);
    EXPECT_EQ(device->m_Frame[11], c.dlSettings);  // RX1DROffset 0, RX2 datarate
    AesKeySchedule schedule;
    ASSERT_EQ(AesExpandKey(kAppKey.data(), 16, schedule), kAesOk);
    uint8_t plain[16];
    AesEncryptBlock(device->m_TxFrame + 1, plain, schedule);  // as the device reads it
    EXPECT_EQ(plain[10], c.dlSettings);
  }
}

}  // namespace
}  // namespace quorvex
