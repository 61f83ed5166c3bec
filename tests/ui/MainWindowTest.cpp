#include <QLabel>
#include <QMessageBox>
#include <QTimer>

#include "WindowFixture.h"
#include "runtime/WindowLink.h"
#include "support/DeviceSim.h"
#include "support/GatewaySim.h"

namespace quorvex::ui::test {
namespace {

using MainWindowTest = WindowFixture;

TEST_F(MainWindowTest, StartAndStopMoveTheButtonsAndTheServerPage) {
  Open();
  EXPECT_TRUE(window->Button(CQuorvexDlg::kStartId)->isEnabled());
  EXPECT_FALSE(window->Button(CQuorvexDlg::kStopId)->isEnabled());
  EXPECT_EQ(window->CurrentPage(), window->ServerPage());
  EXPECT_EQ(Page().StateLabel()->text(), "READY");
  EXPECT_TRUE(Page().GatewayLabel()->isHidden());

  QTest::mouseClick(window->Button(CQuorvexDlg::kStartId), Qt::LeftButton);
  ASSERT_TRUE(app.IsStarted());
  EXPECT_FALSE(window->Button(CQuorvexDlg::kStartId)->isEnabled());
  EXPECT_TRUE(window->Button(CQuorvexDlg::kStopId)->isEnabled());
  EXPECT_TRUE(Page().StateLabel()->text().startsWith("RUNNING : "));
  EXPECT_EQ(Page().GatewayLabel()->text(), "Gateway Searching ");
  EXPECT_FALSE(Page().GatewayLabel()->isHidden());

  // Closing is refused while the server runs, by the caption button too.
  QTest::mouseClick(window->Button(CQuorvexDlg::kCloseId), Qt::LeftButton);
  EXPECT_FALSE(window->close());
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(messages, (std::vector<std::string>{"The server is running.", "The server is running."}));

  QTest::mouseClick(window->Button(CQuorvexDlg::kStopId), Qt::LeftButton);
  EXPECT_FALSE(app.IsStarted());
  EXPECT_TRUE(window->Button(CQuorvexDlg::kStartId)->isEnabled());
  EXPECT_FALSE(window->Button(CQuorvexDlg::kStopId)->isEnabled());
  EXPECT_EQ(Page().StateLabel()->text(), "READY");
  EXPECT_TRUE(Page().GatewayLabel()->isHidden());
  EXPECT_FALSE(Page().GatewayTimer().isActive());
  EXPECT_TRUE(window->close());
}

TEST_F(MainWindowTest, AFailedStartChangesNothing) {
  // A second run on the same port cannot bind, but Start itself succeeds
  // (the bind happens on the receive thread); a running server refuses.
  Open();
  window->OnStart();
  ASSERT_TRUE(app.IsStarted());
  const QString state = Page().StateLabel()->text();
  window->OnStart();
  EXPECT_FALSE(window->Button(CQuorvexDlg::kStartId)->isEnabled());
  EXPECT_EQ(Page().StateLabel()->text(), state);
}

TEST_F(MainWindowTest, StartWithAnUnusableDatabaseSaysWhyAndDoesNotServe) {
  Open();
  app.m_LoRaDbMgr.Close();  // as if the file could not be opened
  window->OnStart();
  EXPECT_FALSE(app.IsStarted());
  EXPECT_TRUE(window->Button(CQuorvexDlg::kStartId)->isEnabled());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("cannot be used: it could not be opened"), std::string::npos) << messages[0];
}

TEST_F(MainWindowTest, AutoStartPressesStartAbout700MsAfterOpening) {
  app.m_Settings.m_bAutoRestart = 1;
  app.SaveSettings();
  app.m_Settings.m_bAutoRestart = 0;  // the window loads the file
  const auto opened = std::chrono::steady_clock::now();
  Open();
  ASSERT_TRUE(PumpUntil([&] { return app.IsStarted(); }, 5000));
  const auto elapsed = std::chrono::steady_clock::now() - opened;
  EXPECT_GE(elapsed, std::chrono::milliseconds(650));
  EXPECT_FALSE(window->Button(CQuorvexDlg::kStartId)->isEnabled());
}

TEST_F(MainWindowTest, WithoutAutoStartTheServerStaysStopped) {
  Open();
  Pump(1000);
  EXPECT_FALSE(app.IsStarted());
}

TEST_F(MainWindowTest, QuitMessageClosesAfter100MsEvenWhileRunning) {
  Open();
  window->OnStart();
  ASSERT_TRUE(app.IsStarted());
  const auto sent = std::chrono::steady_clock::now();
  SendFromServerThread(UM_QUIT);
  EXPECT_TRUE(window->isVisible()) << "closes only after its 100 ms";
  ASSERT_TRUE(PumpUntil([&] { return !window->isVisible(); }, 5000));
  EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(90));
  EXPECT_TRUE(messages.empty());
}

