// How the operator's lists show records, and the operator's edits of records
// the radio threads use: the edit reaches the registry and the file, and an
// edit of a device made from an older copy never rolls back what the radio
// side wrote since (counters, the session keys of a join).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "gateway/GateManager.h"
#include "persistence/AppList.h"
#include "persistence/DbFixture.h"
#include "persistence/DeviceManager.h"
#include "persistence/RecordRows.h"
#include "persistence/RecordStore.h"

namespace quorvex {
namespace {

using Texts = std::vector<std::string>;

TEST(RecordRowsTest, ListTextsOfEachKindOfRecord) {
  CApplication app;
  app.ACTIVATION = 1;
  app.CLASS = 1;
  const uint8_t eui[8] = {0x70, 0xB3, 0xD5, 0x7E, 0xD0, 0x00, 0x0A, 0xFF};
  std::copy(std::begin(eui), std::end(eui), app.APPEUI);
  EXPECT_EQ(ApplicationRowTexts(app), (Texts{"   ABP", "C", "70 B3 D5 7E D0 00 0A FF"}));
  app.ACTIVATION = 0;
  app.CLASS = 0;
  EXPECT_EQ(ApplicationRowTexts(app)[0], "   OTAA");
  EXPECT_EQ(ApplicationRowTexts(app)[1], "A");

  CDeviceRow device;
  std::copy(std::begin(eui), std::end(eui), device.DEVEUI);
  EXPECT_EQ(DeviceRowTexts(device), (Texts{"  70 B3 D5 7E D0 00 0A FF", ""}));
  device.JOINED = 1;
  EXPECT_EQ(DeviceRowTexts(device)[1], "OK");

  CGatewayRow gateway;
  snprintf(gateway.ID, sizeof gateway.ID, "AA555A0000000001");
  snprintf(gateway.IP, sizeof gateway.IP, "10.0.0.7");
  EXPECT_EQ(GatewayRowTexts(gateway), (Texts{"  OFF", "AA555A0000000001", "10.0.0.7"}));
  gateway.ACTIVE = 1;
  EXPECT_EQ(GatewayRowTexts(gateway)[0], "  ON");
  // A field filled to its last byte has no terminator and is never read past.
  std::fill(std::begin(gateway.ID), std::end(gateway.ID), 'F');
  EXPECT_EQ(GatewayRowTexts(gateway)[1], std::string(sizeof gateway.ID, 'F'));

  CDLink downlink;
  downlink.PORT = 7;
  downlink.CHANNEL = CDLink::kRx2;
  snprintf(downlink.MAC, sizeof downlink.MAC, "02");
  snprintf(downlink.APP, sizeof downlink.APP, "CA FE");
  EXPECT_EQ(DownlinkRowTexts(downlink), (Texts{" 7", "UCF", "RX 2", "02", "CA FE", ""}));
  downlink.CONFIRMED = 1;
  downlink.CHANNEL = CDLink::kRx1;
  snprintf(downlink.TIME, sizeof downlink.TIME, "12.10 09.15.02");
  EXPECT_EQ(DownlinkRowTexts(downlink), (Texts{" 7", "CNF", "RX 1", "02", "CA FE", "12.10 09.15.02"}));
}

TEST(RecordRowsTest, DeviceDetailsShowTheSignedColumnsAndSpacedKeys) {
  CDeviceRow device;
  device.DEVADDR = 0x80000001u;  // stored in a signed column
  device.NETWORKID = 19;
  for (int i = 0; i < 16; ++i) device.APPKEY[i] = static_cast<uint8_t>(i);
  device.NETSKEY[15] = 0xAB;
  snprintf(device.MEMO, sizeof device.MEMO, "pump 4");
  const DeviceDetailTexts details = DeviceDetailsOf(device);
  EXPECT_EQ(details.address, "-2147483647");
  EXPECT_EQ(details.networkId, "19");
  EXPECT_EQ(details.appKey, "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");
  EXPECT_EQ(details.appSKey, "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(details.netSKey.substr(details.netSKey.size() - 2), "AB");
  EXPECT_EQ(details.memo, "pump 4");
}

class RecordStoreTest : public test::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    auto app = std::make_unique<CApplication>();
    app->APPEUI[7] = 1;
    ASSERT_EQ(apps.InsertApplication(std::move(app)), 0);
    appKey = apps.m_List.back()->PKEY;
  }
  // A stored device of the application, loaded into the registry; its key.
  int32_t AddDevice(int32_t activation) {
    apps.m_List.back()->ACTIVATION = activation;
    auto device = std::make_unique<CDevice>();
    device->APKEY = appKey;
    device->DEVEUI[7] = 9;
    device->JOINED = activation;
    device->TXSEQ = -1;
    device->RXSEQ = -1;
    EXPECT_EQ(devices.InsertDevice(std::move(device)), 0);
    const int32_t key = devices.m_Devices.back()->PKEY;
    EXPECT_EQ(devices.LoadDevices(appKey), 0);
    return key;
  }

