// quorvex: the operator window. It opens the database of the data directory,
// shows the main window and ends when the window closes; the server runs
// while the operator has started it (or by itself, with the auto-start
// option or --start). SIGINT and SIGTERM close the window as UM_QUIT does.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/CommandLine.h"
#include "runtime/QuorvexApp.h"
#include "runtime/Trace.h"
#include "runtime/WindowBridge.h"
#include "runtime/WindowLink.h"
#include "persistence/Application.h"
#include "ui/dialogs/ApplicationDlg.h"
#include "ui/dialogs/DeviceDlg.h"
#include "ui/dialogs/DownlinkDlg.h"
#include "ui/dialogs/GatewayDlg.h"
#include "ui/main/LoopProbe.h"
#include "ui/main/QuorvexDlg.h"
#include "ui/pages/LoRaView.h"
#include "ui/pages/RunnView.h"
#include "util/WinUtils.h"

namespace {

constexpr int kExitUsage = 2;
constexpr uint32_t kStopWaitMs = 2000;

struct Options {
  std::string dataDir;
  int port = quorvex::CQuorvexApp::kDefaultGatewayPort;
  bool start = false;
  bool loopStats = false;
  QString screenshots;
  int screenshotAfterMs = 3000;
};

void PrintUsage(FILE* out) {
  fprintf(out,
          "Usage: quorvex [--data-dir DIR] [--port N] [--start] [--loop-stats]\n"
          "               [--screenshots DIR [--screenshot-after MS]]\n"
          "\n"
          "The Quorvex LoRaWAN network server with its operator window.\n"
          "  --data-dir DIR        directory of the database and the settings file\n"
          "                        (default: the directory of this program)\n"
          "  --port N              UDP port for the packet-forwarder gateways, 1-65535\n"
          "                        (default: 1700)\n"
          "  --start               start the server as soon as the window is open\n"
          "  --loop-stats          print the window's event-loop delay on stderr at exit\n"
          "  --screenshots DIR     save a PNG of each page into DIR after MS milliseconds\n"
          "                        (default 3000), then close\n"
          "  --help                print this text\n");
}

// 0 parsed, 1 help printed, 2 bad usage (message printed).
int ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return 1;
    } else if (arg == "--start") {
      o.start = true;
    } else if (arg == "--loop-stats") {
      o.loopStats = true;
    } else if (arg == "--data-dir" && hasValue) {
      o.dataDir = argv[++i];
    } else if (arg == "--screenshots" && hasValue) {
      o.screenshots = QString::fromLocal8Bit(argv[++i]);
    } else if (arg == "--screenshot-after" && hasValue) {
      o.screenshotAfterMs = atoi(argv[++i]);
    } else if (arg == "--port" && hasValue) {
      if (!quorvex::ParsePort(argv[++i], o.port)) {
        fprintf(stderr, "quorvex: bad port '%s': give a number from 1 to 65535\n", argv[i]);
        return kExitUsage;
      }
    } else {
      fprintf(stderr, "quorvex: unknown option or missing value '%s'\n", arg.c_str());
      PrintUsage(stderr);
      return kExitUsage;
    }
  }
  return 0;
}

// SIGINT and SIGTERM reach the window thread through a pipe.
int g_SignalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char byte = 1;
  (void)!write(g_SignalPipe[1], &byte, 1);
}