TEST_F(MainWindowTest, EnterAndEscapeNeverCloseAndCtrlEnterLaysOut) {
  Open();
  const int layouts = window->LayoutCount();
  for (auto key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
    QTest::keyClick(window.get(), key);
    QTest::keyClick(Page().LogList(), key);
  }
  Pump(20);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->LayoutCount(), layouts);
  window->Button(CQuorvexDlg::kStartId)->move(0, 0);  // misplaced
  QTest::keyClick(window.get(), Qt::Key_Return, Qt::ControlModifier);
  EXPECT_EQ(window->LayoutCount(), layouts + 1);
  EXPECT_EQ(window->Button(CQuorvexDlg::kStartId)->geometry(), QRect(1202, 83, 117, 26));
}

TEST_F(MainWindowTest, PageButtonsSwitchPagesAndLoRa11DoesNothing) {
  Open();
  QWidget* server = window->CurrentPage();
  QTest::mouseClick(window->Button(CQuorvexDlg::kServerId), Qt::LeftButton);
  EXPECT_EQ(window->CurrentPage(), server);
  QTest::mouseClick(window->Button(CQuorvexDlg::kLoRa11Id), Qt::LeftButton);
  EXPECT_EQ(window->CurrentPage(), server);
  EXPECT_FALSE(window->Button(CQuorvexDlg::kLoRa11Id)->isEnabled());
  QTest::mouseClick(window->Button(CQuorvexDlg::kLoRaId), Qt::LeftButton);
  EXPECT_EQ(window->CurrentPage(), window->LoRaPage());
  EXPECT_EQ(window->CurrentButtonId(), CQuorvexDlg::kLoRaId);
  EXPECT_TRUE(window->LoRaPage()->isVisible());
  EXPECT_FALSE(server->isVisible());
  EXPECT_EQ(window->LoRaPage()->geometry(), QRect(15, 130, 1370, 708));
}

