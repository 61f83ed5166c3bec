// The record forms as the operator meets them: text typed into the real
// widgets, Save clicked, and the message shown or the record handed back,
// over a real temporary database (duplicate tests and the proposed address
// read it).
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gateway/Gateway.h"
#include "persistence/Log.h"
#include "runtime/QuorvexApp.h"
#include "support/TempDir.h"
#include "ui/dialogs/ApplicationDlg.h"
#include "ui/dialogs/DeviceDlg.h"
#include "ui/dialogs/DownlinkDlg.h"
#include "ui/dialogs/GatewayDlg.h"
#include "ui/skin/BaseDialog.h"
#include "ui/skin/MessageBox.h"
#include "ui/skin/SkinButton.h"

namespace quorvex::ui::test {
namespace {

const uint8_t kEui[8] = {0x70, 0xB3, 0xD5, 0x7E, 0xD0, 0x00, 0x00, 0x01};

class EditDialogFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    CBaseDialog::SetImagesDir(QStringLiteral(QUORVEX_IMAGES_DIR));
    SetMessageHook([this](const QString& text, MessageKind) {
      messages.push_back(text.toStdString());
      return true;
    });
    ASSERT_TRUE(app.InitBase(dir.Path().string()));
    app.LoadRegistries();
  }
  void TearDown() override { SetMessageHook({}); }

  // Replaces what a field shows with `text`, typed key by key.
  static void Type(QLineEdit* edit, const QString& text) {
    ASSERT_TRUE(edit->isEnabled());
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
  }
  // Moves a drop-down list `steps` entries down (negative: up) from the keyboard.
  static void Step(QComboBox* combo, int steps) {
    ASSERT_TRUE(combo->isEnabled());
    for (int i = 0; i < std::abs(steps); ++i) QTest::keyClick(combo, steps > 0 ? Qt::Key_Down : Qt::Key_Up);
  }
  static void Save(CEditDialog& dlg) { QTest::mouseClick(dlg.SaveButton(), Qt::LeftButton); }

  CApplication& AddApplication(int32_t activation, int32_t deviceClass, const uint8_t (&eui)[8]) {
    auto record = std::make_unique<CApplication>();
    record->ACTIVATION = activation;
    record->CLASS = deviceClass;
    std::copy(std::begin(eui), std::end(eui), record->APPEUI);
    CApplication* kept = record.get();
    EXPECT_EQ(app.m_LoRaAppList.InsertApplication(std::move(record)), 0);
    return *kept;
  }
  void AddDevice(int32_t apKey, const uint8_t (&eui)[8], uint32_t address) {
    auto record = std::make_unique<CDevice>();
    record->APKEY = apKey;
    std::copy(std::begin(eui), std::end(eui), record->DEVEUI);
    record->DEVADDR = address;
    ASSERT_EQ(app.m_LoRaDevMgr.InsertDevice(std::move(record)), 0);
  }

  quorvex::test::TempDir dir;
  CQuorvexApp app;
  std::vector<std::string> messages;
};

// ---- Application form

struct AppCase {
  const char* name;
  int classSteps;  // Down presses on the class list
  QString mask, eui, rx2;
  std::string message;  // empty: accepted
  QLineEdit* (CAppDlg::*focus)() const;
};

