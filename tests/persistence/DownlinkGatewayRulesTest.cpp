// The two small forms: the downlink request (its defaults, choices, how data
// is normalised, cut or refused) and the gateway (its ID read strictly and
// stored as the registry matches it, the duplicate test, edits that switch
// ACTIVE only).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "gateway/GateManager.h"
#include "persistence/ApplicationRules.h"
#include "persistence/DbFixture.h"
#include "persistence/DownlinkRules.h"
#include "persistence/GatewayRules.h"
#include "persistence/Log.h"

namespace quorvex {
namespace {

using test::DbTest;
using test::RawDb;

struct DownlinkCase {
  const char* name;
  int32_t appClass;
  void (*change)(DownlinkForm&);
  const char* message;  // nullptr: accepted
  const char* field;
  const char* app = "";  // stored when accepted
  const char* mac = "";
};

const DownlinkCase kDownlinkCases[] = {
    {"SaveAtOnce", kClassA, [](DownlinkForm&) {}, nullptr, "", "", ""},
    {"AppPrefixedBytes", kClassA, [](DownlinkForm& f) { f.appData = "0x01, 0x02, 0xFF"; }, nullptr, "", "01 02 FF",
     ""},
    {"AppBadDigit", kClassA, [](DownlinkForm& f) { f.appData = "01G2"; },
     "Application Data: enter whole bytes of hex, such as 01 02 FF", "appData"},
    {"AppOddDigits", kClassA, [](DownlinkForm& f) { f.appData = "010"; },
     "Application Data: enter whole bytes of hex, such as 01 02 FF", "appData"},
    {"AppTwentyBytesCutToSixteen", kClassA,
     [](DownlinkForm& f) { f.appData = "000102030405060708090A0B0C0D0E0F10111213"; }, nullptr, "",
     "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F", ""},
    {"MacCompact", kClassA, [](DownlinkForm& f) { f.macData = "030700"; }, nullptr, "", "", "03 07 00"},
    {"MacTenBytes", kClassA, [](DownlinkForm& f) { f.macData = "00112233445566778899"; }, nullptr, "", "",
     "00 11 22 33 44 55 66 77 88 99"},
    {"MacElevenBytes", kClassA, [](DownlinkForm& f) { f.macData = "00112233445566778899AA"; },
     "Mac Data: at most 10 bytes", "macData"},
    {"MacSplitPair", kClassA, [](DownlinkForm& f) { f.macData = "0307 0 0"; },
     "Mac Data: enter whole bytes of hex, such as 03 07 00", "macData"},
    {"BothData", kClassA,
     [](DownlinkForm& f) {
       f.appData = "a1b2";
       f.macData = "02";
     },
     nullptr, "", "A1 B2", "02"},
    {"PortZero", kClassA, [](DownlinkForm& f) { f.port = 0; }, "Port: choose 1 to 253", "port"},
    {"Port254", kClassA, [](DownlinkForm& f) { f.port = 254; }, "Port: choose 1 to 253", "port"},
    {"Port253", kClassA, [](DownlinkForm& f) { f.port = 253; }, nullptr, "", "", ""},
    {"ConfirmedOutsideList", kClassA, [](DownlinkForm& f) { f.confirmed = 2; },
     "Confirmed Type: choose Unconfirmed or Confirmed", "confirmed"},
    {"Rx2ForClassA", kClassA, [](DownlinkForm& f) { f.channel = CDLink::kRx2; },
     "Channel: choose RX 1 (RX 2 only for a class C application)", "channel"},
    {"Rx2ForClassC", kClassC, [](DownlinkForm& f) { f.channel = CDLink::kRx2; }, nullptr, "", "", ""},
};

class DownlinkFormTest : public ::testing::TestWithParam<DownlinkCase> {};

TEST_P(DownlinkFormTest, RefusesWithItsMessageOrMakesTheRequest) {
  const DownlinkCase& c = GetParam();
  DownlinkForm form = NewDownlinkForm();
  c.change(form);
  CDLink record;
  record.DEVPKEY = 99;  // a record no accepted form leaves as it is
  const RuleResult result = ApplyDownlinkForm(form, c.appClass, record);
  if (c.message != nullptr) {
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message, c.message);
    EXPECT_EQ(result.field, c.field);
    EXPECT_EQ(record.DEVPKEY, 99);
    return;
  }
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(record.PORT, form.port);
  EXPECT_EQ(record.CONFIRMED, form.confirmed);
  EXPECT_EQ(record.CHANNEL, form.channel);
  EXPECT_STREQ(record.APP, c.app);
  EXPECT_STREQ(record.MAC, c.mac);
  EXPECT_EQ(record.DEVPKEY, 0);
  EXPECT_EQ(record.PKEY, 0);
  EXPECT_STREQ(record.TIME, "");
  EXPECT_EQ(record.TXDONE, 0);
}

INSTANTIATE_TEST_SUITE_P(Table, DownlinkFormTest, ::testing::ValuesIn(kDownlinkCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DownlinkChoicesTest, OfferPort2UnconfirmedRx1AndRx2OnlyForClassC) {
  const DownlinkForm form = NewDownlinkForm();
  EXPECT_EQ(form.port, 2);
  EXPECT_EQ(form.confirmed, 0);
  EXPECT_EQ(form.channel, CDLink::kRx1);
  const auto ports = DownlinkPortChoices();
  ASSERT_EQ(ports.size(), 253u);
  EXPECT_EQ(ports[0], "1");
  EXPECT_EQ(ports[1], "2");
  EXPECT_EQ(ports.back(), "253");
  EXPECT_EQ(DownlinkChannelChoices(kClassA), (std::vector<std::string>{"RX 1"}));
  EXPECT_EQ(DownlinkChannelChoices(kClassC), (std::vector<std::string>{"RX 1", "RX 2"}));
  EXPECT_STREQ(kConfirmedChoices[0], "Unconfimed");
  EXPECT_STREQ(kConfirmedChoices[1], "Confimed");
}

// ---- Gateways --------------------------------------------------------------------

class GatewayFormTest : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    gateways.Attach(&db, nullptr);
  }

