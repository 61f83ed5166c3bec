// quorvex-server: the headless network server. It is the application
// object without its window: it loads the operator options, starts the
// server as the Start button would, prints every packet-log record as one
// line on stdout, and on SIGINT or SIGTERM stops the server as the Stop
// button would and exits 0.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "persistence/LogTrimmer.h"
#include "platform/AsyncWriter.h"
#include "runtime/CommandLine.h"
#include "runtime/HeadlessWindow.h"
#include "runtime/MetricsServer.h"
#include "runtime/QuorvexApp.h"
#include "runtime/Trace.h"

namespace {

constexpr int kExitUsage = 2;

void PrintUsage(FILE* out) {
  fprintf(out,
          "Usage: quorvex-server [--data-dir DIR] [--port N] [--log-keep N] [--metrics [HOST:]PORT]\n"
          "\n"
          "Runs the Quorvex LoRaWAN network server without its window.\n"
          "  --data-dir DIR  directory of the database and the settings file\n"
          "                  (default: the directory of this program)\n"
          "  --port N        UDP port for the packet-forwarder gateways, 1-65535\n"
          "                  (default: 1700)\n"
          "  --log-keep N    rows the packet log keeps; older ones are deleted\n"
          "                  while the server runs (default: 1000000, about\n"
          "                  170 MB of file; 0 keeps every row)\n"
          "  --metrics [HOST:]PORT\n"
          "                  serve GET /health and GET /metrics (Prometheus text)\n"
          "                  over HTTP on PORT of HOST (default host 127.0.0.1;\n"
          "                  0.0.0.0 for every address); off when not given\n"
          "  --help          print this text\n"
          "Stop it with Ctrl-C (SIGINT) or SIGTERM.\n");
}

const char* BindErrorText(int code) {
  switch (code) {
    case 10048: return "the port is already in use by another program";
    case 10004: return "the bind was interrupted";
    case 10050: return "the network is down";
    default: return "the port could not be bound (permission or system error)";
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string dataDir;
  int port = quorvex::CQuorvexApp::kDefaultGatewayPort;
  int64_t logKeep = quorvex::kDefaultLogKeepRows;
  std::string metricsHost;
  int metricsPort = 0;  // no endpoint
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return 0;
    } else if (arg == "--data-dir" && i + 1 < argc) {
      dataDir = argv[++i];
    } else if (arg == "--port" && i + 1 < argc) {
      if (!quorvex::ParsePort(argv[++i], port)) {
        fprintf(stderr, "quorvex-server: bad port '%s': give a number from 1 to 65535\n", argv[i]);
        return kExitUsage;
      }
    } else if (arg == "--log-keep" && i + 1 < argc) {
      if (!quorvex::ParseLogKeep(argv[++i], logKeep)) {
        fprintf(stderr, "quorvex-server: bad row count '%s' for --log-keep: give 0 (no limit) or a number of rows\n",
                argv[i]);
        return kExitUsage;
      }
    } else if (arg == "--metrics" && i + 1 < argc) {
      if (!quorvex::ParseListenAddress(argv[++i], metricsHost, metricsPort)) {
        fprintf(stderr, "quorvex-server: bad address '%s' for --metrics: give PORT, HOST:PORT or [IPV6]:PORT\n",
                argv[i]);
        return kExitUsage;
      }
    } else if (arg == "--data-dir" || arg == "--port" || arg == "--log-keep" || arg == "--metrics") {
      fprintf(stderr, "quorvex-server: %s needs a value\n", arg.c_str());
      return kExitUsage;
    } else {
      fprintf(stderr, "quorvex-server: unknown option '%s'\n", arg.c_str());
      PrintUsage(stderr);
      return kExitUsage;
    }
  }

  // Every thread started from here on inherits the blocked signals; only
  // the main thread takes them, with sigwait.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  quorvex::CQuorvexApp app;
  app.m_GatewayPort = port;
  // Applications and gateways written into the file by another program (the
  // sqlite3 shell, an admin tool) are taken up while the server runs.
  app.m_ReloadOnOutsideChanges = true;
  if (!app.InitBase(dataDir)) {
    fprintf(stderr, "quorvex-server: cannot use the data directory '%s': %s\n", dataDir.c_str(), strerror(errno));
    return 1;
  }
  app.m_BindErrorObserver = [](int code, int boundPort) {
    quorvex::FlushTrace();  // after the trace lines that came before it
    fprintf(stderr, "quorvex-server: cannot listen on UDP port %d: %s (code %d)\n", boundPort,
            BindErrorText(code), code);
  };
  if (!app.m_LoRaDbMgr.IsOpen()) {
    quorvex::FlushTrace();
    fprintf(stderr, "quorvex-server: cannot open the database %s/%s (code %d); every table operation will fail\n",
            app.DataDir().c_str(), quorvex::CDbManager::kFileName, app.m_LoRaDbMgr.m_Result);
  }
  // What the operator window loads when its LoRaWAN page opens.
  app.LoadRegistries();
  app.LoadSettings();
  // The options are written back at every start, so a missing or damaged
  // file is replaced by a valid one.
  app.SaveSettings();

  {
    quorvex::CAsyncWriter output(STDOUT_FILENO);  // written out when the block ends
    quorvex::CHeadlessWindow window(app, output, [] { kill(getpid(), SIGTERM); });
    app.SetWindow(&window);
    if (app.StartServer() != 1) {
      quorvex::FlushTrace();
      if (!app.StartError().empty()) fprintf(stderr, "quorvex-server: %s\n", app.StartError().c_str());
      fprintf(stderr, "quorvex-server: the server could not be started\n");
      app.SetWindow(nullptr);
      return 1;
    }
    quorvex::TraceLine("quorvex-server running on UDP port %d, data in %s\r\n", port, app.DataDir().c_str());
    quorvex::CMetricsServer metrics(app);
    if (metricsPort != 0) {
      std::string error;
      if (!metrics.Start(metricsHost, metricsPort, error)) {
        quorvex::FlushTrace();
        fprintf(stderr, "quorvex-server: metrics endpoint: %s\n", error.c_str());
        app.StopServer();
        app.WaitForServerThreads(2000);
        app.SetWindow(nullptr);
        return 1;
      }
      const std::string shown = metricsHost.find(':') != std::string::npos ? "[" + metricsHost + "]" : metricsHost;
      quorvex::TraceLine("quorvex-server serves /health and /metrics on http://%s:%d\r\n", shown.c_str(),
                         metrics.Port());
    }
    // The window's log switches itself off after a day; without one the
    // packet log is kept to the operator's limit instead.
    std::unique_ptr<quorvex::CLogTrimmer> trimmer;
    if (logKeep > 0) {
      trimmer = std::make_unique<quorvex::CLogTrimmer>(app.m_LoRaDbMgr, logKeep);
      quorvex::TraceLine("quorvex-server keeps the newest %lld packet-log rows\r\n", static_cast<long long>(logKeep));
    }

    int signal = 0;
    sigwait(&stopSignals, &signal);
    quorvex::TraceLine("quorvex-server stopping (signal %d)\r\n", signal);
    trimmer.reset();
    metrics.Stop();
    app.StopServer();
    // No server thread may still be sending to the window when it goes.
    app.WaitForServerThreads(2000);
    app.SetWindow(nullptr);
  }
  quorvex::FlushTrace();
  return 0;
}