TEST_F(MainWindowTest, DraggingStartsInTheCaptionBandOnly) {
  Open();
  struct Case {
    int y;
    bool moves;
  };
  for (const Case c : {Case{39, true}, Case{40, false}, Case{5, true}}) {
    window->move(0, 0);
    QTest::mousePress(window.get(), Qt::LeftButton, {}, QPoint(600, c.y));
    QTest::mouseMove(window.get(), QPoint(650, c.y + 30));
    QMouseEvent move(QEvent::MouseMove, QPointF(650, c.y + 30), window->mapToGlobal(QPointF(650, c.y + 30)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &move);
    QTest::mouseRelease(window.get(), Qt::LeftButton, {}, QPoint(650, c.y + 30));
    EXPECT_EQ(window->pos() != QPoint(0, 0), c.moves) << "press at y = " << c.y;
  }
}

TEST_F(MainWindowTest, FourRecordsDrainInOrderAndAFifthIsDropped) {
  Open();
  for (int i = 1; i <= 4; ++i) ASSERT_TRUE(app.PostLogRecord(MakeRecord(CLog::Uplink, i)));
  EXPECT_FALSE(app.PostLogRecord(MakeRecord(CLog::Uplink, 5))) << "the ring holds four";
  SendFromServerThread(UM_NOTIFY);
  ASSERT_EQ(List().GetItemCount(), 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Cell(i, 12), QString::number(i + 1));
  CLog none;
  EXPECT_FALSE(app.TakeLogRecord(none)) << "the drain empties the ring";
}

TEST_F(MainWindowTest, NewGatewayRebuildsTheGatewayList) {
  Open();
  auto gateway = std::make_unique<CGateway>();
  gateway->ACTIVE = 1;
  SetField(gateway->ID, "AA555A0000000001");
  SetField(gateway->IP, "127.0.0.1");
  ASSERT_EQ(app.m_LoRaGateMgr.InsertGateway(std::move(gateway)), 0);
  SendFromServerThread(UM_GATEWAYS);
  CCustomListCtrl& list = *window->LoRaPage()->GatewayList();
  ASSERT_EQ(list.GetItemCount(), 1);
  EXPECT_EQ(list.Model().Row(0).texts[0], "  ON");
  EXPECT_EQ(list.Model().Row(0).texts[1], "AA555A0000000001");
  EXPECT_EQ(list.Model().Row(0).colour, 3);
}

// The operator leaves a message box open: the radio threads' records still
// reach the list meanwhile, because the box's own event loop answers them.
TEST_F(MainWindowTest, ARecordIsShownWhileAModalMessageBoxIsOpen) {
  Open();
  SetMessageHook({});  // a real, modal box
  std::atomic<bool> senderReturned{false};
  bool returnedWhileOpen = false;
  std::thread sender;
  QTimer::singleShot(50, [&] {
    sender = std::thread([&] {
      app.PostLogRecord(MakeRecord(CLog::Uplink, 7));
      bridge.SendWindowMessage(UM_NOTIFY);
      senderReturned = true;
    });
    // Inside the box's loop: wait for the sender, then close the box.
    PumpUntil([&] { return senderReturned.load(); }, 5000);
    returnedWhileOpen = senderReturned.load() && QApplication::activeModalWidget() != nullptr;
    if (QWidget* box = QApplication::activeModalWidget()) box->close();
  });
  ShowMessage(window.get(), QStringLiteral("The server is running."));
  sender.join();
  EXPECT_TRUE(returnedWhileOpen);
  ASSERT_EQ(List().GetItemCount(), 1);
  EXPECT_EQ(Cell(0, 12), "7");
}

// Gateways keep sending while the operator stops, starts and finally closes:
// every radio thread that reports waits for the window thread, and the window
// thread waits for the radio threads in Stop. Neither may wait for the other
// at the same time (a hang here fails the test by its deadline).
TEST_F(MainWindowTest, StopStartAndQuitWhileUplinksArriveNeverHang) {
  Open();
  window->OnStart();
  ASSERT_TRUE(app.IsStarted());
  std::atomic<bool> stop{false};
  std::thread radio([&] {
    const quorvex::test::Key key{};
    quorvex::test::DeviceSim stranger(0x01020304, key, key);  // unknown: a debug record per uplink
    uint64_t eui = 0xAA555A0000000100ull;
    uint16_t fcnt = 0;
    while (!stop.load()) {
      // A new gateway each round: a gateway-list rebuild besides the records.
      quorvex::test::GatewaySim gateway(port, ++eui);
      gateway.SendPullData();
      for (int i = 0; i < 20 && !stop.load(); ++i) gateway.SendRxpk({}, stranger.Uplink(++fcnt, false, 1, {1}));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int round = 0; round < 3; ++round) {
    Pump(150);
    const auto before = std::chrono::steady_clock::now();
    window->OnStop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5)) << "Stop waited on the window";
    EXPECT_FALSE(app.IsStarted());
    // Stop's wait ended because the thread ended, not because it gave up on
    // a thread stuck waiting for this window.
    EXPECT_FALSE(app.m_LoRaUdpServer.HasReceiveThread());
    Pump(20);
    window->OnStart();
    ASSERT_TRUE(app.IsStarted());
  }
  Pump(150);
  EXPECT_GT(List().GetItemCount(), 0) << "records were shown meanwhile";
  EXPECT_GT(window->LoRaPage()->GatewayList()->GetItemCount(), 0);
  std::thread quit([&] { bridge.SendWindowMessage(UM_QUIT); });
  EXPECT_TRUE(PumpUntil([&] { return !window->isVisible(); }, 10000));
  quit.join();
  stop = true;
  radio.join();
}

}  // namespace
}  // namespace quorvex::ui::test
