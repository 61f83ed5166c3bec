// Data downlinks: the assembled bytes against a published frame, what a class
// A reply carries and when it is sent, the queue it takes requests from, the
// counter, FOpts limits and class C frames. Every built frame is taken apart
// again and its MIC and payload checked with the cryptography functions.
#include "downlink/FrameBuilder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lorawan/LoRaCrypto.h"
#include "lorawan/MacCommands.h"
#include "lorawan/TestHex.h"
#include "persistence/Application.h"
#include "persistence/DLink.h"
#include "persistence/Device.h"
#include "runtime/QuorvexApp.h"
#include "support/TempDir.h"
#include "support/TraceCapture.h"

namespace quorvex {
namespace {

using test::Hex;

// Keys, address and the downlink ACK frame (FCnt 2, FPort 1, no payload) are
// from the lora-packet project's tests (github.com/anthonykirby/lora-packet).
const std::vector<uint8_t> kNwkSKey = Hex("44024241ed4ce9a68c6a8bc055233fd3");
const std::vector<uint8_t> kAppSKey = Hex("ec925802ae430ca77fd3dd73cb2cc588");
constexpr uint32_t kDevAddr = 0x49BE7DF1;
const char kPublishedDownlinkAck[] = "60F17DBE4920020001F9D65D27";

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

TEST(AssembleDataDownlinkTest, ReproducesThePublishedAck) {
  DataDownlinkFields fields;
  fields.mType = 3;
  fields.devAddr = kDevAddr;
  fields.ack = true;
  fields.frameCounter = 2;
  fields.fPort = 1;
  fields.appSKey = kAppSKey.data();
  fields.nwkSKey = kNwkSKey.data();
  std::vector<uint8_t> out(64, 0xEE);
  const int length = AssembleDataDownlink(fields, out.data(), out.size());
  ASSERT_EQ(length, 13);
  out.resize(13);
  EXPECT_EQ(out, Hex(kPublishedDownlinkAck));

  // One byte short of room: nothing at all is written.
  std::vector<uint8_t> small(12, 0xEE);
  EXPECT_EQ(AssembleDataDownlink(fields, small.data(), small.size()), 0);
  EXPECT_EQ(small, std::vector<uint8_t>(12, 0xEE));
}

TEST(AssembleDataDownlinkTest, RefusesFieldsThatCannotBeSentTruthfully) {
  const std::vector<uint8_t> bytes(16, 0x06);
  DataDownlinkFields good;
  good.appSKey = kAppSKey.data();
  good.nwkSKey = kNwkSKey.data();
  good.fOpts = bytes.data();
  good.fOptsLength = 15;
  good.fPort = 2;
  good.payload = bytes.data();
  good.payloadLength = 3;
  uint8_t out[64];
  EXPECT_EQ(AssembleDataDownlink(good, out, sizeof out), 8 + 15 + 1 + 3 + 4);

  DataDownlinkFields longFOpts = good;
  longFOpts.fOptsLength = 16;  // FOptsLen has four bits
  DataDownlinkFields payloadWithoutPort = good;
  payloadWithoutPort.fPort = -1;
  DataDownlinkFields bigPort = good;
  bigPort.fPort = 256;
  DataDownlinkFields noKey = good;
  noKey.nwkSKey = nullptr;
  for (const DataDownlinkFields& bad : {longFOpts, payloadWithoutPort, bigPort, noKey}) {
    EXPECT_EQ(AssembleDataDownlink(bad, out, sizeof out), 0);
  }
}

// A built frame taken apart: header fields, FOpts by the frame's own
// FOptsLen, the FPort and the decrypted payload, and whether the MIC holds.
struct Decoded {
  uint8_t mhdr = 0;
  uint32_t devAddr = 0;
  uint8_t fctrl = 0;
  uint16_t fcnt = 0;
  std::vector<uint8_t> fopts;
  int fport = -1;
  std::vector<uint8_t> payload;
  bool micOk = false;
};

Decoded Decode(const CDevice& device) {
  Decoded d;
  const uint8_t* f = device.m_TxFrame;
  const int n = device.m_TxLength;
  if (n < 12) {
    ADD_FAILURE() << "frame of " << n << " bytes";
    return d;
  }
  const uint32_t counter = static_cast<uint32_t>(device.TXSEQ);
  d.mhdr = f[0];
  d.devAddr = Le32(f + 1);
  d.fctrl = f[5];
  d.fcnt = static_cast<uint16_t>(f[6] | f[7] << 8);
  const int foptsEnd = 8 + (d.fctrl & 0x0F);
  if (foptsEnd > n - 4) {
    ADD_FAILURE() << "FOptsLen runs past the frame";
    return d;
  }
  d.fopts.assign(f + 8, f + foptsEnd);
  if (foptsEnd < n - 4) {
    d.fport = f[foptsEnd];
    d.payload.resize(static_cast<std::size_t>(n - 4 - foptsEnd - 1));
    const uint8_t* key = d.fport == 0 ? device.NETSKEY : device.APPSKEY;
    CipherPayload(f + foptsEnd + 1, static_cast<uint16_t>(d.payload.size()), key, device.DEVADDR,
                  kLoRaDirDownlink, counter, d.payload.data());
  }
  d.micOk = ComputeDataMic(f, static_cast<std::size_t>(n - 4), device.NETSKEY, device.DEVADDR, kLoRaDirDownlink,
                           counter) == Le32(f + n - 4);
  return d;
}

class FrameBuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(app.InitBase(dir.Path().string()));
    device.PKEY = 7;
    device.DEVADDR = kDevAddr;
    std::copy(kNwkSKey.begin(), kNwkSKey.end(), device.NETSKEY);
    std::copy(kAppSKey.begin(), kAppSKey.end(), device.APPSKEY);
    device.TXSEQ = 4;
    device.NBGATE = 2;
    device.m_UpMType = 2;
    device.m_UpFPort = 10;
    application.CHMASK = 0xFF00;
  }

