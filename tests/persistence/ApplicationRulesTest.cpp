// The application form's rules as both front ends meet them: the message and
// field of every refusal, what an accepted form stores (checked in the
// database), the texts a stored application shows, the enable rules through
// the form's events, and the duplicate test in add and edit mode.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "persistence/AppList.h"
#include "persistence/ApplicationRules.h"
#include "persistence/DbFixture.h"
#include "persistence/Log.h"

namespace quorvex {
namespace {

using test::DbTest;
using test::RawDb;

constexpr char kEui[] = "70 B3 D5 7E D0 00 00 01";

ApplicationForm ValidForm() {
  ApplicationForm form = NewApplicationForm();
  form.appEui = kEui;
  return form;
}

// A record that no accepted form leaves as it is.
CApplication Untouched() {
  CApplication record;
  record.CHMASK = 7;
  SetField(record.MEMO, "before");
  return record;
}

struct AppFormCase {
  const char* name;
  void (*change)(ApplicationForm&);
  const char* message;  // nullptr: accepted
  const char* field;
  // What an accepted form stores.
  int32_t chmask = 0;
  int32_t rx2chan = 0;
  int32_t adr = 0;
  const char* eui = "";  // compact hex
};

const AppFormCase kAppFormCases[] = {
    {"Defaults", [](ApplicationForm&) {}, nullptr, "", 255, 921900000, 1, "70B3D57ED0000001"},
    {"EuiEmpty", [](ApplicationForm& f) { f.appEui = ""; }, "Please Enter Application Eui", "appEui"},
    {"EuiBlank", [](ApplicationForm& f) { f.appEui = "   "; }, "Application EUI: enter 16 hex digits (8 bytes)",
     "appEui"},
    {"EuiSevenBytes", [](ApplicationForm& f) { f.appEui = "70B3D57ED00000"; },
     "Application EUI: enter 16 hex digits (8 bytes)", "appEui"},
    {"EuiNineBytes", [](ApplicationForm& f) { f.appEui = "70B3D57ED000000102"; },
     "Application EUI: enter 16 hex digits (8 bytes)", "appEui"},
    {"EuiOddDigits", [](ApplicationForm& f) { f.appEui = "70B3D57ED00000012"; },
     "Application EUI: enter 16 hex digits (8 bytes)", "appEui"},
    {"EuiBadDigit", [](ApplicationForm& f) { f.appEui = "70B3D57ED000000G"; },
     "Application EUI: enter 16 hex digits (8 bytes)", "appEui"},
    {"EuiDashes", [](ApplicationForm& f) { f.appEui = "00-11-22-33-44-55-66-77"; }, nullptr, "", 255, 921900000, 1,
     "0011223344556677"},
    {"EuiColonsLowerCase", [](ApplicationForm& f) { f.appEui = "70:b3:d5:7e:d0:00:00:01"; }, nullptr, "", 255,
     921900000, 1, "70B3D57ED0000001"},
    {"EuiHexPrefix", [](ApplicationForm& f) { f.appEui = "0x70B3D57ED0000001"; }, nullptr, "", 255, 921900000, 1,
     "70B3D57ED0000001"},
    {"MaskEmpty", [](ApplicationForm& f) { f.channelMask = ""; }, "Channel Mask: enter 4 hex digits (2 bytes)",
     "channelMask"},
    {"MaskThreeDigits", [](ApplicationForm& f) { f.channelMask = "0FF"; },
     "Channel Mask: enter 4 hex digits (2 bytes)", "channelMask"},
    {"MaskFiveDigits", [](ApplicationForm& f) { f.channelMask = "00FF0"; },
     "Channel Mask: enter 4 hex digits (2 bytes)", "channelMask"},
    {"MaskBadDigit", [](ApplicationForm& f) { f.channelMask = "00FG"; },
     "Channel Mask: enter 4 hex digits (2 bytes)", "channelMask"},
    {"MaskHighByteFirst", [](ApplicationForm& f) { f.channelMask = "1234"; }, nullptr, "", 4660, 921900000, 1,
     "70B3D57ED0000001"},
    {"MaskSpacedPair", [](ApplicationForm& f) { f.channelMask = "12 34"; }, nullptr, "", 4660, 921900000, 1,
     "70B3D57ED0000001"},
    {"ClassCEightDigitRx2", [](ApplicationForm& f) { f.deviceClass = kClassC; f.rx2Channel = "92190000"; },
     "Rx 2 Channel Length Error", "rx2Channel"},
    {"ClassCTenDigitRx2", [](ApplicationForm& f) { f.deviceClass = kClassC; f.rx2Channel = "9219000000"; },
     "Rx 2 Channel Length Error", "rx2Channel"},
    {"ClassAEightDigitRx2", [](ApplicationForm& f) { f.rx2Channel = "92190000"; }, nullptr, "", 255, 92190000, 1,
     "70B3D57ED0000001"},
    // The class rule holds even when a front end sends ADR on with class C.
    {"ClassCStoresAdrOff", [](ApplicationForm& f) { f.deviceClass = kClassC; f.rx2Channel = "869525000"; }, nullptr,
     "", 255, 869525000, 0, "70B3D57ED0000001"},
    {"ClassAAdrOff", [](ApplicationForm& f) { f.adrOn = false; }, nullptr, "", 255, 921900000, 0, "70B3D57ED0000001"},
    // With two faults, the empty EUI is named first.
    {"EmptyEuiBeforeRx2Length",
     [](ApplicationForm& f) {
       f.appEui = "";
       f.deviceClass = kClassC;
       f.rx2Channel = "1";
     },
     "Please Enter Application Eui", "appEui"},
    {"UrlOf51", [](ApplicationForm& f) { f.url = std::string(51, 'u'); }, "App Server Url: at most 50 characters",
     "url"},
    {"PathOf51", [](ApplicationForm& f) { f.path = std::string(51, 'p'); },
     "App Server Parameter: at most 50 characters", "path"},
    {"MemoOf51", [](ApplicationForm& f) { f.memo = std::string(51, 'm'); }, "Memo: at most 50 characters", "memo"},
    {"TextsOf50", [](ApplicationForm& f) { f.url = f.path = f.memo = std::string(50, 'x'); }, nullptr, "", 255,
     921900000, 1, "70B3D57ED0000001"},
    {"ActivationOutsideList", [](ApplicationForm& f) { f.activation = 2; }, "Activation: choose OTAA or ABP",
     "activation"},
    {"ClassOutsideList", [](ApplicationForm& f) { f.deviceClass = -1; }, "Class: choose A or C", "deviceClass"},
    {"SfOutsideList", [](ApplicationForm& f) { f.rx2Sf = 6; },
     "Rx 2 Datarate: choose SF12, SF11, SF10, SF9, SF8 or SF7", "rx2Sf"},
    {"BwOutsideList", [](ApplicationForm& f) { f.rx2Bw = 3; }, "Rx 2 Bandwidth: choose BW125, BW250 or BW500", "rx2Bw"},
};

class ApplicationFormTest : public DbTest, public ::testing::WithParamInterface<AppFormCase> {
 protected:
  CAppList apps{db};
};

TEST_P(ApplicationFormTest, RefusesWithItsMessageOrStoresTheForm) {
  const AppFormCase& c = GetParam();
  ApplicationForm form = ValidForm();
  c.change(form);
  CApplication record = Untouched();
  const RuleResult result = ApplyApplicationForm(form, FormMode::kAdd, apps, record);

  if (c.message != nullptr) {
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message, c.message);
    EXPECT_EQ(result.field, c.field);
    EXPECT_EQ(record.CHMASK, 7);
    EXPECT_STREQ(record.MEMO, "before");
    return;
  }
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(record.PKEY, -1);
  ASSERT_EQ(apps.InsertApplication(std::make_unique<CApplication>(record)), 0);
  RawDb raw(DbPath());
  const std::string where = " FROM APPTBL WHERE PKEY=" + std::to_string(apps.m_List.back()->PKEY);
  EXPECT_EQ(raw.Scalar("SELECT CHMASK" + where), std::to_string(c.chmask));
  EXPECT_EQ(raw.Scalar("SELECT RX2CHAN" + where), std::to_string(c.rx2chan));
  EXPECT_EQ(raw.Scalar("SELECT ADR" + where), std::to_string(c.adr));
  EXPECT_EQ(raw.Scalar("SELECT hex(APPEUI)" + where), c.eui);
  EXPECT_EQ(raw.Scalar("SELECT APPURL" + where), form.url);
  EXPECT_EQ(raw.Scalar("SELECT MEMO" + where), form.memo);
}

INSTANTIATE_TEST_SUITE_P(Table, ApplicationFormTest, ::testing::ValuesIn(kAppFormCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The texts a stored application shows ------------------------------------

CApplication Stored(int32_t activation, int32_t deviceClass, int32_t adr, int32_t chmask) {
  CApplication record;
  record.PKEY = 4;
  record.ACTIVATION = activation;
  record.CLASS = deviceClass;
  record.ADR = adr;
  record.CHMASK = chmask;
  const uint8_t eui[8] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
  memcpy(record.APPEUI, eui, sizeof eui);
  record.RX2CHAN = 921900000;
  record.RX2SF = 5;
  record.RX2BW = 2;
  SetField(record.APPURL, "http://as.example");
  SetField(record.APPPARM, "/up/deveui");
  SetField(record.MEMO, "north field");
  return record;
}

TEST(ApplicationFormOfTest, ShowsTheRecordAsTheFormTypesIt) {
  const struct {
    CApplication record;
    const char* mask;
    bool adrOn;
  } cases[] = {
      {Stored(0, 0, 1, 255), "00FF", true},
      {Stored(1, 0, 1, 4660), "1234", true},
      {Stored(0, 0, 0, 0), "0000", false},
      {Stored(0, 1, 1, 0xFF00), "FF00", false},  // class C shows ADR OFF
  };
  for (const auto& c : cases) {
    const ApplicationForm form = FormOf(c.record);
    EXPECT_EQ(form.channelMask, c.mask);
    EXPECT_EQ(form.adrOn, c.adrOn) << c.mask;
    EXPECT_EQ(form.appEui, "00 11 22 33 44 55 66 77");
    EXPECT_EQ(form.rx2Channel, "921900000");
    EXPECT_EQ(form.activation, c.record.ACTIVATION);
    EXPECT_EQ(form.deviceClass, c.record.CLASS);
    EXPECT_EQ(form.rx2Sf, 5);
    EXPECT_EQ(form.rx2Bw, 2);
    EXPECT_EQ(form.url, "http://as.example");
    EXPECT_EQ(form.path, "/up/deveui");
    EXPECT_EQ(form.memo, "north field");
  }
}

TEST(ApplicationFormOfTest, AnIndexOutsideItsListShowsAsTheFirst) {
  CApplication record = Stored(5, 3, 1, 255);
  record.RX2SF = 9;
  record.RX2BW = -1;
  const ApplicationForm form = FormOf(record);
  EXPECT_EQ(form.activation, 0);
  EXPECT_EQ(form.deviceClass, 0);
  EXPECT_TRUE(form.adrOn);
  EXPECT_EQ(form.rx2Sf, 0);
  EXPECT_EQ(form.rx2Bw, 0);
}

TEST(ApplicationFormOfTest, NewFormOffersTheDefaults) {
  const ApplicationForm form = NewApplicationForm();
  EXPECT_EQ(form.channelMask, "00FF");
  EXPECT_EQ(form.rx2Channel, "921900000");
  EXPECT_EQ(form.path, "/example1/example2/appeui/deveui/up");
  EXPECT_TRUE(form.url.starts_with("http://"));
  EXPECT_EQ(form.appEui, "");
  EXPECT_EQ(form.activation, 0);
  EXPECT_EQ(form.deviceClass, 0);
  EXPECT_TRUE(form.adrOn);
  EXPECT_EQ(form.rx2Sf, 0);
  EXPECT_EQ(form.rx2Bw, 0);
  EXPECT_STREQ(ApplicationFormTitle(FormMode::kAdd), "New Application");
  EXPECT_STREQ(ApplicationFormTitle(FormMode::kEdit), "Edit Application");
}

// ---- Enable rules through the form's events -----------------------------------

struct StatesCase {
  const char* name;
  FormMode mode;
  CApplication opened;  // the record edited (ignored when adding)
  void (*events)(ApplicationForm&, ApplicationFieldStates&);
  ApplicationFieldStates expected;
  bool adrOn;
};

void NoEvent(ApplicationForm&, ApplicationFieldStates&) {}

const StatesCase kStatesCases[] = {
    {"AddOpens", FormMode::kAdd, {}, NoEvent, {true, true, true, true, true, false}, true},
    {"EditClassAAdrOn", FormMode::kEdit, Stored(0, 0, 1, 255), NoEvent, {false, false, true, true, false, false}, true},
    {"EditClassAAdrOff", FormMode::kEdit, Stored(0, 0, 0, 255), NoEvent, {false, false, true, false, false, false},
     false},
    {"EditClassC", FormMode::kEdit, Stored(1, 1, 1, 255), NoEvent, {false, false, false, false, false, true}, false},
    {"AddChoosesC", FormMode::kAdd, {},
     [](ApplicationForm& f, ApplicationFieldStates& s) { ChooseApplicationClass(f, s, kClassC); },
     {true, true, false, false, true, true}, false},
    // Back to A: ADR and the mask are enabled again, ADR still shows OFF.
    {"AddChoosesCThenA", FormMode::kAdd, {},
     [](ApplicationForm& f, ApplicationFieldStates& s) {
       ChooseApplicationClass(f, s, kClassC);
       ChooseApplicationClass(f, s, kClassA);
     },
     {true, true, true, true, true, false}, false},
    {"AddAdrOff", FormMode::kAdd, {},
     [](ApplicationForm& f, ApplicationFieldStates& s) { ChooseApplicationAdr(f, s, false); },
     {true, true, true, false, true, false}, false},
    {"AddAdrOffThenOn", FormMode::kAdd, {},
     [](ApplicationForm& f, ApplicationFieldStates& s) {
       ChooseApplicationAdr(f, s, false);
       ChooseApplicationAdr(f, s, true);
     },
     {true, true, true, true, true, false}, true},
    {"ClassCIgnoresAdrChoice", FormMode::kAdd, {},
     [](ApplicationForm& f, ApplicationFieldStates& s) {
       ChooseApplicationClass(f, s, kClassC);
       ChooseApplicationAdr(f, s, true);
     },
     {true, true, false, false, true, true}, true},
};

class ApplicationStatesTest : public ::testing::TestWithParam<StatesCase> {};

TEST_P(ApplicationStatesTest, FollowTheClassAndAdrRules) {
  const StatesCase& c = GetParam();
  ApplicationForm form = c.mode == FormMode::kAdd ? NewApplicationForm() : FormOf(c.opened);
  ApplicationFieldStates states = OpeningFieldStates(form, c.mode);
  c.events(form, states);
  EXPECT_EQ(states.activation, c.expected.activation);
  EXPECT_EQ(states.deviceClass, c.expected.deviceClass);
  EXPECT_EQ(states.adr, c.expected.adr);
  EXPECT_EQ(states.channelMask, c.expected.channelMask);
  EXPECT_EQ(states.appEui, c.expected.appEui);
  EXPECT_EQ(states.rx2, c.expected.rx2);
  EXPECT_EQ(form.adrOn, c.adrOn);
}

INSTANTIATE_TEST_SUITE_P(Table, ApplicationStatesTest, ::testing::ValuesIn(kStatesCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Editing and duplicates ------------------------------------------------------

class ApplicationEditTest : public DbTest {
 protected:
  // Stores an application made from a valid form with `eui`; its list record.
  CApplication& Add(const char* eui) {
    ApplicationForm form = ValidForm();
    form.appEui = eui;
    CApplication record;
    EXPECT_TRUE(ApplyApplicationForm(form, FormMode::kAdd, apps, record).ok);
    EXPECT_EQ(apps.InsertApplication(std::make_unique<CApplication>(record)), 0);
    return *apps.m_List.back();
  }

  CAppList apps{db};
};

TEST_F(ApplicationEditTest, AnEuiThatAnotherApplicationHasIsRefused) {
  Add(kEui);
  ApplicationForm form = ValidForm();
  form.appEui = "70-B3-D5-7E-D0-00-00-01";  // the same EUI written another way
  CApplication record = Untouched();
  const RuleResult result = ApplyApplicationForm(form, FormMode::kAdd, apps, record);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.message, "The values of the DEVEUI are duplicated.");
  EXPECT_EQ(result.field, "appEui");
  EXPECT_STREQ(record.MEMO, "before");
  form.appEui = "01 00 00 D0 7E D5 B3 70";  // the bytes reversed: another EUI
  EXPECT_TRUE(ApplyApplicationForm(form, FormMode::kAdd, apps, record).ok);
}

TEST_F(ApplicationEditTest, EditingKeepsItsOwnEuiAndStoresTheChange) {
  Add("11 11 11 11 11 11 11 11");
  CApplication& stored = Add(kEui);
  ApplicationForm form = FormOf(stored);
  form.memo = "renamed";
  form.url = "http://other.example";
  CApplication edited = stored;
  const RuleResult result = ApplyApplicationForm(form, FormMode::kEdit, apps, edited);
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(edited.PKEY, stored.PKEY);
  ASSERT_EQ(apps.UpdateApplication(&edited), 0);
  RawDb raw(DbPath());
  EXPECT_EQ(raw.Scalar("SELECT MEMO FROM APPTBL WHERE PKEY=" + std::to_string(stored.PKEY)), "renamed");
  EXPECT_EQ(raw.Scalar("SELECT hex(APPEUI) FROM APPTBL WHERE PKEY=" + std::to_string(stored.PKEY)),
            "70B3D57ED0000001");
}

TEST_F(ApplicationEditTest, EditingRefusesToChangeWhatItsDevicesDependOn) {
  const CApplication stored = Add(kEui);
  const struct {
    void (*change)(ApplicationForm&);
    const char* message;
    const char* field;
  } cases[] = {
      {[](ApplicationForm& f) { f.appEui = "11 11 11 11 11 11 11 11"; }, "Application EUI: cannot be changed when editing",
       "appEui"},
      {[](ApplicationForm& f) { f.activation = kActivationAbp; }, "Activation: cannot be changed when editing",
       "activation"},
      {[](ApplicationForm& f) { f.deviceClass = kClassC; }, "Class: cannot be changed when editing", "deviceClass"},
  };
  for (const auto& c : cases) {
    ApplicationForm form = FormOf(stored);
    c.change(form);
    CApplication edited = stored;
    const RuleResult result = ApplyApplicationForm(form, FormMode::kEdit, apps, edited);
    EXPECT_EQ(result.message, c.message);
    EXPECT_EQ(result.field, c.field);
    EXPECT_EQ(edited.ACTIVATION, stored.ACTIVATION);
    EXPECT_EQ(edited.CLASS, stored.CLASS);
  }
}

TEST_F(ApplicationEditTest, AStoredDuplicateRefusesTheEditAsWell) {
  // Two applications with one EUI can only come from outside the program;
  // the join would serve only the first, so the edit says so.
  CApplication& stored = Add(kEui);
  auto twin = std::make_unique<CApplication>(stored);
  ASSERT_EQ(apps.InsertApplication(std::move(twin)), 0);
  CApplication edited = stored;
  const RuleResult result = ApplyApplicationForm(FormOf(stored), FormMode::kEdit, apps, edited);
  EXPECT_EQ(result.message, "The values of the DEVEUI are duplicated.");
}

TEST_F(ApplicationEditTest, AFormOfAStoredRecordGivesTheRecordBack) {
  for (const CApplication& original : {Stored(0, 0, 1, 4660), Stored(1, 0, 0, 255), Stored(0, 1, 0, 0)}) {
    CApplication record = original;
    const RuleResult result = ApplyApplicationForm(FormOf(original), FormMode::kEdit, apps, record);
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_EQ(record.PKEY, original.PKEY);
    EXPECT_EQ(record.ADR, original.ADR);
    EXPECT_EQ(record.CHMASK, original.CHMASK);
    EXPECT_EQ(record.RX2CHAN, original.RX2CHAN);
    EXPECT_EQ(record.RX2SF, original.RX2SF);
    EXPECT_EQ(record.RX2BW, original.RX2BW);
    EXPECT_EQ(0, memcmp(record.APPEUI, original.APPEUI, sizeof record.APPEUI));
    EXPECT_STREQ(record.APPPARM, original.APPPARM);
  }
}

TEST(AdrRxSetupCountTest, TakesTwoToTenOnly) {
  const struct {
    const char* text;
    bool ok;
  } cases[] = {{"2", true}, {"10", true}, {"6", true}, {"1", false}, {"11", false}, {"-3", false},
               {"", false}, {"5x", false}, {"4294967298", false}};
  for (const auto& c : cases) {
    int32_t count = 99;
    const RuleResult result = ReadAdrRxSetupCount(c.text, count);
    EXPECT_EQ(result.ok, c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(std::to_string(count), c.text);
    } else {
      EXPECT_EQ(result.message, "ADR Count Range : 2 ~ 10") << c.text;
      EXPECT_EQ(count, 99) << c.text;
    }
  }
}

}  // namespace
}  // namespace quorvex
