// The LoRaWAN 1.0.2 page as the operator uses it, in the real window over a
// real temporary database: rows clicked with the mouse, dialogs filled and
// saved, questions answered, and what the page did checked in the lists, the
// registries and the file.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QTest>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "WindowFixture.h"
#include "gateway/Gateway.h"
#include "persistence/DLink.h"
#include "persistence/DbFixture.h"
#include "ui/dialogs/ApplicationDlg.h"
#include "ui/dialogs/DeviceDlg.h"
#include "ui/dialogs/DownlinkDlg.h"
#include "ui/dialogs/GatewayDlg.h"
#include "ui/skin/SkinButton.h"

namespace quorvex::ui::test {
namespace {

using quorvex::test::RawDb;

class LoRaPageTest : public WindowFixture {
 protected:
  void SetUp() override {
    WindowFixture::SetUp();
    appA = AddApplication(0x0A, 0);
    appB = AddApplication(0x0B, 1);
    for (uint8_t i = 1; i <= 3; ++i) devicesOfA.push_back(AddDevice(appA, i));
    devicesOfB.push_back(AddDevice(appB, 9));
    for (int32_t device : {devicesOfA[0], devicesOfA[0], devicesOfA[1], devicesOfB[0]}) AddDownlink(device);
  }
  // Opens the window on the LoRa page (the registries as at start).
  void OpenPage() {
    Open();
    window->ShowPage(CQuorvexDlg::kLoRaId);
    rawDb = std::make_unique<RawDb>(dir.File(CDbManager::kFileName));
  }

  int32_t AddApplication(uint8_t euiLast, int32_t deviceClass) {
    auto record = std::make_unique<CApplication>();
    record->CLASS = deviceClass;
    record->APPEUI[7] = euiLast;
    CApplication* kept = record.get();
    EXPECT_EQ(app.m_LoRaAppList.InsertApplication(std::move(record)), 0);
    return kept->PKEY;
  }
  int32_t AddDevice(int32_t apKey, uint8_t euiLast) {
    auto record = std::make_unique<CDevice>();
    record->APKEY = apKey;
    record->DEVEUI[7] = euiLast;
    record->DEVADDR = 0x26000000u + euiLast;
    record->APPKEY[0] = euiLast;
    snprintf(record->MEMO, sizeof record->MEMO, "device %d", euiLast);
    CDevice* kept = record.get();
    EXPECT_EQ(app.m_LoRaDevMgr.InsertDevice(std::move(record)), 0);
    return kept->PKEY;
  }
  void AddDownlink(int32_t device) {
    auto record = std::make_unique<CDLink>();
    record->DEVPKEY = device;
    record->PORT = 3;
    EXPECT_EQ(app.m_LoRaDlinkList.InsertDownlink(std::move(record), false), 0);
  }

