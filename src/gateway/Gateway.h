// CGateway: a packet-forwarder gateway. Its GATETBL row (PKEY, ACTIVE, ID, IP)
// comes first; the rest is run-time state: where it can be reached (pull
// address for downlinks, push address for PUSH_ACKs) and whether it has
// been heard pulling in this run.
#pragma once
#include <cstdint>

#include "gateway/UdpServer.h"
#include "persistence/GatewayRow.h"

namespace quorvex {

class CGateway : public CGatewayRow {
 public:
  virtual ~CGateway() = default;

  int32_t m_PullSeen = 0;       // a PULL_DATA was seen since the record was made
  int32_t m_Connected = 0;      // a PULL_DATA was acknowledged in this server run
  uint64_t m_LastPullTick = 0;  // tick of the latest acknowledged PULL_DATA
  int32_t m_IsNew = 0;          // registered by the latest datagram
  SocketAddress m_PullAddr{};
  SocketAddress m_PushAddr{};
};

}  // namespace quorvex
