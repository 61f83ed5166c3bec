// A simulated packet-forwarder gateway (protocol version 2) on loopback, for
// tests and for trying the server by hand (tools/quorvex-gwsim). It sends
// PULL_DATA, PUSH_DATA ("stat" and/or "rxpk"), TX_ACK and arbitrary bytes
// from its own UDP socket(s) bound to 127.0.0.1, and collects the server's
// PUSH_ACK, PULL_ACK and PULL_RESP datagrams. Every wait has a deadline, so a
// caller never hangs. Several objects act as several gateways.
//
// One object is meant for one thread. It has no gtest dependency, so that the
// command-line tool can use it as well.
#pragma once
#include <json/json.h>

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex::test {

// Byte 3 of every packet-forwarder datagram.
enum class PfIdentifier : uint8_t {
  PushData = 0,
  PushAck = 1,
  PullData = 2,
  PullResp = 3,
  PullAck = 4,
  TxAck = 5,
};

// Protocol version this gateway writes at byte 0 unless told otherwise.
constexpr uint8_t kPfVersion = 2;

// Standard Base64 (RFC 4648, "=" padded, no line breaks). Kept apart from the
// server's own codec on purpose: the simulator is an independent check of it.
std::string Base64Encode(const std::vector<uint8_t>& bytes);
// Strict decoding: nothing when the text has a character outside the
// alphabet, a length that is not a multiple of 4, or misplaced padding.
std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text);

// Metadata of one received radio packet, one "rxpk" element. Every field is a
// JSON value so that a test chooses its type: `freq = 868.1` writes a number,
// `freq = "868.1"` a string, `lsnr = 7` an integer and `lsnr = 7.0` the text
// 7.0. Numbers are written with at most 10 significant digits.
struct RxMeta {
  Json::Value tmst = 1000000u;  // gateway receive timestamp, microseconds
  Json::Value freq = 868.1;     // MHz
  Json::Value chan = 0;
  Json::Value rfch = 0;
  Json::Value stat = 1;  // CRC ok
  Json::Value modu = "LORA";
  Json::Value datr = "SF7BW125";
  Json::Value codr = "4/5";
  Json::Value rssi = -50;
  Json::Value lsnr = 7.5;
  // "size": the payload's byte count unless given (any JSON value).
  std::optional<Json::Value> size;
  // "data": the payload's Base64 unless given (e.g. bad Base64 on purpose).
  std::optional<std::string> data;
  // Member names left out of the element (e.g. "freq", "rssi").
  std::vector<std::string> omit;
  // Further members (an object), written last; they replace members of the
  // same name.
  Json::Value extra;
};

// One "rxpk" element: its metadata and the PHY payload it carries.
struct RxPacket {
  RxMeta meta;
  std::vector<uint8_t> phy;
};

// A datagram as the gateway received it.
struct SimDatagram {
  std::vector<uint8_t> bytes;   // exactly as received
  bool onPullSocket = false;    // arrived at the pull socket (separate-socket mode)
  int version = -1;             // byte 0; -1 when shorter than 4 bytes
  int identifier = -1;          // byte 3; -1 when shorter than 4 bytes
  uint16_t token = 0;           // bytes 1 (high) and 2
  // PULL_RESP only:
  std::string json;             // every byte after the 4-byte header
  Json::Value root;             // the parsed text; null when it is not JSON
  // Each scalar member of the "txpk" object as text: strings unquoted, other
  // values exactly as written in the datagram ("923.0", "true", "32704").
  std::map<std::string, std::string> txpk;
  // "data" of "txpk", Base64-decoded; nothing when absent or not valid Base64.
  std::optional<std::vector<uint8_t>> phyPayload;

  bool Is(PfIdentifier id) const { return identifier == static_cast<int>(id); }
};

// Owns one UDP socket bound to an ephemeral port on 127.0.0.1.
class SimSocket {
 public:
  SimSocket();  // throws std::runtime_error when the socket cannot be made
  ~SimSocket();
  SimSocket(const SimSocket&) = delete;
  SimSocket& operator=(const SimSocket&) = delete;
  int Fd() const { return m_Fd; }
  uint16_t Port() const { return m_Port; }

 private:
  int m_Fd = -1;
  uint16_t m_Port = 0;
};

struct GatewaySimOptions {
  uint8_t version = kPfVersion;  // byte 0 of every datagram sent
  // Gateways commonly use one socket upstream (PUSH_DATA) and another
  // downstream (PULL_DATA, TX_ACK); the server must then answer each on its
  // own address. Off: one socket for everything.
  bool separatePullSocket = false;
};

