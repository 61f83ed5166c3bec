// What the server counts while it runs, for the operator's metrics endpoint:
// frames taken and refused, joins, duplicates and downlinks. Every counter
// only grows from the server's creation on, so a scraper sees rates; any
// thread adds to them without a lock.
#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace quorvex {

// Why a radio frame (or the datagram carrying it) was not taken.
enum class Refusal : uint8_t {
  kGatewayInactive,     // the gateway is switched off (or unknown with Auto Reg off)
  kGatewayNotPulling,   // the gateway pushed before its first PULL_DATA
  kBadPacket,           // rxpk missing, size or data wrong, no frequency or RSSI
  kNotUplink,           // a downlink message type heard by a gateway
  kFrameError,          // too short, or a field out of range
  kUnknownDevice,       // no device with the DevAddr or DevEUI
  kUnknownApplication,  // no application for the AppEUI or the device
  kCounterBehind,       // a frame counter below the stored one
  kCounterTooFar,       // a frame counter too far ahead of the stored one
  kMic,                 // the message integrity code does not match
  kAbpJoin,             // a join request for an ABP application
  kDevNonceReplay,      // a join request with a DevNonce used before
  kDatabase,            // the database could not be read to decide
  kCount                // not a reason: how many there are
};
inline constexpr std::size_t kRefusalCount = static_cast<std::size_t>(Refusal::kCount);

// The label value of a reason in the metrics text ("mic", "counter_behind").
const char* RefusalLabel(Refusal reason);

// Where a downlink that was due was not sent.
enum class DownlinkFailure : uint8_t {
  kServer,   // the server could not build it or store its state, or a class C request failed
  kGateway,  // the gateway reported an error in its TX_ACK
  kCount
};
inline constexpr std::size_t kDownlinkFailureCount = static_cast<std::size_t>(DownlinkFailure::kCount);

const char* DownlinkFailureLabel(DownlinkFailure where);

class CServerMetrics {
 public:
  // Data uplinks verified with a new frame counter.
  std::atomic<uint64_t> m_Uplinks{0};
  // Join requests answered with a new session.
  std::atomic<uint64_t> m_Joins{0};
  // Data uplinks and join requests whose MIC did not match (also counted
  // among the refusals as kMic).
  std::atomic<uint64_t> m_MicFailures{0};
  // Copies of a frame already taken: the same uplink through another
  // gateway, or sent again by the device.
  std::atomic<uint64_t> m_Duplicates{0};
  // Radio frames acknowledged but dropped because the frame queue was full.
  std::atomic<uint64_t> m_FramesDropped{0};
  // PULL_RESP datagrams sent to gateways.
  std::atomic<uint64_t> m_DownlinksSent{0};

  void Refuse(Refusal reason) { ++m_Refused[Index(reason)]; }
  // A MIC that did not match: a failure and a refusal.
  void FailMic() {
    ++m_MicFailures;
    Refuse(Refusal::kMic);
  }
  uint64_t Refused(Refusal reason) const { return m_Refused[Index(reason)].load(); }
  void FailDownlink(DownlinkFailure where) { ++m_DownlinksFailed[static_cast<std::size_t>(where)]; }
  uint64_t DownlinksFailed(DownlinkFailure where) const {
    return m_DownlinksFailed[static_cast<std::size_t>(where)].load();
  }

 private:
  static std::size_t Index(Refusal reason) { return static_cast<std::size_t>(reason); }

  std::array<std::atomic<uint64_t>, kRefusalCount> m_Refused{};
  std::array<std::atomic<uint64_t>, kDownlinkFailureCount> m_DownlinksFailed{};
};

}  // namespace quorvex
