#include "gateway/UdpServer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/Tick.h"

namespace quorvex {

namespace {
// The receive loop re-checks the started flag at least this often, so a
// stop always ends it even if it raced with the socket's creation.
constexpr int kReceivePollMs = 250;
// At process end the server waits longer than a Stop does: the thread must
// not outlive the object it reads.
constexpr uint32_t kDestructorWaitMs = 5000;
// Asked-for receive buffer of the gateway socket.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
// BindSocket's answer when a Stop closed the socket before it was bound
// (no errno is negative).
constexpr int kStoppedBeforeBind = -1;

// The arrival tick of a datagram just read with `msg` (its kernel stamp, if
// it carries one).
uint64_t ArrivalTickOf(msghdr& msg) {
  timespec stamp{};
  bool stamped = false;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);  // control data need not be aligned for it
    stamped = true;
  }
  timespec nowReal{};
  clock_gettime(CLOCK_REALTIME, &nowReal);
  return ArrivalTick(GetTickCount64(), nowReal, stamped ? &stamp : nullptr);
}

void SetReceiveOptions(int s) {
  // Room for bursts: many gateways may push at the same moment, and the
  // kernel drops what does not fit while a datagram is being handled. The
  // kernel caps the size at its own limit (net.core.rmem_max).
  const int receiveBuffer = kReceiveBufferBytes;
  (void)::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  // The kernel stamps each datagram as it arrives: under load it may wait
  // in the buffer, and its receive windows count from its arrival.
  const int stamp = 1;
  (void)::setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &stamp, sizeof stamp);
}
}  // namespace

uint64_t ArrivalTick(uint64_t nowTick, const timespec& nowReal, const timespec* stamp) {
  if (stamp == nullptr) return nowTick + 1;
  const int64_t ageNs = (static_cast<int64_t>(nowReal.tv_sec) - stamp->tv_sec) * 1000000000 +
                        (static_cast<int64_t>(nowReal.tv_nsec) - stamp->tv_nsec);
  if (ageNs < 0 || ageNs > static_cast<int64_t>(kMaxArrivalAgeMs) * 1000000) return nowTick + 1;
  // Whole milliseconds of age, so the result is rounded up, never early.
  const uint64_t ageMs = static_cast<uint64_t>(ageNs / 1000000);
  return nowTick + 1 - std::min(ageMs, nowTick);
}

std::string AddressText(const SocketAddress& address) {
  const auto* b = reinterpret_cast<const uint8_t*>(&address.sin_addr.s_addr);
  char text[16];
  snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  return text;
}

bool MakeAddress(const std::string& dotted, uint16_t port, SocketAddress& out) {
  out = SocketAddress{};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  return inet_pton(AF_INET, dotted.c_str(), &out.sin_addr) == 1;
}

int MapBindError(int error) {
  switch (error) {
    case 0: return 0;
    case EINTR: return 10004;
    case EADDRINUSE: return 10048;
    case ENETDOWN: return 10050;
    case ENETRESET: return 10052;
    case ECONNRESET: return 10054;
    case ETIMEDOUT: return 10060;
    default: return -1;
  }
}

// ---------------------------------------------------------------- CUdpSocket

CUdpSocket::~CUdpSocket() { CUdpSocket::Close(); }

void CUdpSocket::Attach(int socket, bool closeOld) {
  std::unique_lock<std::shared_mutex> lock(m_SocketLock);
  const int old = m_Socket.exchange(socket);
  if (old != kNoSocket && closeOld && old != socket) ::close(old);
}

int CUdpSocket::Create() {
  std::unique_lock<std::shared_mutex> lock(m_SocketLock);
  if (m_Socket.load() == kNoSocket) m_Socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  return m_Socket.load();
}

void CUdpSocket::Close() {
  {
    // Wake a receive pending on the socket; under the shared lock nobody can
    // close (and reuse) the descriptor meanwhile.
    std::shared_lock<std::shared_mutex> lock(m_SocketLock);
    const int s = m_Socket.load();
    if (s != kNoSocket) ::shutdown(s, SHUT_RDWR);
  }
  std::unique_lock<std::shared_mutex> lock(m_SocketLock);
  const int s = m_Socket.exchange(kNoSocket);
  if (s != kNoSocket) ::close(s);
}

// ---------------------------------------------------------------- CUdpServer

CUdpServer::~CUdpServer() {
  if (m_Started.load() == 1) Stop();
  if (m_ReceiveThread) m_ReceiveThread->WaitFor(kDestructorWaitMs);
  Close();
}

void CUdpServer::SetCallbacks(const UdpCallbacks* callbacks) {
  std::lock_guard<std::recursive_mutex> lock(m_CallbackLock);
  m_Callbacks = callbacks ? *callbacks : UdpCallbacks{};
}

