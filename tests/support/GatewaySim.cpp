#include "support/GatewaySim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>

namespace quorvex::test {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kMaxDatagram = 65536;

std::runtime_error SystemError(const char* what) {
  return std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// Value of one Base64 character, or -1 outside the alphabet.
int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string Base64Encode(const std::vector<uint8_t>& bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t left = bytes.size() - i;
    uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
    if (left > 1) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (left > 2) group |= bytes[i + 2];
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
    text += left > 1 ? kAlphabet[(group >> 6) & 63] : '=';
    text += left > 2 ? kAlphabet[group & 63] : '=';
  }
  return text;
}

std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') ++padding;
  if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    uint32_t group = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      int value = Base64Value(c);
      if (value < 0) {
        // "=" only as the trailing padding counted above.
        if (c != '=' || !last || k < 4 - padding) return std::nullopt;
        value = 0;
      }
      group = (group << 6) | static_cast<uint32_t>(value);
    }
    bytes.push_back(static_cast<uint8_t>(group >> 16));
    if (!last || padding < 2) bytes.push_back(static_cast<uint8_t>(group >> 8));
    if (!last || padding < 1) bytes.push_back(static_cast<uint8_t>(group));
  }
  return bytes;
}

SimSocket::SimSocket() {
  m_Fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (m_Fd < 0) throw SystemError("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (bind(m_Fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(m_Fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    const auto error = SystemError("bind");
    close(m_Fd);
    throw error;
  }
  m_Port = ntohs(addr.sin_port);
}

SimSocket::~SimSocket() { close(m_Fd); }

GatewaySim::GatewaySim(uint16_t serverPort, uint64_t eui, GatewaySimOptions options)
    : m_ServerPort(serverPort), m_Eui(eui), m_Options(options), m_Random(std::random_device{}()) {
  if (m_Options.separatePullSocket) m_Pull.emplace();
}

std::string GatewaySim::EuiText() const {
  char text[17];
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(m_Eui));
  return text;
}

uint16_t GatewaySim::NextToken() {
  if (m_NextToken) {
    const uint16_t token = *m_NextToken;
    m_NextToken.reset();
    return token;
  }
  return static_cast<uint16_t>(std::uniform_int_distribution<unsigned>(0, 0xFFFF)(m_Random));
}

void GatewaySim::SendBytes(const SimSocket& from, const std::vector<uint8_t>& bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(m_ServerPort);
  const ssize_t sent =
      sendto(from.Fd(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent != static_cast<ssize_t>(bytes.size())) throw SystemError("sendto");
}

uint16_t GatewaySim::SendPullData() {
  const uint16_t token = NextToken();
  SendBytes(PullSocket(), Header(m_Options.version, token, PfIdentifier::PullData, m_Eui));
  return token;
}

uint16_t GatewaySim::SendPush(const Json::Value& root) { return SendPushJson(ToJsonText(root)); }

uint16_t GatewaySim::SendPushJson(std::string_view jsonText) {
  const uint16_t token = NextToken();
  std::vector<uint8_t> bytes = Header(m_Options.version, token, PfIdentifier::PushData, m_Eui);
  bytes.insert(bytes.end(), jsonText.begin(), jsonText.end());
  SendBytes(m_Push, bytes);
  return token;
}

uint16_t GatewaySim::SendStat() { return SendStat(DefaultStat()); }

uint16_t GatewaySim::SendStat(const Json::Value& stat) {
  Json::Value root(Json::objectValue);
  root["stat"] = stat;
  return SendPush(root);
}

uint16_t GatewaySim::SendRxpk(const RxMeta& meta, const std::vector<uint8_t>& phy) {
  return SendRxpkMany({RxPacket{meta, phy}});
}

uint16_t GatewaySim::SendRxpkMany(const std::vector<RxPacket>& packets) {
  Json::Value root(Json::objectValue);
  Json::Value& rxpk = root["rxpk"] = Json::Value(Json::arrayValue);
  for (const RxPacket& packet : packets) rxpk.append(RxpkElement(packet.meta, packet.phy));
  return SendPush(root);
}

uint16_t GatewaySim::SendStatAndRxpk(const RxMeta& meta, const std::vector<uint8_t>& phy) {
  return SendStatAndRxpk(meta, phy, DefaultStat());
}

uint16_t GatewaySim::SendStatAndRxpk(const RxMeta& meta, const std::vector<uint8_t>& phy,
                                     const Json::Value& stat) {
  Json::Value root(Json::objectValue);
  root["rxpk"].append(RxpkElement(meta, phy));
  root["stat"] = stat;
  return SendPush(root);
}

uint16_t GatewaySim::SendTxAck(const std::optional<std::string>& jsonText) {
  const uint16_t token = NextToken();
  std::vector<uint8_t> bytes = Header(m_Options.version, token, PfIdentifier::TxAck, m_Eui);
  if (jsonText) bytes.insert(bytes.end(), jsonText->begin(), jsonText->end());
  SendBytes(PullSocket(), bytes);
  return token;
}

uint16_t GatewaySim::SendRaw(const std::vector<uint8_t>& bytes, bool viaPullSocket) {
  SendBytes(viaPullSocket ? PullSocket() : m_Push, bytes);
  return bytes.size() >= 3 ? static_cast<uint16_t>(bytes[1] << 8 | bytes[2]) : 0;
}

int GatewaySim::Pump(int timeoutMs) {
  const SimSocket* sockets[2] = {&m_Push, m_Pull ? &*m_Pull : nullptr};
  const nfds_t count = m_Pull ? 2 : 1;
  pollfd fds[2] = {{m_Push.Fd(), POLLIN, 0}, {m_Pull ? m_Pull->Fd() : -1, POLLIN, 0}};
  if (poll(fds, count, timeoutMs < 0 ? 0 : timeoutMs) <= 0) return 0;  // EINTR: the caller's deadline decides
  int received = 0;
  std::vector<uint8_t> buffer(kMaxDatagram);
  for (nfds_t i = 0; i < count; ++i) {
    for (;;) {
      const ssize_t n = recv(sockets[i]->Fd(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n < 0) break;
      SimDatagram datagram = ParseDatagram(std::vector<uint8_t>(buffer.begin(), buffer.begin() + n));
      datagram.onPullSocket = i == 1;
      m_Queue.push_back(std::move(datagram));
      ++received;
    }
  }
  return received;
}

std::optional<SimDatagram> GatewaySim::WaitFor(PfIdentifier id, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (auto it = m_Queue.begin(); it != m_Queue.end(); ++it) {
      if (it->Is(id)) {
        SimDatagram found = std::move(*it);
        m_Queue.erase(it);
        return found;
      }
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left < 0) return std::nullopt;
    Pump(static_cast<int>(left));
  }
}

std::optional<SimDatagram> GatewaySim::WaitForAny(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (!m_Queue.empty()) {
      SimDatagram found = std::move(m_Queue.front());
      m_Queue.pop_front();
      return found;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left < 0) return std::nullopt;
    Pump(static_cast<int>(left));
  }
}

