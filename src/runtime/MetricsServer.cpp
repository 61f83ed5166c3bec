#include "runtime/MetricsServer.h"

#include <httplib.h>
#include <sys/socket.h>

#include <chrono>

#include "platform/Tick.h"
#include "runtime/Metrics.h"
#include "runtime/QuorvexApp.h"

namespace quorvex {

namespace {

// A scrape and a health check at once are all it serves; more threads would
// only take memory from the radio side.
constexpr std::size_t kServingThreads = 2;
constexpr time_t kReadTimeoutSeconds = 5;
constexpr char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";

// Address reuse lets a restarted server listen while old connections linger;
// port reuse, which the library also sets by default, would let a second
// server bind the same port and take half of the scrapes unnoticed.
void ListenSocketOptions(int socket) {
  const int yes = 1;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace

CMetricsServer::CMetricsServer(CQuorvexApp& app) : m_App(app) {}

CMetricsServer::~CMetricsServer() { Stop(); }

bool CMetricsServer::Start(const std::string& host, int port, std::string& error) {
  if (m_Server) {
    error = "it already serves";
    return false;
  }
  auto server = std::make_unique<httplib::Server>();
  server->new_task_queue = [] { return new httplib::ThreadPool(kServingThreads); };
  server->set_read_timeout(kReadTimeoutSeconds, 0);
  server->set_socket_options(ListenSocketOptions);
  const int bound = port == 0 ? server->bind_to_any_port(host) : (server->bind_to_port(host, port) ? port : -1);
  if (bound <= 0) {
    error = "cannot listen on " + host + " port " + std::to_string(port) + " (in use, or not an address of this host)";
    return false;
  }
  m_Server = std::move(server);
  m_Port = bound;
  Route();
  m_Ended = false;
  m_Thread = std::thread([this, server = m_Server.get()] {
    server->listen_after_bind();
    m_Ended = true;
  });
  return true;
}

void CMetricsServer::Route() {
  m_Server->Get("/health", [this](const httplib::Request&, httplib::Response& response) {
    const HealthReport report = CheckHealth(m_App);
    response.status = report.healthy ? 200 : 503;
    response.set_content(report.healthy ? "ok\n" : report.problems, "text/plain; charset=utf-8");
  });
  m_Server->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
    const MetricsSnapshot snapshot = ReadMetrics(m_App, UnixTimeMs(), GetTickCount64());
    response.set_content(FormatMetrics(snapshot), kMetricsType);
  });
}

void CMetricsServer::Stop() {
  if (!m_Server) return;
  // A stop before the listen loop has begun would be lost, and the loop
  // would then never end.
  while (!m_Server->is_running() && !m_Ended) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  m_Server->stop();
  if (m_Thread.joinable()) m_Thread.join();
  m_Server.reset();
  m_Port = 0;
}

}  // namespace quorvex
