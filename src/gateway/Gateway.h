// CGateway: a packet-forwarder gateway, its stored identity and its run-time
// connection state (pull and push addresses, last PULL_DATA).
#pragma once
#include <cstdint>

#include "gateway/UdpServer.h"

namespace quorvex {

class CGateway {
 public:
  virtual ~CGateway() = default;

  int32_t PKEY = -1;
  int32_t ACTIVE = 0;
  uint8_t ID[8] = {};
  // Run-time state, not stored.
  int32_t m_Connected = 0;
  uint32_t m_LastPull = 0;
  SocketAddress m_PullAddr{};
  SocketAddress m_PushAddr{};
};

}  // namespace quorvex