  // Stores a pending request for the device; its key.
  int32_t Queue(int32_t port, int32_t confirmed, int32_t channel, const char* mac, const char* appText) {
    auto request = std::make_unique<CDLink>();
    request->DEVPKEY = device.PKEY;
    request->PORT = port;
    request->CONFIRMED = confirmed;
    request->CHANNEL = channel;
    std::snprintf(request->MAC, sizeof request->MAC, "%s", mac);
    std::snprintf(request->APP, sizeof request->APP, "%s", appText);
    EXPECT_EQ(app.m_LoRaDlinkList.InsertDownlink(std::move(request), true), 0);
    return app.m_LoRaDlinkList.m_List.back()->PKEY;
  }

  // The stored row of request `pkey`.
  CDLink Row(int32_t pkey) {
    DLinkRecords all;
    EXPECT_EQ(app.m_LoRaDlinkList.LoadDownlinks(device.PKEY, false, &all), 0);
    for (const auto& r : all)
      if (r->PKEY == pkey) return *r;
    ADD_FAILURE() << "no request " << pkey;
    return CDLink{};
  }

  test::TempDir dir;
  CQuorvexApp app;
  CDevice device;
  CApplication application;
};

struct ReplyCase {
  const char* name;
  int upMType;
  int upFPort;
  int appAdr;
  const char* queuedApp;  // null: nothing queued; else a request on PORT 20
  int queuedConfirmed;
  bool sent;
  uint8_t mhdr;
  uint8_t fctrl;
  int fport;
  const char* payload;
};

