#include "support/UdpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace quorvex::test {

UdpClient::UdpClient() {
  m_Fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (m_Fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(m_Fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("bind failed");
  socklen_t len = sizeof addr;
  getsockname(m_Fd, reinterpret_cast<sockaddr*>(&addr), &len);
  m_Port = ntohs(addr.sin_port);
}

UdpClient::~UdpClient() {
  if (m_Fd >= 0) close(m_Fd);
}

bool UdpClient::SendTo(uint16_t port, const std::vector<uint8_t>& bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  return sendto(m_Fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(bytes.size());
}

std::optional<std::vector<uint8_t>> UdpClient::Receive(int timeoutMs) {
  pollfd pfd{m_Fd, POLLIN, 0};
  if (poll(&pfd, 1, timeoutMs) <= 0) return std::nullopt;
  std::vector<uint8_t> buffer(65536);
  const ssize_t n = recv(m_Fd, buffer.data(), buffer.size(), 0);
  if (n < 0) return std::nullopt;
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

}  // namespace quorvex::test
