// A real main window over a real database in a temporary data directory,
// with the operator's message boxes answered by a hook that records them.
#pragma once
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QImage>
#include <QTest>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "persistence/Log.h"
#include "runtime/QuorvexApp.h"
#include "runtime/WindowBridge.h"
#include "support/Ports.h"
#include "support/TempDir.h"
#include "ui/main/QuorvexDlg.h"
#include "ui/pages/LoRaView.h"
#include "ui/pages/RunnView.h"
#include "ui/skin/BaseDialog.h"
#include "ui/skin/MessageBox.h"

namespace quorvex::ui::test {

// Runs the event loop until `predicate` holds or `timeoutMs` passes.
template <typename Predicate>
bool PumpUntil(Predicate predicate, int timeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline void Pump(int ms) {
  PumpUntil([] { return false; }, ms);
}

inline CLog MakeRecord(uint32_t type, int count = 0, const char* app = "0102") {
  CLog r;
  r.TYPE = type;
  SetField(r.RXTIME, "10 12:00:00 001");
  SetField(r.APPDATA, app);
  SetField(r.MACDATA, "0306");
  SetField(r.IP, "127.0.0.1");
  SetField(r.DEVEUI, "0011223344556677");
  SetField(r.FREQ, "922.1");
  SetField(r.RSSI, "-50");
  SetField(r.SNR, "7.5");
  SetField(r.SF, "SF7BW125");
  r.PORT = 2;
  r.CONFIRMED = 1;
  r.COUNT = count;
  return r;
}

class WindowFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    CBaseDialog::SetImagesDir(QStringLiteral(QUORVEX_IMAGES_DIR));
    SetMessageHook([this](const QString& text, MessageKind) {
      messages.push_back(text.toStdString());
      return answerYes;
    });
    ASSERT_TRUE(app.InitBase(dir.Path().string()));
    app.m_GatewayPort = port;
    app.LoadRegistries();
  }

  // Creates the window as the program does (options loaded by the window).
  void Open() {
    window = std::make_unique<CQuorvexDlg>(app, bridge);
    app.SetWindow(&bridge);
    window->ServerPage()->SetAutostartDir(QString::fromStdString(dir.File("autostart")));
    window->show();
  }

  void TearDown() override {
    bridge.Close();
    app.SetWindow(nullptr);
    app.StopServer();
    app.WaitForServerThreads(3000);
    window.reset();
    SetMessageHook({});
  }

  // Sends a message from a server thread and handles it here, as the
  // program's event loop does.
  void SendFromServerThread(int message) {
    std::atomic<bool> returned{false};
    std::thread sender([&] {
      bridge.SendWindowMessage(message);
      returned = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return returned.load(); }));
    sender.join();
  }

  CRunnView& Page() { return *window->ServerPage(); }
  // The server page's list, with the live rows it gathered shown.
  CCustomListCtrl& List() {
    Page().LogList()->FlushLiveRows();
    return *Page().LogList();
  }
  QString Cell(int row, int column) { return List().Model().Row(row).texts[static_cast<size_t>(column)]; }

  quorvex::test::TempDir dir;
  uint16_t port = quorvex::test::FreeUdpPort();
  CWindowBridge bridge;
  CQuorvexApp app;
  std::unique_ptr<CQuorvexDlg> window;
  std::vector<std::string> messages;
  bool answerYes = true;
};

}  // namespace quorvex::ui::test
