#include "lorawan/LoRaCrypto.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "lorawan/Aes.h"
#include "lorawan/TestHex.h"

namespace quorvex {
namespace {

using test::Hex;

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// Published frames: the data frames and their keys are from the lora-packet
// project's tests (github.com/anthonykirby/lora-packet); the OTAA exchange
// (join request, join accept with CFList, session keys) was published in that
// project's issue 10. Each was also checked against OpenSSL independently.
const std::vector<uint8_t> kNwkSKey = Hex("44024241ed4ce9a68c6a8bc055233fd3");
const std::vector<uint8_t> kAppSKey = Hex("ec925802ae430ca77fd3dd73cb2cc588");
constexpr uint32_t kDevAddr = 0x49BE7DF1;

struct DataFrame {
  const char* name;
  const char* frame;  // PHYPayload, MIC last
  uint8_t direction;
  uint32_t frameCounter;
};

const DataFrame kDataFrames[] = {
    {"UplinkTest", "40F17DBE4900020001954378762B11FF0D", kLoRaDirUplink, 2},
    {"UplinkEmptyPayload", "40F17DBE49000300012A3518AF", kLoRaDirUplink, 3},
    {"DownlinkAck", "60F17DBE4920020001F9D65D27", kLoRaDirDownlink, 2},
    {"UplinkThreeBlocks",
     "40f17dbe490004000155332de41a11adc072553544429ce7787707d1c316e027e7e5e334263376affb8aa17ad30075293f28"
     "dea8a20af3c5e7",
     kLoRaDirUplink, 4},
};

class PublishedDataFrameTest : public ::testing::TestWithParam<DataFrame> {};

TEST_P(PublishedDataFrameTest, MicMatchesTheFrame) {
  const auto frame = Hex(GetParam().frame);
  const std::size_t length = frame.size() - 4;
  EXPECT_EQ(ComputeDataMic(frame.data(), length, kNwkSKey.data(), kDevAddr, GetParam().direction,
                           GetParam().frameCounter),
            Le32(frame.data() + length));
}

INSTANTIATE_TEST_SUITE_P(LoraPacket, PublishedDataFrameTest, ::testing::ValuesIn(kDataFrames),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CipherPayloadTest, DecryptsPublishedPayloads) {
  struct Case {
    const char* frame;
    uint32_t frameCounter;
    std::string plain;
  } cases[] = {
      {kDataFrames[0].frame, 2, "test"},
      {kDataFrames[3].frame, 4, "The quick brown fox jumps over the lazy dog."},
  };
  for (const Case& c : cases) {
    const auto frame = Hex(c.frame);
    // MHDR(1) DevAddr(4) FCtrl(1) FCnt(2) FPort(1) | FRMPayload | MIC(4)
    const std::vector<uint8_t> payload(frame.begin() + 9, frame.end() - 4);
    std::vector<uint8_t> out(payload.size());
    CipherPayload(payload.data(), static_cast<uint16_t>(payload.size()), kAppSKey.data(), kDevAddr,
                  kLoRaDirUplink, c.frameCounter, out.data());
    EXPECT_EQ(std::string(out.begin(), out.end()), c.plain);
  }
}

TEST(CipherPayloadTest, TwiceGivesBackTheInputAndWritesExactlyLengthBytes) {
  const auto key = Hex("000102030405060708090a0b0c0d0e0f");
  for (uint16_t length : {0, 1, 15, 16, 17, 32}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> input(length);
    std::iota(input.begin(), input.end(), uint8_t{0x30});

    std::vector<uint8_t> once(length + 1, 0xEE);  // one guard byte after the output
    CipherPayload(input.data(), length, key.data(), 0x26011BDA, kLoRaDirDownlink, 7, once.data());
    EXPECT_EQ(once[length], 0xEE);
    if (length >= 4) {
      EXPECT_NE(std::vector<uint8_t>(once.begin(), once.begin() + length), input);
    }

    std::vector<uint8_t> twice(length + 1, 0xEE);
    CipherPayload(once.data(), length, key.data(), 0x26011BDA, kLoRaDirDownlink, 7, twice.data());
    EXPECT_EQ(std::vector<uint8_t>(twice.begin(), twice.begin() + length), input);
    EXPECT_EQ(twice[length], 0xEE);
  }
}

TEST(CipherPayloadTest, WorksInPlace) {
  const auto frame = Hex(kDataFrames[3].frame);
  std::vector<uint8_t> payload(frame.begin() + 9, frame.end() - 4);
  CipherPayload(payload.data(), static_cast<uint16_t>(payload.size()), kAppSKey.data(), kDevAddr,
                kLoRaDirUplink, 4, payload.data());
  EXPECT_EQ(std::string(payload.begin(), payload.end()), "The quick brown fox jumps over the lazy dog.");
}

TEST(DataMicTest, DependsOnDirectionCounterAddressAndEveryByte) {
  std::vector<uint8_t> message(23);
  std::iota(message.begin(), message.end(), uint8_t{1});
  const uint32_t up = ComputeDataMic(message.data(), 23, kNwkSKey.data(), kDevAddr, kLoRaDirUplink, 5);
  EXPECT_NE(up, ComputeDataMic(message.data(), 23, kNwkSKey.data(), kDevAddr, kLoRaDirDownlink, 5));
  EXPECT_NE(up, ComputeDataMic(message.data(), 23, kNwkSKey.data(), kDevAddr, kLoRaDirUplink, 5 | 0x10000));
  EXPECT_NE(up, ComputeDataMic(message.data(), 23, kNwkSKey.data(), kDevAddr ^ 0x01000000, kLoRaDirUplink, 5));
  EXPECT_NE(up, ComputeDataMic(message.data(), 22, kNwkSKey.data(), kDevAddr, kLoRaDirUplink, 5));
  EXPECT_EQ(up, ComputeDataMic(message.data(), 23, kNwkSKey.data(), kDevAddr, kLoRaDirUplink, 5));
}

TEST(DataMicTest, CoversEveryByteOfALongMessage) {
  // B0 can only carry the length modulo 256, but no byte may escape the MIC.
  std::vector<uint8_t> message(300, 0x5A);
  const uint32_t mic = ComputeDataMic(message.data(), message.size(), kNwkSKey.data(), kDevAddr, 0, 1);
  message[299] ^= 1;
  EXPECT_NE(mic, ComputeDataMic(message.data(), message.size(), kNwkSKey.data(), kDevAddr, 0, 1));
}

TEST(JoinMicTest, IsTheFirstFourTagBytesLowByteFirst) {
  // RFC 4493 examples: the MIC is tag bytes 0..3 as a little-endian value.
  const auto key = Hex("2b7e151628aed2a6abf7158809cf4f3c");
  const auto message = Hex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const std::pair<std::size_t, uint32_t> cases[] = {
      {0, 0x29691DBB}, {16, 0xB4160A07}, {40, 0x4767A6DF}, {64, 0xBFBEF051}};
  for (const auto& [length, mic] : cases) {
    SCOPED_TRACE(length);
    EXPECT_EQ(ComputeJoinMic(message.data(), length, key.data()), mic);
  }
}

// The published OTAA exchange.
const std::vector<uint8_t> kAppKey = Hex("B6B53F4A168A7A88BDF7EA135CE9CFCA");
const char kJoinRequest[] = "00DC0000D07ED5B3701E6FEDF57CEEAF0085CC587FE913";
// MHDR | AppNonce E5063A | NetID 000013 | DevAddr 26012E43 | DLSettings 03 | RxDelay 01 | CFList,
// all least significant byte first, before the MIC.
const char kJoinAcceptPlain[] = "203A06E5130000432E01260301184F84E85684B85E84886684586E8400";
const char kJoinAcceptOnAir[] = "204DD85AE608B87FC4889970B7D2042C9E72959B0057AED6094B16003DF12DE145";
constexpr uint16_t kDevNonce = 0xCC85;

TEST(JoinTest, PublishedJoinRequestMic) {
  const auto frame = Hex(kJoinRequest);
  EXPECT_EQ(ComputeJoinMic(frame.data(), frame.size() - 4, kAppKey.data()), Le32(frame.data() + frame.size() - 4));
}

TEST(JoinTest, PublishedJoinAcceptWithCFList) {
  auto plain = Hex(kJoinAcceptPlain);
  const uint32_t mic = ComputeJoinMic(plain.data(), plain.size(), kAppKey.data());
  EXPECT_EQ(mic, 0xE01D1255u);  // on air: 55 12 1D E0
  for (int i = 0; i < 4; ++i) plain.push_back(static_cast<uint8_t>(mic >> (8 * i)));
  ASSERT_EQ(plain.size(), 33u);

  std::vector<uint8_t> frame(33);
  frame[0] = plain[0];  // the MHDR stays in clear
  ASSERT_TRUE(EncryptJoinAccept(plain.data() + 1, 32, kAppKey.data(), frame.data() + 1));
  EXPECT_EQ(frame, Hex(kJoinAcceptOnAir));
}

TEST(JoinTest, PublishedSessionKeys) {
  const auto plain = Hex(kJoinAcceptPlain);
  std::array<uint8_t, 16> nwkSKey{};
  std::array<uint8_t, 16> appSKey{};
  DeriveSessionKeys(kAppKey.data(), plain.data() + 1, kDevNonce, nwkSKey.data(), appSKey.data());
  EXPECT_EQ(std::vector<uint8_t>(nwkSKey.begin(), nwkSKey.end()), Hex("2c96f7028184bb0be8aa49275290d4fc"));
  EXPECT_EQ(std::vector<uint8_t>(appSKey.begin(), appSKey.end()), Hex("f3a5c8f0232a38c144029c165865802c"));
}

TEST(JoinTest, SessionKeysDifferPerKindAndPerDevNonce) {
  const uint8_t nonceNet[6] = {1, 2, 3, 0x13, 0, 0};
  std::array<uint8_t, 16> nwk1{}, app1{}, nwk2{}, app2{};
  DeriveSessionKeys(kAppKey.data(), nonceNet, 0x0001, nwk1.data(), app1.data());
  DeriveSessionKeys(kAppKey.data(), nonceNet, 0x0100, nwk2.data(), app2.data());
  EXPECT_NE(nwk1, app1);
  EXPECT_NE(nwk1, nwk2);
  EXPECT_NE(app1, app2);
}

TEST(JoinTest, DeviceUndoesEncryptJoinAcceptWithAesEncryption) {
  std::array<uint8_t, 16> fields{};
  std::iota(fields.begin(), fields.end(), uint8_t{0xA0});
  std::array<uint8_t, 16> onAir{};
  ASSERT_TRUE(EncryptJoinAccept(fields.data(), 16, kAppKey.data(), onAir.data()));
  EXPECT_NE(onAir, fields);

  AesKeySchedule schedule;
  ASSERT_EQ(AesExpandKey(kAppKey.data(), 16, schedule), kAesOk);
  std::array<uint8_t, 16> device{};
  AesEncryptBlock(onAir.data(), device.data(), schedule);
  EXPECT_EQ(device, fields);
}

TEST(JoinTest, EncryptJoinAcceptRefusesPartialBlocks) {
  std::array<uint8_t, 33> in{};
  std::array<uint8_t, 33> out;
  for (std::size_t length : {1u, 15u, 17u, 31u, 33u}) {
    out.fill(0xEE);
    EXPECT_FALSE(EncryptJoinAccept(in.data(), length, kAppKey.data(), out.data())) << length;
    for (uint8_t b : out) EXPECT_EQ(b, 0xEE);
  }
}

TEST(LoRaCryptoTest, ConcurrentCallsDoNotDisturbEachOther) {
  // The receive thread checks uplinks while the scheduler signs and ciphers
  // downlinks; each must see exactly its single-threaded results.
  const auto frame = Hex(kDataFrames[3].frame);
  const std::size_t length = frame.size() - 4;
  const uint32_t expectedMic = Le32(frame.data() + length);
  const auto joinPlain = Hex(kJoinAcceptPlain);
  const auto expectedNwk = Hex("2c96f7028184bb0be8aa49275290d4fc");

  auto work = [&](bool& ok) {
    ok = true;
    for (int i = 0; i < 300 && ok; ++i) {
      ok = ComputeDataMic(frame.data(), length, kNwkSKey.data(), kDevAddr, kLoRaDirUplink, 4) == expectedMic;
      std::vector<uint8_t> out(length - 9);
      CipherPayload(frame.data() + 9, static_cast<uint16_t>(out.size()), kAppSKey.data(), kDevAddr,
                    kLoRaDirUplink, 4, out.data());
      ok = ok && std::string(out.begin(), out.end()) == "The quick brown fox jumps over the lazy dog.";
      std::array<uint8_t, 16> nwk{}, app{};
      DeriveSessionKeys(kAppKey.data(), joinPlain.data() + 1, kDevNonce, nwk.data(), app.data());
      ok = ok && std::vector<uint8_t>(nwk.begin(), nwk.end()) == expectedNwk;
    }
  };
  bool ok1 = false;
  bool ok2 = false;
  std::thread t1(work, std::ref(ok1));
  std::thread t2(work, std::ref(ok2));
  t1.join();
  t2.join();
  EXPECT_TRUE(ok1);
  EXPECT_TRUE(ok2);
}

}  // namespace
}  // namespace quorvex
