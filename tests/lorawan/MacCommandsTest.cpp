// MAC commands: what each received command does to the device record and
// the trace, the LinkADRReq bytes, and which commands fit in FOpts.
#include "lorawan/MacCommands.h"

#include <gtest/gtest.h>

#include <climits>

#include <string>
#include <vector>

#include "lorawan/TestHex.h"
#include "persistence/Application.h"
#include "persistence/Device.h"
#include "support/TraceCapture.h"

namespace quorvex {
namespace {

using test::Hex;

// 2026-01-01 00:00:00 UTC, and half a second after it in milliseconds: GPS
// time 1451260818 (0x56807B92) and 128/256 s.
constexpr int64_t kNewYear2026 = 1767225600;
constexpr int64_t kNewYear2026HalfMs = kNewYear2026 * 1000 + 500;

std::vector<uint8_t> Answers(const CDevice& device) {
  return std::vector<uint8_t>(device.m_MacAnswers, device.m_MacAnswers + device.m_MacAnswerLength);
}

void SetBytes(uint8_t* dst, int32_t& length, const std::string& hex) {
  const auto bytes = Hex(hex);
  std::copy(bytes.begin(), bytes.end(), dst);
  length = static_cast<int32_t>(bytes.size());
}

struct ReceivedCase {
  const char* name;
  const char* upMac;     // commands the device sent
  const char* answers;   // m_MacAnswers afterwards (the operator queued 06 before; it stays last)
  int pending;
  const char* trace;     // the one SERVER: line expected, or "" for none
};

const ReceivedCase kReceivedCases[] = {
    {"LinkCheckReqGoesBeforeQueuedBytes", "02", "02 00 02 06", 1, ""},
    {"DeviceTimeReq", "0D", "0D 92 7B 80 56 80 06", 1, "SERVER:SRV_MAC_DEVICE_TIME_ANS 1451260818 \r\n"},
    {"BothAnswersInTheOrderAsked", "02 0D", "02 00 02 0D 92 7B 80 56 80 06", 1,
     "SERVER:SRV_MAC_DEVICE_TIME_ANS 1451260818 \r\n"},
    {"BothAnswersTheOtherWayRound", "0D 02", "0D 92 7B 80 56 80 02 00 02 06", 1,
     "SERVER:SRV_MAC_DEVICE_TIME_ANS 1451260818 \r\n"},
    {"RepeatedRequestIsAnsweredOnce", "02 02", "02 00 02 06", 1, ""},
    {"DutyCycleAns", "04", "06", 0, "SERVER:MOTE_MAC_DUTY_CYCLE_ANS Succsss\r\n"},
    {"RxParamSetupAns", "05 07", "06", 0, "SERVER:MOTE_MAC_RX_PARAM_SETUP_ANS Succsss(7)\r\n"},
    {"DevStatusAns", "06 FE 05", "06", 0, "SERVER:MOTE_MAC_DEV_STATUS_ANS Succsss(254-5)\r\n"},
    {"NewChannelAns", "07 03", "06", 0, "SERVER:MOTE_MAC_NEW_CHANNEL_ANS Succsss(3)\r\n"},
    {"RxTimingSetupAns", "08", "06", 0, "SERVER:MOTE_MAC_RX_TIMING_SETUP_ANS Succsss\r\n"},
    {"TxParamSetupAns", "09", "06", 0, "SERVER:MOTE_MAC_TX_PARAM_SETUP_ANS Succsss\r\n"},
    {"DlChannelAns", "0A 01", "06", 0, "SERVER:MOTE_MAC_DL_CHANNEL_ANS Succsss(1)\r\n"},
    {"AnswersBeforeARequestAreRead", "08 02", "02 00 02 06", 1, "SERVER:MOTE_MAC_RX_TIMING_SETUP_ANS Succsss\r\n"},
    {"UnknownCidEndsTheWalk", "0B 02", "06", 0, ""},
    // A DevStatusAns cut short: its one byte must not be read as a LinkCheckReq.
    {"CutShortCommandEndsTheWalk", "06 02", "06", 0, ""},
    {"CutShortCommandAfterARequest", "02 06 FE", "02 00 02 06", 1, ""},
};

class ReceivedMacTest : public ::testing::TestWithParam<ReceivedCase> {};

TEST_P(ReceivedMacTest, AnswersAndTraces) {
  const ReceivedCase& c = GetParam();
  CDevice device;
  device.NBGATE = 0x102;  // GwCnt is the low byte
  device.m_MacPending = 1;
  SetBytes(device.m_UpMac, device.m_UpMacLength, c.upMac);
  SetBytes(device.m_MacAnswers, device.m_MacAnswerLength, "06");

  test::TraceCapture trace;
  HandleMacCommands(device, kNewYear2026HalfMs);

  EXPECT_EQ(Answers(device), Hex(c.answers));
  EXPECT_EQ(device.m_MacPending, c.pending);
  const std::string expected = c.trace;
  EXPECT_EQ(trace.Count("SERVER:"), expected.empty() ? 0 : 1);
  if (!expected.empty()) {
    const auto lines = trace.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.back().ends_with(">>> " + expected)) << lines.back();
  }
}

INSTANTIATE_TEST_SUITE_P(MacCommands, ReceivedMacTest, ::testing::ValuesIn(kReceivedCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A row written by another program may hold any power state: the sum is
// held at the limit instead of overflowing.
TEST(LinkAdrAnsTest, APowerStateAtTheLimitStaysThere) {
  CDevice device;
  device.ADRPWR = INT_MAX;
  device.PWRREQ = INT_MAX;
  device.m_UpMac[0] = 0x03;
  device.m_UpMac[1] = 7;
  device.m_UpMacLength = 2;
  HandleMacCommands(device, kNewYear2026HalfMs);
  EXPECT_EQ(device.ADRPWR, INT_MAX);
  EXPECT_EQ(device.PWRREQ, 0);
}

TEST(LinkAdrAnsTest, OnlyStatusSevenConfirmsThePowerStep) {
  for (const uint8_t status : {7, 6, 3, 0}) {
    SCOPED_TRACE(status);
    CDevice device;
    device.ADRPWR = 2;
    device.PWRREQ = 1;
    device.m_UpMac[0] = 0x03;
    device.m_UpMac[1] = status;
    device.m_UpMacLength = 2;
    test::TraceCapture trace;
    HandleMacCommands(device, kNewYear2026HalfMs);
    const bool accepted = status == 7;
    EXPECT_EQ(device.ADRPWR, accepted ? 3 : 2);
    EXPECT_EQ(device.PWRREQ, accepted ? 0 : 1);
    EXPECT_EQ(trace.Count("SERVER:MOTE_MAC_LINK_ADR_ANS Succsss"), accepted ? 1 : 0);
    EXPECT_EQ(device.m_MacAnswerLength, 0);
  }
}

TEST(ReceivedMacLimitTest, AFrameFullOfRequestsGetsOneAnswerOfEachKind) {
  CDevice device;
  std::fill(std::begin(device.m_UpMac), std::end(device.m_UpMac), kMacDeviceTime);
  device.m_UpMacLength = static_cast<int32_t>(sizeof device.m_UpMac);
  HandleMacCommands(device, kNewYear2026HalfMs);
  EXPECT_EQ(Answers(device), Hex("0D 92 7B 80 56 80"));
}

TEST(DeviceTimeTest, GpsTimeIsAheadOfUtcByTheLeapSecondsWithTheFractionIn256ths) {
  const struct {
    int64_t unixMs;
    uint32_t seconds;
    uint8_t fraction;
  } cases[] = {
      {kNewYear2026 * 1000, 1451260818u, 0},
      {kNewYear2026 * 1000 + 4, 1451260818u, 1},      // 1/256 s is 3.9 ms
      {kNewYear2026HalfMs, 1451260818u, 128},
      {kNewYear2026 * 1000 + 999, 1451260818u, 255},
      {1483228800LL * 1000, 1167264018u, 0},           // 2017-01-01, after the last leap second
      {(kGpsEpochUnixSeconds - kGpsLeapSeconds) * 1000 - 1, 0u, 0},  // before the epoch
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unixMs);
    const GpsTime t = GpsTimeOf(c.unixMs);
    EXPECT_EQ(t.seconds, c.seconds);
    EXPECT_EQ(t.fraction, c.fraction);
  }
}

struct AdrCase {
  const char* name;
  const char* datr;
  const char* rssi;
  const char* lsnr;
  int adrPwr;
  int chMask;
  const char* request;
  int pwrReq;
};

const AdrCase kAdrCases[] = {
    {"Sf10ThreeSteps", "SF10BW125", "-90", "-5", 0, 0xFF00, "03 51 FF 00 61", 1},
    {"Sf10OneStep", "SF10BW125", "-90", "-11", 0, 0xFF00, "03 31 FF 00 61", 1},
    {"Sf12AtMostThreeSteps", "SF12BW125", "-90", "8", 0, 0xFF00, "03 31 FF 00 61", 1},
    {"WeakLinkKeepsPower", "SF12BW125", "-115", "8", 2, 0xFF00, "03 32 FF 00 61", 0},
    {"PowerIndexStopsAtSix", "SF7BW125", "-40", "30", 6, 0xFF00, "03 56 FF 00 61", 0},
    {"MaskInTypedOrder", "SF9BW125", "-120", "-30", 0, 0x1234, "03 30 12 34 61", 0},
    {"Sf13CountsAsSf12", "SF13BW125", "-120", "-30", 0, 0x00FF, "03 00 00 FF 61", 0},
};

class LinkAdrReqTest : public ::testing::TestWithParam<AdrCase> {};

TEST_P(LinkAdrReqTest, AppendsTheRequestAfterQueuedBytes) {
  const AdrCase& c = GetParam();
  CDevice device;
  device.ADR = 1;
  device.ADRPWR = c.adrPwr;
  RadioMetadata::SetText(device.m_RxInfo.datr, c.datr);
  RadioMetadata::SetText(device.m_RxInfo.rssi, c.rssi);
  RadioMetadata::SetText(device.m_RxInfo.lsnr, c.lsnr);
  SetBytes(device.m_MacAnswers, device.m_MacAnswerLength, "02 00 01");
  CApplication application;
  application.CHMASK = c.chMask;

  ASSERT_TRUE(AppendLinkAdrReq(device, application));
  EXPECT_EQ(Answers(device), Hex(std::string("02 00 01 ") + c.request));
  EXPECT_EQ(device.PWRREQ, c.pwrReq);
  EXPECT_EQ(device.ADRPWR, c.adrPwr);  // only a LinkADRAns confirms the step
  EXPECT_EQ(device.ADR, 0);
}

INSTANTIATE_TEST_SUITE_P(MacCommands, LinkAdrReqTest, ::testing::ValuesIn(kAdrCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LinkAdrReqTest, WaitsWhenFOptsHasNoRoom) {
  CDevice device;
  device.ADR = 1;
  device.PWRREQ = 0;
  RadioMetadata::SetText(device.m_RxInfo.datr, "SF10BW125");
  RadioMetadata::SetText(device.m_RxInfo.rssi, "-90");
  SetBytes(device.m_MacAnswers, device.m_MacAnswerLength, "03 51 FF 00 61 03 51 FF 00 61 06");  // 11 bytes
  const auto before = Answers(device);

  EXPECT_FALSE(AppendLinkAdrReq(device, CApplication{}));
  EXPECT_EQ(Answers(device), before);
  EXPECT_EQ(device.ADR, 1);
  EXPECT_EQ(device.PWRREQ, 0);

  device.m_MacAnswerLength = 10;  // exactly room for one more
  EXPECT_TRUE(AppendLinkAdrReq(device, CApplication{}));
  EXPECT_EQ(device.m_MacAnswerLength, kMaxFOptsLength);
}

TEST(FitMacCommandsTest, KeepsWholeCommandsInOrder) {
  const struct {
    const char* commands;
    int kept;
  } cases[] = {
      {"", 0},
      {"03 51 FF 00 61 03 51 FF 00 61 03 51 FF 00 61", 15},
      {"02 00 01 03 51 FF 00 61 03 51 FF 00 61 03 51 FF 00 61", 13},
      {"07 01 02 03 04 05 07 01 02 03 04 05 06 07 01 02 03 04 05", 13},
      {"06 03 51", 3},                       // a command cut short: the rest as one block
      {"06 0B 01 02", 4},                    // an unknown CID: the rest as one block
      {"06 0B 00 00 00 00 00 00 00 00 00 00 00 00 00 00", 1},
      {"0B 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.commands);
    const auto bytes = Hex(c.commands);
    EXPECT_EQ(FitMacCommands(bytes.data(), static_cast<int>(bytes.size()), kMaxFOptsLength), c.kept);
  }
  EXPECT_EQ(FitMacCommands(nullptr, 5, kMaxFOptsLength), 0);
}

}  // namespace
}  // namespace quorvex
