// Uplink processing: refusals, MIC, the 32-bit counter rules, MAC commands
// and decryption, copies of one frame through several gateways, and the ADR
// decision. Frames use the published session of LoRaCryptoTest.cpp.
#include "lorawan/UplinkProcedure.h"

#include <gtest/gtest.h>

#include <climits>

#include "lorawan/ProcedureFixture.h"

namespace quorvex {
namespace {

using test::Bytes;
using test::Hex;
using test::MakeUplink;
using test::UplinkParts;

const std::vector<uint8_t> kNwkSKey = Hex("44024241ed4ce9a68c6a8bc055233fd3");
const std::vector<uint8_t> kAppSKey = Hex("ec925802ae430ca77fd3dd73cb2cc588");
constexpr uint32_t kDevAddr = 0x49BE7DF1;
const std::string kAddrText = "1237220849 (0x49BE7DF1)";

class UplinkProcedureTest : public test::ProcedureTest {
 protected:
  void SetUp() override {
    ProcedureTest::SetUp();
    appKey = AddApplication(Hex("0102030405060708"), 0, 1);
    CDeviceRow row;
    row.APKEY = appKey;
    row.JOINED = 1;
    row.DEVADDR = kDevAddr;
    std::copy(kNwkSKey.begin(), kNwkSKey.end(), row.NETSKEY);
    std::copy(kAppSKey.begin(), kAppSKey.end(), row.APPSKEY);
    row.RXSEQ = 1;
    row.NBGATE = 1;
    row.PKEY = AddDevice(row);
    device = row;
  }
  // Stores `row` (a variant of `device`) as the device's state before the next frame.
  void Store(const CDeviceRow& row) { ASSERT_EQ(app.m_LoRaDevMgr.UpdateDevice(&row), 0); }
  std::unique_ptr<CDevice> Up(const std::vector<uint8_t>& frame, CGateway& gateway, const RadioMetadata& m) {
    return ProcessDataUplinkAt(app, &gateway == &gatewayA ? addrA : addrB, gateway, frame.empty() ? 0 : frame[0],
                               m, frame.data(), static_cast<int>(frame.size()), kNow);
  }
  std::unique_ptr<CDevice> Up(const std::vector<uint8_t>& frame) { return Up(frame, gatewayA, meta); }
  std::vector<uint8_t> Frame(UplinkParts p) {
    p.devAddr = kDevAddr;
    return MakeUplink(p, kNwkSKey, kAppSKey);
  }

