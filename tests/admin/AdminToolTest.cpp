// quorvex-admin against a fresh data directory: the commands run in process
// (RunAdmin) and the file is checked with a raw SQLite connection of its
// own; a few cases run the real binary as a process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include <sstream>
#include <string>
#include <vector>

#include "admin/AdminAnswer.h"
#include "admin/AdminTool.h"
#include "persistence/DbFixture.h"
#include "persistence/DbManager.h"
#include "runtime/Settings.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"

namespace quorvex::test {
namespace {

using admin::kExitDone;
using admin::kExitRefused;
using admin::kExitUsage;
using ::testing::HasSubstr;

constexpr char kOtaaEui[] = "70 B3 D5 7E D0 00 00 01";
constexpr char kAbpEui[] = "70B3D57ED0000002";
constexpr char kAppKey[] = "00112233445566778899AABBCCDDEEFF";

class AdminTest : public ::testing::Test {
 protected:
  // Runs one command line on the test's data directory.
  Answer Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--data-dir", dir.Path().string()});
    std::ostringstream out, err;
    Answer answer;
    answer.code = admin::RunAdmin(args, out, err);
    answer.out = out.str();
    answer.err = err.str();
    return answer;
  }
  Json::Value RunJson(std::vector<std::string> args) {
    args.insert(args.begin(), "--json");
    const Answer answer = Run(args);
    EXPECT_EQ(answer.code, kExitDone) << answer.err;
    return ParseJson(answer.out);
  }
  // An OTAA application (key 1) and an ABP application (key 2).
  void AddApplications() {
    ASSERT_EQ(Run({"app", "add", "--eui", kOtaaEui, "--url", "http://127.0.0.1:9/up"}).code, kExitDone);
    ASSERT_EQ(Run({"app", "add", "--eui", kAbpEui, "--activation", "abp"}).code, kExitDone);
  }
  std::string Count(const std::string& table, const std::string& where = "1") {
    RawDb raw(dir.File(CDbManager::kFileName));
    return raw.Scalar("SELECT COUNT(*) FROM " + table + " WHERE " + where);
  }

