#include "Peers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <httplib.h>
#include <json/json.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/GatewaySim.h"

namespace quorvex::bench {

namespace {

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// "AA-BB-..." of EUI bytes, as the server writes "deveui" in its posts.
std::string DashedHex(const uint8_t* bytes, size_t count) {
  std::string text;
  char pair[4];
  for (size_t i = 0; i < count; ++i) {
    snprintf(pair, sizeof pair, "%02X", bytes[i]);
    if (i != 0) text += '-';
    text += pair;
  }
  return text;
}

}  // namespace

// ---- EchoResponder -----------------------------------------------------------

EchoResponder::EchoResponder() {
  m_Fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (m_Fd < 0) throw SystemError("echo socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  // Blocking reads that give up every 100 ms, so that Stop is noticed.
  timeval timeout{0, 100000};
  setsockopt(m_Fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (bind(m_Fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(m_Fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    const auto error = SystemError("echo bind");
    close(m_Fd);
    throw error;
  }
  m_Port = ntohs(addr.sin_port);
  m_Thread = std::thread([this] { Run(); });
}

EchoResponder::~EchoResponder() {
  m_Stop = true;
  if (m_Thread.joinable()) m_Thread.join();
  close(m_Fd);
}

void EchoResponder::Run() {
  uint8_t buffer[2048];
  while (!m_Stop.load()) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t got = recvfrom(m_Fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 12 || buffer[3] != 0) continue;  // time-out, error, or not a PUSH_DATA
    const uint8_t ack[4] = {buffer[0], buffer[1], buffer[2], 1};
    if (sendto(m_Fd, ack, sizeof ack, 0, reinterpret_cast<sockaddr*>(&from), length) == sizeof ack)
      m_Answered.fetch_add(1, std::memory_order_relaxed);
  }
}

// ---- RefusingPort ---------------------------------------------------------------

RefusingPort::RefusingPort() : m_Fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  if (m_Fd.Get() < 0) throw std::runtime_error(std::string("cannot make a TCP socket: ") + strerror(errno));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(m_Fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(m_Fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error(std::string("cannot bind a TCP port on 127.0.0.1: ") + strerror(errno));
  m_Port = ntohs(address.sin_port);
}

// ---- AppServer ---------------------------------------------------------------

AppServer::AppServer(int port, int delayMs) : m_Server(std::make_unique<httplib::Server>()), m_DelayMs(delayMs) {
  // An application server that answers at once: without TCP_NODELAY the
  // answer's header and body writes wait on the client's delayed ACK (~40 ms).
  m_Server->set_tcp_nodelay(true);
  // Connections are kept for many requests, as an application server
  // behind a proxy keeps them; the library's default closes one after 5.
  m_Server->set_keep_alive_max_count(100000);
  m_Server->Post(R"(/.*)", [this](const httplib::Request& request, httplib::Response& response) {
    // A 12-byte answer is not worth compressing, and the library would
    // compress it (brotli at its slowest setting) for every post, taking
    // most of this tool's time: answer it plain, as application servers do
    // for small bodies. The request object is the server's own, not const.
    const_cast<httplib::Request&>(request).headers.erase("Accept-Encoding");
    OnPost(request, response);
    Delay();  // the post was stamped as it arrived; only the answer waits
  });
  if (port == 0) {
    m_Port = m_Server->bind_to_any_port("127.0.0.1");
    if (m_Port <= 0) throw std::runtime_error("the application server cannot listen on 127.0.0.1");
  } else {
    if (!m_Server->bind_to_port("127.0.0.1", port))
      throw std::runtime_error("the application server cannot listen on 127.0.0.1:" + std::to_string(port));
    m_Port = port;
  }
  m_Thread = std::thread([this] { m_Server->listen_after_bind(); });
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!m_Server->is_running() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

AppServer::~AppServer() { Stop(); }

void AppServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_StopMutex);
    m_Stopping = true;
  }
  m_StopSignal.notify_all();
  if (m_Thread.joinable()) {
    m_Server->stop();
    m_Thread.join();
  }
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_Plan = nullptr;
  m_Track = nullptr;
  m_Clock = nullptr;
}

void AppServer::Attach(const Plan* plan, Track* track, const PhaseClock* clock) {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Plan = plan;
    m_Track = track;
    m_Clock = clock;
  }
  std::lock_guard<std::mutex> lock(m_OrderMutex);
  m_LastPosted.clear();
}

void AppServer::Delay() {
  if (m_DelayMs <= 0) return;
  std::unique_lock<std::mutex> lock(m_StopMutex);
  m_StopSignal.wait_for(lock, std::chrono::milliseconds(m_DelayMs), [this] { return m_Stopping; });
}

void AppServer::OnPost(const httplib::Request& request, httplib::Response& response) {
  response.set_content(R"({"result":1})", "application/json");
  const Plan* plan = nullptr;
  Track* attached = nullptr;
  const PhaseClock* clock = nullptr;
  {
    // Stop() clears these only after the last handler has returned.
    std::lock_guard<std::mutex> lock(m_Mutex);
    plan = m_Plan;
    attached = m_Track;
    clock = m_Clock;
  }
  if (attached == nullptr) return;
  const uint32_t stamp = clock->Stamp();
  Track& track = *attached;
  track.postsTotal.fetch_add(1);

  Json::Value body;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::istringstream in(request.body);
  if (!Json::parseFromStream(builder, in, &body, &errors) || !body.isObject() || !body["data"].isString()) {
    track.postBad.fetch_add(1);
    return;
  }
  const auto payload = test::Base64Decode(body["data"].asString());
  uint64_t s = 0;
  if (!payload || !Plan::SeqOfPayload(*payload, s) || s >= track.Size() ||
      track.sent[s].load(std::memory_order_acquire) == 0) {
    track.postUnknown.fetch_add(1);
    return;
  }
  const BenchDevice& device = plan->Device(plan->DeviceOf(s));
  const bool agrees = body["fcnt"].isIntegral() && body["fcnt"].asInt64() == plan->CounterOf(s) &&
                      body["port"].isIntegral() && body["port"].asInt() == Plan::kFPort &&
                      body["deveui"].isString() &&
                      body["deveui"].asString() == DashedHex(device.devEui, sizeof device.devEui);
  if (!agrees) track.postBad.fetch_add(1);
  uint32_t none = 0;
  if (!track.post[s].compare_exchange_strong(none, stamp)) track.postDuplicate.fetch_add(1);
  NoteOrder(track, plan->DeviceOf(s), s);
}

void AppServer::NoteOrder(Track& track, uint32_t device, uint64_t s) {
  std::lock_guard<std::mutex> lock(m_OrderMutex);
  uint64_t& latest = m_LastPosted[device];
  if (s + 1 < latest) {
    track.postOutOfOrder.fetch_add(1);
  } else {
    latest = s + 1;
  }
}

// ---- Process sampling ----------------------------------------------------------

std::optional<ProcessSample> ReadProcess(pid_t pid, const PhaseClock& clock) {
  ProcessSample sample;
  sample.seconds = clock.NowSeconds();
  const std::string base = "/proc/" + std::to_string(pid);
  std::istringstream status(ReadWhole(base + "/status"));
  std::string line;
  bool rss = false;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      sample.rssKb = std::strtol(line.c_str() + 6, nullptr, 10);
      rss = true;
    } else if (line.rfind("VmHWM:", 0) == 0) {
      sample.hwmKb = std::strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  if (!rss) return std::nullopt;  // gone, or a zombie
  // utime and stime are fields 14 and 15; the command name (field 2) may
  // hold spaces, so count from its closing parenthesis.
  const std::string stat = ReadWhole(base + "/stat");
  const size_t close = stat.rfind(')');
  if (close != std::string::npos) {
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    double ticks = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index)
      if (index == 14 || index == 15) ticks += std::strtod(field.c_str(), nullptr);
    sample.cpuSeconds = ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return sample;
}

ProcessSampler::ProcessSampler(pid_t pid, const PhaseClock& clock, int intervalMs)
    : m_Pid(pid), m_Clock(clock), m_IntervalMs(intervalMs) {
  m_Thread = std::thread([this] {
    auto next = Clock::now();
    while (!m_Stop.load()) {
      SampleNow();
      next += std::chrono::milliseconds(m_IntervalMs);
      while (!m_Stop.load() && Clock::now() < next) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
}

ProcessSampler::~ProcessSampler() { Stop(); }

std::optional<ProcessSample> ProcessSampler::SampleNow() {
  auto sample = ReadProcess(m_Pid, m_Clock);
  if (sample) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Samples.push_back(*sample);
  }
  return sample;
}

void ProcessSampler::Stop() {
  m_Stop = true;
  if (m_Thread.joinable()) m_Thread.join();
}

std::vector<ProcessSample> ProcessSampler::Samples() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Samples;
}

// ---- System readings ----------------------------------------------------------

std::optional<uint64_t> UdpReceiveBufferDrops() {
  std::istringstream snmp(ReadWhole("/proc/net/snmp"));
  std::string line, names;
  while (std::getline(snmp, line)) {
    if (line.rfind("Udp:", 0) != 0) continue;
    if (names.empty()) {
      names = line;
      continue;
    }
    std::istringstream n(names), v(line);
    std::string name, value;
    while (n >> name && v >> value)
      if (name == "RcvbufErrors") return std::strtoull(value.c_str(), nullptr, 10);
    return std::nullopt;
  }
  return std::nullopt;
}

std::string FileSystemType(const std::string& path) {
  struct statfs info {};
  if (statfs(path.c_str(), &info) != 0) return "unknown";
  switch (static_cast<unsigned long>(info.f_type)) {
    case 0xEF53: return "ext2/3/4";
    case 0x01021994: return "tmpfs";
    case 0x9123683E: return "btrfs";
    case 0x58465342: return "xfs";
    case 0x794C7630: return "overlayfs";
    case 0x6969: return "nfs";
    case 0x2FC12FC1: return "zfs";
    case 0x65735546: return "fuse";
    default: {
      char text[32];
      snprintf(text, sizeof text, "0x%lX", static_cast<unsigned long>(info.f_type));
      return text;
    }
  }
}

pid_t FindServerProcess(int port) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  pid_t found = 0;
  while (dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
    if (pid <= 0) continue;
    const std::string cmdline = ReadWhole("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> args;
    for (size_t at = 0; at < cmdline.size();) {
      const size_t end = cmdline.find('\0', at);
      args.push_back(cmdline.substr(at, end == std::string::npos ? std::string::npos : end - at));
      if (end == std::string::npos) break;
      at = end + 1;
    }
    if (args.empty()) continue;
    const size_t slash = args[0].rfind('/');
    if (args[0].substr(slash == std::string::npos ? 0 : slash + 1) != "quorvex-server") continue;
    int listening = 1700;
    for (size_t i = 0; i + 1 < args.size(); ++i)
      if (args[i] == "--port") listening = std::atoi(args[i + 1].c_str());
    if (listening == port) {
      found = pid;
      break;
    }
  }
  closedir(proc);
  return found;
}

}  // namespace quorvex::bench