  CAppList apps{db};
  CDeviceManager devices{db};
  int32_t appKey = 0;
};

TEST_F(RecordStoreTest, NewRecordsComeBackWithTheirKeysFromTheRegistryAndTheFile) {
  CApplication app;
  app.APPEUI[7] = 2;
  CApplication storedApp;
  ASSERT_EQ(StoreNewApplication(db, apps, app, storedApp), 0);
  EXPECT_GT(storedApp.PKEY, appKey);
  EXPECT_EQ(apps.m_List.back()->PKEY, storedApp.PKEY);

  CDeviceRow device;
  device.APKEY = storedApp.PKEY;
  device.DEVEUI[0] = 7;
  CDeviceRow storedDevice;
  ASSERT_EQ(StoreNewDevice(db, devices, device, storedDevice), 0);
  ASSERT_TRUE(devices.GetDeviceByPkey(storedDevice.PKEY));
  EXPECT_EQ(devices.GetDeviceByPkey(storedDevice.PKEY)->DEVEUI[0], 7);

  CGateManager gateways;
  gateways.Attach(&db, nullptr);
  CGatewayRow gateway;
  snprintf(gateway.ID, sizeof gateway.ID, "AA555A0000000009");
  CGatewayRow storedGateway;
  ASSERT_EQ(StoreNewGateway(gateways, gateway, storedGateway), 0);
  EXPECT_GT(storedGateway.PKEY, 0);
  EXPECT_STREQ(storedGateway.ID, "AA555A0000000009");

  // A refused insert keeps the record listed, without a stored key.
  db.Close();
  CApplication refused;
  EXPECT_EQ(StoreNewApplication(db, apps, app, refused), 2);
  EXPECT_EQ(refused.PKEY, -1);
  EXPECT_EQ(apps.m_List.back()->PKEY, -1);
}

TEST_F(RecordStoreTest, AnEditedApplicationIsWhatTheRadioSideCopiesNext) {
  CApplication changed = *apps.m_List.back();
  snprintf(changed.APPURL, sizeof changed.APPURL, "http://new.example:8080");
  changed.ADR = 1;
  ASSERT_EQ(StoreEditedApplication(db, apps, changed), 0);
  CApplication copy;
  ASSERT_TRUE(apps.CopyApplication(appKey, copy));
  EXPECT_STREQ(copy.APPURL, "http://new.example:8080");
  EXPECT_EQ(copy.ADR, 1);
  CAppList reloaded(db);
  ASSERT_EQ(reloaded.LoadApplications(), 0);
  EXPECT_STREQ(reloaded.m_List.back()->APPURL, "http://new.example:8080");

  changed.PKEY = 9999;
  EXPECT_EQ(StoreEditedApplication(db, apps, changed), 3);
}

// The form was filled from the registry's copy; meanwhile the radio side
// moved the counters on and (OTAA) a join gave new session keys. The edit
// stores the operator's fields and keeps all of that.
TEST_F(RecordStoreTest, ADeviceEditKeepsWhatTheRadioSideWroteMeanwhile) {
  struct Case {
    const char* name;
    int32_t activation;
  };
  for (const Case& c : {Case{"OTAA", 0}, Case{"ABP", 1}}) {
    SCOPED_TRACE(c.name);
    const int32_t key = AddDevice(c.activation);
    CDeviceRow form = *devices.m_Devices.back();  // what the dialog opened with

    // The radio side: a join (OTAA) or traffic moves the stored row on.
    std::unique_ptr<CDevice> live = devices.GetDeviceByPkey(key);
    ASSERT_TRUE(live);
    live->JOINED = 1;
    live->DEVADDR = 0x26000001;
    live->APPSKEY[0] = 0x11;
    live->NETSKEY[0] = 0x22;
    live->TXSEQ = 41;
    live->RXSEQ = 77;
    ASSERT_EQ(devices.UpdateDevice(live.get()), 0);

    // The operator's edit, from the older copy.
    form.NETWORKID = 5;
    form.APPKEY[0] = 0x33;
    form.APPSKEY[0] = 0x44;
    form.NETSKEY[0] = 0x55;
    snprintf(form.MEMO, sizeof form.MEMO, "edited");
    CApplication app = *apps.m_List.back();
    ASSERT_EQ(StoreEditedDevice(db, devices, app, form), 0);

    std::unique_ptr<CDevice> stored = devices.GetDeviceByPkey(key);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->TXSEQ, 41);
    EXPECT_EQ(stored->RXSEQ, 77);
    EXPECT_EQ(stored->JOINED, 1);
    EXPECT_EQ(stored->DEVADDR, 0x26000001u);
    EXPECT_STREQ(stored->MEMO, "edited");
    if (c.activation == 0) {  // the operator's OTAA fields; the join's session keys stay
      EXPECT_EQ(stored->NETWORKID, 5u);
      EXPECT_EQ(stored->APPKEY[0], 0x33);
      EXPECT_EQ(stored->APPSKEY[0], 0x11);
      EXPECT_EQ(stored->NETSKEY[0], 0x22);
    } else {  // the operator's ABP session keys; the network identifier and app key stay
      EXPECT_EQ(stored->NETWORKID, 0u);
      EXPECT_EQ(stored->APPKEY[0], 0);
      EXPECT_EQ(stored->APPSKEY[0], 0x44);
      EXPECT_EQ(stored->NETSKEY[0], 0x55);
    }
    // The registry's record is the stored row, for the page to show.
    ASSERT_FALSE(devices.m_Devices.empty());
    EXPECT_EQ(devices.m_Devices.back()->TXSEQ, 41);
    EXPECT_STREQ(devices.m_Devices.back()->MEMO, "edited");
    ASSERT_EQ(devices.DeleteDevice(key), 0);
  }
}