const ReplyCase kReplyCases[] = {
    {"UnconfirmedNothingQueued", 2, 10, 0, nullptr, 0, false, 0, 0, -1, ""},
    {"ConfirmedEmptyAck", 4, 10, 0, nullptr, 0, true, 0x60, 0x20, -1, ""},
    {"ConfirmedEmptyAckWithAdr", 4, 10, 1, nullptr, 0, true, 0x60, 0xA0, -1, ""},
    {"UnconfirmedTakesRequestPort", 2, 10, 0, "01 02 03", 0, true, 0x60, 0x00, 20, "01 02 03"},
    // The operator chose the port: a confirmed uplink's port does not override it.
    {"ConfirmedTakesRequestPort", 4, 10, 0, "01 02 03", 0, true, 0x60, 0x20, 20, "01 02 03"},
    {"ConfirmedRequestIsConfirmedDown", 2, 10, 0, "01 02 03", 1, true, 0xA0, 0x00, 20, "01 02 03"},
    // A confirmed MAC-only uplink has no port: data must not go out on FPort 0.
    {"DataNeverOnPortZero", 4, 0, 0, "AA", 0, true, 0x60, 0x20, 20, "AA"},
    {"BadHexIsNoData", 2, 10, 0, "01 ZZ", 0, false, 0, 0, -1, ""},
};

class ReplyTableTest : public FrameBuilderTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyTableTest, Reply) {
  const ReplyCase& c = GetParam();
  device.m_UpMType = c.upMType;
  device.m_UpFPort = c.upFPort;
  application.ADR = c.appAdr;
  const int32_t pkey = c.queuedApp != nullptr ? Queue(20, c.queuedConfirmed, CDLink::kRx1, "", c.queuedApp) : 0;

  ASSERT_EQ(BuildReplyFrame(app, device, application), c.sent);
  if (pkey != 0) {
    const CDLink row = Row(pkey);
    EXPECT_EQ(row.TXDONE, 1);  // taken, even when nothing was sent
    EXPECT_EQ(std::strlen(row.TIME), 14u);
  }
  if (!c.sent) {
    EXPECT_EQ(device.TXSEQ, 4);
    EXPECT_EQ(device.m_TxLength, 0);
    return;
  }
  EXPECT_EQ(device.TXSEQ, 5);
  const Decoded d = Decode(device);
  EXPECT_TRUE(d.micOk);
  EXPECT_EQ(d.mhdr, c.mhdr);
  EXPECT_EQ(d.devAddr, kDevAddr);
  EXPECT_EQ(d.fctrl, c.fctrl);
  EXPECT_EQ(d.fcnt, 5);
  EXPECT_TRUE(d.fopts.empty());
  EXPECT_EQ(d.fport, c.fport);
  EXPECT_EQ(d.payload, Hex(c.payload));
  EXPECT_EQ(device.m_TxLength, c.fport < 0 ? 12 : 13 + static_cast<int>(d.payload.size()));
  // What the packet log shows of the frame.
  EXPECT_EQ(device.m_DownFPort, c.fport < 0 ? 0 : c.fport);
  EXPECT_EQ(std::vector<uint8_t>(device.m_DownPayload, device.m_DownPayload + device.m_DownPayloadLength),
            Hex(c.payload));
}

