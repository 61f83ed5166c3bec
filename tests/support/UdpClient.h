// A loopback UDP peer for tests: sends datagrams to a port on 127.0.0.1 and
// receives answers with a deadline, so that a test never hangs.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

namespace quorvex::test {

class UdpClient {
 public:
  UdpClient();  // bound to an ephemeral port on 127.0.0.1
  ~UdpClient();
  UdpClient(const UdpClient&) = delete;
  UdpClient& operator=(const UdpClient&) = delete;

  bool SendTo(uint16_t port, const std::vector<uint8_t>& bytes);
  // The next datagram, or nothing when none arrives within `timeoutMs`.
  std::optional<std::vector<uint8_t>> Receive(int timeoutMs);
  uint16_t LocalPort() const { return m_Port; }
  int Fd() const { return m_Fd; }

 private:
  int m_Fd = -1;
  uint16_t m_Port = 0;
};

}  // namespace quorvex::test
