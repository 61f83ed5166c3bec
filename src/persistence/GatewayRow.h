// CGatewayRow: the stored part of a gateway, one GATETBL row (the field names
// are its columns). The gateway registry's record adds the run-time state.
#pragma once
#include <cstdint>

namespace quorvex {

struct CGatewayRow {
  // Row key; 0 until the row has been inserted.
  int32_t PKEY = 0;
  // 1 the server answers the gateway, 0 it registers it but ignores it.
  int32_t ACTIVE = 0;
  // Gateway EUI as upper-case hex text (at most 50 characters).
  char ID[51] = {};
  // Dotted IPv4 address of the gateway's latest datagram.
  char IP[53] = {};
};

}  // namespace quorvex