void InstallStopSignals() {
  if (pipe2(g_SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void SaveGrab(QWidget& widget, const QString& path) {
  if (!widget.grab().save(path)) fprintf(stderr, "quorvex: cannot write %s\n", path.toLocal8Bit().constData());
}

// The edit dialogs as they open for a new record.
void SaveDialogScreenshots(quorvex::CQuorvexApp& app, QWidget* parent, const QString& dir) {
  quorvex::CApplication application;
  {
    quorvex::ui::CAppDlg dialog(app.m_LoRaAppList, parent);
    SaveGrab(dialog, dir + "/application-dialog.png");
  }
  {
    quorvex::ui::CDevDlg dialog(application, app.m_LoRaDevMgr, app.m_LoRaDbMgr, parent);
    SaveGrab(dialog, dir + "/device-dialog.png");
  }
  {
    quorvex::ui::CDlinkDlg dialog(1, parent);
    SaveGrab(dialog, dir + "/downlink-dialog.png");
  }
  {
    quorvex::ui::CGateDlg dialog(app.m_LoRaGateMgr, parent);
    SaveGrab(dialog, dir + "/gateway-dialog.png");
  }
}

// The LoRa page as an operator leaves it after a look at a device: the first
// application with devices chosen, its first device shown with a page of its packet log,
// a few log rows selected. Only the view changes; nothing is stored.
void ShowFirstDevice(quorvex::ui::CLoRaView& page) {
  for (int row = 0; row < page.ApplicationList()->GetItemCount() && page.DeviceList()->GetItemCount() == 0; ++row) {
    page.ApplicationList()->m_nCurSel = row;
    page.ChooseApplication();
  }
  if (page.DeviceList()->GetItemCount() == 0) return;
  page.DeviceList()->m_nCurSel = 0;
  page.ShowDevice();
  page.LoadLog();
  page.LogList()->m_nCurSel = 1;
}

void SaveScreenshots(quorvex::ui::CQuorvexDlg& window, const QString& dir) {
  QDir().mkpath(dir);
  const std::pair<int, const char*> pages[] = {{quorvex::ui::CQuorvexDlg::kServerId, "server-page.png"},
                                               {quorvex::ui::CQuorvexDlg::kLoRaId, "lora102-page.png"}};
  ShowFirstDevice(*window.LoRaPage());
  for (const auto& [id, name] : pages) {
    window.ShowPage(id);
    window.repaint();
    SaveGrab(window, dir + "/" + name);
  }
  window.ShowPage(quorvex::ui::CQuorvexDlg::kServerId);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = ParseOptions(argc, argv, options);
  if (parsed != 0) return parsed == 1 ? 0 : kExitUsage;

  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quorvex"));
  QApplication::setApplicationVersion(QStringLiteral(QUORVEX_VERSION));
  // One look on every desktop: the skin draws most of it, Fusion the rest.
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  InstallStopSignals();
  QApplication::setWindowIcon(QIcon(QString::fromStdString(quorvex::CWinUtils::GetImagesPath()) + "/server.png"));

  // The bridge outlives the application object, whose destructor ends the
  // server threads that may still be inside it.
  quorvex::CWindowBridge bridge;
  quorvex::CQuorvexApp app;
  app.m_GatewayPort = options.port;
  if (!app.InitBase(options.dataDir)) {
    fprintf(stderr, "quorvex: cannot use the data directory '%s': %s\n", options.dataDir.c_str(), strerror(errno));
    return 1;
  }
  if (!app.m_LoRaDbMgr.IsOpen()) {
    quorvex::FlushTrace();
    fprintf(stderr, "quorvex: cannot open the database %s/%s (code %d)\n", app.DataDir().c_str(),
            quorvex::CDbManager::kFileName, app.m_LoRaDbMgr.m_Result);
  }
  app.LoadRegistries();

  int rc = 0;
  {
    quorvex::ui::CQuorvexDlg window(app, bridge);
    app.SetWindow(&bridge);
    QSocketNotifier stopSignals(g_SignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopSignals, &QSocketNotifier::activated, &window, [&window] {
      char drain[16];
      while (read(g_SignalPipe[0], drain, sizeof drain) > 0) {
      }
      window.OnWindowMessage(quorvex::UM_QUIT);
    });
    std::unique_ptr<quorvex::ui::CLoopProbe> probe;
    if (options.loopStats) probe = std::make_unique<quorvex::ui::CLoopProbe>();
    window.show();
    if (options.start) QTimer::singleShot(0, &window, [&window] { window.OnStart(); });
    if (!options.screenshots.isEmpty()) {
      QTimer::singleShot(options.screenshotAfterMs, &window, [&] {
        SaveScreenshots(window, options.screenshots);
        SaveDialogScreenshots(app, &window, options.screenshots);
        window.OnWindowMessage(quorvex::UM_QUIT);
      });
    }
    rc = qapp.exec();
    // No server thread waits for the window from here on.
    bridge.Close();
    app.SetWindow(nullptr);
    app.StopServer();
    app.WaitForServerThreads(kStopWaitMs);
    if (probe) fprintf(stderr, "quorvex: %s\n", probe->Report().c_str());
  }
  quorvex::FlushTrace();
  return rc;
}
