// Free loopback ports for tests, so that parallel tests never collide.
#pragma once
#include <cstdint>

namespace quorvex::test {

// A UDP port that was free on 127.0.0.1 and 0.0.0.0 a moment ago (the kernel
// picks it; the socket is closed again before returning).
uint16_t FreeUdpPort();
// The same for a TCP port (an HTTP endpoint's).
uint16_t FreeTcpPort();

}  // namespace quorvex::test