bool GatewaySim::ExpectNothing(int ms) {
  if (!m_Queue.empty()) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left < 0) return true;
    if (Pump(static_cast<int>(left)) > 0) return false;
  }
}

std::vector<SimDatagram> GatewaySim::TakeAll() {
  Pump(0);
  std::vector<SimDatagram> all(std::make_move_iterator(m_Queue.begin()), std::make_move_iterator(m_Queue.end()));
  m_Queue.clear();
  return all;
}

Json::Value GatewaySim::DefaultStat() {
  char time[32];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(time, sizeof time, "%Y-%m-%d %H:%M:%S GMT", &utc);
  Json::Value stat(Json::objectValue);
  stat["time"] = time;
  stat["lati"] = 46.24;
  stat["long"] = 3.2523;
  stat["alti"] = 145;
  stat["rxnb"] = 2;
  stat["rxok"] = 2;
  stat["rxfw"] = 2;
  stat["ackr"] = 100.0;
  stat["dwnb"] = 0;
  stat["txnb"] = 0;
  return stat;
}

Json::Value GatewaySim::RxpkElement(const RxMeta& meta, const std::vector<uint8_t>& phy) {
  Json::Value element(Json::objectValue);
  element["tmst"] = meta.tmst;
  element["freq"] = meta.freq;
  element["chan"] = meta.chan;
  element["rfch"] = meta.rfch;
  element["stat"] = meta.stat;
  element["modu"] = meta.modu;
  element["datr"] = meta.datr;
  element["codr"] = meta.codr;
  element["rssi"] = meta.rssi;
  element["lsnr"] = meta.lsnr;
  element["size"] = meta.size ? *meta.size : Json::Value(static_cast<Json::UInt>(phy.size()));
  element["data"] = meta.data ? *meta.data : Base64Encode(phy);
  for (const std::string& name : meta.omit) element.removeMember(name);
  if (meta.extra.isObject()) {
    for (const std::string& name : meta.extra.getMemberNames()) element[name] = meta.extra[name];
  }
  return element;
}

std::string GatewaySim::ToJsonText(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["precision"] = 10;
  builder["precisionType"] = "significant";
  return Json::writeString(builder, value);
}

std::vector<uint8_t> GatewaySim::Header(uint8_t version, uint16_t token, PfIdentifier id,
                                        std::optional<uint64_t> eui) {
  std::vector<uint8_t> bytes = {version, static_cast<uint8_t>(token >> 8), static_cast<uint8_t>(token),
                                static_cast<uint8_t>(id)};
  if (eui) {
    for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(*eui >> shift));
  }
  return bytes;
}

SimDatagram GatewaySim::ParseDatagram(const std::vector<uint8_t>& bytes) {
  SimDatagram datagram;
  datagram.bytes = bytes;
  if (bytes.size() < 4) return datagram;
  datagram.version = bytes[0];
  datagram.token = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
  datagram.identifier = bytes[3];
  if (!datagram.Is(PfIdentifier::PullResp)) return datagram;

  datagram.json.assign(bytes.begin() + 4, bytes.end());
  // A gateway's parser is strict: trailing bytes, comments or duplicate keys
  // in the server's text are faults worth seeing.
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  const char* begin = datagram.json.data();
  Json::Value root;
  std::string errors;
  if (!reader->parse(begin, begin + datagram.json.size(), &root, &errors)) return datagram;
  datagram.root = root;
  if (!root.isObject()) return datagram;
  const Json::Value& txpk = static_cast<const Json::Value&>(root)["txpk"];  // const: never inserts
  if (!txpk.isObject()) return datagram;
  for (const std::string& name : txpk.getMemberNames()) {
    const Json::Value& value = txpk[name];
    if (value.isString()) {
      datagram.txpk[name] = value.asString();
      continue;
    }
    const auto start = value.getOffsetStart();
    const auto limit = value.getOffsetLimit();
    if (start >= 0 && start <= limit && static_cast<size_t>(limit) <= datagram.json.size()) {
      datagram.txpk[name] = datagram.json.substr(static_cast<size_t>(start), static_cast<size_t>(limit - start));
    }
  }
  const Json::Value& data = txpk["data"];
  if (data.isString()) datagram.phyPayload = Base64Decode(data.asString());
  return datagram;
}

}  // namespace quorvex::test