INSTANTIATE_TEST_SUITE_P(FrameBuilder, ReplyTableTest, ::testing::ValuesIn(kReplyCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FrameBuilderTest, QueuedRequestsGoOutOldestFirstOnePerReply) {
  Queue(30, 0, CDLink::kRx2, "", "CC");  // class C: never rides on a reply
  const int32_t first = Queue(20, 0, CDLink::kRx1, "", "AA");
  const int32_t second = Queue(21, 0, CDLink::kRx1, "", "BB");

  ASSERT_TRUE(BuildReplyFrame(app, device, application));
  EXPECT_EQ(Decode(device).payload, Hex("AA"));
  EXPECT_EQ(Row(first).TXDONE, 1);
  EXPECT_EQ(Row(second).TXDONE, 0);

  ASSERT_TRUE(BuildReplyFrame(app, device, application));
  const Decoded d = Decode(device);
  EXPECT_EQ(d.payload, Hex("BB"));
  EXPECT_EQ(d.fport, 21);
  EXPECT_EQ(d.fcnt, 6);
  EXPECT_TRUE(d.micOk);

  EXPECT_FALSE(BuildReplyFrame(app, device, application));
  EXPECT_EQ(device.TXSEQ, 6);
}

TEST_F(FrameBuilderTest, LinkCheckAnsGoesBeforeQueuedMacAndSetsAck) {
  Queue(20, 0, CDLink::kRx1, "06", "");
  device.m_UpMac[0] = kMacLinkCheck;
  device.m_UpMacLength = 1;

  ASSERT_TRUE(BuildReplyFrame(app, device, application));
  const Decoded d = Decode(device);
  EXPECT_TRUE(d.micOk);
  EXPECT_EQ(d.fctrl, 0x24);  // ACK, FOptsLen 4
  EXPECT_EQ(d.fopts, Hex("02 00 02 06"));
  EXPECT_EQ(d.fport, -1);
  EXPECT_EQ(device.m_TxLength, 16);
}

// FOpts in their stated order, cut at whole commands from the end: the
// device's answers (9 bytes), then the operator's bytes, then a LinkADRReq
// only when it fits.
TEST_F(FrameBuilderTest, FOptsKeepAnswersThenQueuedBytesThenTheAdrRequest) {
  const struct {
    const char* what;
    const char* queuedMac;
    const char* fopts;
    int32_t adrAfter;  // 1: the LinkADRReq waits for a later reply
  } cases[] = {
      {"room for everything", "", "02 00 02 0D 92 7B 80 56 80 03 51 FF 00 61", 0},
      {"queued bytes fill FOpts", "07 01 02 03 04 05", "02 00 02 0D 92 7B 80 56 80 07 01 02 03 04 05", 1},
      {"a queued command that does not fit is dropped, the request takes its room", "06 07 01 02 03 04 05",
       "02 00 02 0D 92 7B 80 56 80 06 03 51 FF 00 61", 0},
  };
  application.ADR = 1;
  RadioMetadata::SetText(device.m_RxInfo.datr, "SF10BW125");
  RadioMetadata::SetText(device.m_RxInfo.rssi, "-90");
  RadioMetadata::SetText(device.m_RxInfo.lsnr, "-5");
  device.m_RxUnixMs = 1767225600500;  // 2026-01-01 00:00:00.5 UTC
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    device.ADR = 1;
    device.m_UpMType = 2;
    device.m_UpMac[0] = kMacLinkCheck;
    device.m_UpMac[1] = kMacDeviceTime;
    device.m_UpMacLength = 2;
    if (c.queuedMac[0] != 0) Queue(20, 0, CDLink::kRx1, c.queuedMac, "");

    ASSERT_TRUE(BuildReplyFrame(app, device, application));
    const Decoded d = Decode(device);
    EXPECT_TRUE(d.micOk);
    EXPECT_EQ(d.fopts, Hex(c.fopts));
    EXPECT_EQ(device.ADR, c.adrAfter);
  }
}

TEST_F(FrameBuilderTest, CounterStartsAtZeroAfterJoinAndRunsOnIn32Bits) {
  // FCnt carries the low 16 bits; the MIC (Decode) is over all 32.
  const struct {
    int64_t before;
    int64_t after;
  } cases[] = {{-1, 0},           {0, 1},          {0xFFFE, 0xFFFF}, {0xFFFF, 0x10000},
               {0x12345, 0x12346}, {0x7FFFFFFF, 0x80000000}, {0xFFFFFFFF, 0}};
  device.m_UpMType = 4;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    device.TXSEQ = c.before;
    ASSERT_TRUE(BuildReplyFrame(app, device, application));
    EXPECT_EQ(device.TXSEQ, c.after);
    const Decoded d = Decode(device);
    EXPECT_EQ(d.fcnt, c.after & 0xFFFF);
    EXPECT_TRUE(d.micOk);
  }
}

