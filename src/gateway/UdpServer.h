// The gateway socket: one IPv4 UDP socket bound to the gateway port on all
// local addresses, a receive thread that hands every datagram to the
// application under a callback lock (one datagram at a time), and a send
// operation used for every datagram the server emits (acks and downlinks).
#pragma once
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "platform/Thread.h"

namespace quorvex {

// The 16-byte IPv4 socket address: family 2, port and address in network
// byte order, 8 bytes of zero.
using SocketAddress = sockaddr_in;
static_assert(sizeof(SocketAddress) == 16, "IPv4 socket address must be 16 bytes");

// "a.b.c.d" of the four address bytes.
std::string AddressText(const SocketAddress& address);
// An IPv4 address for `dotted` ("127.0.0.1") and `port`; false when the text is no address.
bool MakeAddress(const std::string& dotted, uint16_t port, SocketAddress& out);

// Maps an errno from bind onto the codes the error callback carries
// (the Winsock numbers the operator documentation lists): 0 stays 0,
// EINTR 10004, EADDRINUSE 10048, ENETDOWN 10050, ENETRESET 10052,
// ECONNRESET 10054, ETIMEDOUT 10060, anything else -1.
int MapBindError(int error);

// Largest datagram handed to the application; longer ones are dropped.
constexpr int kMaxDatagram = 1500;

// `arrivalTick` is the tick (GetTickCount64) at which the kernel received
// the datagram, which may be earlier than the callback when datagrams queue.
using DatagramCallback = int (*)(const SocketAddress& from, uint8_t* data, uint32_t length, uint64_t arrivalTick,
                                 void* user);

// A kernel stamp older than this is not believed (the calendar clock was
// set back meanwhile): no datagram waits that long in the buffer.
constexpr uint64_t kMaxArrivalAgeMs = 10000;
// The tick at which a datagram arrived: `stamp` is its kernel receive time
// (calendar clock; null when it has none), read at `nowTick` and `nowReal`.
// Rounded up, so an answer timed from it never leaves early; a stamp from
// the future or older than kMaxArrivalAgeMs counts as now (nowTick + 1).
uint64_t ArrivalTick(uint64_t nowTick, const timespec& nowReal, const timespec* stamp);
using ErrorCallback = void (*)(int code, void* user);
using BurstEndCallback = void (*)(void* user);

// The receive loop hands datagrams over one by one as long as the socket
// holds more; a burst ends when it holds none (the loop is about to wait) or
// after kMaxBurst datagrams in a row, and when the loop ends. The owner
// finishes work it gathered over the burst there (the group commit).
constexpr int kMaxBurst = 64;

struct UdpCallbacks {
  DatagramCallback onDatagram = nullptr;
  ErrorCallback onError = nullptr;
  void* user = nullptr;
  BurstEndCallback onBurstEnd = nullptr;
};

class CUdpSocket {
 public:
  static constexpr int kNoSocket = -1;

  CUdpSocket() = default;
  CUdpSocket(const CUdpSocket&) = delete;
  CUdpSocket& operator=(const CUdpSocket&) = delete;
  virtual ~CUdpSocket();

  // Adopts `socket`; a held socket is closed first when closeOld is true.
  virtual void Attach(int socket, bool closeOld);
  // Creates the UDP socket when none is held; returns the held socket
  // (kNoSocket when creation failed).
  virtual int Create();
  // Closes a held socket. A receive pending on it on another thread returns.
  virtual void Close();

  int Socket() const { return m_Socket.load(); }

 protected:
  // Held shared while the socket is used (receive, send) and exclusively to
  // close it, so that a descriptor number is never used after it was freed
  // and possibly handed to another file.
  mutable std::shared_mutex m_SocketLock;
  std::atomic<int> m_Socket{kNoSocket};
};

class CUdpServer : public CUdpSocket {
 public:
  CUdpServer() = default;
  // Stops a started receive thread, waiting at most 1000 ms for it.
  ~CUdpServer() override;

  // Installs the callbacks, or clears them when `callbacks` is null.
  void SetCallbacks(const UdpCallbacks* callbacks);

  // Sends header then payload as one datagram to `to`; true when the
  // platform sent more than 0 bytes. Callable from any thread.
  bool SendTo(const uint8_t* header, int headerLength, const uint8_t* payload, int payloadLength,
              const SocketAddress& to);

  // Starts the receive thread on `port` unless one is running. The
  // callbacks must be installed first. Returns false when the thread
  // cannot be created or one is still running.
  bool Start(int port);
  // m_Started 0, socket closed, then waits at most `waitMs` for the receive
  // thread. Returns true when the thread has ended.
  bool Stop(uint32_t waitMs = 1000);
  // Waits up to `timeoutMs` for the receive thread to end; true when none runs.
  bool WaitForReceiveThread(uint32_t timeoutMs) const {
    return !m_ReceiveThread || m_ReceiveThread->WaitFor(timeoutMs);
  }
  // True while a receive thread exists that has not ended.
  bool HasReceiveThread() const;
  // The port actually bound (useful when m_Port is 0); 0 until bound.
  int BoundPort() const { return m_BoundPort.load(); }

  std::atomic<int> m_Port{-1};
  std::atomic<int> m_Started{0};

 private:
  int ReceiveLoop();
  // Makes the socket, binds it to m_Port and sets its options; 0 when bound,
  // else the bind's errno (or a negative value when a Stop came first).
  int BindSocket();
  // Hands each datagram to the callbacks until a stop; the socket is bound.
  void ReceiveUntilStopped();
  // Tells the error callback of a failed bind (its errno).
  void ReportBindError(int error);
  // Ends a burst of `inBurst` (> 0) datagrams at the burst-end callback and
  // counts afresh; nothing when none were handed over.
  void EndBurst(int& inBurst);

  std::unique_ptr<CThread> m_ReceiveThread;
  std::recursive_mutex m_CallbackLock;
  UdpCallbacks m_Callbacks;
  std::atomic<int> m_BoundPort{0};
};

}  // namespace quorvex