class GatewaySim {
 public:
  // Binds its socket(s) to 127.0.0.1:0 and targets 127.0.0.1:`serverPort`.
  // Throws std::runtime_error when a socket cannot be made.
  GatewaySim(uint16_t serverPort, uint64_t eui, GatewaySimOptions options = {});
  GatewaySim(const GatewaySim&) = delete;
  GatewaySim& operator=(const GatewaySim&) = delete;

  uint64_t Eui() const { return m_Eui; }
  // The 16 upper-case hex digits of the EUI, most significant first.
  std::string EuiText() const;
  uint16_t PushPort() const { return m_Push.Port(); }
  // Equal to PushPort() unless separatePullSocket is set.
  uint16_t PullPort() const { return PullSocket().Port(); }
  uint16_t ServerPort() const { return m_ServerPort; }

  // The next send uses this token instead of a random one (once).
  void SetNextToken(uint16_t token) { m_NextToken = token; }

  // Every Send* returns the token it used (high byte first on the wire) and
  // throws std::runtime_error when the datagram cannot be sent.

  // 12 bytes: version, token, 2, EUI.
  uint16_t SendPullData();
  // PUSH_DATA {"stat": DefaultStat()} or {"stat": stat}.
  uint16_t SendStat();
  uint16_t SendStat(const Json::Value& stat);
  // PUSH_DATA {"rxpk": [element]}.
  uint16_t SendRxpk(const RxMeta& meta, const std::vector<uint8_t>& phy);
  // PUSH_DATA {"rxpk": [one element per packet, in order]}.
  uint16_t SendRxpkMany(const std::vector<RxPacket>& packets);
  // PUSH_DATA with both members {"rxpk": [element], "stat": stat}.
  uint16_t SendStatAndRxpk(const RxMeta& meta, const std::vector<uint8_t>& phy);
  uint16_t SendStatAndRxpk(const RxMeta& meta, const std::vector<uint8_t>& phy, const Json::Value& stat);
  // PUSH_DATA whose JSON part is `jsonText` exactly (malformed text allowed).
  uint16_t SendPushJson(std::string_view jsonText);
  // TX_ACK: 12 bytes, followed by `jsonText` when given.
  uint16_t SendTxAck(const std::optional<std::string>& jsonText = std::nullopt);
  // `bytes` unchanged, from the push socket or the pull socket. Returns
  // bytes 1 and 2 as the token, or 0 for fewer than 3 bytes.
  uint16_t SendRaw(const std::vector<uint8_t>& bytes, bool viaPullSocket = false);

  // The oldest datagram received with identifier `id`, waiting at most
  // `timeoutMs` for one. Datagrams of other kinds stay queued in order.
  std::optional<SimDatagram> WaitFor(PfIdentifier id, int timeoutMs);
  // The oldest datagram of any kind (malformed ones included).
  std::optional<SimDatagram> WaitForAny(int timeoutMs);
  // True when nothing is queued and nothing arrives within `ms`. Whatever
  // arrives stays queued for inspection.
  bool ExpectNothing(int ms);
  // Everything queued plus whatever is waiting in the socket(s) right now.
  std::vector<SimDatagram> TakeAll();

  // Building blocks, exposed for tests that assemble datagrams themselves.
  static Json::Value DefaultStat();
  static Json::Value RxpkElement(const RxMeta& meta, const std::vector<uint8_t>& phy);
  // Compact JSON text (no white space), numbers with at most 10 significant
  // digits.
  static std::string ToJsonText(const Json::Value& value);
  // Version, token, identifier and, when given, the EUI most significant
  // byte first.
  static std::vector<uint8_t> Header(uint8_t version, uint16_t token, PfIdentifier id,
                                     std::optional<uint64_t> eui);
  // Reads any datagram (any length); PULL_RESP fields are filled when the
  // identifier is 3.
  static SimDatagram ParseDatagram(const std::vector<uint8_t>& bytes);

 private:
  const SimSocket& PullSocket() const { return m_Pull ? *m_Pull : m_Push; }
  uint16_t NextToken();
  uint16_t SendPush(const Json::Value& root);
  void SendBytes(const SimSocket& from, const std::vector<uint8_t>& bytes);
  // Moves datagrams from the socket(s) into the queue, waiting at most
  // `timeoutMs` for the first one; returns how many were read.
  int Pump(int timeoutMs);

  uint16_t m_ServerPort;
  uint64_t m_Eui;
  GatewaySimOptions m_Options;
  SimSocket m_Push;
  std::optional<SimSocket> m_Pull;  // only in separate-socket mode
  std::optional<uint16_t> m_NextToken;
  std::mt19937 m_Random;
  std::deque<SimDatagram> m_Queue;
};

}  // namespace quorvex::test
