// The gateway simulator that the server's tests rely on, checked against a
// plain UDP socket standing in for the server: the bytes it sends, the
// "rxpk" JSON it writes, and how it reads the server's answers.
#include "support/GatewaySim.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/UdpClient.h"
#include "support/Wait.h"

namespace quorvex::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kEui = 0xA1B2C3D4E5F60718ULL;  // high bit set: no sign trouble
const Bytes kEuiBytes = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18};

struct FromPort {
  Bytes bytes;
  uint16_t port = 0;
};

// The next datagram at the stand-in server and the port it came from.
std::optional<FromPort> ReceiveFrom(UdpClient& server) {
  pollfd pfd{server.Fd(), POLLIN, 0};
  if (poll(&pfd, 1, kPatienceMs) <= 0) return std::nullopt;
  FromPort got;
  got.bytes.resize(65536);
  sockaddr_in from{};
  socklen_t length = sizeof from;
  const ssize_t n =
      recvfrom(server.Fd(), got.bytes.data(), got.bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0) return std::nullopt;
  got.bytes.resize(static_cast<size_t>(n));
  got.port = ntohs(from.sin_port);
  return got;
}

Json::Value ParseStrict(const std::string& text) {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &root, &errors)) << text << errors;
  return root;
}

std::string JsonPart(const Bytes& datagram) {
  return datagram.size() > 12 ? std::string(datagram.begin() + 12, datagram.end()) : std::string();
}

TEST(GatewaySimTest, Base64MatchesTheStandardVectorsAndRejectsMalformedText) {
  const struct {
    std::string plain, encoded;
  } vectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},    {"foo", "Zm9v"},
                 {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& v : vectors) {
    const Bytes plain(v.plain.begin(), v.plain.end());
    EXPECT_EQ(Base64Encode(plain), v.encoded);
    EXPECT_EQ(Base64Decode(v.encoded), plain) << v.encoded;
  }
  Bytes all(256);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(255 - i);
  EXPECT_EQ(Base64Decode(Base64Encode(all)), all);

  for (const char* bad : {"Zm9", "Zm=v", "Z===", "=Zm9", "Zg==Zm9v", "Zm9v!A==", "Zm9v YmFy", "Zm9v\n"}) {
    EXPECT_FALSE(Base64Decode(bad).has_value()) << bad;
  }
}

TEST(GatewaySimTest, UpstreamDatagramsCarryVersionTokenIdentifierAndEuiMostSignificantFirst) {
  UdpClient server;
  GatewaySim gateway(server.LocalPort(), kEui);
  EXPECT_EQ(gateway.EuiText(), "A1B2C3D4E5F60718");

  const struct {
    const char* name;
    std::function<uint16_t()> send;
    uint8_t identifier;
    std::string json;  // expected text after the 12-byte header; "*" = any object
  } cases[] = {
      {"pull", [&] { return gateway.SendPullData(); }, 2, ""},
      {"stat", [&] { return gateway.SendStat(); }, 0, "*"},
      {"tx ack without report", [&] { return gateway.SendTxAck(); }, 5, ""},
      {"tx ack with report", [&] { return gateway.SendTxAck(R"({"txpk_ack":{"error":"TOO_LATE"}})"); }, 5,
       R"({"txpk_ack":{"error":"TOO_LATE"}})"},
      {"push text as is", [&] { return gateway.SendPushJson("{\"rxpk\":[1,"); }, 0, "{\"rxpk\":[1,"},
  };
  uint16_t chosen = 0xFF00;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    gateway.SetNextToken(chosen);
    ASSERT_EQ(c.send(), chosen);
    const auto got = ReceiveFrom(server);
    ASSERT_TRUE(got);
    ASSERT_GE(got->bytes.size(), 12u);
    EXPECT_EQ(got->bytes[0], 2);
    EXPECT_EQ(got->bytes[1], chosen >> 8);
    EXPECT_EQ(got->bytes[2], chosen & 0xFF);
    EXPECT_EQ(got->bytes[3], c.identifier);
    EXPECT_EQ(Bytes(got->bytes.begin() + 4, got->bytes.begin() + 12), kEuiBytes);
    if (c.json == "*") {
      EXPECT_TRUE(ParseStrict(JsonPart(got->bytes))["stat"].isObject());
    } else {
      EXPECT_EQ(JsonPart(got->bytes), c.json);
    }
    chosen = static_cast<uint16_t>(chosen + 0x0101);
  }

  // Random tokens are the ones on the wire; the version byte is configurable.
  GatewaySimOptions old;
  old.version = 31;
  GatewaySim other(server.LocalPort(), 1, old);
  const uint16_t token = other.SendPullData();
  const auto got = ReceiveFrom(server);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->bytes, (Bytes{31, static_cast<uint8_t>(token >> 8), static_cast<uint8_t>(token), 2, 0, 0, 0, 0,
                               0, 0, 0, 1}));
  EXPECT_EQ(other.SendRaw({2, 0xAB, 0xCD}), 0xABCD);
  EXPECT_EQ(ReceiveFrom(server)->bytes, (Bytes{2, 0xAB, 0xCD}));
}

