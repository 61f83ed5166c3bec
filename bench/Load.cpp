#include "Load.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "support/GatewaySim.h"

namespace quorvex::bench {

namespace {

constexpr uint8_t kPushData = 0;
constexpr uint8_t kPushAck = 1;
constexpr size_t kTokens = 65536;
// Receive buffer asked for on the tool's own sockets (the kernel may cap it
// at net.core.rmem_max); the peers' sockets keep their defaults.
constexpr int kReceiveBuffer = 8 << 20;
constexpr auto kKeepAlive = std::chrono::seconds(10);

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

// Number of confirmed uplinks among the first n.
uint64_t ConfirmedAmong(uint64_t n, double fraction) {
  return static_cast<uint64_t>(std::floor(static_cast<double>(n) * fraction + 0.5));
}

}  // namespace

OwnedFd::~OwnedFd() {
  if (m_Fd >= 0) close(m_Fd);
}

// ---- Plan -------------------------------------------------------------------

Plan::Plan(std::vector<BenchDevice> devices, uint32_t gateways, double rate, uint64_t uplinks, double confirmed)
    : m_Devices(std::move(devices)), m_Gateways(gateways), m_Rate(rate), m_Uplinks(uplinks), m_Confirmed(confirmed) {
  if (m_Devices.empty() || m_Gateways == 0 || m_Rate <= 0) throw std::invalid_argument("empty plan");
  m_Sims.reserve(m_Devices.size());
  for (const BenchDevice& d : m_Devices) m_Sims.emplace_back(d.devAddr, d.nwkSKey, d.appSKey);
}

uint32_t Plan::CounterOf(uint64_t s) const {
  const BenchDevice& device = m_Devices[DeviceOf(s)];
  const uint64_t next = static_cast<uint64_t>(static_cast<uint32_t>(device.rxSeqAtStart) + 1u);
  return static_cast<uint32_t>(next + s / m_Devices.size());
}

bool Plan::IsConfirmed(uint64_t s) const { return ConfirmedAmong(s + 1, m_Confirmed) > ConfirmedAmong(s, m_Confirmed); }

std::chrono::nanoseconds Plan::DueAfter(uint64_t s) const {
  return std::chrono::nanoseconds(static_cast<int64_t>(std::llround(static_cast<double>(s) * 1e9 / m_Rate)));
}

std::vector<uint8_t> Plan::Payload(uint64_t s) {
  std::vector<uint8_t> bytes{'Q', 'B'};
  for (int i = 0; i < 6; ++i) bytes.push_back(static_cast<uint8_t>(s >> (8 * i)));
  return bytes;
}

bool Plan::SeqOfPayload(const std::vector<uint8_t>& payload, uint64_t& s) {
  if (payload.size() != 8 || payload[0] != 'Q' || payload[1] != 'B') return false;
  s = 0;
  for (int i = 0; i < 6; ++i) s |= static_cast<uint64_t>(payload[2 + i]) << (8 * i);
  return true;
}

std::vector<uint8_t> Plan::Frame(uint64_t s) const {
  return m_Sims[DeviceOf(s)].Uplink(CounterOf(s), IsConfirmed(s), kFPort, Payload(s));
}

// ---- DatagramBuilder ----------------------------------------------------------

namespace {
// Placeholders no real value can collide with: the data is Base64 (no '@'),
// and the numbers are out of range for a size and unlikely for a tmst in
// the sample below.
const char* const kPlaceholders[3] = {"@DATA@", "2718281828", "3141592653"};

test::RxMeta SampleMeta() {
  test::RxMeta meta;  // the simulator's defaults: 868.1 MHz, SF7BW125, -50 dBm, 7.5 dB
  return meta;
}
}  // namespace

DatagramBuilder::DatagramBuilder() {
  test::RxMeta meta = SampleMeta();
  meta.data = kPlaceholders[0];
  meta.size = Json::Value(static_cast<Json::UInt>(2718281828u));
  meta.tmst = static_cast<Json::UInt>(3141592653u);
  Json::Value root(Json::objectValue);
  root["rxpk"].append(test::GatewaySim::RxpkElement(meta, {}));
  const std::string text = test::GatewaySim::ToJsonText(root);

  size_t at = 0;
  for (;;) {
    size_t best = std::string::npos;
    int slot = -1;
    for (int i = 0; i < 3; ++i) {
      const size_t found = text.find(kPlaceholders[i], at);
      if (found < best) {
        best = found;
        slot = i;
      }
    }
    if (slot < 0) break;
    m_Pieces.push_back(text.substr(at, best - at));
    m_Slots.push_back(slot);
    at = best + std::strlen(kPlaceholders[slot]);
  }
  m_Pieces.push_back(text.substr(at));
  if (m_Slots.size() != 3) throw std::runtime_error("datagram template: placeholders not found in " + text);

  // The pieces must give exactly what the simulator writes for a real frame.
  const std::vector<uint8_t> phy = {0x40, 1, 2, 3, 4, 0, 7, 0, 1, 9, 8, 7, 6, 5};
  test::RxMeta real = SampleMeta();
  real.tmst = static_cast<Json::UInt>(123456789u);
  Json::Value expected(Json::objectValue);
  expected["rxpk"].append(test::GatewaySim::RxpkElement(real, phy));
  std::vector<uint8_t> want = test::GatewaySim::Header(test::kPfVersion, 0x1234, test::PfIdentifier::PushData,
                                                       Plan::GatewayEui(7));
  const std::string json = test::GatewaySim::ToJsonText(expected);
  want.insert(want.end(), json.begin(), json.end());
  std::string got;
  Build(Plan::GatewayEui(7), 0x1234, 123456789u, phy, got);
  if (std::string(want.begin(), want.end()) != got)
    throw std::runtime_error("datagram template does not match the gateway simulator's output");
}

void DatagramBuilder::Build(uint64_t eui, uint16_t token, uint32_t tmst, const std::vector<uint8_t>& phy,
                            std::string& out) const {
  out.clear();
  out += static_cast<char>(test::kPfVersion);
  out += static_cast<char>(token >> 8);
  out += static_cast<char>(token & 0xFF);
  out += static_cast<char>(kPushData);
  for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>((eui >> shift) & 0xFF);
  for (size_t i = 0; i < m_Slots.size(); ++i) {
    out += m_Pieces[i];
    switch (m_Slots[i]) {
      case 0: out += test::Base64Encode(phy); break;
      case 1: out += std::to_string(phy.size()); break;
      default: out += std::to_string(tmst); break;
    }
  }
  out += m_Pieces.back();
}

// ---- LoadPhase ------------------------------------------------------------------

struct LoadPhase::Gateway {
  explicit Gateway(int socket) : owned(socket), fd(socket) {}
  OwnedFd owned;
  int fd;
  uint16_t nextToken = 1;  // owned by the one sender thread of this gateway
  // token -> uplink number + 1 of the latest PUSH_DATA sent with that token
  std::unique_ptr<std::atomic<uint32_t>[]> tokens{new std::atomic<uint32_t>[kTokens]()};
};

LoadPhase::LoadPhase(const Plan& plan, Track& track, const PhaseClock& clock, uint16_t peerPort, int threads,
                     uint64_t uplinks)
    : m_Plan(plan),
      m_Track(track),
      m_Clock(clock),
      m_Uplinks(std::min<uint64_t>(uplinks, track.Size())),
      m_Epoll(epoll_create1(EPOLL_CLOEXEC)) {
  if (m_Uplinks > UINT32_MAX - 1) throw std::invalid_argument("too many uplinks for one phase");
  m_Threads = std::max(1, std::min<int>(threads, static_cast<int>(plan.Gateways())));
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  peer.sin_port = htons(peerPort);
  if (m_Epoll.Get() < 0) throw SystemError("epoll_create1");
  for (uint32_t g = 0; g < plan.Gateways(); ++g) {
    auto gateway = std::make_unique<Gateway>(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (gateway->fd < 0) throw SystemError("socket");
    setsockopt(gateway->fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    setsockopt(gateway->fd, SOL_SOCKET, SO_SNDBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(gateway->fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) throw SystemError("bind");
    // Connected: send() needs no address, and only the peer's datagrams arrive.
    if (connect(gateway->fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) throw SystemError("connect");
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u32 = g;
    if (epoll_ctl(m_Epoll.Get(), EPOLL_CTL_ADD, gateway->fd, &event) != 0) throw SystemError("epoll_ctl");
    m_Gateways.push_back(std::move(gateway));
  }
}

LoadPhase::~LoadPhase() {
  for (auto& sender : m_Senders)
    if (sender.joinable()) sender.join();
  StopReceiver();
}

void LoadPhase::Start(std::chrono::milliseconds lead) {
  m_Start = Clock::now() + lead;
  m_StartSeconds = std::chrono::duration<double>(m_Start - m_Clock.Epoch()).count();
  m_Receiver = std::thread([this] { ReceiveLoop(); });
  for (int t = 0; t < m_Threads; ++t) m_Senders.emplace_back([this, t] { SendLoop(t); });
}

void LoadPhase::WaitForSenders() {
  for (auto& sender : m_Senders)
    if (sender.joinable()) sender.join();
  m_EndSeconds = m_Clock.NowSeconds();
}

void LoadPhase::StopReceiver() {
  m_StopReceiving = true;
  if (m_Receiver.joinable()) m_Receiver.join();
}

void LoadPhase::SendLoop(int thread) {
  // This thread owns the gateways g with g mod threads == thread, and with
  // them the uplinks s with s mod G == g, taken in increasing order.
  std::vector<uint32_t> mine;
  for (uint32_t g = 0; g < m_Plan.Gateways(); ++g)
    if (static_cast<int>(g % static_cast<uint32_t>(m_Threads)) == thread) mine.push_back(g);
  std::string datagram;
  datagram.reserve(512);
  const uint64_t step = m_Plan.Gateways();
  for (uint64_t base = 0; base < m_Uplinks; base += step) {
    for (const uint32_t g : mine) {
      const uint64_t s = base + g;
      if (s >= m_Uplinks) break;
      const auto due = m_Start + m_Plan.DueAfter(s);
      // Open loop: a sender that fell behind sends at once, so the average
      // rate holds whatever the peer does.
      if (Clock::now() < due) std::this_thread::sleep_until(due);
      Gateway& gateway = *m_Gateways[g];
      const uint16_t token = gateway.nextToken++;
      m_Builder.Build(Plan::GatewayEui(g), token, static_cast<uint32_t>(s), m_Plan.Frame(s), datagram);
      gateway.tokens[token].store(static_cast<uint32_t>(s + 1), std::memory_order_release);
      m_Track.sent[s].store(m_Clock.Stamp(), std::memory_order_release);
      for (int attempt = 0;; ++attempt) {
        if (send(gateway.fd, datagram.data(), datagram.size(), 0) == static_cast<ssize_t>(datagram.size())) break;
        if ((errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) && attempt < 100) {
          pollfd p{gateway.fd, POLLOUT, 0};
          poll(&p, 1, 10);
          continue;
        }
        // ECONNREFUSED: nobody listens (yet) on the port; the datagram is gone.
        m_Track.sendErrors.fetch_add(1, std::memory_order_relaxed);
        break;
      }
    }
  }
}

void LoadPhase::ReceiveLoop() {
  constexpr int kBatch = 64;
  constexpr size_t kRoom = 64;  // acks are 4 bytes; anything longer is counted, not read
  std::vector<uint8_t> buffers(kBatch * kRoom);
  mmsghdr messages[kBatch];
  iovec vectors[kBatch];
  epoll_event events[64];
  while (!m_StopReceiving.load()) {
    const int ready = epoll_wait(m_Epoll.Get(), events, 64, 50);
    for (int e = 0; e < ready; ++e) {
      const uint32_t g = events[e].data.u32;
      Gateway& gateway = *m_Gateways[g];
      for (;;) {
        for (int i = 0; i < kBatch; ++i) {
          vectors[i] = {buffers.data() + i * kRoom, kRoom};
          messages[i] = {};
          messages[i].msg_hdr.msg_iov = &vectors[i];
          messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int got = recvmmsg(gateway.fd, messages, kBatch, MSG_DONTWAIT, nullptr);
        if (got <= 0) break;  // EAGAIN, or ECONNREFUSED reported for an earlier send
        const uint32_t stamp = m_Clock.Stamp();
        for (int i = 0; i < got; ++i) {
          const uint8_t* bytes = buffers.data() + i * kRoom;
          const unsigned length = messages[i].msg_len;
          if (length != 4 || bytes[3] != kPushAck) {
            m_Track.otherDatagrams.fetch_add(1, std::memory_order_relaxed);
            continue;
          }
          const uint16_t token = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
          const uint32_t tagged = gateway.tokens[token].load(std::memory_order_acquire);
          if (tagged == 0) {
            m_Track.ackUnmatched.fetch_add(1, std::memory_order_relaxed);
            continue;
          }
          uint32_t none = 0;
          if (!m_Track.ack[tagged - 1].compare_exchange_strong(none, stamp, std::memory_order_acq_rel))
            m_Track.ackDuplicate.fetch_add(1, std::memory_order_relaxed);
        }
      }
    }
  }
}

// ---- PullSide -------------------------------------------------------------------

PullSide::PullSide(const Plan& plan, Track& track, const PhaseClock& clock, uint16_t serverPort)
    : m_Plan(plan), m_Track(track), m_Clock(clock), m_Port(serverPort), m_Errors(plan.Gateways()) {}

PullSide::~PullSide() { Stop(); }

void PullSide::Stop() {
  m_Stop = true;
  for (auto& thread : m_Threads)
    if (thread.joinable()) thread.join();
  m_Threads.clear();
}

bool PullSide::PullAll(int timeoutMs, std::string& error, const std::function<bool()>& serverGone) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (uint32_t g = 0; g < m_Plan.Gateways(); ++g) m_Threads.emplace_back([this, g, deadline] { Run(g, deadline); });
  bool gone = false;
  while (m_Pulled.load() + m_Failed.load() < m_Plan.Gateways()) {
    // A server that died at start would otherwise be waited for until the deadline.
    if (!gone && serverGone && serverGone()) {
      gone = true;
      m_Stop.store(true);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (m_Failed.load() == 0) return true;
  if (gone) {
    error = "it ended before every gateway had its PULL_ACK";
    return false;
  }
  for (uint32_t g = 0; g < m_Plan.Gateways(); ++g) {
    if (!m_Errors[g].empty()) {
      error = "gateway " + std::to_string(g) + ": " + m_Errors[g];
      break;
    }
  }
  return false;
}

void PullSide::Run(uint32_t g, Clock::time_point deadline) {
  bool pulled = false;
  try {
    test::GatewaySim sim(m_Port, Plan::GatewayEui(g));
    while (!pulled && !m_Stop.load() && Clock::now() < deadline) {
      const uint16_t token = sim.SendPullData();
      const auto ack = sim.WaitFor(test::PfIdentifier::PullAck, 200);
      pulled = ack && ack->token == token;
    }
    if (!pulled) {
      m_Errors[g] = "no PULL_ACK for PULL_DATA from EUI " + sim.EuiText();
      m_Failed.fetch_add(1);
      return;
    }
    m_Pulled.fetch_add(1);
    auto keepAlive = Clock::now() + kKeepAlive;
    while (!m_Stop.load()) {
      const auto datagram = sim.WaitForAny(100);
      if (Clock::now() >= keepAlive) {
        sim.SendPullData();
        keepAlive += kKeepAlive;
      }
      if (!datagram || !datagram->Is(test::PfIdentifier::PullResp)) continue;
      const uint32_t stamp = m_Clock.Stamp();
      const auto tmst = datagram->txpk.find("tmst");
      if (tmst == datagram->txpk.end() || !datagram->phyPayload) {
        m_Track.respBad.fetch_add(1);
        continue;
      }
      const uint64_t value = std::strtoull(tmst->second.c_str(), nullptr, 10);
      const uint64_t s = static_cast<uint32_t>(value - Plan::kReplyDelayUs);
      if (s >= m_Track.Size() || m_Track.sent[s].load(std::memory_order_acquire) == 0) {
        m_Track.respUnknown.fetch_add(1);
        continue;
      }
      if (!m_Plan.IsConfirmed(s)) m_Track.respUnconfirmed.fetch_add(1);
      if (m_Plan.GatewayOf(s) != g) m_Track.respWrongGateway.fetch_add(1);
      const auto downlink = m_Plan.Sim(m_Plan.DeviceOf(s)).Open(*datagram->phyPayload);
      if (!downlink) {
        m_Track.respBad.fetch_add(1);
      } else if (!downlink->Ack() && m_Plan.IsConfirmed(s)) {
        m_Track.respNoAck.fetch_add(1);
      }
      uint32_t none = 0;
      if (!m_Track.resp[s].compare_exchange_strong(none, stamp)) m_Track.respDuplicate.fetch_add(1);
    }
  } catch (const std::exception& e) {
    if (!pulled) {
      m_Errors[g] = e.what();
      m_Failed.fetch_add(1);
    } else {
      // PullAll has returned; its error slots are no longer read.
      fprintf(stderr, "quorvex-bench: gateway %u stopped receiving: %s\n", g, e.what());
    }
  }
}

}  // namespace quorvex::bench