  CLoRaView& LoRa() { return *window->LoRaPage(); }
  static void Click(CCustomListCtrl* list, int row, bool twice = false) {
    const QPoint at = list->visualRect(list->Model().index(row, 0)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    if (twice) QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
  }
  static std::vector<std::string> Texts(CCustomListCtrl* list, int row) {
    std::vector<std::string> out;
    for (const QString& t : list->Model().Row(row).texts) out.push_back(t.toStdString());
    return out;
  }
  std::string Count(const std::string& sql) { return rawDb->Scalar("SELECT COUNT(*) FROM " + sql); }
  // The row of application `key` in the list (-1 when none).
  static int RowOf(CCustomListCtrl* list, int32_t key) {
    for (int r = 0; r < list->GetItemCount(); ++r)
      if (list->Model().Row(r).data == key) return r;
    return -1;
  }
  bool DeviceButtonsEnabled() {
    const auto& buttons = LoRa().DeviceButtons();
    return std::all_of(buttons.begin(), buttons.end(), [](CSkinButton* b) { return b->isEnabled(); });
  }
  bool DeviceButtonsDisabled() {
    const auto& buttons = LoRa().DeviceButtons();
    return std::none_of(buttons.begin(), buttons.end(), [](CSkinButton* b) { return b->isEnabled(); });
  }
  // The dialog the page opens is filled by `fill` and saved; returns whether it closed with OK.
  template <typename Dialog, typename Fill>
  void AnswerDialogs(Fill fill) {
    LoRa().SetDialogRunner([this, fill](CEditDialog& dialog) mutable {
      auto* typed = dynamic_cast<Dialog*>(&dialog);
      EXPECT_NE(typed, nullptr);
      if (typed == nullptr) return false;
      ++dialogsOpened;
      fill(*typed);
      QTest::mouseClick(dialog.SaveButton(), Qt::LeftButton);
      return dialog.result() == QDialog::Accepted;
    });
  }

  std::unique_ptr<RawDb> rawDb;
  int32_t appA = 0, appB = 0;
  std::vector<int32_t> devicesOfA, devicesOfB;
  int dialogsOpened = 0;
};

TEST_F(LoRaPageTest, ChoosingAnApplicationShowsItsDevicesOnceAndShowingADeviceFillsItsDetails) {
  OpenPage();
  ASSERT_EQ(LoRa().ApplicationList()->GetItemCount(), 2);
  EXPECT_EQ(Texts(LoRa().ApplicationList(), 0), (std::vector<std::string>{"   OTAA", "A", "00 00 00 00 00 00 00 0A"}));
  EXPECT_EQ(LoRa().DeviceTitle(), "Device");
  EXPECT_TRUE(DeviceButtonsDisabled());

  Click(LoRa().ApplicationList(), RowOf(LoRa().ApplicationList(), appA));
  EXPECT_EQ(LoRa().DeviceList()->GetItemCount(), 3);
  EXPECT_EQ(LoRa().DeviceTitle(), "Device 3");
  EXPECT_EQ(Texts(LoRa().DeviceList(), 0), (std::vector<std::string>{"  00 00 00 00 00 00 00 01", ""}));
  EXPECT_TRUE(DeviceButtonsDisabled());

  // Clicking the application already shown does not read its devices again.
  AddDevice(appA, 4);
  Click(LoRa().ApplicationList(), RowOf(LoRa().ApplicationList(), appA));
  EXPECT_EQ(LoRa().DeviceList()->GetItemCount(), 3);

  Click(LoRa().DeviceList(), 1);
  EXPECT_EQ(LoRa().AddressField()->text(), QString::number(0x26000002));
  EXPECT_EQ(LoRa().AppKeyField()->text(), "02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(LoRa().MemoField()->text(), "device 2");
  EXPECT_FALSE(LoRa().MemoField()->isEnabled());  // the fields only show
  EXPECT_TRUE(DeviceButtonsEnabled());
  ASSERT_EQ(LoRa().DownlinkList()->GetItemCount(), 1);
  EXPECT_EQ(Texts(LoRa().DownlinkList(), 0), (std::vector<std::string>{" 3", "UCF", "RX 1", "", "", ""}));

  // Another application: its devices, and the device buttons off again.
  Click(LoRa().ApplicationList(), RowOf(LoRa().ApplicationList(), appB));
  EXPECT_EQ(LoRa().DeviceList()->GetItemCount(), 1);
  EXPECT_TRUE(DeviceButtonsDisabled());
}

TEST_F(LoRaPageTest, DoubleClicksEditWhatTheyClickedWithTheDevicesAlreadyShown) {
  OpenPage();
  int devicesWhenOpened = -1;
  LoRa().SetDialogRunner([&](CEditDialog& dialog) {
    devicesWhenOpened = LoRa().DeviceList()->GetItemCount();
    EXPECT_NE(dynamic_cast<CAppDlg*>(&dialog), nullptr);
    return false;
  });
  Click(LoRa().ApplicationList(), RowOf(LoRa().ApplicationList(), appA), true);
  EXPECT_EQ(devicesWhenOpened, 3);

  // A device: shown, then its dialog, which changes the memo.
  AnswerDialogs<CDevDlg>([](CDevDlg& dlg) { dlg.Memo()->setText("pump house"); });
  Click(LoRa().DeviceList(), 0, true);
  EXPECT_EQ(dialogsOpened, 1);
  EXPECT_EQ(LoRa().MemoField()->text(), "pump house");
  EXPECT_EQ(rawDb->Scalar("SELECT MEMO FROM DEVTBL WHERE PKEY=" + std::to_string(devicesOfA[0])), "pump house");

  // A gateway: its dialog switches it off; the row and the file follow.
  auto gateway = std::make_unique<CGateway>();
  gateway->ACTIVE = 1;
  snprintf(gateway->ID, sizeof gateway->ID, "AA555A0000000001");
  ASSERT_EQ(app.m_LoRaGateMgr.InsertGateway(std::move(gateway)), 0);
  LoRa().RebuildGatewayList();
  AnswerDialogs<CGateDlg>([](CGateDlg& dlg) { dlg.Active()->setCurrentIndex(1); });
  Click(LoRa().GatewayList(), 0, true);
  EXPECT_EQ(Texts(LoRa().GatewayList(), 0)[0], "  OFF");
  EXPECT_EQ(rawDb->Scalar("SELECT ACTIVE FROM GATETBL"), "0");
}

TEST_F(LoRaPageTest, AddedAndEditedRecordsAreStoredAndShown) {
  OpenPage();
  AnswerDialogs<CAppDlg>([](CAppDlg& dlg) {
    dlg.AppEui()->setText("70 B3 D5 7E D0 00 00 0C");
    dlg.Url()->setText("http://app.example");
  });
  LoRa().AddApplication();
  ASSERT_EQ(LoRa().ApplicationList()->GetItemCount(), 3);
  EXPECT_EQ(Texts(LoRa().ApplicationList(), 2)[2], "70 B3 D5 7E D0 00 00 0C");
  EXPECT_EQ(Count("APPTBL"), "3");

  // Edit: the radio side's copy carries the new URL at once.
  Click(LoRa().ApplicationList(), 2);
  AnswerDialogs<CAppDlg>([](CAppDlg& dlg) { dlg.Url()->setText("http://moved.example"); });
  LoRa().EditApplication();
  CApplication copy;
  ASSERT_TRUE(app.m_LoRaAppList.CopyApplication(static_cast<int32_t>(LoRa().ApplicationList()->Model().Row(2).data), copy));
  EXPECT_STREQ(copy.APPURL, "http://moved.example");

  // A device of it, offered the next free address.
  AnswerDialogs<CDevDlg>([](CDevDlg& dlg) {
    dlg.DevEui()->setText("00 11 22 33 44 55 66 77");
    dlg.NetworkId()->setText("1");
    dlg.AppKey()->setText("2B 7E 15 16 28 AE D2 A6 AB F7 15 88 09 CF 4F 3C");
  });
  LoRa().AddDevice();
  ASSERT_EQ(LoRa().DeviceList()->GetItemCount(), 1);
  EXPECT_EQ(LoRa().DeviceTitle(), "Device 1");
  EXPECT_EQ(Count("DEVTBL WHERE hex(DEVEUI)='0011223344556677'"), "1");
  EXPECT_TRUE(DeviceButtonsDisabled());

  // A downlink for it; the fifth row narrows the Time column.
  Click(LoRa().DeviceList(), 0);
  AnswerDialogs<CDlinkDlg>([](CDlinkDlg& dlg) { dlg.AppData()->setText("CA FE"); });
  for (int i = 0; i < 5; ++i) {
    LoRa().AddDownlink();
    EXPECT_EQ(LoRa().DownlinkList()->columnWidth(5), i >= 4 ? 90 : 105) << "row " << i;
  }
  EXPECT_EQ(Texts(LoRa().DownlinkList(), 0)[4], "CA FE");
  EXPECT_EQ(Count("DLINKTBL WHERE APP='CA FE'"), "5");

  // Gateways: the ninth row narrows the IP column.
  AnswerDialogs<CGateDlg>([n = 0](CGateDlg& dlg) mutable {
    dlg.Id()->setText(QStringLiteral("AA555A00000000%1").arg(++n, 2, 10, QChar('0')));
  });
  for (int i = 0; i < 9; ++i) {
    LoRa().AddGateway();
    EXPECT_EQ(LoRa().GatewayList()->columnWidth(2), i >= 8 ? 85 : 103) << "row " << i;
  }
  EXPECT_EQ(Count("GATETBL"), "9");
}

TEST_F(LoRaPageTest, DeletionsAskFirstAndTakeTheirCascadeWithThem) {
  OpenPage();
  Click(LoRa().ApplicationList(), RowOf(LoRa().ApplicationList(), appA));
  Click(LoRa().DeviceList(), 0);

  // No changes nothing.
  answerYes = false;
  LoRa().DeleteApplication();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "Delete the selected item ?");
  EXPECT_EQ(Count("APPTBL"), "2");
  answerYes = true;

  // A downlink, then a device with its remaining downlink.
  Click(LoRa().DownlinkList(), 0);
  LoRa().DeleteDownlink();
  EXPECT_EQ(LoRa().DownlinkList()->GetItemCount(), 1);
  EXPECT_EQ(Count("DLINKTBL WHERE DEVPKEY=" + std::to_string(devicesOfA[0])), "1");
  LoRa().DeleteDevice();
  EXPECT_EQ(LoRa().DeviceList()->GetItemCount(), 2);
  EXPECT_EQ(LoRa().DeviceTitle(), "Device 2");
  EXPECT_EQ(LoRa().DownlinkList()->GetItemCount(), 0);
  EXPECT_TRUE(DeviceButtonsDisabled());
  EXPECT_EQ(Count("DEVTBL WHERE PKEY=" + std::to_string(devicesOfA[0])), "0");
  EXPECT_EQ(Count("DLINKTBL WHERE DEVPKEY=" + std::to_string(devicesOfA[0])), "0");

  // The application: its devices and their downlinks go; B's stay.
  Click(LoRa().ApplicationList(), RowOf(LoRa().ApplicationList(), appA));
  LoRa().DeleteApplication();
  EXPECT_EQ(LoRa().ApplicationList()->GetItemCount(), 1);
  EXPECT_EQ(LoRa().DeviceList()->GetItemCount(), 0);
  EXPECT_EQ(Count("APPTBL"), "1");
  EXPECT_EQ(Count("DEVTBL WHERE APKEY=" + std::to_string(appA)), "0");
  EXPECT_EQ(Count("DLINKTBL WHERE DEVPKEY=" + std::to_string(devicesOfA[1])), "0");
  EXPECT_EQ(Count("DEVTBL"), "1");
  EXPECT_EQ(Count("DLINKTBL"), "1");
  // The application that moved up into the deleted row shows its devices.
  Click(LoRa().ApplicationList(), 0);
  EXPECT_EQ(LoRa().DeviceList()->GetItemCount(), 1);
  EXPECT_EQ(messages.size(), 4u);  // one question per deletion, no refusal
}

TEST_F(LoRaPageTest, ARefusedDeletionLeavesTheListButTellsTheOperator) {
  auto gateway = std::make_unique<CGateway>();
  snprintf(gateway->ID, sizeof gateway->ID, "AA555A0000000001");
  ASSERT_EQ(app.m_LoRaGateMgr.InsertGateway(std::move(gateway)), 0);
  OpenPage();
  // Another program holds the file's write lock longer than the busy timeout allows.
  app.m_LoRaDbMgr.Close();
  Click(LoRa().GatewayList(), 0);
  LoRa().DeleteGateway();
  EXPECT_EQ(LoRa().GatewayList()->GetItemCount(), 0);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_NE(messages[1].find("it will be back at the next start"), std::string::npos) << messages[1];
  EXPECT_EQ(Count("GATETBL"), "1");
}

TEST_F(LoRaPageTest, TheAdrCountTakesTwoToTenAndAutoRegIsSavedAtOnce) {
  OpenPage();
  struct Case {
    const char* typed;
    bool accepted;
  };
  const Case cases[] = {{"1", false}, {"11", false}, {"x", false}, {"2", true}, {"10", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    messages.clear();
    const int32_t before = app.m_Settings.m_nAdrRxCount;
    LoRa().AdrCountEdit()->setFocus();
    LoRa().AdrCountEdit()->selectAll();
    QTest::keyClicks(LoRa().AdrCountEdit(), c.typed);
    ASSERT_TRUE(LoRa().AdrSaveButton()->isEnabled());
    QTest::mouseClick(LoRa().AdrSaveButton(), Qt::LeftButton);
    if (c.accepted) {
      EXPECT_TRUE(messages.empty());
      EXPECT_EQ(app.m_Settings.m_nAdrRxCount, atoi(c.typed));
      EXPECT_FALSE(LoRa().AdrSaveButton()->isEnabled());
      CSettingsBlock saved;
      ASSERT_TRUE(saved.LoadSettings(app.DataPath(kSettingsFileName)));
      EXPECT_EQ(saved.m_nAdrRxCount, atoi(c.typed));
    } else {
      EXPECT_EQ(messages, std::vector<std::string>{"ADR Count Range : 2 ~ 10"});
      EXPECT_EQ(app.m_Settings.m_nAdrRxCount, before);
      EXPECT_TRUE(LoRa().AdrSaveButton()->isEnabled());
    }
  }

  ASSERT_TRUE(LoRa().AutoRegBox()->isChecked());
  QTest::mouseClick(LoRa().AutoRegBox(), Qt::LeftButton);
  EXPECT_EQ(app.m_Settings.m_bAutoReg, 0);
  CSettingsBlock saved;
  ASSERT_TRUE(saved.LoadSettings(app.DataPath(kSettingsFileName)));
  EXPECT_EQ(saved.m_bAutoReg, 0);
}

TEST_F(LoRaPageTest, LoadPagesInAHundredStoredRecordsAtATimeWithoutDebugRecords) {
  const int32_t device = devicesOfA[2];
  for (int i = 0; i < 250; ++i) {
    for (uint32_t type : {static_cast<uint32_t>(CLog::Uplink), static_cast<uint32_t>(CLog::Debug)}) {
      CLog record = MakeRecord(type, i, i < 3 ? "SHORT" : "0102");
      record.DEVPKEY = static_cast<uint32_t>(device);
      ASSERT_EQ(app.m_LoRaLogMgr.InsertLog(record), 0);
    }
  }
  OpenPage();
  Click(LoRa().ApplicationList(), RowOf(LoRa().ApplicationList(), appA));
  Click(LoRa().DeviceList(), 2);
  for (int expected : {100, 200, 250, 250}) {
    LoRa().LoadLog();
    EXPECT_EQ(LoRa().LogList()->GetItemCount(), expected);
  }
  for (int r = 0; r < 250; ++r) ASSERT_NE(Texts(LoRa().LogList(), r)[0], " DEBUG") << r;
  EXPECT_EQ(Texts(LoRa().LogList(), 0)[11], "249");  // newest first

  // Save: nothing selected is refused; the selected rows go to the file.
  LoRa().SaveLog();
  EXPECT_EQ(messages.back(), "Please select a log item to save !");
  const std::string path = dir.File("saved.txt");
  LoRa().SetSavePathAsker([&] { return QString::fromStdString(path); });
  LoRa().LogList()->selectRow(249);
  LoRa().SaveLog();
  QFile file(QString::fromStdString(path));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const std::string text = file.readAll().toStdString();
  // Type padded to 15, Time to 20, APP ("SHORT", at most 20 characters) to 25.
  EXPECT_NE(text.find("   UP-LINK        10 12:00:00 001     SHORT                    0306"), std::string::npos)
      << text;

  LoRa().ClearLog();
  EXPECT_EQ(LoRa().LogList()->GetItemCount(), 0);
  EXPECT_EQ(LoRa().LogList()->m_nCurSel, -1);
}

}  // namespace
}  // namespace quorvex::ui::test