TEST(GatewaySimTest, RxpkElementsRoundTripThroughTheirJson) {
  UdpClient server;
  GatewaySim gateway(server.LocalPort(), kEui);

  // Payload lengths around each padding case, bytes 0x00 and 0xFF included.
  for (size_t length : {1u, 2u, 3u, 23u, 255u}) {
    SCOPED_TRACE(length);
    Bytes phy(length);
    for (size_t i = 0; i < length; ++i) phy[i] = static_cast<uint8_t>(i * 37 + (i % 2 ? 0xFF : 0));
    RxMeta meta;
    meta.tmst = 4294000000u;
    gateway.SendRxpk(meta, phy);
    const auto got = ReceiveFrom(server);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes[3], 0);
    const Json::Value root = ParseStrict(JsonPart(got->bytes));
    ASSERT_TRUE(root["rxpk"].isArray());
    ASSERT_EQ(root["rxpk"].size(), 1u);
    EXPECT_FALSE(root.isMember("stat"));
    const Json::Value& element = root["rxpk"][0];
    EXPECT_EQ(element["size"].asUInt(), length);
    EXPECT_EQ(Base64Decode(element["data"].asString()), phy);
    EXPECT_EQ(element["tmst"].asUInt(), 4294000000u);
    for (const char* name : {"freq", "chan", "rfch", "stat", "modu", "datr", "codr", "rssi", "lsnr"}) {
      EXPECT_TRUE(element.isMember(name)) << name;
    }
  }

  // The text forms a test chooses reach the wire unchanged; overrides win.
  RxMeta meta;
  meta.lsnr = 7;
  meta.rssi = -35;
  meta.freq = "868.1";
  meta.size = 9;
  meta.data = "!!not base64";
  meta.omit = {"chan", "codr"};
  meta.extra["time"] = "2024-01-01T00:00:00Z";
  meta.extra["rfch"] = 1;
  gateway.SendStatAndRxpk(meta, {1, 2, 3});
  auto got = ReceiveFrom(server);
  ASSERT_TRUE(got);
  const std::string text = JsonPart(got->bytes);
  const Json::Value root = ParseStrict(text);
  EXPECT_TRUE(root["stat"].isObject());
  const Json::Value& element = root["rxpk"][0];
  EXPECT_NE(text.find(R"("lsnr":7,)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("rssi":-35,)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("freq":"868.1")"), std::string::npos) << text;
  EXPECT_EQ(element["size"].asInt(), 9);
  EXPECT_EQ(element["data"].asString(), "!!not base64");
  EXPECT_FALSE(element.isMember("chan"));
  EXPECT_FALSE(element.isMember("codr"));
  EXPECT_EQ(element["time"].asString(), "2024-01-01T00:00:00Z");
  EXPECT_EQ(element["rfch"].asInt(), 1);

  RxMeta real;
  real.lsnr = 7.0;
  real.freq = 868.1;
  gateway.SendRxpkMany({{real, {0x40}}, {RxMeta{}, {0x80, 0x81}}, {RxMeta{}, {0x00, 0x01, 0x02}}});
  got = ReceiveFrom(server);
  ASSERT_TRUE(got);
  const std::string many = JsonPart(got->bytes);
  EXPECT_NE(many.find(R"("lsnr":7.0,)"), std::string::npos) << many;
  EXPECT_NE(many.find(R"("freq":868.1,)"), std::string::npos) << many;
  const Json::Value list = ParseStrict(many)["rxpk"];
  ASSERT_EQ(list.size(), 3u);
  for (Json::ArrayIndex i = 0; i < 3; ++i) EXPECT_EQ(list[i]["size"].asUInt(), i + 1);
  EXPECT_EQ(Base64Decode(list[2]["data"].asString()), (Bytes{0x00, 0x01, 0x02}));
}