TEST_F(EditDialogFixture, ApplicationSaveShowsTheRefusalOfEachFieldOrHandsBackTheRecord) {
  const uint8_t taken[8] = {0xA0, 0, 0, 0, 0, 0, 0, 0x01};
  AddApplication(0, 0, taken);
  const AppCase cases[] = {
      {"empty EUI", 0, "00FF", "", "", "Please Enter Application Eui", &CAppDlg::AppEui},
      {"EUI one byte short", 0, "00FF", "00112233445566", "", "Application EUI: enter 16 hex digits (8 bytes)",
       &CAppDlg::AppEui},
      {"EUI not hex", 0, "00FF", "00112233445566GG", "", "Application EUI: enter 16 hex digits (8 bytes)",
       &CAppDlg::AppEui},
      {"mask not hex", 0, "0G00", "0011223344556677", "", "Channel Mask: enter 4 hex digits (2 bytes)",
       &CAppDlg::ChannelMask},
      {"class C, 8-digit RX2", 1, "", "0011223344556677", "92190000", "Rx 2 Channel Length Error",
       &CAppDlg::Rx2Channel},
      {"duplicate EUI", 0, "00FF", "a0 00 00 00 00 00 00 01", "", "The values of the DEVEUI are duplicated.",
       &CAppDlg::AppEui},
      {"accepted, typed with dashes in lower case", 0, "00ff", "70-b3-d5-7e-d0-00-00-01", "", "", nullptr},
  };
  for (const AppCase& c : cases) {
    SCOPED_TRACE(c.name);
    messages.clear();
    CAppDlg dlg(app.m_LoRaAppList, nullptr);
    dlg.show();
    Step(dlg.Class(), c.classSteps);
    if (!c.mask.isEmpty()) Type(dlg.ChannelMask(), c.mask);
    if (!c.rx2.isEmpty()) Type(dlg.Rx2Channel(), c.rx2);
    Type(dlg.AppEui(), c.eui);
    Save(dlg);
    if (c.message.empty()) {
      EXPECT_TRUE(messages.empty());
      EXPECT_EQ(dlg.result(), QDialog::Accepted);
      EXPECT_EQ(dlg.AppEui()->text(), QStringLiteral("70-B3-D5-7E-D0-00-00-01"));
      EXPECT_EQ(0, memcmp(dlg.Record().APPEUI, kEui, 8));
      EXPECT_EQ(dlg.Record().CHMASK, 255);
      EXPECT_EQ(dlg.Record().ADR, 1);
      EXPECT_EQ(dlg.Record().PKEY, -1);
    } else {
      EXPECT_EQ(messages, std::vector<std::string>{c.message});
      EXPECT_TRUE(dlg.isVisible());
      EXPECT_NE(dlg.result(), QDialog::Accepted);
      EXPECT_EQ(dlg.focusWidget(), (dlg.*c.focus)());
    }
  }
}

TEST_F(EditDialogFixture, ApplicationClassAndAdrChoicesEnableTheirFields) {
  CAppDlg dlg(app.m_LoRaAppList, nullptr);
  dlg.show();
  struct State {
    bool adrEnabled;
    QString adr;
    bool maskEnabled, rx2Enabled;
  };
  auto check = [&](const State& s) {
    EXPECT_EQ(dlg.Adr()->isEnabled(), s.adrEnabled);
    EXPECT_EQ(dlg.Adr()->currentText(), s.adr);
    EXPECT_EQ(dlg.ChannelMask()->isEnabled(), s.maskEnabled);
    EXPECT_EQ(dlg.Rx2Channel()->isEnabled(), s.rx2Enabled);
    EXPECT_EQ(dlg.Rx2Sf()->isEnabled(), s.rx2Enabled);
    EXPECT_EQ(dlg.Rx2Bw()->isEnabled(), s.rx2Enabled);
  };
  struct StepCase {
    const char* name;
    QComboBox* (CAppDlg::*combo)() const;
    int steps;
    State after;
  };
  const StepCase steps[] = {
      {"opening: class A, ADR ON", nullptr, 0, {true, "ON", true, false}},
      {"class C: ADR OFF and fixed, RX2 open", &CAppDlg::Class, 1, {false, "OFF", false, true}},
      {"back to A: ADR free but still OFF, mask enabled", &CAppDlg::Class, -1, {true, "OFF", true, false}},
      {"ADR ON keeps the mask", &CAppDlg::Adr, -1, {true, "ON", true, false}},
      {"ADR OFF disables the mask", &CAppDlg::Adr, 1, {true, "OFF", false, false}},
  };
  for (const StepCase& s : steps) {
    SCOPED_TRACE(s.name);
    if (s.combo != nullptr) Step((dlg.*s.combo)(), s.steps);
    check(s.after);
  }
  EXPECT_TRUE(dlg.Activation()->isEnabled());
  EXPECT_TRUE(dlg.AppEui()->isEnabled());
}