  int32_t appKey = 0;
  CDeviceRow device;
};

TEST_F(UplinkProcedureTest, RefusedFramesAndUnknownDevices) {
  struct Case {
    const char* name;
    std::vector<uint8_t> frame;
    std::string text;
  } cases[] = {
      {"empty", {}, "UP-LINK Fail, Frame Error (length 0): data frame shorter than 12 bytes"},
      {"11 bytes", Hex("40F17DBE49000200019543"),
       "UP-LINK Fail, Frame Error (length 11): data frame shorter than 12 bytes"},
      {"FOptsLen 5 in 14 bytes", Hex("40F17DBE4905020001020304 0506"),
       "UP-LINK Fail, Frame Error (length 14): FOpts longer than the frame"},
      {"FOptsLen 15 in 26 bytes", Hex("40F17DBE490F0200 0102030405060708090A0B0C0D0E 01020304"),
       "UP-LINK Fail, Frame Error (length 26): FOpts longer than the frame"},
      {"unknown DevAddr", Hex("40F27DBE4900020001954378762B11FF0D"),
       "Not exist device, DEVADDR - 1237220850 (0x49BE7DF2)"},
      {"DevAddr with the top bit", Hex("40F27DBEC900020001954378762B11FF0D"),
       "Not exist device, DEVADDR - -910262798 (0xC9BE7DF2)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window.records.clear();
    EXPECT_EQ(Up(c.frame), nullptr);
    const auto texts = DebugTexts();
    ASSERT_EQ(texts.size(), 2u);
    // The header only: no payload or MIC in a record.
    const int head = std::min(8, int(c.frame.size()));
    EXPECT_EQ(texts[0], "UP-LINK : " + std::to_string(c.frame.size()) + " bytes" +
                            (head > 0 ? ": " + CWinUtils::BytesToHex(c.frame.data(), ' ', head) : ""));
    EXPECT_EQ(texts[1], c.text);
    EXPECT_EQ(CountRecords(CLog::Uplink), 0);
  }
  EXPECT_EQ(Stored(device.PKEY)->RXSEQ, 1);
}

TEST_F(UplinkProcedureTest, FailuresKeepTheStoredCounter) {
  struct Case {
    const char* name;
    bool wrongNwkSKey;
    bool noApplication;
    std::string text;
  } cases[] = {
      {"MIC", true, false, "MIC Error, DEVADDR - " + kAddrText},
      {"application gone", false, true, "Not exist application database Addr=" + kAddrText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CDeviceRow row = device;
    if (c.wrongNwkSKey) row.NETSKEY[0] ^= 1;
    if (c.noApplication) row.APKEY = appKey + 100;
    Store(row);
    window.records.clear();
    auto result = Up(Hex("40F17DBE4900020001954378762B11FF0D"));  // FCnt 2
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(DebugTexts().back(), c.text);
    EXPECT_EQ(result->m_Accepted, 0);
    EXPECT_EQ(result->RXSEQ, 1);  // a frame that failed verification moves no counter
    EXPECT_EQ(result->RXTICK, static_cast<int64_t>(kNow));
    EXPECT_EQ(result->m_UpPayloadLength, 0);
    EXPECT_EQ(CountRecords(CLog::Uplink), 0);
  }
}

TEST_F(UplinkProcedureTest, DecryptsPublishedPayloads) {
  struct Case {
    const char* frame;
    uint16_t fcnt;
    std::string plain;
  } cases[] = {
      {"40F17DBE4900020001954378762B11FF0D", 2, "test"},
      {"40f17dbe490004000155332de41a11adc072553544429ce7787707d1c316e027e7e5e334263376affb8aa17ad30075293f28"
       "dea8a20af3c5e7",
       4, "The quick brown fox jumps over the lazy dog."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plain);
    window.records.clear();
    auto result = Up(Hex(c.frame));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->m_Accepted, 1);
    EXPECT_EQ(result->m_UpMType, 2);
    EXPECT_EQ(result->m_UpFPort, 1);
    EXPECT_EQ(std::string(result->m_UpPayload, result->m_UpPayload + result->m_UpPayloadLength), c.plain);
    EXPECT_EQ(result->m_UpMacLength, 0);
    EXPECT_EQ(result->RXSEQ, c.fcnt);
    EXPECT_EQ(result->GPKEY, gatewayA.PKEY);
    ASSERT_EQ(CountRecords(CLog::Uplink), 1);
    EXPECT_EQ(window.records.back().COUNT, c.fcnt);
    EXPECT_STREQ(window.records.back().IP, "10.0.0.1");
  }
}

TEST_F(UplinkProcedureTest, CounterRules) {
  // The device counts in 32 bits and sends the low 16; the server rebuilds
  // the rest from RXSEQ. The payload decrypts only with the full counter.
  struct Case {
    const char* name;
    int64_t rxSeq;
    uint32_t fcnt;          // the device's counter
    int accepted;
    int64_t rxSeqAfter;
    int32_t adrCnt;         // ADRCNT 5 before
    const char* refusal;    // the debug record of a refused counter
  } cases[] = {
      {"first after a join", -1, 0, 1, 0, 5, nullptr},
      {"next", 3, 4, 1, 4, 5, nullptr},
      {"gap", 3, 5, 1, 5, 0, nullptr},
      {"0x10000 after 0xFFFF", 0xFFFF, 0x10000, 1, 0x10000, 5, nullptr},
      {"gap over the 16-bit turn", 0xFFFE, 0x10000, 1, 0x10000, 0, nullptr},
      {"high bits kept", 0x2FFFF, 0x30000, 1, 0x30000, 5, nullptr},
      {"largest gap", 3, 3 + 16384, 1, 3 + 16384, 0, nullptr},
      {"repeat, nothing queued", 5, 5, 0, 5, 5, nullptr},
      {"0xFFFF after a join is new", -1, 0xFFFF, 1, 0xFFFF, 0, nullptr},
      {"older: a recorded frame sent again", 7, 3, 0, 7, 5, "FCnt Error, FCnt 3 behind the stored counter 7"},
      {"older across the 16-bit turn", 0x10002, 0xFFFF, 0, 0x10002, 5,
       "FCnt Error, FCnt 65535 behind the stored counter 65538"},
      {"gap over 16384", 3, 3 + 16385, 0, 3, 5, "FCnt Error, FCnt 16388 too far ahead of the stored counter 3"},
      {"no counter past 32 bits", 0xFFFFFFF0, 1, 0, 0xFFFFFFF0, 5,
       "FCnt Error, FCnt 1 too far ahead of the stored counter 4294967280"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CDeviceRow row = device;
    row.RXSEQ = c.rxSeq;
    row.ADRCNT = 5;
    row.NBGATE = 3;
    Store(row);
    window.records.clear();
    trace.Clear();
    auto result = Up(Frame(UplinkParts().Fcnt(c.fcnt).Port(1).Plain({0x42})));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->m_Accepted, c.accepted);
    EXPECT_EQ(result->ADRCNT, c.adrCnt);
    EXPECT_EQ(result->NBGATE, c.accepted ? 1 : 3);
    EXPECT_EQ(result->RXSEQ, c.rxSeqAfter);
    if (c.refusal != nullptr) {
      const std::string text = std::string(c.refusal) + ", DEVADDR - " + kAddrText;
      EXPECT_EQ(DebugTexts().back(), text);
      EXPECT_TRUE(trace.Saw(text));
      EXPECT_EQ(result->m_UpPayloadLength, 0);
      EXPECT_EQ(CountRecords(CLog::Uplink), 0);
      continue;
    }
    EXPECT_EQ(result->m_UpPayloadLength, 1);
    EXPECT_EQ(result->m_UpPayload[0], 0x42);
    ASSERT_EQ(CountRecords(CLog::Uplink), 1);
    EXPECT_EQ(window.records.back().COUNT, c.rxSeqAfter);
  }
}

TEST_F(UplinkProcedureTest, AMicOverOnlyTheLow16BitsFailsPastTheTurn) {
  // A device that signed counter 0x10000 as 0 (16-bit counters) is not
  // the device the server knows: its MIC does not verify.
  CDeviceRow row = device;
  row.RXSEQ = 0xFFFF;
  Store(row);
  auto result = Up(Frame(UplinkParts().Fcnt(0).Port(1).Plain({0x42})));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->m_Accepted, 0);
  EXPECT_EQ(DebugTexts().back(), "MIC Error, DEVADDR - " + kAddrText);
  EXPECT_EQ(result->RXSEQ, 0xFFFF);
}

TEST_F(UplinkProcedureTest, MacCommandsAndPayload) {
  struct Case {
    const char* name;
    UplinkParts parts;
    int32_t fport;
    std::vector<uint8_t> mac;
    std::vector<uint8_t> payload;
  } cases[] = {
      {"LinkCheckReq on FPort 0", UplinkParts().Port(0).Plain({0x02}), 0, {0x02}, {}},
      {"two commands on FPort 0", UplinkParts().Port(0).Plain({0x02, 0x03, 0x07}), 0, {0x02, 0x03, 0x07}, {}},
      {"FOpts, no FPort", UplinkParts().FOpts({0x02}), 0, {0x02}, {}},
      {"FOpts and application data", UplinkParts().FOpts({0x03, 0x07}).Port(5).Plain({0xAA, 0xBB}), 5, {0x03, 0x07},
       {0xAA, 0xBB}},
      {"FOpts with FPort 0 carry nothing", UplinkParts().FOpts({0x02}).Port(0).Plain({0x02}), 0, {}, {}},
      {"header and MIC only", UplinkParts(), 0, {}, {}},
      {"FPort without payload", UplinkParts().Port(9), 9, {}, {}},
  };
  uint16_t fcnt = 2;
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.parts.fcnt = fcnt++;
    auto result = Up(Frame(c.parts));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->m_Accepted, 1);
    EXPECT_EQ(result->m_UpFPort, c.fport);
    EXPECT_EQ(Bytes(result->m_UpMac, result->m_UpMacLength), c.mac);
    EXPECT_EQ(Bytes(result->m_UpPayload, result->m_UpPayloadLength), c.payload);
    app.m_LoRaDevMgr.UpdateDevice(result.get());
  }
}