bool CUdpServer::SendTo(const uint8_t* header, int headerLength, const uint8_t* payload, int payloadLength,
                        const SocketAddress& to) {
  if (headerLength < 0 || payloadLength < 0) return false;
  iovec parts[2] = {{const_cast<uint8_t*>(header), static_cast<size_t>(header ? headerLength : 0)},
                    {const_cast<uint8_t*>(payload), static_cast<size_t>(payload ? payloadLength : 0)}};
  msghdr msg{};
  msg.msg_name = const_cast<SocketAddress*>(&to);
  msg.msg_namelen = sizeof(SocketAddress);
  msg.msg_iov = parts;
  msg.msg_iovlen = 2;
  std::shared_lock<std::shared_mutex> lock(m_SocketLock);
  const int s = m_Socket.load();
  if (s == kNoSocket) return false;
  return ::sendmsg(s, &msg, MSG_NOSIGNAL) > 0;
}

bool CUdpServer::HasReceiveThread() const { return m_ReceiveThread && !m_ReceiveThread->HasEnded(); }

bool CUdpServer::Start(int port) {
  if (HasReceiveThread()) return false;
  m_ReceiveThread.reset();  // an ended thread: joined here
  m_Started = 1;
  m_Port = port;
  m_BoundPort = 0;
  m_ReceiveThread = CThread::Create([this] { return ReceiveLoop(); });
  if (!m_ReceiveThread) {
    m_Started = 0;
    return false;
  }
  return true;
}

bool CUdpServer::Stop(uint32_t waitMs) {
  m_Started = 0;
  Close();
  if (!m_ReceiveThread) return true;
  if (m_ReceiveThread->IsCurrent()) return false;
  return m_ReceiveThread->WaitFor(waitMs);
}

int CUdpServer::BindSocket() {
  SocketAddress local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(m_Port.load()));
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  Create();
  // Under the shared lock: a Stop racing with the start must not close the
  // descriptor (and let another file take its number) while it is bound.
  std::shared_lock<std::shared_mutex> lock(m_SocketLock);
  const int s = m_Socket.load();
  if (s == kNoSocket) return m_Started.load() == 1 ? EBADF : kStoppedBeforeBind;
  if (::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return errno;
  SocketAddress actual{};
  socklen_t actualLength = sizeof actual;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&actual), &actualLength) == 0)
    m_BoundPort = ntohs(actual.sin_port);
  SetReceiveOptions(s);
  return 0;
}

int CUdpServer::ReceiveLoop() {
  NameThisThread("qv-receive");
  const int error = BindSocket();
  if (error == 0) {
    ReceiveUntilStopped();
  } else if (error != kStoppedBeforeBind) {  // a stop before the bind is nobody's error
    ReportBindError(error);
  }
  Close();
  return 0;
}

void CUdpServer::ReportBindError(int error) {
  const int code = MapBindError(error);
  std::lock_guard<std::recursive_mutex> lock(m_CallbackLock);
  if (m_Callbacks.onError) m_Callbacks.onError(code, m_Callbacks.user);
}

void CUdpServer::EndBurst(int& inBurst) {
  if (inBurst == 0) return;
  inBurst = 0;
  std::lock_guard<std::recursive_mutex> lock(m_CallbackLock);
  if (m_Callbacks.onBurstEnd) m_Callbacks.onBurstEnd(m_Callbacks.user);
}

void CUdpServer::ReceiveUntilStopped() {
  // One byte more than the largest datagram: the protocol layer writes a
  // terminating zero right after the received bytes.
  uint8_t buffer[kMaxDatagram + 1];
  int inBurst = 0;
  while (m_Started.load() == 1) {
    SocketAddress from{};
    ssize_t length = -1;
    bool truncated = false;
    bool wait = false;
    uint64_t arrivalTick = 0;
    {
      std::shared_lock<std::shared_mutex> lock(m_SocketLock);
      const int fd = m_Socket.load();
      if (fd == kNoSocket) break;
      // Read first and wait only when nothing is queued: under load a
      // datagram costs one system call, not two.
      iovec part{buffer, kMaxDatagram};
      msghdr msg{};
      msg.msg_name = &from;
      msg.msg_namelen = sizeof from;
      msg.msg_iov = &part;
      msg.msg_iovlen = 1;
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      length = ::recvmsg(fd, &msg, MSG_DONTWAIT);
      // A datagram longer than the buffer is not delivered in part.
      truncated = (msg.msg_flags & MSG_TRUNC) != 0;
      wait = length < 0;  // nothing queued (or an error the wait reports)
      if (length > 0) arrivalTick = ArrivalTickOf(msg);
    }
    if (length > 0 && !truncated) {
      buffer[length] = 0;
      std::lock_guard<std::recursive_mutex> lock(m_CallbackLock);
      if (m_Callbacks.onDatagram)
        m_Callbacks.onDatagram(from, buffer, static_cast<uint32_t>(length), arrivalTick, m_Callbacks.user);
      if (++inBurst >= kMaxBurst) EndBurst(inBurst);
    }
    if (wait) {
      EndBurst(inBurst);
      std::shared_lock<std::shared_mutex> lock(m_SocketLock);
      const int fd = m_Socket.load();
      if (fd == kNoSocket) break;
      pollfd pfd{fd, POLLIN, 0};
      (void)::poll(&pfd, 1, kReceivePollMs);
    }
    if (m_Socket.load() == kNoSocket) break;
  }
  EndBurst(inBurst);
}

}  // namespace quorvex