  TempDir dir;
};

// Every refusal of the application form reaches the operator with the
// rules' own text and the field it is about, and nothing is stored.
TEST_F(AdminTest, ApplicationAddRefusals) {
  ASSERT_EQ(Run({"app", "add", "--eui", kOtaaEui}).code, kExitDone);
  struct Case {
    std::vector<std::string> options;
    std::string message;
    std::string field;
  };
  const std::vector<Case> cases = {
      {{}, "Please Enter Application Eui", "appEui"},
      {{"--eui", "70B3D57ED00000ZZ"}, "Application EUI: enter 16 hex digits (8 bytes)", "appEui"},
      {{"--eui", "70B3D57ED000"}, "Application EUI: enter 16 hex digits (8 bytes)", "appEui"},
      {{"--eui", kOtaaEui}, "The values of the DEVEUI are duplicated.", ""},
      {{"--eui", "0000000000000009", "--mask", "0FFG"}, "Channel Mask: enter 4 hex digits (2 bytes)", "channelMask"},
      {{"--eui", "0000000000000009", "--activation", "otab"}, "Activation: choose OTAA or ABP", "activation"},
      {{"--eui", "0000000000000009", "--class", "B"}, "Class: choose A or C", "deviceClass"},
      {{"--eui", "0000000000000009", "--adr", "maybe"}, "ADR: choose ON or OFF", "adrOn"},
      {{"--eui", "0000000000000009", "--class", "C", "--rx2-freq", "92190000"}, "Rx 2 Channel Length Error", ""},
      {{"--eui", "0000000000000009", "--url", std::string(51, 'u')}, "App Server Url: at most 50 characters", "url"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--json", "app", "add"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Answer answer = Run(args);
    EXPECT_EQ(answer.code, kExitRefused) << c.message;
    EXPECT_THAT(answer.err, HasSubstr(c.message));
    const Json::Value json = ParseJson(answer.out);
    EXPECT_FALSE(json["ok"].asBool());
    EXPECT_EQ(json["message"].asString(), c.message);
    if (!c.field.empty()) {
      EXPECT_EQ(json["field"].asString(), c.field) << c.message;
    }
  }
  EXPECT_EQ(Count("APPTBL"), "1");
}

// What the form stores: a class C application has ADR off whatever was
// typed, the mask is read high byte first, the texts are kept.
TEST_F(AdminTest, ApplicationAddStoresTheFormsValues) {
  const Json::Value added = RunJson({"app", "add", "--eui", kOtaaEui, "--class", "c", "--adr", "on", "--rx2-freq",
                                     "869525000", "--rx2-sf", "sf9", "--memo", "field test"});
  EXPECT_EQ(added["class"].asString(), "C");
  EXPECT_FALSE(added["adr"].asBool());
  RawDb raw(dir.File(CDbManager::kFileName));
  EXPECT_EQ(raw.Scalar("SELECT ADR || ',' || CLASS || ',' || RX2CHAN || ',' || RX2SF || ',' || CHMASK || ',' || MEMO "
                       "FROM APPTBL"),
            "0,1,869525000,3,255,field test");
  const Json::Value shown = RunJson({"app", "show", kOtaaEui});
  EXPECT_EQ(shown["key"].asInt(), added["key"].asInt());
  EXPECT_EQ(shown["memo"].asString(), "field test");
}

TEST_F(AdminTest, ApplicationEditKeepsWhatTheFormLocks) {
  AddApplications();
  struct Case {
    std::vector<std::string> options;
    int code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--memo", "renamed", "--url", "http://127.0.0.1:9/new"}, kExitDone, ""},
      {{"--class", "C"}, kExitRefused, "Class: cannot be changed when editing"},
      {{"--activation", "abp"}, kExitRefused, "Activation: cannot be changed when editing"},
      {{"--eui", kAbpEui}, kExitRefused, "cannot be changed when editing"},
      {{"--mask", "12"}, kExitRefused, "Channel Mask: enter 4 hex digits (2 bytes)"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"app", "edit", "1"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Answer answer = Run(args);
    EXPECT_EQ(answer.code, c.code) << answer.err;
    EXPECT_THAT(answer.err, HasSubstr(c.message));
  }
  RawDb raw(dir.File(CDbManager::kFileName));
  EXPECT_EQ(raw.Scalar("SELECT MEMO || ' ' || APPURL || ' ' || CLASS FROM APPTBL WHERE PKEY = 1"),
            "renamed http://127.0.0.1:9/new 0");
}

TEST_F(AdminTest, DeviceAddRefusals) {
  AddApplications();
  ASSERT_EQ(Run({"device", "add", "--app", "1", "--eui", "0000000000000001", "--appkey", kAppKey, "--netid", "1"}).code,
            kExitDone);
  ASSERT_EQ(Run({"device", "add", "--app", "2", "--eui", "0000000000000002", "--addr", "77", "--appskey", kAppKey,
                 "--nwkskey", kAppKey})
                .code,
            kExitDone);
  struct Case {
    std::string app;
    std::vector<std::string> options;
    std::string message;
    std::string field;
  };
  const std::vector<Case> cases = {
      {"1", {"--appkey", kAppKey}, "Please Enter Device Eui !", "devEui"},
      {"1", {"--eui", "00000000000000GG", "--appkey", kAppKey}, "Device EUI: enter 16 hex digits (8 bytes)", "devEui"},
      {"1",
       {"--eui", "0000000000000003", "--appkey", "0011", "--netid", "1"},
       "App Key: enter 32 hex digits (16 bytes)",
       "appKey"},
      {"1", {"--eui", "0000000000000003", "--netid", "1"}, "App Key: enter 32 hex digits (16 bytes)", "appKey"},
      {"1",
       {"--eui", "0000000000000003", "--appkey", kAppKey, "--netid", "x"},
       "Network ID (Dec): enter a number from 0 to 4294967295",
       "networkId"},
      {"1",
       {"--netid", "1", "--eui", "00 00 00 00 00 00 00 01", "--appkey", kAppKey},
       "The values of the EUI are duplicated.",
       ""},
      {"2",
       {"--eui", "0000000000000003", "--appskey", "zz", "--nwkskey", kAppKey},
       "App SKey: enter 32 hex digits (16 bytes)",
       "appSKey"},
      {"2",
       {"--eui", "0000000000000003", "--appskey", kAppKey, "--nwkskey", "00"},
       "Network SKey: enter 32 hex digits (16 bytes)",
       "netSKey"},
      {"2",
       {"--eui", "0000000000000003", "--addr", "abc", "--appskey", kAppKey, "--nwkskey", kAppKey},
       "Address (Dec): enter a number from 0 to 4294967295",
       "address"},
      {"2",
       {"--eui", "0000000000000003", "--addr", "77", "--appskey", kAppKey, "--nwkskey", kAppKey},
       "The values of the ADDRESS are duplicated.",
       ""},
      {"1",
       {"--eui", "0000000000000003", "--appkey", kAppKey, "--netid", "1", "--addr", "5"},
       "Address (Dec): not typed for an OTAA device",
       "address"},
      {"1",
       {"--eui", "0000000000000003", "--appkey", kAppKey, "--netid", "1", "--nwkskey", kAppKey},
       "Network SKey: not typed for an OTAA device",
       "netSKey"},
      {"2",
       {"--eui", "0000000000000003", "--appskey", kAppKey, "--nwkskey", kAppKey, "--appkey", kAppKey},
       "App Key: not typed for an ABP device",
       "appKey"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--json", "device", "add", "--app", c.app};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Answer answer = Run(args);
    EXPECT_EQ(answer.code, kExitRefused) << c.message;
    EXPECT_THAT(answer.err, HasSubstr(c.message));
    if (!c.field.empty()) {
      EXPECT_EQ(ParseJson(answer.out)["field"].asString(), c.field) << c.message;
    }
  }
  EXPECT_EQ(Count("DEVTBL"), "2");
}

// A new device is offered one above the largest address stored in any
// application; a new device starts with no frame counted.
TEST_F(AdminTest, DeviceAddTakesTheProposedAddress) {
  AddApplications();
  ASSERT_EQ(Run({"device", "add", "--app", kAbpEui, "--eui", "0000000000000002", "--addr", "41", "--appskey", kAppKey,
                 "--nwkskey", kAppKey})
                .code,
            kExitDone);
  const Json::Value added =
      RunJson({"device", "add", "--app", kOtaaEui, "--eui", "0000000000000001", "--appkey", kAppKey, "--netid", "1"});
  EXPECT_EQ(added["addr"].asString(), "42");
  EXPECT_EQ(added["rxseq"].asInt64(), -1);
  EXPECT_EQ(added["txseq"].asInt64(), -1);
  EXPECT_FALSE(added["joined"].asBool());
  RawDb raw(dir.File(CDbManager::kFileName));
  EXPECT_EQ(raw.Scalar("SELECT DEVADDR || ',' || APKEY || ',' || JOINED FROM DEVTBL WHERE DEVADDR = 42"), "42,1,0");
  const Json::Value list = RunJson({"device", "list", "--app", "1"});
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["eui"].asString(), "00 00 00 00 00 00 00 01");
  EXPECT_EQ(RunJson({"device", "list"}).size(), 2u);
}

// An edit writes only the operator's fields of the device's activation mode,
// so the counters the server keeps and the fields the form locks stay.
TEST_F(AdminTest, DeviceEditWritesOnlyTheOperatorsFields) {
  AddApplications();
  ASSERT_EQ(Run({"device", "add", "--app", "1", "--eui", "0000000000000001", "--appkey", kAppKey, "--netid", "1"}).code,
            kExitDone);
  ASSERT_EQ(Run({"device", "add", "--app", "2", "--eui", "0000000000000002", "--addr", "9", "--appskey", kAppKey,
                 "--nwkskey", kAppKey})
                .code,
            kExitDone);
  RawDb raw(dir.File(CDbManager::kFileName));
  ASSERT_EQ(raw.Exec("UPDATE DEVTBL SET RXSEQ = 5, TXSEQ = 7"), SQLITE_OK);
  const std::string otaaKey = "FFEEDDCCBBAA99887766554433221100";
  struct Case {
    std::vector<std::string> command;
    int code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"device", "edit", "0000000000000001", "--netid", "3", "--appkey", otaaKey, "--memo", "moved"}, kExitDone, ""},
      {{"device", "edit", "0000000000000001", "--eui", "0000000000000005"},
       kExitRefused,
       "Device EUI: cannot be changed when editing"},
      {{"device", "edit", "0000000000000002", "--addr", "10"},
       kExitRefused,
       "Address (Dec): cannot be changed when editing"},
      {{"device", "edit", "0000000000000002", "--appskey", "00"},
       kExitRefused,
       "App SKey: enter 32 hex digits (16 bytes)"},
      {{"device", "edit", "0000000000000002", "--netid", "4"},
       kExitRefused,
       "Network ID (Dec): not typed for an ABP device"},
      {{"device", "edit", "0000000000000002", "--nwkskey", otaaKey}, kExitDone, ""},
  };
  for (const Case& c : cases) {
    const Answer answer = Run(c.command);
    EXPECT_EQ(answer.code, c.code) << answer.err;
    EXPECT_THAT(answer.err, HasSubstr(c.message));
  }
  EXPECT_EQ(raw.Scalar("SELECT NETWORKID || ',' || hex(APPKEY) || ',' || MEMO || ',' || RXSEQ || ',' || TXSEQ "
                       "FROM DEVTBL WHERE PKEY = 1"),
            "3," + otaaKey + ",moved,5,7");
  EXPECT_EQ(raw.Scalar("SELECT DEVADDR || ',' || hex(NETSKEY) || ',' || RXSEQ FROM DEVTBL WHERE PKEY = 2"),
            "9," + otaaKey + ",5");
}

// The cascades in the file: an application takes its devices and their
// downlinks, a device its downlinks; other records and the packet log stay.
TEST_F(AdminTest, DeletionCascades) {
  AddApplications();
  for (const char* eui : {"0000000000000001", "0000000000000003"}) {
    ASSERT_EQ(Run({"device", "add", "--app", "1", "--eui", eui, "--appkey", kAppKey, "--netid", "1"}).code, kExitDone);
  }
  ASSERT_EQ(
      Run({"device", "add", "--app", "2", "--eui", "0000000000000002", "--appskey", kAppKey, "--nwkskey", kAppKey})
          .code,
      kExitDone);
  {
    RawDb raw(dir.File(CDbManager::kFileName));
    ASSERT_EQ(raw.Exec("INSERT INTO DLINKTBL (DEVPKEY, PORT, TXDONE) VALUES (1, 2, 0), (2, 2, 0), (3, 2, 0);"
                       "INSERT INTO LOGTBL (DEVPKEY, TYPE) VALUES (1, 0);"),
              SQLITE_OK);
  }
  struct Step {
    std::vector<std::string> command;
    std::string devices, downlinks, apps;
  };
  const std::vector<Step> steps = {
      {{"downlink", "delete", "3"}, "3", "2", "2"},
      {{"device", "delete", "0000000000000003"}, "2", "1", "2"},
      {{"app", "delete", "1"}, "1", "0", "1"},
  };
  for (const Step& step : steps) {
    const Answer answer = Run(step.command);
    EXPECT_EQ(answer.code, kExitDone) << answer.err;
    EXPECT_EQ(Count("DEVTBL"), step.devices) << step.command[0];
    EXPECT_EQ(Count("DLINKTBL"), step.downlinks) << step.command[0];
    EXPECT_EQ(Count("APPTBL"), step.apps) << step.command[0];
  }
  EXPECT_EQ(Count("DEVTBL", "APKEY = 2"), "1");
  EXPECT_EQ(Count("LOGTBL"), "1");
}

TEST_F(AdminTest, GatewaysAndDownlinks) {
  const Json::Value added = RunJson({"gateway", "add", "--id", "01 02 03 04 05 06 07 0a", "--active", "off"});
  EXPECT_EQ(added["id"].asString(), "010203040506070A");
  EXPECT_FALSE(added["active"].asBool());
  EXPECT_EQ(Run({"gateway", "add", "--id", "010203040506070A"}).code, kExitRefused);
  EXPECT_THAT(Run({"gateway", "add", "--id", "0102"}).err, HasSubstr("Gateway ID: enter 16 hex digits (8 bytes)"));
  EXPECT_EQ(Run({"gateway", "edit", "010203040506070a", "--active", "on"}).code, kExitDone);
  EXPECT_EQ(Count("GATETBL", "ACTIVE = 1"), "1");
  EXPECT_EQ(RunJson({"gateway", "list"})[0]["active"].asBool(), true);
  EXPECT_EQ(Run({"gateway", "delete", "1"}).code, kExitDone);
  EXPECT_EQ(Count("GATETBL"), "0");

  AddApplications();
  ASSERT_EQ(Run({"device", "add", "--app", "1", "--eui", "0000000000000001", "--appkey", kAppKey, "--netid", "1"}).code,
            kExitDone);
  {
    RawDb raw(dir.File(CDbManager::kFileName));
    ASSERT_EQ(raw.Exec("INSERT INTO DLINKTBL (DEVPKEY, PORT, CONFIRMED, CHANNEL, MAC, APP, TIME, TXDONE) "
                       "VALUES (1, 5, 1, 0, '', '01 02', '', 0);"),
              SQLITE_OK);
  }
  const Json::Value downlinks = RunJson({"downlink", "list", "--device", "0000000000000001"});
  ASSERT_EQ(downlinks.size(), 1u);
  EXPECT_EQ(downlinks[0]["port"].asInt(), 5);
  EXPECT_TRUE(downlinks[0]["confirmed"].asBool());
  EXPECT_EQ(downlinks[0]["app"].asString(), "01 02");
}

// Requests are queued through the downlink form's rules: a class A device
// has no RX 2 request, data is stored as spaced hex pairs.
TEST_F(AdminTest, DownlinkAdd) {
  AddApplications();
  ASSERT_EQ(Run({"device", "add", "--app", "1", "--eui", "0000000000000001", "--appkey", kAppKey, "--netid", "1"}).code,
            kExitDone);
  struct Case {
    std::vector<std::string> options;
    std::string message;
  };
  const std::vector<Case> refused = {
      {{"--port", "0"}, "Port: choose 1 to 253"},
      {{"--port", "254"}, "Port: choose 1 to 253"},
      {{"--port", "x"}, "Port: choose 1 to 253"},
      {{"--confirmed", "maybe"}, "Confirmed Type: choose Unconfirmed or Confirmed"},
      {{"--window", "rx2"}, "Channel: choose RX 1 (RX 2 only for a class C application)"},
      {{"--data", "0G"}, "Application Data: enter whole bytes of hex, such as 01 02 FF"},
      {{"--mac", "01 02 03 04 05 06 07 08 09 0A 0B"}, "Mac Data: at most 10 bytes"},
  };
  for (const Case& c : refused) {
    std::vector<std::string> args = {"downlink", "add", "--device", "0000000000000001"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Answer answer = Run(args);
    EXPECT_EQ(answer.code, kExitRefused) << c.message;
    EXPECT_THAT(answer.err, HasSubstr(c.message));
  }
  EXPECT_EQ(Count("DLINKTBL"), "0");
  const Json::Value queued = RunJson({"downlink", "add", "--device", "0000000000000001", "--port", "9", "--confirmed",
                                      "on", "--data", "0x01, 0x02, 0xFF"});
  EXPECT_EQ(queued["port"].asInt(), 9);
  RawDb raw(dir.File(CDbManager::kFileName));
  EXPECT_EQ(raw.Scalar("SELECT DEVPKEY || ',' || PORT || ',' || CONFIRMED || ',' || CHANNEL || ',' || APP || ',' || "
                       "TXDONE FROM DLINKTBL"),
            "1,9,1,0,01 02 FF,0");
}

TEST_F(AdminTest, ExitCodes) {
  AddApplications();
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{}, kExitUsage, "Usage:"},
      {{"bogus", "list"}, kExitUsage, "unknown command"},
      {{"app"}, kExitUsage, "Usage:"},
      {{"app", "list", "extra"}, kExitUsage, "Usage:"},
      {{"app", "add", "--colour", "red"}, kExitUsage, "unknown option --colour"},
      {{"app", "add", "--eui"}, kExitUsage, "--eui needs a value"},
      {{"device", "show"}, kExitUsage, "needs one device EUI"},
      {{"options", "set", "auto-reg"}, kExitUsage, "NAME VALUE"},
      {{"options", "set", "colour", "red"}, kExitUsage, "unknown option 'colour'"},
      {{"app", "show", "99"}, kExitRefused, "no application 99"},
      {{"device", "show", "0011"}, kExitRefused, "Device EUI: enter 16 hex digits (8 bytes)"},
      {{"device", "show", "0000000000000077"}, kExitRefused, "no device"},
      {{"gateway", "delete", "5"}, kExitRefused, "no gateway 5"},
      {{"app", "list"}, kExitDone, ""},
      {{"--help"}, kExitDone, ""},
  };
  for (const Case& c : cases) {
    const Answer answer = Run(c.args);
    EXPECT_EQ(answer.code, c.code) << answer.err;
    EXPECT_THAT(answer.err, HasSubstr(c.says));
  }
  for (const char* noun : {"app", "options"}) {
    std::ostringstream out, err;
    EXPECT_EQ(admin::RunAdmin({"--data-dir", dir.File("missing"), noun, "show"}, out, err), kExitRefused) << noun;
    EXPECT_THAT(err.str(), HasSubstr("does not exist"));
  }
}