TEST_F(UplinkProcedureTest, ConfirmedUplinkKeepsItsMessageType) {
  auto result = Up(Frame(UplinkParts().Mhdr(0x80).Fcnt(2)));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->m_UpMType, 4);
  EXPECT_EQ(window.records.back().CONFIRMED, 1);
}

TEST_F(UplinkProcedureTest, CopiesOfOneFrameThroughSeveralGateways) {
  struct Case {
    const char* name;
    int64_t queuedAgeMs;
    bool queuedViaA;  // this copy arrives through gateway B
    const char* queuedRssi;
    const char* rssi;
    int accepted;
    size_t queueAfter;
    int32_t nbGate;        // of this copy (stored: 1)
    int32_t queuedNbGate;  // -1: no longer queued
  } cases[] = {
      {"other gateway, stronger", 100, true, "-90", "-60", 1, 0, 2, -1},
      {"other gateway, weaker", 100, true, "-60", "-90", 0, 1, 2, 2},
      {"other gateway, queued without RSSI", 300, true, "", "-90", 1, 0, 2, -1},
      {"same gateway", 100, false, "-90", "-60", 0, 1, 1, 1},
      {"queued more than 300 ms ago", 301, true, "-60", "-90", 1, 0, 1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    app.m_LoRaJitMgr.DeleteAll();
    CDeviceRow row = device;
    row.RXSEQ = 9;
    row.NBGATE = 1;
    row.GPKEY = gatewayA.PKEY;  // set by the copy already queued
    Store(row);
    Queue(row, c.queuedAgeMs, c.queuedViaA ? gatewayA : gatewayB, c.queuedRssi);
    auto result = Up(Frame(UplinkParts().Fcnt(9).Port(1).Plain({1})), gatewayB, Meta(c.rssi, "5", "SF7BW125"));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->m_Accepted, c.accepted);
    EXPECT_EQ(app.m_LoRaJitMgr.Count(), c.queueAfter);
    EXPECT_EQ(result->NBGATE, c.nbGate);
    EXPECT_EQ(QueuedNbGate(row), c.queuedNbGate);
    EXPECT_EQ(result->RXSEQ, 9);
    // Only the copy that is answered names the device's gateway.
    EXPECT_EQ(result->GPKEY, c.accepted ? gatewayB.PKEY : gatewayA.PKEY);
  }
}

