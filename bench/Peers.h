// The other parties of a benchmark run: the minimal UDP echo responder of the
// baseline, the local HTTP application server that counts the posts, the
// quorvex-server child process, and the sampler of its memory and CPU time
// (/proc). Also two readings of the system that explain lost datagrams and
// slow writes: the kernel's UDP receive-buffer drops and the file system type.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "support/ServerProcess.h"

#include "Load.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace quorvex::bench {

// Answers every PUSH_DATA with its 4-byte PUSH_ACK, one datagram at a time
// on one thread, as a network server with no work to do would. Its socket
// keeps the kernel's default receive buffer, as the server's does.
class EchoResponder {
 public:
  EchoResponder();  // throws std::runtime_error when the socket cannot be made
  ~EchoResponder();
  EchoResponder(const EchoResponder&) = delete;
  EchoResponder& operator=(const EchoResponder&) = delete;
  uint16_t Port() const { return m_Port; }
  uint64_t Answered() const { return m_Answered.load(); }

 private:
  void Run();
  int m_Fd = -1;
  uint16_t m_Port = 0;
  std::atomic<bool> m_Stop{false};
  std::atomic<uint64_t> m_Answered{0};
  std::thread m_Thread;
};

// The application server on 127.0.0.1: answers every POST with
// {"result":1} (nothing to send back) and, once attached to a phase, stamps
// the uplink each post names and counts the posts that arrive after a later
// uplink of their device. Posts are read on the library's threads in
// parallel; only the order check is serialised.
class AppServer {
 public:
  // Listens on `port` (0: a free one) and answers each post `delayMs` after
  // it arrived (a slow server; Stop cuts the wait short). Throws
  // std::runtime_error when it cannot listen.
  explicit AppServer(int port, int delayMs = 0);
  ~AppServer();
  AppServer(const AppServer&) = delete;
  AppServer& operator=(const AppServer&) = delete;
  int Port() const { return m_Port; }
  // From now on posts are matched against `plan` and recorded in `track`.
  // Both must outlive the server or a later Stop().
  void Attach(const Plan* plan, Track* track, const PhaseClock* clock);
  void Stop();

 private:
  void OnPost(const httplib::Request& request, httplib::Response& response);
  // Notes that uplink s of `device` was posted now.
  void NoteOrder(Track& track, uint32_t device, uint64_t s);
  // Waits up to the answer delay, or until Stop.
  void Delay();
  std::unique_ptr<httplib::Server> m_Server;
  std::thread m_Thread;
  int m_Port = 0;
  int m_DelayMs = 0;
  std::mutex m_StopMutex;
  std::condition_variable m_StopSignal;
  bool m_Stopping = false;  // guarded by m_StopMutex
  std::mutex m_Mutex;  // guards the attachment
  const Plan* m_Plan = nullptr;
  Track* m_Track = nullptr;
  const PhaseClock* m_Clock = nullptr;
  std::mutex m_OrderMutex;
  // Per device: 1 + the sequence number of its latest post (guarded by
  // m_OrderMutex; cleared at every Attach).
  std::unordered_map<uint32_t, uint64_t> m_LastPosted;
};

// A TCP port on 127.0.0.1 that refuses every connection: bound, never
// listening, so no other program can take it while it is held.
class RefusingPort {
 public:
  RefusingPort();  // throws std::runtime_error when no socket can be bound
  int Port() const { return m_Port; }

 private:
  OwnedFd m_Fd;
  int m_Port = 0;
};

// A child process with its stdout and stderr in files and no descriptor of
// ours; killed (SIGKILL) at destruction if it still runs.
// The server under test runs as a test::ServerProcess (tests/support).
using ChildProcess = test::ServerProcess;

struct ProcessSample {
  double seconds = 0;  // on the phase clock
  long rssKb = 0;      // VmRSS
  long hwmKb = 0;      // VmHWM
  double cpuSeconds = 0;  // user + system time so far
};

// One reading of /proc/PID/status and /proc/PID/stat; nothing when the
// process is gone.
std::optional<ProcessSample> ReadProcess(pid_t pid, const PhaseClock& clock);

// Samples a process every `intervalMs` on its own thread until stopped.
class ProcessSampler {
 public:
  ProcessSampler(pid_t pid, const PhaseClock& clock, int intervalMs);
  ~ProcessSampler();
  ProcessSampler(const ProcessSampler&) = delete;
  ProcessSampler& operator=(const ProcessSampler&) = delete;
  // Takes one more sample now (also after Stop) and returns it.
  std::optional<ProcessSample> SampleNow();
  void Stop();
  std::vector<ProcessSample> Samples();

 private:
  pid_t m_Pid;
  const PhaseClock& m_Clock;
  int m_IntervalMs;
  std::mutex m_Mutex;
  std::vector<ProcessSample> m_Samples;
  std::atomic<bool> m_Stop{false};
  std::thread m_Thread;
};

// The kernel's count of UDP datagrams dropped for a full receive buffer
// (RcvbufErrors in /proc/net/snmp, all sockets of this network namespace);
// nothing when it cannot be read.
std::optional<uint64_t> UdpReceiveBufferDrops();

// The file system type of `path` ("ext4", "tmpfs", ... or the magic number).
std::string FileSystemType(const std::string& path);

// A quorvex-server process whose command line names `port` (or no port,
// for 1700); 0 when none is found.
pid_t FindServerProcess(int port);

}  // namespace quorvex::bench
