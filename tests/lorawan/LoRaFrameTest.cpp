// The PHY payload parser: field decoding of published frames, and the
// refusal of every malformed length without reading past the frame (each
// frame lives in a heap block of exactly its size, so the sanitizer build
// catches any stray read).
#include "lorawan/LoRaFrame.h"

#include <gtest/gtest.h>

#include <vector>

#include "lorawan/TestHex.h"

namespace quorvex {
namespace {

using test::Hex;

// Published frames (see LoRaCryptoTest.cpp for their sources).
const char kJoinRequest[] = "00DC0000D07ED5B3701E6FEDF57CEEAF0085CC587FE913";
const char kUplink[] = "40F17DBE4900020001954378762B11FF0D";  // FCnt 2, FPort 1, "test"

std::vector<uint8_t> Eui(const uint8_t (&eui)[8]) { return std::vector<uint8_t>(eui, eui + 8); }

TEST(ParseJoinRequestTest, PublishedRequest) {
  const auto frame = Hex(kJoinRequest);
  const JoinRequestFrame r = ParseJoinRequest(frame);
  ASSERT_TRUE(r.Ok());
  EXPECT_EQ(Eui(r.appEui), Hex("70B3D57ED00000DC"));  // most significant byte first
  EXPECT_EQ(Eui(r.devEui), Hex("00AFEE7CF5ED6F1E"));
  EXPECT_EQ(r.devNonce, 0xCC85);
  EXPECT_EQ(r.mic, 0x13E97F58u);
  EXPECT_EQ(r.signedPart.data(), frame.data());
  EXPECT_EQ(r.signedPart.size(), 19u);
}

TEST(ParseJoinRequestTest, OnlyTwentyThreeBytesOfMTypeZeroAreAJoinRequest) {
  const auto published = Hex(kJoinRequest);
  for (std::size_t n = 0; n <= 30; ++n) {
    std::vector<uint8_t> frame(n, 0x00);
    for (std::size_t i = 0; i < n && i < published.size(); ++i) frame[i] = published[i];
    EXPECT_EQ(ParseJoinRequest(frame).error, n == 23 ? FrameError::kOk : FrameError::kJoinLength) << n;
  }
  auto frame = published;
  frame[0] = 0x40;
  EXPECT_EQ(ParseJoinRequest(frame).error, FrameError::kWrongMType);
  frame[0] = 0x1F;  // RFU and Major bits are not looked at
  EXPECT_TRUE(ParseJoinRequest(frame).Ok());
}

TEST(ParseDataUplinkTest, PublishedUplink) {
  const auto frame = Hex(kUplink);
  const DataUplinkFrame r = ParseDataUplink(frame);
  ASSERT_TRUE(r.Ok());
  EXPECT_EQ(r.MType(), kMTypeUnconfirmedUp);
  EXPECT_EQ(r.devAddr, 0x49BE7DF1u);
  EXPECT_EQ(r.fcnt, 2);
  EXPECT_TRUE(r.fopts.empty());
  EXPECT_TRUE(r.hasFPort);
  EXPECT_EQ(r.fport, 1);
  EXPECT_EQ(std::vector<uint8_t>(r.frmPayload.begin(), r.frmPayload.end()), Hex("95437876"));
  EXPECT_EQ(r.mic, 0x0DFF112Bu);
  EXPECT_EQ(r.signedPart.size(), frame.size() - 4);
}

TEST(ParseDataUplinkTest, HeaderFields) {
  struct Case {
    const char* frame;
    uint8_t mtype;
    bool adr, adrAckReq, ack;
    const char* fopts;
    bool hasFPort;
    const char* payload;
  } cases[] = {
      // MHDR  DevAddr  FCtrl FCnt  FOpts  FPort Payload MIC
      {"80 04030201 E0 3412 0A0B0C0D", 4, true, true, true, "", false, ""},
      {"40 04030201 02 3412 0203 11223344", 2, false, false, false, "0203", false, ""},
      {"40 04030201 81 3412 02 05 11223344", 2, true, false, false, "02", true, ""},
      {"9F 04030201 00 3412 00 AABB 11223344", 4, false, false, false, "", true, "AABB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame);
    const auto frame = Hex(c.frame);
    const DataUplinkFrame r = ParseDataUplink(frame);
    ASSERT_TRUE(r.Ok());
    EXPECT_EQ(r.MType(), c.mtype);
    EXPECT_EQ(r.devAddr, 0x01020304u);
    EXPECT_EQ(r.fcnt, 0x1234);
    EXPECT_EQ(r.AdrBit(), c.adr);
    EXPECT_EQ(r.AdrAckReqBit(), c.adrAckReq);
    EXPECT_EQ(r.AckBit(), c.ack);
    EXPECT_EQ(std::vector<uint8_t>(r.fopts.begin(), r.fopts.end()), Hex(c.fopts));
    EXPECT_EQ(r.hasFPort, c.hasFPort);
    EXPECT_EQ(std::vector<uint8_t>(r.frmPayload.begin(), r.frmPayload.end()), Hex(c.payload));
  }
}

TEST(ParseDataUplinkTest, RefusesWhatDoesNotFit) {
  struct Case {
    const char* name;
    std::vector<uint8_t> frame;
    FrameError error;
  } cases[] = {
      {"empty", {}, FrameError::kTooShort},
      {"11 bytes", Hex("40 04030201 00 3412 112233"), FrameError::kTooShort},
      {"FOptsLen 1 without room", Hex("40 04030201 01 3412 11223344"), FrameError::kFOptsOverrun},
      {"FOptsLen 15 in 20 bytes", Hex("40 04030201 0F 3412 0102030405060708 11223344"), FrameError::kFOptsOverrun},
      {"join request MType", Hex("00 04030201 00 3412 11223344"), FrameError::kWrongMType},
      {"join accept MType", Hex("20 04030201 00 3412 11223344"), FrameError::kWrongMType},
      {"downlink MType", Hex("60 04030201 00 3412 11223344"), FrameError::kWrongMType},
      {"proprietary MType", Hex("E0 04030201 00 3412 11223344"), FrameError::kWrongMType},
      {"256 bytes", std::vector<uint8_t>(256, 0x40), FrameError::kTooLong},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseDataUplink(c.frame).error, c.error) << c.name;
  }
  EXPECT_TRUE(ParseDataUplink(std::vector<uint8_t>(255, 0x40)).Ok());
}

// Every length from 0 to 30 with every FOptsLen: a frame is taken exactly
// when its FOpts end before the MIC, and every part lies inside the frame.
TEST(ParseDataUplinkTest, EveryLengthAndFOptsLen) {
  for (std::size_t n = 0; n <= 30; ++n) {
    for (uint8_t foptsLen = 0; foptsLen <= 15; ++foptsLen) {
      SCOPED_TRACE(testing::Message() << "n=" << n << " FOptsLen=" << int(foptsLen));
      std::vector<uint8_t> frame(n, 0x00);
      if (n > 0) frame[0] = 0x40;
      if (n > 5) frame[5] = foptsLen;
      const DataUplinkFrame r = ParseDataUplink(frame);
      const std::size_t header = 12 + foptsLen;
      if (n < 12) {
        EXPECT_EQ(r.error, FrameError::kTooShort);
      } else if (n < header) {
        EXPECT_EQ(r.error, FrameError::kFOptsOverrun);
      } else {
        ASSERT_TRUE(r.Ok());
        EXPECT_EQ(r.fopts.size(), foptsLen);
        EXPECT_EQ(r.hasFPort, n > header);
        EXPECT_EQ(r.frmPayload.size(), n > header ? n - header - 1 : 0);
        const uint8_t* end = frame.data() + n - 4;  // the MIC is not part of any field
        EXPECT_LE(r.fopts.data() + r.fopts.size(), end);
        if (r.hasFPort) {
          EXPECT_EQ(r.frmPayload.data() + r.frmPayload.size(), end);
        }
      }
      if (!r.Ok()) {
        EXPECT_TRUE(r.fopts.empty());
        EXPECT_TRUE(r.frmPayload.empty());
        EXPECT_TRUE(r.signedPart.empty());
      }
    }
  }
}

TEST(FrameBytesTest, NullOrNonPositiveLengthIsEmpty) {
  const uint8_t b[3] = {1, 2, 3};
  EXPECT_TRUE(FrameBytes(nullptr, 3).empty());
  EXPECT_TRUE(FrameBytes(b, 0).empty());
  EXPECT_TRUE(FrameBytes(b, -1).empty());
  EXPECT_EQ(FrameBytes(b, 3).size(), 3u);
}

}  // namespace
}  // namespace quorvex
