// The device form's rules: the message and field of every refusal for an
// OTAA and an ABP application, what an accepted form stores (checked in the
// database), the proposed address, the enable rules and titles, and the
// duplicate tests across applications.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <cstring>
#include <memory>
#include <string>

#include "persistence/AppList.h"
#include "persistence/ApplicationRules.h"
#include "persistence/DbFixture.h"
#include "persistence/DeviceManager.h"
#include "persistence/DeviceRules.h"
#include "persistence/Log.h"

namespace quorvex {
namespace {

using test::DbTest;
using test::RawDb;

constexpr char kEui[] = "70 B3 D5 7E D0 00 00 01";
constexpr char kKey[] = "2B 7E 15 16 28 AE D2 A6 AB F7 15 88 09 CF 4F 3C";
constexpr char kKeyHex[] = "2B7E151628AED2A6ABF7158809CF4F3C";
constexpr char kZeroKeyHex[] = "00000000000000000000000000000000";

CApplication App(int32_t pkey, int32_t activation, int32_t deviceClass) {
  CApplication app;
  app.PKEY = pkey;
  app.ACTIVATION = activation;
  app.CLASS = deviceClass;
  return app;
}

const CApplication kOtaaApp = App(7, kActivationOtaa, kClassA);
const CApplication kAbpApp = App(8, kActivationAbp, kClassC);

// What the operator types for a new device of each kind.
DeviceForm OtaaForm(const std::string& proposedAddress) {
  DeviceForm form;
  form.devEui = kEui;
  form.address = proposedAddress;
  form.networkId = "19";
  form.appKey = kKey;
  return form;
}

DeviceForm AbpForm() {
  DeviceForm form;
  form.devEui = kEui;
  form.address = "305419896";
  form.appSKey = kKey;
  form.netSKey = "000102030405060708090A0B0C0D0E0F";
  return form;
}

struct DevFormCase {
  const char* name;
  bool otaa;
  void (*change)(DeviceForm&);
  const char* message;  // nullptr: accepted
  const char* field;
};

const DevFormCase kDevFormCases[] = {
    {"OtaaValid", true, [](DeviceForm&) {}, nullptr, ""},
    {"AbpValid", false, [](DeviceForm&) {}, nullptr, ""},
    {"EuiEmpty", true, [](DeviceForm& f) { f.devEui = ""; }, "Please Enter Device Eui !", "devEui"},
    {"EuiShort", false, [](DeviceForm& f) { f.devEui = "70B3D57ED00000"; }, "Device EUI: enter 16 hex digits (8 bytes)",
     "devEui"},
    {"EuiBadDigit", true, [](DeviceForm& f) { f.devEui = "70-B3-D5-7E-D0-00-00-0Z"; },
     "Device EUI: enter 16 hex digits (8 bytes)", "devEui"},
    {"EuiDashes", true, [](DeviceForm& f) { f.devEui = "70-B3-D5-7E-D0-00-00-01"; }, nullptr, ""},
    // A key typed short was stored padded with zeros; now it is refused.
    {"AppKeyEmpty", true, [](DeviceForm& f) { f.appKey = ""; }, "App Key: enter 32 hex digits (16 bytes)", "appKey"},
    {"AppKey31Digits", true, [](DeviceForm& f) { f.appKey = std::string(kKeyHex).substr(0, 31); },
     "App Key: enter 32 hex digits (16 bytes)", "appKey"},
    {"AppKey34Digits", true, [](DeviceForm& f) { f.appKey = std::string(kKeyHex) + "00"; },
     "App Key: enter 32 hex digits (16 bytes)", "appKey"},
    {"AppKeyBadDigit", true, [](DeviceForm& f) { f.appKey = "2B7E151628AED2A6ABF7158809CF4F3X"; },
     "App Key: enter 32 hex digits (16 bytes)", "appKey"},
    {"AppKeyCompact", true, [](DeviceForm& f) { f.appKey = kKeyHex; }, nullptr, ""},
    {"NetworkIdEmpty", true, [](DeviceForm& f) { f.networkId = ""; },
     "Network ID (Dec): enter a number from 0 to 4294967295", "networkId"},
    {"NetworkIdNotDecimal", true, [](DeviceForm& f) { f.networkId = "12a"; },
     "Network ID (Dec): enter a number from 0 to 4294967295", "networkId"},
    {"NetworkIdTooLarge", true, [](DeviceForm& f) { f.networkId = "4294967296"; },
     "Network ID (Dec): enter a number from 0 to 4294967295", "networkId"},
    // Fields the activation mode disables are neither checked nor stored.
    {"OtaaIgnoresSessionKeys", true, [](DeviceForm& f) { f.appSKey = f.netSKey = "junk"; }, nullptr, ""},
    {"AbpIgnoresAppKeyAndNetworkId", false, [](DeviceForm& f) { f.appKey = f.networkId = "junk"; }, nullptr, ""},
    {"AppSKeyShort", false, [](DeviceForm& f) { f.appSKey = "2B 7E 15"; }, "App SKey: enter 32 hex digits (16 bytes)",
     "appSKey"},
    {"NetSKeyOdd", false, [](DeviceForm& f) { f.netSKey = "000102030405060708090A0B0C0D0E0"; },
     "Network SKey: enter 32 hex digits (16 bytes)", "netSKey"},
    {"AddressEmpty", false, [](DeviceForm& f) { f.address = ""; },
     "Address (Dec): enter a number from 0 to 4294967295", "address"},
    {"AddressHex", false, [](DeviceForm& f) { f.address = "0x1234"; },
     "Address (Dec): enter a number from 0 to 4294967295", "address"},
    {"AddressTooLarge", false, [](DeviceForm& f) { f.address = "4294967296"; },
     "Address (Dec): enter a number from 0 to 4294967295", "address"},
    {"MemoOf51", false, [](DeviceForm& f) { f.memo = std::string(51, 'm'); }, "Memo: at most 50 characters", "memo"},
    {"MemoOf50", false, [](DeviceForm& f) { f.memo = std::string(50, 'm'); }, nullptr, ""},
};

class DeviceFormTest : public DbTest, public ::testing::WithParamInterface<DevFormCase> {
 protected:
  CDeviceManager devices{db};
};

TEST_P(DeviceFormTest, RefusesWithItsMessageOrStoresTheForm) {
  const DevFormCase& c = GetParam();
  const CApplication& app = c.otaa ? kOtaaApp : kAbpApp;
  DeviceForm form = c.otaa ? OtaaForm("1") : AbpForm();
  c.change(form);
  CDevice record;
  SetField(record.MEMO, "before");
  const RuleResult result = ApplyDeviceForm(form, FormMode::kAdd, app, devices, record);

  if (c.message != nullptr) {
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message, c.message);
    EXPECT_EQ(result.field, c.field);
    EXPECT_STREQ(record.MEMO, "before");
    EXPECT_EQ(record.APKEY, 0);
    return;
  }
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(record.PKEY, -1);
  ASSERT_EQ(devices.InsertDevice(std::make_unique<CDevice>(record)), 0);
  RawDb raw(DbPath());
  const std::string where = " FROM DEVTBL WHERE PKEY=" + std::to_string(devices.m_Devices.back()->PKEY);
  EXPECT_EQ(raw.Scalar("SELECT APKEY" + where), std::to_string(app.PKEY));
  EXPECT_EQ(raw.Scalar("SELECT hex(DEVEUI)" + where), "70B3D57ED0000001");
  EXPECT_EQ(raw.Scalar("SELECT MEMO" + where), form.memo);
  // No frame yet: the first uplink's counter is taken as it comes, even 0.
  EXPECT_EQ(raw.Scalar("SELECT TXSEQ||','||RXSEQ" + where), "-1,-1");
  if (c.otaa) {
    EXPECT_EQ(raw.Scalar("SELECT JOINED" + where), "0");
    EXPECT_EQ(raw.Scalar("SELECT DEVADDR" + where), "1");
    EXPECT_EQ(raw.Scalar("SELECT NETWORKID" + where), "19");
    EXPECT_EQ(raw.Scalar("SELECT hex(APPKEY)" + where), kKeyHex);
    EXPECT_EQ(raw.Scalar("SELECT hex(APPSKEY)" + where), kZeroKeyHex);
  } else {
    EXPECT_EQ(raw.Scalar("SELECT JOINED" + where), "1");
    EXPECT_EQ(raw.Scalar("SELECT DEVADDR" + where), "305419896");
    EXPECT_EQ(raw.Scalar("SELECT NETWORKID" + where), "0");
    EXPECT_EQ(raw.Scalar("SELECT hex(APPKEY)" + where), kZeroKeyHex);
    EXPECT_EQ(raw.Scalar("SELECT hex(APPSKEY)" + where), kKeyHex);
    EXPECT_EQ(raw.Scalar("SELECT hex(NETSKEY)" + where), "000102030405060708090A0B0C0D0E0F");
  }
}

INSTANTIATE_TEST_SUITE_P(Table, DeviceFormTest, ::testing::ValuesIn(kDevFormCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceAddressTextTest, ReadsBothReadingsOfThe32Bits) {
  const struct {
    const char* text;
    bool ok;
    uint32_t value;
  } cases[] = {
      {"0", true, 0},
      {"4294967295", true, 0xFFFFFFFFu},
      {"-1", true, 0xFFFFFFFFu},  // what "%d" shows for the largest address
      {"-2147483648", true, 0x80000000u},
      {" 42 ", true, 42},
      {"-2147483649", false, 0},
      {"4294967296", false, 0},
      {"", false, 0},
      {"-", false, 0},
      {"+5", false, 0},
      {"1 2", false, 0},
  };
  for (const auto& c : cases) {
    uint32_t value = 77;
    EXPECT_EQ(ReadDecimal32(c.text, value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : 77u) << c.text;
  }
}

// ---- Opening the form --------------------------------------------------------

class DeviceOpenTest : public DbTest {
 protected:
  void AddRow(int32_t apKey, uint8_t euiLast, uint32_t devAddr) {
    auto device = std::make_unique<CDevice>();
    device->APKEY = apKey;
    device->DEVEUI[7] = euiLast;
    device->DEVADDR = devAddr;
    ASSERT_EQ(devices.InsertDevice(std::move(device)), 0);
  }

  CDeviceManager devices{db};
};

TEST_F(DeviceOpenTest, ProposesOneAboveTheLargestAddressOfAnyApplication) {
  EXPECT_EQ(ProposeDeviceAddress(db), 1u);
  EXPECT_EQ(NewDeviceForm(db).address, "1");
  AddRow(1, 1, 5);
  AddRow(2, 2, 0x12345678);  // another application's device counts too
  AddRow(1, 3, 40);
  EXPECT_EQ(ProposeDeviceAddress(db), 0x12345679u);
  const DeviceForm form = NewDeviceForm(db);
  EXPECT_EQ(form.address, "305419897");
  EXPECT_EQ(form.devEui, "");
  EXPECT_EQ(form.appKey, "");
  EXPECT_EQ(form.memo, "");
}

TEST_F(DeviceOpenTest, AnOtaaDeviceTakesTheProposedAddress) {
  AddRow(1, 1, 41);
  CDevice record;
  DeviceForm form = NewDeviceForm(db);
  form.devEui = kEui;
  form.networkId = "0";
  form.appKey = kKey;
  ASSERT_TRUE(ApplyDeviceForm(form, FormMode::kAdd, kOtaaApp, devices, record).ok);
  EXPECT_EQ(record.DEVADDR, 42u);
}

TEST(DeviceFormOfTest, ShowsTheRecordWithEveryKey) {
  CDevice record;
  for (int i = 0; i < 8; ++i) record.DEVEUI[i] = static_cast<uint8_t>(0x70 + i);
  record.DEVADDR = 0xFFFFFFFEu;
  record.NETWORKID = 19;
  for (int i = 0; i < 16; ++i) {
    record.APPKEY[i] = static_cast<uint8_t>(i);
    record.APPSKEY[i] = static_cast<uint8_t>(0xA0 + i);
    record.NETSKEY[i] = 0xFF;
  }
  SetField(record.MEMO, "pump");
  const DeviceForm form = FormOf(record);
  EXPECT_EQ(form.devEui, "70 71 72 73 74 75 76 77");
  EXPECT_EQ(form.address, "-2");
  EXPECT_EQ(form.networkId, "19");
  EXPECT_EQ(form.appKey, "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");
  EXPECT_EQ(form.appSKey, "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF");
  EXPECT_EQ(form.netSKey, "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF");
  EXPECT_EQ(form.memo, "pump");
}

TEST(DeviceFieldStatesTest, FollowTheActivationModeAndTheFormMode) {
  const struct {
    CApplication app;
    FormMode mode;
    DeviceFieldStates expected;  // devEui, address, networkId, appKey, appSKey, netSKey
    const char* title;
  } cases[] = {
      {App(1, kActivationOtaa, kClassA), FormMode::kAdd, {true, false, true, true, false, false},
       "New OTAA Class-A Device"},
      {App(1, kActivationOtaa, kClassC), FormMode::kEdit, {false, false, true, true, false, false},
       "Edit OTAA Class-C Device"},
      {App(1, kActivationAbp, kClassA), FormMode::kAdd, {true, true, false, false, true, true},
       "New ABP Class-A Device"},
      {App(1, kActivationAbp, kClassA), FormMode::kEdit, {false, false, false, false, true, true},
       "Edit ABP Class-A Device"},
  };
  for (const auto& c : cases) {
    const DeviceFieldStates states = DeviceFieldStatesOf(c.app, c.mode);
    EXPECT_EQ(states.devEui, c.expected.devEui) << c.title;
    EXPECT_EQ(states.address, c.expected.address) << c.title;
    EXPECT_EQ(states.networkId, c.expected.networkId) << c.title;
    EXPECT_EQ(states.appKey, c.expected.appKey) << c.title;
    EXPECT_EQ(states.appSKey, c.expected.appSKey) << c.title;
    EXPECT_EQ(states.netSKey, c.expected.netSKey) << c.title;
    EXPECT_EQ(DeviceFormTitle(c.app, c.mode), c.title);
  }
}

// ---- Duplicates and editing --------------------------------------------------

class DeviceDuplicateTest : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    CDevice record;
    DeviceForm form = OtaaForm("100");
    ASSERT_TRUE(ApplyDeviceForm(form, FormMode::kAdd, kOtaaApp, devices, record).ok);
    ASSERT_EQ(devices.InsertDevice(std::make_unique<CDevice>(record)), 0);
    stored = *devices.m_Devices.back();
  }

  RuleResult AddAbp(const char* eui, const char* address) {
    DeviceForm form = AbpForm();
    form.devEui = eui;
    form.address = address;
    CDevice record;
    return ApplyDeviceForm(form, FormMode::kAdd, kAbpApp, devices, record);
  }

  CDeviceManager devices{db};
  CDevice stored;
};

TEST_F(DeviceDuplicateTest, AnEuiOrAddressOfAnyStoredDeviceIsRefused) {
  const struct {
    const char* eui;
    const char* address;
    const char* message;  // nullptr: accepted
    const char* field;
  } cases[] = {
      {"70-B3-D5-7E-D0-00-00-01", "200", "The values of the EUI are duplicated.", "devEui"},
      {"70 B3 D5 7E D0 00 00 02", "100", "The values of the ADDRESS are duplicated.", "address"},
      {kEui, "100", "The values of the EUI are duplicated.", "devEui"},  // the EUI is tested first
      {"01 00 00 D0 7E D5 B3 70", "200", nullptr, ""},                   // the EUI's bytes reversed
  };
  for (const auto& c : cases) {
    const RuleResult result = AddAbp(c.eui, c.address);
    EXPECT_EQ(result.ok, c.message == nullptr) << c.eui;
    EXPECT_EQ(result.message, c.message != nullptr ? c.message : "") << c.eui;
    EXPECT_EQ(result.field, c.field) << c.eui;
  }
}

TEST_F(DeviceDuplicateTest, EditingKeepsItsOwnEuiAndAddress) {
  DeviceForm form = FormOf(stored);
  form.memo = "moved to barn";
  form.appKey = "00112233445566778899AABBCCDDEEFF";
  CDevice edited = stored;
  const RuleResult result = ApplyDeviceForm(form, FormMode::kEdit, kOtaaApp, devices, edited);
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(edited.PKEY, stored.PKEY);
  EXPECT_EQ(edited.APKEY, stored.APKEY);
  ASSERT_EQ(devices.UpdateDevice(&edited), 0);
  RawDb raw(DbPath());
  const std::string where = " FROM DEVTBL WHERE PKEY=" + std::to_string(stored.PKEY);
  EXPECT_EQ(raw.Scalar("SELECT MEMO" + where), "moved to barn");
  EXPECT_EQ(raw.Scalar("SELECT hex(APPKEY)" + where), "00112233445566778899AABBCCDDEEFF");
  EXPECT_EQ(raw.Scalar("SELECT DEVADDR" + where), "100");
}

TEST_F(DeviceDuplicateTest, EditingRefusesANewEuiOrAddress) {
  const struct {
    void (*change)(DeviceForm&);
    const char* message;
  } cases[] = {
      {[](DeviceForm& f) { f.devEui = "70 B3 D5 7E D0 00 00 09"; }, "Device EUI: cannot be changed when editing"},
      {[](DeviceForm& f) { f.address = "101"; }, "Address (Dec): cannot be changed when editing"},
  };
  for (const auto& c : cases) {
    DeviceForm form = FormOf(stored);
    c.change(form);
    CDevice edited = stored;
    EXPECT_EQ(ApplyDeviceForm(form, FormMode::kEdit, kOtaaApp, devices, edited).message, c.message);
    EXPECT_EQ(edited.DEVADDR, 100u);
  }
}

TEST_F(DeviceDuplicateTest, AnUnreadableDatabaseRefusesInsteadOfSkippingTheTest) {
  db.Close();
  const RuleResult result = AddAbp("70 B3 D5 7E D0 00 00 01", "100");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.message, "The database could not be read to check for duplicates; please try again.");
}

}  // namespace
}  // namespace quorvex
