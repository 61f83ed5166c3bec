// The operator's HTTP endpoint of a running server: GET /health answers 200
// "ok" while the gateway socket is open and the database can be written,
// 503 with the problems otherwise; GET /metrics answers the counters in the
// Prometheus text format. It runs on threads of its own and reads the
// managers only through their locks, so a scraper never holds up a frame.
#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace quorvex {

class CQuorvexApp;

class CMetricsServer {
 public:
  // `app` must outlive this server.
  explicit CMetricsServer(CQuorvexApp& app);
  // Stops serving and waits for the serving thread.
  ~CMetricsServer();
  CMetricsServer(const CMetricsServer&) = delete;
  CMetricsServer& operator=(const CMetricsServer&) = delete;

  // Listens on `host` (a numeric address or a name) and `port` (0: any free
  // port) and serves until Stop. False, with the reason in `error`, when the
  // address cannot be bound or it already serves.
  bool Start(const std::string& host, int port, std::string& error);
  // The port it listens on; 0 when it does not.
  int Port() const { return m_Port; }
  void Stop();

 private:
  void Route();

  CQuorvexApp& m_App;
  std::unique_ptr<httplib::Server> m_Server;
  std::thread m_Thread;
  // Set when the serving thread's listen loop has returned.
  std::atomic<bool> m_Ended{false};
  int m_Port = 0;
};

}  // namespace quorvex