TEST_F(EditDialogFixture, ApplicationEditOfClassCFixesIdentityAndOpensRx2) {
  CApplication& stored = AddApplication(1, 1, kEui);
  stored.ADR = 1;
  stored.RX2CHAN = 923300000;
  CAppDlg dlg(app.m_LoRaAppList, stored, nullptr);
  dlg.show();
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Edit Application"));
  EXPECT_FALSE(dlg.Activation()->isEnabled());
  EXPECT_FALSE(dlg.Class()->isEnabled());
  EXPECT_FALSE(dlg.AppEui()->isEnabled());
  EXPECT_FALSE(dlg.Adr()->isEnabled());
  EXPECT_EQ(dlg.Adr()->currentText(), QStringLiteral("OFF"));
  EXPECT_TRUE(dlg.Rx2Channel()->isEnabled());
  EXPECT_EQ(dlg.AppEui()->text(), QStringLiteral("70 B3 D5 7E D0 00 00 01"));
  Type(dlg.Memo(), QString(60, QLatin1Char('m')));
  EXPECT_EQ(dlg.Memo()->text().size(), 50);
  Type(dlg.Rx2Channel(), QStringLiteral("921900000"));
  QTest::keyClick(dlg.Rx2Channel(), Qt::Key_Return);  // Return is Save
  EXPECT_TRUE(messages.empty());
  ASSERT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(dlg.Record().PKEY, stored.PKEY);
  EXPECT_EQ(dlg.Record().RX2CHAN, 921900000);
  EXPECT_EQ(dlg.Record().ADR, 0);
  EXPECT_EQ(stored.RX2CHAN, 923300000) << "the caller's record is changed only by the caller";
}

TEST_F(EditDialogFixture, ApplicationFocusFollowsTheFieldsTopToBottom) {
  CAppDlg dlg(app.m_LoRaAppList, nullptr);
  dlg.show();
  std::vector<QWidget*> order;
  QWidget* w = dlg.Activation();
  do {
    if (w->focusPolicy() & Qt::TabFocus) order.push_back(w);
    w = w->nextInFocusChain();
  } while (w != dlg.Activation() && order.size() < 20);
  const std::vector<QWidget*> expected = {dlg.Activation(), dlg.Class(),      dlg.Adr(),   dlg.ChannelMask(),
                                          dlg.AppEui(),     dlg.Rx2Channel(), dlg.Rx2Sf(), dlg.Rx2Bw(),
                                          dlg.Url(),        dlg.Path(),       dlg.Memo()};
  EXPECT_EQ(order, expected);
}

// ---- Device form