TEST_F(AdminTest, OptionsRoundTripThroughTheSettingsFile) {
  struct Case {
    std::string name, value;
    Json::Value shown;
  };
  const std::vector<Case> cases = {
      {"auto-restart", "on", true},  {"server-debug", "off", false}, {"debug-log-view", "OFF", false},
      {"auto-scroll", "off", false}, {"auto-reg", "off", false},     {"adr-rx-count", "2", 2},
      {"adr-rx-count", "10", 10},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Run({"options", "set", c.name, c.value}).code, kExitDone) << c.name;
    EXPECT_EQ(RunJson({"options", "show"})[c.name], c.shown) << c.name;
  }
  // The window reads the same file.
  CSettingsBlock block;
  ASSERT_TRUE(block.LoadSettings(dir.File(kSettingsFileName)));
  EXPECT_EQ(block.m_bAutoRestart.Load(), 1);
  EXPECT_EQ(block.m_bAutoReg.Load(), 0);
  EXPECT_EQ(block.m_nAdrRxCount.Load(), 10);

  const std::vector<std::pair<std::string, std::string>> refused = {
      {"adr-rx-count", "1"}, {"adr-rx-count", "11"}, {"adr-rx-count", "x"}, {"auto-reg", "maybe"}};
  for (const auto& [name, value] : refused) {
    const Answer answer = Run({"options", "set", name, value});
    EXPECT_EQ(answer.code, kExitRefused) << name << " " << value;
    if (name == "adr-rx-count") {
      EXPECT_THAT(answer.err, HasSubstr("ADR Count Range : 2 ~ 10"));
    }
  }
  EXPECT_EQ(RunJson({"options", "show"})["adr-rx-count"].asInt(), 10);
  EXPECT_EQ(RunJson({"options", "show"})["auto-reg"].asBool(), false);
}

