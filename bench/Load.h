// The load itself: which device sends which uplink through which gateway and
// when (Plan), what happened to every uplink (Track), the packet-forwarder
// datagrams (DatagramBuilder), the sender threads with their PUSH_ACK
// receiver (LoadPhase), and the pull side of the gateways that collects the
// PULL_RESP downlinks (PullSide).
//
// Uplink number s (0, 1, 2, ...) is sent at s / rate seconds after the start,
// whether or not earlier ones were answered (open loop). It belongs to device
// s mod N, whose counters therefore rise by one per uplink and who sends once
// every N / rate seconds, and goes through gateway s mod G. Its "tmst" is s,
// so the PULL_RESP that answers it (tmst + 1 000 000 us) names it; its
// application payload carries s too, so the post that forwards it names it.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/DeviceSim.h"

namespace quorvex::bench {

using Clock = std::chrono::steady_clock;

// Owns one file descriptor (-1: none) and closes it.
class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : m_Fd(fd) {}
  ~OwnedFd();
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  int Get() const { return m_Fd; }

 private:
  int m_Fd = -1;
};

// Time stamps of a phase: microseconds since the phase's epoch plus one, so
// that 0 means "never". 32 bits cover 71 minutes.
class PhaseClock {
 public:
  PhaseClock() : m_Epoch(Clock::now()) {}
  Clock::time_point Epoch() const { return m_Epoch; }
  uint32_t Stamp() const {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - m_Epoch).count();
    return static_cast<uint32_t>(us + 1);
  }
  // Milliseconds since the epoch of a non-zero stamp.
  static double Ms(uint32_t stamp) { return (static_cast<double>(stamp) - 1) / 1000.0; }
  double NowSeconds() const { return std::chrono::duration<double>(Clock::now() - m_Epoch).count(); }

 private:
  Clock::time_point m_Epoch;
};

// A device of the benchmark application as stored in the database.
struct BenchDevice {
  int32_t pkey = 0;
  uint32_t devAddr = 0;
  test::Key nwkSKey{}, appSKey{};
  uint8_t devEui[8] = {};
  int32_t rxSeqAtStart = -1;  // RXSEQ before the run (-1: none yet)
  bool other = false;         // belongs to the second application
};

class Plan {
 public:
  static constexpr uint8_t kFPort = 1;
  static constexpr uint32_t kReplyDelayUs = 1000000;  // a class A reply's tmst is the uplink's plus this

  // `uplinks` is the number of uplinks of the server phase; shorter phases
  // (the baseline) use a prefix of the same sequence.
  Plan(std::vector<BenchDevice> devices, uint32_t gateways, double rate, uint64_t uplinks, double confirmed);

  uint64_t Uplinks() const { return m_Uplinks; }
  uint32_t Devices() const { return static_cast<uint32_t>(m_Devices.size()); }
  uint32_t Gateways() const { return m_Gateways; }
  double Rate() const { return m_Rate; }
  const BenchDevice& Device(uint32_t index) const { return m_Devices[index]; }
  const test::DeviceSim& Sim(uint32_t index) const { return m_Sims[index]; }

  uint32_t DeviceOf(uint64_t s) const { return static_cast<uint32_t>(s % m_Devices.size()); }
  uint32_t GatewayOf(uint64_t s) const { return static_cast<uint32_t>(s % m_Gateways); }
  // The frame counter of uplink s: the device's next after RXSEQ, plus one per turn.
  uint32_t CounterOf(uint64_t s) const;
  // Exactly round(fraction * n) of the first n uplinks are confirmed, spread evenly.
  bool IsConfirmed(uint64_t s) const;
  // When uplink s is due, after the phase's start.
  std::chrono::nanoseconds DueAfter(uint64_t s) const;
  // Gateway EUI of gateway g.
  static uint64_t GatewayEui(uint32_t g) { return 0xB3EC0000BE000000ull | g; }
  // The application payload of uplink s: "QB" and s, 8 bytes.
  static std::vector<uint8_t> Payload(uint64_t s);
  // s from a payload made by Payload; false for any other bytes.
  static bool SeqOfPayload(const std::vector<uint8_t>& payload, uint64_t& s);
  // The PHY payload of uplink s with a real MIC.
  std::vector<uint8_t> Frame(uint64_t s) const;

 private:
  std::vector<BenchDevice> m_Devices;
  // DeviceSim::Uplink is not declared const but changes nothing for an ABP
  // device, so sender threads may build frames of the same device at once.
  mutable std::vector<test::DeviceSim> m_Sims;
  uint32_t m_Gateways;
  double m_Rate;
  uint64_t m_Uplinks;
  double m_Confirmed;
};

// What happened to each uplink of a phase: stamps (PhaseClock) of its
// sending, its PUSH_ACK, its PULL_RESP and its post; 0 for never. Written by
// the threads that saw the event, read after they have stopped.
struct Track {
  explicit Track(uint64_t uplinks)
      : sent(uplinks), ack(uplinks), resp(uplinks), post(uplinks) {}
  uint64_t Size() const { return sent.size(); }