TEST_F(RecordStoreTest, AGatewayEditChangesOnlyItsActiveState) {
  CGateManager gateways;
  gateways.Attach(&db, nullptr);
  auto gateway = std::make_unique<CGateway>();
  snprintf(gateway->ID, sizeof gateway->ID, "AA555A0000000001");
  snprintf(gateway->IP, sizeof gateway->IP, "10.0.0.1");
  ASSERT_EQ(gateways.InsertGateway(std::move(gateway)), 0);
  CGatewayRow form = *gateways.m_Gateways.back();
  // A datagram from a new address arrives while the form is open.
  snprintf(gateways.m_Gateways.back()->IP, sizeof form.IP, "10.0.0.2");
  form.ACTIVE = 1;
  snprintf(form.ID, sizeof form.ID, "FFFFFFFFFFFFFFFF");
  ASSERT_EQ(StoreEditedGateway(gateways, form), 0);
  CGateManager reloaded;
  reloaded.Attach(&db, nullptr);
  ASSERT_EQ(reloaded.LoadGateways(), 0);
  ASSERT_EQ(reloaded.m_Gateways.size(), 1u);
  EXPECT_EQ(reloaded.m_Gateways[0]->ACTIVE, 1);
  EXPECT_STREQ(reloaded.m_Gateways[0]->ID, "AA555A0000000001");
  EXPECT_STREQ(reloaded.m_Gateways[0]->IP, "10.0.0.2");
  form.PKEY = 777;
  EXPECT_EQ(StoreEditedGateway(gateways, form), 3);
}

}  // namespace
}  // namespace quorvex