TEST(GatewaySimTest, ReadsTheServersAnswersByKindWithTheirTokens) {
  UdpClient server;
  GatewaySim gateway(server.LocalPort(), kEui);
  const uint16_t port = gateway.PushPort();
  EXPECT_TRUE(gateway.ExpectNothing(20));

  const std::string txpk =
      R"({"txpk":{"codr":"4/5","data":"IAECAwQ=","datr":"SF12BW125","freq":923.0,"imme":true,)"
      R"("ipol":true,"modu":"LORA","powe":20,"rfch":0,"size":5,"tmst":32704}})";
  Bytes pullResp = {2, 0, 0, 3};
  pullResp.insert(pullResp.end(), txpk.begin(), txpk.end());
  // Arrival order differs from the order asked for: nothing may be lost.
  ASSERT_TRUE(server.SendTo(port, pullResp));
  ASSERT_TRUE(server.SendTo(port, {2, 0x12, 0x34, 4}));
  ASSERT_TRUE(server.SendTo(port, {2, 0xBE, 0xEF, 1}));
  ASSERT_TRUE(server.SendTo(port, {2, 0}));  // too short to classify
  EXPECT_FALSE(gateway.ExpectNothing(0));

  const auto pushAck = gateway.WaitFor(PfIdentifier::PushAck, kPatienceMs);
  ASSERT_TRUE(pushAck);
  EXPECT_EQ(pushAck->token, 0xBEEF);
  EXPECT_EQ(pushAck->bytes.size(), 4u);
  const auto pullAck = gateway.WaitFor(PfIdentifier::PullAck, kPatienceMs);
  ASSERT_TRUE(pullAck);
  EXPECT_EQ(pullAck->token, 0x1234);

  const auto resp = gateway.WaitFor(PfIdentifier::PullResp, kPatienceMs);
  ASSERT_TRUE(resp);
  EXPECT_EQ(resp->token, 0);
  EXPECT_EQ(resp->json, txpk);
  EXPECT_EQ(resp->root["txpk"]["powe"].asInt(), 20);
  const std::map<std::string, std::string> texts = {
      {"codr", "4/5"}, {"data", "IAECAwQ="}, {"datr", "SF12BW125"}, {"freq", "923.0"}, {"imme", "true"},
      {"ipol", "true"}, {"modu", "LORA"},    {"powe", "20"},        {"rfch", "0"},     {"size", "5"},
      {"tmst", "32704"}};
  EXPECT_EQ(resp->txpk, texts);
  EXPECT_EQ(resp->phyPayload, (Bytes{0x20, 0x01, 0x02, 0x03, 0x04}));

  const auto shortOne = gateway.WaitForAny(kPatienceMs);
  ASSERT_TRUE(shortOne);
  EXPECT_EQ(shortOne->identifier, -1);
  EXPECT_EQ(shortOne->bytes, (Bytes{2, 0}));
  EXPECT_TRUE(gateway.ExpectNothing(20));

  // Faults in a PULL_RESP show instead of being smoothed over.
  const struct {
    std::string json;
    bool valid;
    bool payload;
  } faulty[] = {
      {R"({"txpk":{"data":"IAEC!wQ=","size":5}})", true, false},  // bad Base64
      {R"({"txpk":{"size":5}})", true, false},                    // no data
      {R"({"txpk":{"data":"IAE="}}x)", false, false},            // trailing bytes
      {R"({"txpk":{"size":1,"size":2}})", false, false},          // duplicate key
      {"not json", false, false},
  };
  for (const auto& f : faulty) {
    SCOPED_TRACE(f.json);
    Bytes bytes = {2, 0, 0, 3};
    bytes.insert(bytes.end(), f.json.begin(), f.json.end());
    ASSERT_TRUE(server.SendTo(port, bytes));
    const auto got = gateway.WaitFor(PfIdentifier::PullResp, kPatienceMs);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->root.isObject(), f.valid);
    EXPECT_EQ(got->phyPayload.has_value(), f.payload);
  }
}

TEST(GatewaySimTest, SeveralGatewaysAndSeparatePullSocketsKeepTheirAddresses) {
  UdpClient server;
  GatewaySimOptions split;
  split.separatePullSocket = true;
  GatewaySim first(server.LocalPort(), kEui, split);
  GatewaySim second(server.LocalPort(), kEui + 1);
  ASSERT_NE(first.PushPort(), first.PullPort());
  EXPECT_EQ(second.PushPort(), second.PullPort());
  EXPECT_NE(first.PushPort(), second.PushPort());

  const struct {
    const char* name;
    std::function<void()> send;
    uint16_t port;
    uint8_t euiLast;
  } cases[] = {
      {"pull", [&] { first.SendPullData(); }, first.PullPort(), 0x18},
      {"tx ack", [&] { first.SendTxAck(); }, first.PullPort(), 0x18},
      {"rxpk", [&] { first.SendRxpk(RxMeta{}, {0x40}); }, first.PushPort(), 0x18},
      {"stat", [&] { first.SendStat(); }, first.PushPort(), 0x18},
      {"other gateway", [&] { second.SendPullData(); }, second.PushPort(), 0x19},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.send();
    const auto got = ReceiveFrom(server);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->port, c.port);
    ASSERT_GE(got->bytes.size(), 12u);
    EXPECT_EQ(got->bytes[11], c.euiLast);
  }

  // Answers to either socket are collected, marked by the socket they hit.
  ASSERT_TRUE(server.SendTo(first.PullPort(), {2, 0, 1, 4}));
  ASSERT_TRUE(server.SendTo(first.PushPort(), {2, 0, 2, 1}));
  const auto pullAck = first.WaitFor(PfIdentifier::PullAck, kPatienceMs);
  const auto pushAck = first.WaitFor(PfIdentifier::PushAck, kPatienceMs);
  ASSERT_TRUE(pullAck && pushAck);
  EXPECT_TRUE(pullAck->onPullSocket);
  EXPECT_FALSE(pushAck->onPullSocket);
  EXPECT_TRUE(second.ExpectNothing(20));
}

}  // namespace
}  // namespace quorvex::test