TEST_F(EditDialogFixture, DeviceActivationDecidesTypedFieldsAndTheNextFreeAddressIsProposed) {
  const CApplication otaa = AddApplication(0, 0, kEui);
  const uint8_t other[8] = {0xB0, 0, 0, 0, 0, 0, 0, 0x02};
  const CApplication abp = AddApplication(1, 1, other);
  AddDevice(abp.PKEY, other, 41);
  struct Case {
    const CApplication* app;
    const char* title;
    bool address, networkId, appKey, sessionKeys;
  };
  const Case cases[] = {{&otaa, "New OTAA Class-A Device", false, true, true, false},
                        {&abp, "New ABP Class-C Device", true, false, false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    CDevDlg dlg(*c.app, app.m_LoRaDevMgr, app.m_LoRaDbMgr, nullptr);
    EXPECT_EQ(dlg.windowTitle(), QString::fromLatin1(c.title));
    EXPECT_EQ(dlg.Address()->text(), QStringLiteral("42"));
    EXPECT_TRUE(dlg.DevEui()->isEnabled());
    EXPECT_EQ(dlg.Address()->isEnabled(), c.address);
    EXPECT_EQ(dlg.NetworkId()->isEnabled(), c.networkId);
    EXPECT_EQ(dlg.AppKey()->isEnabled(), c.appKey);
    EXPECT_EQ(dlg.AppSKey()->isEnabled(), c.sessionKeys);
    EXPECT_EQ(dlg.NetSKey()->isEnabled(), c.sessionKeys);
  }
}

TEST_F(EditDialogFixture, DeviceSaveShowsTheRefusalOfEachFieldOrHandsBackTheRecord) {
  const uint8_t otherEui[8] = {0xB0, 0, 0, 0, 0, 0, 0, 0x02};
  const CApplication other = AddApplication(0, 0, otherEui);
  const CApplication abp = AddApplication(1, 0, kEui);
  AddDevice(other.PKEY, otherEui, 7);
  const QString key = QStringLiteral("00112233445566778899aabbccddeeff");
  struct Case {
    const char* name;
    QString eui, address, appSKey;
    std::string message;
    QLineEdit* (CDevDlg::*focus)() const;
  };
  const Case cases[] = {
      {"empty EUI", "", "100", key, "Please Enter Device Eui !", &CDevDlg::DevEui},
      {"EUI not hex", "0011223344556G77", "100", key, "Device EUI: enter 16 hex digits (8 bytes)", &CDevDlg::DevEui},
      {"session key one digit short", "0011223344556677", "100", key.left(31),
       "App SKey: enter 32 hex digits (16 bytes)", &CDevDlg::AppSKey},
      {"EUI of another application's device", "b0 00 00 00 00 00 00 02", "100", key,
       "The values of the EUI are duplicated.", &CDevDlg::DevEui},
      {"address another device has", "0011223344556677", "7", key, "The values of the ADDRESS are duplicated.",
       &CDevDlg::Address},
      {"accepted", "70-b3-d5-7e-d0-00-00-01", "100", key, "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    messages.clear();
    CDevDlg dlg(abp, app.m_LoRaDevMgr, app.m_LoRaDbMgr, nullptr);
    dlg.show();
    Type(dlg.DevEui(), c.eui);
    Type(dlg.Address(), c.address);
    Type(dlg.AppSKey(), c.appSKey);
    Type(dlg.NetSKey(), key);
    Save(dlg);
    if (c.message.empty()) {
      EXPECT_TRUE(messages.empty());
      ASSERT_EQ(dlg.result(), QDialog::Accepted);
      EXPECT_EQ(0, memcmp(dlg.Record().DEVEUI, kEui, 8));
      EXPECT_EQ(dlg.Record().DEVADDR, 100u);
      EXPECT_EQ(dlg.Record().APKEY, abp.PKEY);
      EXPECT_EQ(dlg.Record().JOINED, 1);
      EXPECT_EQ(dlg.Record().APPSKEY[15], 0xFF);
    } else {
      EXPECT_EQ(messages, std::vector<std::string>{c.message});
      EXPECT_NE(dlg.result(), QDialog::Accepted);
      EXPECT_EQ(dlg.focusWidget(), (dlg.*c.focus)());
    }
  }
}

TEST_F(EditDialogFixture, DeviceEditFixesEuiAndAddress) {
  const CApplication abp = AddApplication(1, 0, kEui);
  CDeviceRow row;
  row.PKEY = 5;
  row.APKEY = abp.PKEY;
  std::copy(std::begin(kEui), std::end(kEui), row.DEVEUI);
  row.DEVADDR = 9;
  CDevDlg dlg(abp, app.m_LoRaDevMgr, row, nullptr);
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Edit ABP Class-A Device"));
  EXPECT_FALSE(dlg.DevEui()->isEnabled());
  EXPECT_FALSE(dlg.Address()->isEnabled());
  EXPECT_EQ(dlg.DevEui()->text(), QStringLiteral("70 B3 D5 7E D0 00 00 01"));
  EXPECT_EQ(dlg.Address()->text(), QStringLiteral("9"));
}

// ---- Downlink request and gateway forms

TEST_F(EditDialogFixture, DownlinkSavedAtOnceQueuesPort2UnconfirmedRx1WithoutData) {
  CDlinkDlg dlg(0, nullptr);
  dlg.show();
  EXPECT_EQ(dlg.Channel()->count(), 1);
  Save(dlg);
  EXPECT_TRUE(messages.empty());
  ASSERT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(dlg.Record().PORT, 2);
  EXPECT_EQ(dlg.Record().CONFIRMED, 0);
  EXPECT_EQ(dlg.Record().CHANNEL, 0);
  EXPECT_STREQ(dlg.Record().APP, "");
  EXPECT_STREQ(dlg.Record().MAC, "");
}

TEST_F(EditDialogFixture, DownlinkChoicesAndDataReachTheRequest) {
  struct Case {
    const char* name;
    int32_t appClass;
    int portSteps, channelSteps;
    QString appData, macData;
    std::string message;
    int port, channel;
    const char *app, *mac;
  };
  const Case cases[] = {
      {"class C, port 4, RX 2", 1, 2, 1, "0x01, 0x02, 0xff", "030700", "", 4, 1, "01 02 FF", "03 07 00"},
      {"application data not whole bytes", 0, 0, 0, "01G2", "",
       "Application Data: enter whole bytes of hex, such as 01 02 FF", 0, 0, "", ""},
      {"MAC data over 10 bytes", 0, 0, 0, "", "0102030405060708090A0B", "Mac Data: at most 10 bytes", 0, 0, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    messages.clear();
    CDlinkDlg dlg(c.appClass, nullptr);
    dlg.show();
    EXPECT_EQ(dlg.Channel()->count(), c.appClass == 1 ? 2 : 1);
    Step(dlg.Port(), c.portSteps);
    Step(dlg.Channel(), c.channelSteps);
    if (!c.appData.isEmpty()) Type(dlg.AppData(), c.appData);
    if (!c.macData.isEmpty()) Type(dlg.MacData(), c.macData);
    Save(dlg);
    if (c.message.empty()) {
      EXPECT_TRUE(messages.empty());
      ASSERT_EQ(dlg.result(), QDialog::Accepted);
      EXPECT_EQ(dlg.Record().PORT, c.port);
      EXPECT_EQ(dlg.Record().CHANNEL, c.channel);
      EXPECT_STREQ(dlg.Record().APP, c.app);
      EXPECT_STREQ(dlg.Record().MAC, c.mac);
    } else {
      EXPECT_EQ(messages, std::vector<std::string>{c.message});
      EXPECT_NE(dlg.result(), QDialog::Accepted);
      EXPECT_EQ(dlg.focusWidget(), c.appData.isEmpty() ? dlg.MacData() : dlg.AppData());
    }
  }
}

TEST_F(EditDialogFixture, GatewayAddRefusesBadAndTakenIdsAndEditChangesOnlyActive) {
  auto existing = std::make_unique<CGateway>();
  SetField(existing->ID, "AA555A0000000001");
  existing->ACTIVE = 1;
  ASSERT_EQ(app.m_LoRaGateMgr.InsertGateway(std::move(existing)), 0);
  struct Case {
    QString id;
    std::string message;
  };
  const Case cases[] = {{"AA555A00000000", "Gateway ID: enter 16 hex digits (8 bytes)"},
                        {"aa555a0000000001", "The values of the Gateway ID are duplicated."},
                        {"aa 55 5a 00 00 00 00 02", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id.toStdString());
    messages.clear();
    CGateDlg dlg(app.m_LoRaGateMgr, nullptr);
    dlg.show();
    Step(dlg.Active(), 1);
    Type(dlg.Id(), c.id);
    Save(dlg);
    if (c.message.empty()) {
      EXPECT_TRUE(messages.empty());
      ASSERT_EQ(dlg.result(), QDialog::Accepted);
      EXPECT_STREQ(dlg.Record().ID, "AA555A0000000002");
      EXPECT_EQ(dlg.Record().ACTIVE, 0);
    } else {
      EXPECT_EQ(messages, std::vector<std::string>{c.message});
      EXPECT_EQ(dlg.focusWidget(), dlg.Id());
    }
  }
  CGatewayRow row;
  row.PKEY = 3;
  row.ACTIVE = 0;
  SetField(row.ID, "AA555A0000000003");
  CGateDlg edit(app.m_LoRaGateMgr, row, nullptr);
  edit.show();
  EXPECT_FALSE(edit.Id()->isEnabled());
  EXPECT_EQ(edit.Active()->currentText(), QStringLiteral("OFF"));
  Step(edit.Active(), -1);
  QTest::keyClick(edit.Active(), Qt::Key_Return);
  ASSERT_EQ(edit.result(), QDialog::Accepted);
  EXPECT_EQ(edit.Record().ACTIVE, 1);
  EXPECT_STREQ(edit.Record().ID, "AA555A0000000003");
}

// ---- Keys

TEST_F(EditDialogFixture, EscapeCancelsWithoutCheckingAndReturnRetriesAfterARefusal) {
  CAppDlg dlg(app.m_LoRaAppList, nullptr);
  dlg.show();
  QTest::keyClick(dlg.AppEui(), Qt::Key_Return);
  EXPECT_EQ(messages, std::vector<std::string>{"Please Enter Application Eui"});
  EXPECT_TRUE(dlg.isVisible());
  QTest::keyClicks(dlg.AppEui(), QStringLiteral("0011223344556677"));
  QTest::keyClick(dlg.Class(), Qt::Key_Return);
  EXPECT_EQ(dlg.result(), QDialog::Accepted);

  messages.clear();
  CDevDlg dev(dlg.Record(), app.m_LoRaDevMgr, app.m_LoRaDbMgr, nullptr);
  dev.show();
  QTest::keyClicks(dev.DevEui(), QStringLiteral("zz"));
  QTest::keyClick(dev.DevEui(), Qt::Key_Escape);
  EXPECT_EQ(dev.result(), QDialog::Rejected);
  EXPECT_FALSE(dev.isVisible());
  EXPECT_TRUE(messages.empty());
}

}  // namespace
}  // namespace quorvex::ui::test
