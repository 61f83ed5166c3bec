// CGateway: a packet-forwarder gateway. The first four fields are its GATETBL
// row; the rest is run-time state: where it can be reached (pull address for
// downlinks, push address for PUSH_ACKs) and whether it has been heard pulling.
#pragma once
#include <cstdint>

#include "gateway/UdpServer.h"

namespace quorvex {

class CGateway {
 public:
  virtual ~CGateway() = default;

  int32_t PKEY = 0;
  int32_t ACTIVE = 0;
  char ID[51] = {};  // EUI as 16 upper-case hex digits
  char IP[53] = {};  // dotted-decimal address of the latest datagram

  int32_t m_PullSeen = 0;       // a PULL_DATA was seen since the record was made
  int32_t m_Connected = 0;      // a PULL_DATA was acknowledged in this server run
  uint64_t m_LastPullTick = 0;  // tick of the latest acknowledged PULL_DATA
  int32_t m_IsNew = 0;          // registered by the latest datagram
  SocketAddress m_PullAddr{};
  SocketAddress m_PushAddr{};
};

}  // namespace quorvex