  std::vector<std::atomic<uint32_t>> sent, ack, resp, post;

  std::atomic<uint64_t> sendErrors{0};
  std::atomic<uint64_t> ackUnmatched{0}, ackDuplicate{0}, otherDatagrams{0};
  // PULL_RESP that name no uplink sent / repeat one / answer an unconfirmed
  // uplink / arrive through another gateway than the uplink's / do not open
  // (MIC or shape) / open without the ACK bit.
  std::atomic<uint64_t> respUnknown{0}, respDuplicate{0}, respUnconfirmed{0}, respWrongGateway{0}, respBad{0},
      respNoAck{0};
  // Posts that name no uplink sent / repeat one / cannot be read or disagree
  // with the uplink (counter, device).
  std::atomic<uint64_t> postUnknown{0}, postDuplicate{0}, postBad{0}, postsTotal{0};
  // Posts that arrived after a later uplink of the same device had been
  // posted: the application would see that device's uplinks out of order.
  std::atomic<uint64_t> postOutOfOrder{0};
};

// Packet-forwarder PUSH_DATA datagrams with one "rxpk" element, text for text
// what the gateway simulator writes, assembled from pieces so that the load
// does not pay for a JSON writer per datagram.
class DatagramBuilder {
 public:
  // Derives the pieces from the simulator's writer and checks them against
  // it; throws std::runtime_error when they do not reproduce its output.
  DatagramBuilder();
  // Header (version 2, token, PUSH_DATA, EUI) and JSON of `phy` with `tmst`.
  void Build(uint64_t eui, uint16_t token, uint32_t tmst, const std::vector<uint8_t>& phy, std::string& out) const;

 private:
  // The JSON text between the placeholders, and which placeholder follows each.
  std::vector<std::string> m_Pieces;
  std::vector<int> m_Slots;  // 0 data, 1 size, 2 tmst
};

// One load run against a UDP peer (the server or the echo responder): a
// non-blocking push socket per gateway, sender threads pacing the plan open
// loop, and one epoll thread matching PUSH_ACK tokens to uplinks.
class LoadPhase {
 public:
  // Sockets are made here; throws std::runtime_error when they cannot be.
  LoadPhase(const Plan& plan, Track& track, const PhaseClock& clock, uint16_t peerPort, int threads,
            uint64_t uplinks);
  ~LoadPhase();
  LoadPhase(const LoadPhase&) = delete;
  LoadPhase& operator=(const LoadPhase&) = delete;

  // Starts the receiver and the senders; uplink 0 is due `lead` from now.
  void Start(std::chrono::milliseconds lead);
  // Waits until every sender has sent its last uplink.
  void WaitForSenders();
  // Stops the PUSH_ACK receiver (after the caller waited for late acks).
  void StopReceiver();
  // When the first uplink was due, in the phase clock's seconds.
  double StartSeconds() const { return m_StartSeconds; }
  // When the last sender finished, in the phase clock's seconds.
  double EndSeconds() const { return m_EndSeconds; }
  int Threads() const { return m_Threads; }

 private:
  struct Gateway;
  void SendLoop(int thread);
  void ReceiveLoop();

  const Plan& m_Plan;
  Track& m_Track;
  const PhaseClock& m_Clock;
  const uint64_t m_Uplinks;
  int m_Threads;
  std::vector<std::unique_ptr<Gateway>> m_Gateways;
  DatagramBuilder m_Builder;
  OwnedFd m_Epoll;
  Clock::time_point m_Start;
  double m_StartSeconds = 0, m_EndSeconds = 0;
  std::atomic<bool> m_StopReceiving{false};
  std::vector<std::thread> m_Senders;
  std::thread m_Receiver;
};

// The pull side of the gateways: one thread per gateway with a gateway
// simulator that sends PULL_DATA (at the start, then every 10 s as a
// keep-alive) from its own socket, and stamps every PULL_RESP it receives
// against the uplink it answers. Real packet forwarders also pull from a
// socket of their own, so the server has to answer on the pull address.
class PullSide {
 public:
  PullSide(const Plan& plan, Track& track, const PhaseClock& clock, uint16_t serverPort);
  ~PullSide();
  PullSide(const PullSide&) = delete;
  PullSide& operator=(const PullSide&) = delete;

  // Starts the gateways and waits until each has had its PULL_ACK; false
  // (with `error`) when one did not within `timeoutMs` or could not start,
  // or as soon as `serverGone` (when given) says there is nobody left to
  // answer.
  bool PullAll(int timeoutMs, std::string& error, const std::function<bool()>& serverGone = {});
  void Stop();

 private:
  void Run(uint32_t g, Clock::time_point deadline);

  const Plan& m_Plan;
  Track& m_Track;
  const PhaseClock& m_Clock;
  uint16_t m_Port;
  std::atomic<bool> m_Stop{false};
  std::atomic<uint32_t> m_Pulled{0}, m_Failed{0};
  std::vector<std::thread> m_Threads;
  std::vector<std::string> m_Errors;  // one slot per gateway thread
};

}  // namespace quorvex::bench