TEST_F(FrameBuilderTest, AdrRequestRidesOnTheReplyOrWaitsForRoom) {
  application.ADR = 1;
  device.ADR = 1;
  RadioMetadata::SetText(device.m_RxInfo.datr, "SF10BW125");
  RadioMetadata::SetText(device.m_RxInfo.rssi, "-90");
  RadioMetadata::SetText(device.m_RxInfo.lsnr, "-5");

  // 11 queued bytes leave no room for the 5 of a LinkADRReq: it waits.
  Queue(20, 0, CDLink::kRx1, "0351FF00610351FF006106", "");
  ASSERT_TRUE(BuildReplyFrame(app, device, application));
  Decoded d = Decode(device);
  EXPECT_TRUE(d.micOk);
  EXPECT_EQ(d.fctrl, 0x80 | 11);
  EXPECT_EQ(d.fopts, Hex("0351FF00610351FF006106"));
  EXPECT_EQ(device.ADR, 1);

  ASSERT_TRUE(BuildReplyFrame(app, device, application));
  d = Decode(device);
  EXPECT_TRUE(d.micOk);
  EXPECT_EQ(d.fctrl, 0x85);
  EXPECT_EQ(d.fopts, Hex("03 51 FF 00 61"));
  EXPECT_EQ(device.ADR, 0);
  EXPECT_EQ(device.PWRREQ, 1);
}

TEST_F(FrameBuilderTest, ClassCFrames) {
  device.TXSEQ = -1;
  device.ADR = 1;  // no ADR bit, no LinkADRReq in class C
  CDLink request;
  request.CHANNEL = CDLink::kRx2;
  request.PORT = 5;

  BuildClassCFrame(device, request);
  ASSERT_EQ(device.m_TxLength, 12);
  Decoded d = Decode(device);
  EXPECT_TRUE(d.micOk);
  EXPECT_EQ(d.mhdr, 0x60);
  EXPECT_EQ(d.fctrl, 0x00);
  EXPECT_EQ(d.fcnt, 0);

  request.CONFIRMED = 1;
  std::snprintf(request.MAC, sizeof request.MAC, "06");
  std::snprintf(request.APP, sizeof request.APP, "AA BB");
  BuildClassCFrame(device, request);
  d = Decode(device);
  EXPECT_TRUE(d.micOk);
  EXPECT_EQ(d.mhdr, 0xA0);
  EXPECT_EQ(d.fctrl, 0x01);
  EXPECT_EQ(d.fcnt, 1);
  EXPECT_EQ(d.fopts, Hex("06"));
  EXPECT_EQ(d.fport, 5);
  EXPECT_EQ(d.payload, Hex("AA BB"));
  EXPECT_EQ(device.m_DownFPort, 5);
  EXPECT_EQ(device.ADR, 1);

  // A port whose low byte is 0 cannot carry application data.
  request.PORT = 0x100;
  test::TraceCapture trace;
  BuildClassCFrame(device, request);
  d = Decode(device);
  EXPECT_TRUE(d.micOk);
  EXPECT_EQ(d.fport, -1);
  EXPECT_EQ(d.fopts, Hex("06"));
  EXPECT_EQ(device.m_DownPayloadLength, 0);
  EXPECT_TRUE(trace.Saw("dropped"));
}

TEST_F(FrameBuilderTest, TracesTheRequestLengthsNotTheirData) {
  Queue(20, 0, CDLink::kRx1, "06", "01 02 03");
  test::TraceCapture trace;
  ASSERT_TRUE(BuildReplyFrame(app, device, application));
  EXPECT_TRUE(trace.Saw(">>> DLink Tx Data App=3\r\n"));
  EXPECT_TRUE(trace.Saw(">>> DLink Tx Data Mac=1\r\n"));
  EXPECT_FALSE(trace.Saw("01 02 03"));  // the device's data stays out of the trace
}

}  // namespace
}  // namespace quorvex
