#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QLabel>
#include <fstream>
#include <sstream>

#include "WindowFixture.h"
#include "gateway/GateManager.h"
#include "persistence/SavedLog.h"
#include "platform/Tick.h"
#include "runtime/Settings.h"

namespace quorvex::ui::test {
namespace {

using ServerPageTest = WindowFixture;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The options as the settings file holds them now.
std::unique_ptr<CSettingsBlock> SettingsOnFile(CQuorvexApp& app) {
  auto stored = std::make_unique<CSettingsBlock>();
  EXPECT_TRUE(stored->LoadSettings(app.DataPath(kSettingsFileName)));
  return stored;
}

TEST_F(ServerPageTest, LiveRowsCarryTheirTextsAndColourCodesByType) {
  Open();
  for (uint32_t type = CLog::Debug; type <= CLog::Downlink; ++type) Page().ShowLogRecord(MakeRecord(type, 9));
  ASSERT_EQ(List().GetItemCount(), 6);
  const int colours[] = {2, 0, 0, 1, 0, 1};
  for (int row = 0; row < 6; ++row) EXPECT_EQ(List().Model().Row(row).colour, colours[row]) << row;
  EXPECT_EQ(Cell(4, 0), "UP-LINK");
  EXPECT_EQ(Cell(4, 5), "0011223344556677");
  EXPECT_EQ(Cell(4, 7), "CFM");
  EXPECT_EQ(Cell(4, 11), "7");
  EXPECT_EQ(Cell(2, 2), "JOIN REQUEST");
}

TEST_F(ServerPageTest, DebugModeOffShowsNothingClearsAndIsSaved) {
  Open();
  Page().ShowLogRecord(MakeRecord(CLog::Uplink));
  ASSERT_EQ(List().GetItemCount(), 1);
  QTest::mouseClick(Page().ServerDebugBox(), Qt::LeftButton, {}, QPoint(5, 8));
  EXPECT_FALSE(Page().ServerDebugBox()->isChecked());
  EXPECT_EQ(List().GetItemCount(), 0);
  EXPECT_EQ(List().m_nCurSel, -1);
  Page().ShowLogRecord(MakeRecord(CLog::Uplink));
  EXPECT_EQ(List().GetItemCount(), 0);
  for (QWidget* w : {static_cast<QWidget*>(Page().GetLogButton()), static_cast<QWidget*>(Page().SaveLogButton()),
                     static_cast<QWidget*>(Page().LogClearButton()), static_cast<QWidget*>(Page().DbClearButton()),
                     static_cast<QWidget*>(Page().DebugLogViewBox()), static_cast<QWidget*>(Page().AutoScrollBox())})
    EXPECT_FALSE(w->isEnabled());
  EXPECT_EQ(SettingsOnFile(app)->m_bServerDebug.Load(), 0);

  QTest::mouseClick(Page().ServerDebugBox(), Qt::LeftButton, {}, QPoint(5, 8));
  Page().ShowLogRecord(MakeRecord(CLog::Uplink));
  EXPECT_EQ(List().GetItemCount(), 1);
  EXPECT_EQ(SettingsOnFile(app)->m_bServerDebug.Load(), 1);
}

TEST_F(ServerPageTest, DebugLogViewOffHidesOnlyDebugRows) {
  Open();
  QTest::mouseClick(Page().DebugLogViewBox(), Qt::LeftButton, {}, QPoint(5, 8));
  EXPECT_EQ(SettingsOnFile(app)->m_bDebugLogView.Load(), 0);
  Page().ShowLogRecord(MakeRecord(CLog::Debug));
  Page().ShowLogRecord(MakeRecord(CLog::TxFail));
  ASSERT_EQ(List().GetItemCount(), 1);
  EXPECT_EQ(Cell(0, 0), "TX-FAIL");
}

TEST_F(ServerPageTest, DebugModeSwitchesItselfOffAfter24Hours) {
  int64_t now = 1000;
  Open();
  Page().SetClock([&] { return now; });
  // Switched on again under the test's clock: the 24 hours count from here.
  QTest::mouseClick(Page().ServerDebugBox(), Qt::LeftButton, {}, QPoint(5, 8));
  QTest::mouseClick(Page().ServerDebugBox(), Qt::LeftButton, {}, QPoint(5, 8));
  Page().ShowLogRecord(MakeRecord(CLog::Uplink));
  now += CRunnView::kDebugModeMs - 1;
  Page().CheckDebugDeadline();
  EXPECT_TRUE(Page().ServerDebugBox()->isChecked());
  now += 1;
  Page().CheckDebugDeadline();
  EXPECT_FALSE(Page().ServerDebugBox()->isChecked());
  EXPECT_EQ(app.m_Settings.m_bServerDebug.Load(), 0);
  EXPECT_EQ(SettingsOnFile(app)->m_bServerDebug.Load(), 0);
  EXPECT_EQ(List().GetItemCount(), 0);
}

TEST_F(ServerPageTest, GetLogPagesStoredRecordsAndLogClearStartsOver) {
  for (int i = 0; i < 250; ++i) ASSERT_EQ(app.m_LoRaLogMgr.InsertLog(MakeRecord(CLog::Uplink, i)), 0);
  ASSERT_EQ(app.m_LoRaLogMgr.InsertLog(MakeRecord(CLog::Debug)), 0);  // never paged in
  Open();
  const int expected[] = {100, 200, 250, 250};
  for (int rows : expected) {
    QTest::mouseClick(Page().GetLogButton(), Qt::LeftButton);
    EXPECT_EQ(List().GetItemCount(), rows);
    EXPECT_EQ(Page().GetLogButton()->text(), QString("Get Log %1 From DB").arg(rows));
  }
  EXPECT_EQ(Cell(0, 12), "249") << "newest first";
  EXPECT_EQ(List().Model().Row(0).colour, 0);
  QTest::mouseClick(Page().LogClearButton(), Qt::LeftButton);
  EXPECT_EQ(List().GetItemCount(), 0);
  EXPECT_EQ(Page().GetLogButton()->text(), "Get Log 0 From DB");
}

TEST_F(ServerPageTest, TheListIsEmptiedPast3000Rows) {
  Open();
  for (int i = 0; i < CRunnView::kMaxRows; ++i) Page().ShowLogRecord(MakeRecord(CLog::Uplink, i));
  Page().ShowLogRecord(MakeRecord(CLog::Uplink, 3000));
  EXPECT_EQ(List().GetItemCount(), 3001) << "3000 rows: the next is simply added";
  Page().ShowLogRecord(MakeRecord(CLog::Downlink, 3001));
  ASSERT_EQ(List().GetItemCount(), 1);
  EXPECT_EQ(Cell(0, 0), "DN-LINK");
  EXPECT_EQ(Cell(0, 12), "3001");
  EXPECT_EQ(Page().GetLogButton()->text(), "Get Log 0 From DB");
}

TEST_F(ServerPageTest, DatabaseAllLogClearAsksFirst) {
  ASSERT_EQ(app.m_LoRaLogMgr.InsertLog(MakeRecord(CLog::Uplink)), 0);
  Open();
  QTest::mouseClick(Page().GetLogButton(), Qt::LeftButton);
  answerYes = false;
  QTest::mouseClick(Page().DbClearButton(), Qt::LeftButton);
  EXPECT_EQ(messages.back(), "Delete all logs in database ?");
  EXPECT_EQ(List().GetItemCount(), 1);
  answerYes = true;
  QTest::mouseClick(Page().DbClearButton(), Qt::LeftButton);
  EXPECT_EQ(List().GetItemCount(), 0);
  std::vector<LogListRow> rows;
  EXPECT_EQ(app.m_LoRaLogMgr.ReadLogPage(rows, 0, 0), 0);
}

TEST_F(ServerPageTest, CtrlASelectsEveryRowAndSaveLogWritesThemAll) {
  Open();
  QTest::mouseClick(Page().SaveLogButton(), Qt::LeftButton);
  EXPECT_EQ(messages, std::vector<std::string>{"Please select a log item to save !"});
  Page().ShowLogRecord(MakeRecord(CLog::Uplink, 1, "a much longer application payload text"));
  Page().ShowLogRecord(MakeRecord(CLog::Join, 2));
  Page().ShowLogRecord(MakeRecord(CLog::Debug, 3));
  QTest::keyClick(Page().LogList(), Qt::Key_A, Qt::ControlModifier);
  ASSERT_EQ(List().SelectedRows().size(), 3u);
  const std::string path = dir.File("saved.txt");
  Page().SetSavePathAsker([&] { return QString::fromStdString(path); });
  QTest::mouseClick(Page().SaveLogButton(), Qt::LeftButton);
  const std::string saved = ReadFile(path);
  // The header's time line is the moment of saving; the rest is fixed.
  const size_t timeLine = saved.find("\r\n", saved.find("LORAWAN NETWORK SERVER")) + 2;
  const std::string timeText = saved.substr(timeLine + 3, saved.find("\r\n", timeLine) - timeLine - 3);
  std::vector<std::vector<std::string>> rows;
  for (int r = 0; r < 3; ++r) {
    rows.emplace_back();
    for (const QString& t : List().Model().Row(r).texts) rows.back().push_back(t.toStdString());
  }
  EXPECT_EQ(saved, FormatSavedLog(rows, timeText));
  EXPECT_NE(saved.find("   UP-LINK        10 12:00:00 001"), std::string::npos);
  // A file that cannot be created is skipped without a message.
  Page().SetSavePathAsker([&] { return QString::fromStdString(dir.File("no/such/dir/x.txt")); });
  QTest::mouseClick(Page().SaveLogButton(), Qt::LeftButton);
  EXPECT_EQ(messages.size(), 1u);
}

TEST_F(ServerPageTest, DeleteKeyClearsTheList) {
  Open();
  Page().ShowLogRecord(MakeRecord(CLog::Uplink));
  QTest::keyClick(Page().LogList(), Qt::Key_Delete);
  EXPECT_EQ(List().GetItemCount(), 0);
}

TEST_F(ServerPageTest, GatewayStatusCountsFreshConnectedGateways) {
  Open();
  window->OnStart();
  auto add = [&](int connected, uint64_t age) {
    auto gateway = std::make_unique<CGateway>();
    gateway->ACTIVE = 1;
    gateway->m_Connected = connected;
    gateway->m_LastPullTick = GetTickCount64() - age;
    std::lock_guard<std::recursive_mutex> lock(app.m_LoRaGateMgr.Mutex());
    app.m_LoRaGateMgr.m_Gateways.push_back(std::move(gateway));
  };
  Page().UpdateGatewayStatus();
  EXPECT_EQ(Page().GatewayLabel()->text(), "Gateway Searching  .");
  EXPECT_EQ(Page().GatewayTimer().interval(), 150);
  add(1, 120000);  // heard two minutes ago: not counted
  add(0, 0);       // never acknowledged in this run
  Page().UpdateGatewayStatus();
  EXPECT_EQ(Page().GatewayLabel()->text(), "Gateway Searching  . .");
  add(1, 0);
  add(1, 1000);
  Page().UpdateGatewayStatus();
  EXPECT_EQ(Page().GatewayLabel()->text(), "Gateway connected : 2");
  EXPECT_EQ(Page().GatewayTimer().interval(), 1000);
}

TEST_F(ServerPageTest, APortThatCannotBeOpenedIsShownInsteadOfASearch) {
  // Another program holds the gateway port.
  const int holder = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  Open();
  window->OnStart();
  EXPECT_TRUE(PumpUntil([&] { return Page().GatewayLabel()->text().contains("could not be opened"); }, 5000));
  EXPECT_EQ(Page().GatewayLabel()->text(), QString("UDP port %1 could not be opened").arg(port));
  close(holder);
}

TEST_F(ServerPageTest, AutostartEntryFollowsTheBoxAndAFailureSetsItBack) {
  Open();
  const std::string entry = dir.File("autostart") + "/Tavrolin.desktop";
  QTest::mouseClick(Page().AutoRestartBox(), Qt::LeftButton, {}, QPoint(5, 8));
  EXPECT_TRUE(Page().AutoRestartBox()->isChecked());
  EXPECT_EQ(app.m_Settings.m_bAutoRestart.Load(), 1);
  EXPECT_EQ(SettingsOnFile(app)->m_bAutoRestart.Load(), 1);
  EXPECT_NE(ReadFile(entry).find("Exec=\"" + QCoreApplication::applicationFilePath().toStdString() + "\""),
            std::string::npos);
  QTest::mouseClick(Page().AutoRestartBox(), Qt::LeftButton, {}, QPoint(5, 8));
  EXPECT_EQ(app.m_Settings.m_bAutoRestart.Load(), 0);
  EXPECT_NE(ReadFile(entry).find("Hidden=true"), std::string::npos);
  EXPECT_TRUE(messages.empty());

  // A folder that cannot be made (its parent is a file).
  std::ofstream(dir.File("plainfile")) << "x";
  Page().SetAutostartDir(QString::fromStdString(dir.File("plainfile") + "/autostart"));
  QTest::mouseClick(Page().AutoRestartBox(), Qt::LeftButton, {}, QPoint(5, 8));
  EXPECT_FALSE(Page().AutoRestartBox()->isChecked());
  EXPECT_EQ(app.m_Settings.m_bAutoRestart.Load(), 0);
  EXPECT_EQ(messages, std::vector<std::string>{"Fail, The program must be run as administrator mode !"});
}

TEST_F(ServerPageTest, FirstStartWritesTheDefaultOptions) {
  Open();
  const auto stored = SettingsOnFile(app);
  EXPECT_EQ(stored->m_bServerDebug.Load(), 1);
  EXPECT_EQ(stored->m_bAutoRestart.Load(), 0);
  EXPECT_EQ(stored->m_nAdrRxCount.Load(), 8);
  EXPECT_TRUE(Page().ServerDebugBox()->isChecked());
  EXPECT_TRUE(Page().AutoScrollBox()->isChecked());
}

TEST_F(ServerPageTest, BannerTurnsEveryThreeSeconds) {
  Open();
  EXPECT_EQ(Page().BannerIndex(), 0);
  ASSERT_TRUE(PumpUntil([&] { return Page().BannerIndex() == 1; }, 8000));
}

}  // namespace
}  // namespace quorvex::ui::test