TEST_F(UplinkProcedureTest, AdrDecisionCountsGoodUplinksUpToTheSetupCount) {
  app.m_Settings.m_nAdrRxCount = 3;
  // SF10 needs an SNR above -15 + 3 dB for a step.
  struct Step {
    const char* lsnr;
    int32_t adrCnt;
    int32_t adr;
  } steps[] = {{"-5", 1, 0}, {"-5", 2, 0}, {"-13", 0, 0}, {"-5", 1, 0}, {"-11.9", 2, 0}, {"-5", 0, 1}};
  uint16_t fcnt = 2;
  for (const Step& s : steps) {
    SCOPED_TRACE(fcnt);
    auto result = Up(Frame(UplinkParts().Flags(0x80).Fcnt(fcnt++)), gatewayA, Meta("-90", s.lsnr, "SF10BW125"));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->ADRCNT, s.adrCnt);
    EXPECT_EQ(result->ADR, s.adr);
    EXPECT_EQ(result->ADRSF, s.adr ? 10 : 0);
    app.m_LoRaDevMgr.UpdateDevice(result.get());
  }
  EXPECT_TRUE(trace.Saw("ADR Set Continue Cnt:2"));
  EXPECT_TRUE(trace.Saw("ADR Set Start Seq:7 - 1"));
}

// Counters of a row written by another program may stand at the int32
// limit: counting on holds them there instead of overflowing.
TEST_F(UplinkProcedureTest, CountersAtTheLimitStayThere) {
  CDeviceRow row = device;
  row.ADRCNT = INT_MAX;
  row.NBGATE = INT_MAX;
  Store(row);
  app.m_Settings.m_nAdrRxCount = 10;
  auto result = Up(Frame(UplinkParts().Flags(0x80).Fcnt(2)), gatewayA, Meta("-90", "5", "SF10BW125"));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->ADR, 1);  // the count is past the setup count
  EXPECT_EQ(result->ADRCNT, 0);
}

TEST_F(UplinkProcedureTest, AdrDecisionOnlyForNewFramesOfDevicesAndApplicationsThatUseIt) {
  struct Case {
    const char* name;
    int32_t appAdr;
    uint8_t flags;
    int32_t deviceAdr;
    int32_t rxSeq;
    int32_t adr;
    int32_t adrCnt;  // 4 before
  } cases[] = {
      {"ADRACKReq sets ADR at once", 1, 0xC0, 0, 1, 1, 0},
      {"good SNR counts", 1, 0x80, 0, 1, 0, 5},
      {"application without ADR", 0, 0xC0, 0, 1, 0, 4},
      {"frame without the ADR bit", 1, 0x40, 0, 1, 0, 4},
      {"request already pending", 1, 0xC0, 1, 1, 1, 4},
      {"repeat of the last counter", 1, 0xC0, 0, 2, 0, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    app.m_LoRaAppList.FindApplication(appKey)->ADR = c.appAdr;
    CDeviceRow row = device;
    row.ADR = c.deviceAdr;
    row.ADRCNT = 4;
    row.RXSEQ = c.rxSeq;
    Store(row);
    auto result = Up(Frame(UplinkParts().Flags(c.flags).Fcnt(2)), gatewayA, Meta("-90", "5", "SF10BW125"));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->ADR, c.adr);
    EXPECT_EQ(result->ADRCNT, c.adrCnt);
  }
}

}  // namespace
}  // namespace quorvex