  RuleResult Add(const char* id, bool active, CGatewayRow& record) {
    GatewayForm form = NewGatewayForm();
    form.id = id;
    form.active = active;
    return ApplyGatewayForm(form, FormMode::kAdd, gateways, record);
  }

  CGateway& Store(const char* id) {
    auto gateway = std::make_unique<CGateway>();
    EXPECT_TRUE(Add(id, true, *gateway).ok);
    EXPECT_EQ(gateways.InsertGateway(std::move(gateway)), 0);
    return *gateways.m_Gateways.back();
  }

  CGateManager gateways;
};

TEST_F(GatewayFormTest, AnIdIsReadStrictlyAndStoredAsDatagramsCarryIt) {
  Store("AA555A0000000101");
  const struct {
    const char* id;
    bool active;
    const char* message;  // nullptr: accepted
    const char* stored;
  } cases[] = {
      {"B827EBFFFE000001", true, nullptr, "B827EBFFFE000001"},
      {"b8-27-eb-ff-fe-00-00-02", false, nullptr, "B827EBFFFE000002"},
      {"B8 27 EB FF FE 00 00 03", true, nullptr, "B827EBFFFE000003"},
      {"", true, "Gateway ID: enter 16 hex digits (8 bytes)", ""},
      {"B827EBFFFE0000", true, "Gateway ID: enter 16 hex digits (8 bytes)", ""},
      {"gateway-1", true, "Gateway ID: enter 16 hex digits (8 bytes)", ""},
      {"aa555a0000000101", true, "The values of the Gateway ID are duplicated.", ""},
  };
  for (const auto& c : cases) {
    CGatewayRow record;
    record.ACTIVE = 7;
    const RuleResult result = Add(c.id, c.active, record);
    EXPECT_EQ(result.ok, c.message == nullptr) << c.id;
    if (!result.ok) {
      EXPECT_EQ(result.message, c.message) << c.id;
      EXPECT_EQ(result.field, "id");
      EXPECT_EQ(record.ACTIVE, 7) << c.id;
      continue;
    }
    EXPECT_STREQ(record.ID, c.stored);
    EXPECT_EQ(record.ACTIVE, c.active ? 1 : 0);
    EXPECT_EQ(record.PKEY, 0);
  }
}

TEST_F(GatewayFormTest, AnEditSwitchesActiveAndKeepsTheId) {
  CGateway& stored = Store("AA555A0000000101");
  const GatewayForm shown = FormOf(stored);
  EXPECT_TRUE(shown.active);
  EXPECT_EQ(shown.id, "AA555A0000000101");
  EXPECT_FALSE(GatewayIdEditable(FormMode::kEdit));
  EXPECT_TRUE(GatewayIdEditable(FormMode::kAdd));

  const struct {
    const char* id;
    const char* message;  // nullptr: accepted
  } cases[] = {
      {"AA555A0000000101", nullptr},
      {"aa 55 5a 00 00 00 01 01", nullptr},  // the same EUI written another way
      {"AA555A0000000102", "Gateway ID: cannot be changed when editing"},
  };
  for (const auto& c : cases) {
    GatewayForm form = shown;
    form.id = c.id;
    form.active = false;
    CGatewayRow edited = stored;
    const RuleResult result = ApplyGatewayForm(form, FormMode::kEdit, gateways, edited);
    EXPECT_EQ(result.message, c.message != nullptr ? c.message : "") << c.id;
    EXPECT_STREQ(edited.ID, "AA555A0000000101");
    EXPECT_EQ(edited.ACTIVE, c.message == nullptr ? 0 : 1) << c.id;
    EXPECT_EQ(edited.PKEY, stored.PKEY);
  }
}

TEST_F(GatewayFormTest, AnIdStoredByAnotherProgramCanStillBeSwitched) {
  RawDb raw(DbPath());
  ASSERT_EQ(raw.Exec("INSERT INTO GATETBL (ACTIVE, ID, IP) VALUES (1, 'gw 1', '')"), SQLITE_OK);
  ASSERT_EQ(gateways.LoadGateways(), 0);
  CGatewayRow edited = *gateways.m_Gateways.back();
  GatewayForm form = FormOf(edited);
  form.active = false;
  ASSERT_TRUE(ApplyGatewayForm(form, FormMode::kEdit, gateways, edited).ok);
  EXPECT_STREQ(edited.ID, "gw 1");
  CGateway& record = *gateways.m_Gateways.back();
  static_cast<CGatewayRow&>(record) = edited;
  ASSERT_EQ(gateways.UpdateGateway(&record), 0);
  EXPECT_EQ(raw.Scalar("SELECT ACTIVE || ID FROM GATETBL"), "0gw 1");
}

}  // namespace
}  // namespace quorvex