// The resets write only their own columns.
TEST_F(AdminTest, DeviceResets) {
  AddApplications();
  ASSERT_EQ(Run({"device", "add", "--app", "1", "--eui", "0000000000000001", "--appkey", kAppKey, "--netid", "1"}).code,
            kExitDone);
  ASSERT_EQ(
      Run({"device", "add", "--app", "2", "--eui", "0000000000000002", "--appskey", kAppKey, "--nwkskey", kAppKey})
          .code,
      kExitDone);
  RawDb raw(dir.File(CDbManager::kFileName));
  ASSERT_EQ(raw.Exec("UPDATE DEVTBL SET RXSEQ = 5, TXSEQ = 7, JOINED = 1, ADRCNT = 3;"
                     "INSERT INTO NONCETBL (DEVPKEY, DEVNONCE) VALUES (1, 10), (1, 11), (2, 12);"),
            SQLITE_OK);
  const std::string row = "SELECT RXSEQ || ',' || TXSEQ || ',' || JOINED || ',' || ADRCNT FROM DEVTBL WHERE PKEY = ";
  struct Case {
    std::vector<std::string> command;
    int code;
    std::string device1, device2, nonces;
  };
  const std::vector<Case> cases = {
      {{"device", "reset-counters", "0000000000000001"}, kExitDone, "-1,-1,1,3", "5,7,1,3", "3"},
      {{"device", "rejoin", "0000000000000001"}, kExitDone, "-1,-1,0,3", "5,7,1,3", "3"},
      {{"device", "rejoin", "0000000000000002"}, kExitRefused, "-1,-1,0,3", "5,7,1,3", "3"},
      {{"device", "clear-nonces", "0000000000000001"}, kExitDone, "-1,-1,0,3", "5,7,1,3", "1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Run(c.command).code, c.code) << c.command[1];
    EXPECT_EQ(raw.Scalar(row + "1"), c.device1) << c.command[1];
    EXPECT_EQ(raw.Scalar(row + "2"), c.device2) << c.command[1];
    EXPECT_EQ(raw.Scalar("SELECT COUNT(*) FROM NONCETBL"), c.nonces) << c.command[1];
  }
}

// The real binary: its exit status, its JSON on stdout, its usage on stderr.
TEST_F(AdminTest, TheBinaryAsAProcess) {
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string out, err;
  };
  const std::string data = dir.Path().string();
  const std::vector<Case> cases = {
      {{"--data-dir", data, "--json", "app", "add", "--eui", kOtaaEui}, kExitDone, "\"ok\":true", ""},
      {{"--data-dir", data, "app", "add", "--eui", kOtaaEui}, kExitRefused, "", "duplicated"},
      {{"--data-dir", data, "app", "frobnicate"}, kExitUsage, "", "Usage: quorvex-admin"},
      {{"--data-dir", data, "--json", "app", "list"}, kExitDone, "\"eui\":\"70 B3 D5 7E D0 00 00 01\"", ""},
  };
  TempDir outputs;
  for (const Case& c : cases) {
    std::string out, err;
    const std::optional<int> code = RunToEnd(QUORVEX_ADMIN_BIN, c.args, outputs.Path().string(), &out, &err);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, c.code) << err;
    EXPECT_THAT(out, HasSubstr(c.out));
    EXPECT_THAT(err, HasSubstr(c.err));
  }
}

}  // namespace
}  // namespace quorvex::test
