// What the admin commands share: the parsed command line, the open data
// directory with its registries loaded as the server loads them, and the
// ways a command answers (a result, a refusal, a usage error).
#pragma once
#include <json/json.h>

#include <ctime>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "gateway/GateManager.h"
#include "persistence/AppList.h"
#include "persistence/DLinkList.h"
#include "persistence/DbManager.h"
#include "persistence/DeviceManager.h"
#include "persistence/FormRules.h"
#include "runtime/Settings.h"

namespace quorvex::admin {

// A command line taken apart: global options, the words (noun, verb,
// operands) and the command's own "--name value" options and switches.
struct AdminArgs {
  std::string dataDir;  // as given; empty for the default
  bool json = false;
  bool help = false;
  std::vector<std::string> words;
  std::map<std::string, std::string> values;  // "--name value", keyed without the dashes
  std::set<std::string> switches;             // "--dry-run", keyed without the dashes
};

// Takes `args` apart; false with `problem` set when an option lacks its value.
bool ParseAdminArgs(const std::vector<std::string>& args, AdminArgs& parsed, std::string& problem);

// True when `dataDir` is a directory; otherwise false with `problem` set
// ("the data directory '...' does not exist").
bool DataDirExists(const std::string& dataDir, std::string& problem);

// The database of the data directory and the registries over it, loaded as
// the server loads them at start (applications, gateways; the devices of one
// application at a time). Closed when it goes.
class AdminSession {
 public:
  AdminSession();
  AdminSession(const AdminSession&) = delete;
  AdminSession& operator=(const AdminSession&) = delete;

  // Opens the database file in `dataDir` (an existing directory) and loads
  // the registries; false with `problem` set when it cannot be used.
  bool Open(const std::string& dataDir, std::string& problem);

  CDbManager db;
  CSettingsBlock settings;  // only for the gateway registry's Auto Reg word
  CAppList apps{db};
  CDeviceManager devices{db};
  CGateManager gateways;
  CDLinkList downlinks{db};
};

// One command's world: its arguments, its streams and (for the record
// commands) the open session.
struct AdminContext {
  const AdminArgs& args;
  std::ostream& out;
  std::ostream& err;
  AdminSession* session = nullptr;
  // The current time: the log's rows are dated counting back from its day.
  time_t now = 0;

  // The operand at `index` of the words (0 the noun, 1 the verb), if given.
  std::optional<std::string> Word(size_t index) const;
  // The value of "--name", if given.
  std::optional<std::string> Value(const std::string& name) const;
  // A usage error: the problem and the usage text on stderr; kExitUsage.
  int Usage(const std::string& problem) const;
  // A refusal: the message on stderr (and as JSON on stdout with --json); kExitRefused.
  int Refuse(const RuleResult& refusal) const;
  int Refuse(const std::string& message) const { return Refuse(RuleResult::Refuse(message, {})); }
  // Writes `value` as one line of compact JSON.
  void WriteJson(const Json::Value& value) const;
  // The answer of a command that changed something: `text` as a line, or
  // with --json `{"ok":true, ...details}`; kExitDone.
  int Done(const std::string& text, Json::Value details = Json::Value(Json::objectValue)) const;
  // Refuses with a usage error any "--name value" option not in `allowed`;
  // kExitDone when all are known.
  int CheckOptions(std::initializer_list<const char*> allowed) const;
};

// The record commands ("app", "device", "gateway", "downlink"), the
// options commands, the device import and the packet-log commands; each
// returns the exit status.
int RunApplicationCommand(AdminContext& ctx);
int RunDeviceCommand(AdminContext& ctx);
int RunGatewayCommand(AdminContext& ctx);
int RunDownlinkCommand(AdminContext& ctx);
int RunOptionsCommand(AdminContext& ctx);
int RunImportCommand(AdminContext& ctx);
int RunLogCommand(AdminContext& ctx);

// The text of a choice list entry typed on the command line, matched
// ignoring case; -1 when it matches none, so that the form rules refuse it
// with their own message.
int32_t ChoiceIndex(const std::string& text, std::span<const char* const> choices);
// "on"/"off" (ignoring case) as true/false; nullopt for anything else.
std::optional<bool> OnOff(const std::string& text);

}  // namespace quorvex::admin

namespace quorvex {
class CApplication;
struct CDeviceRow;
}  // namespace quorvex

namespace quorvex::admin {

// The application that `text` names (its key in decimal, or its EUI as 16
// hex digits), copied into `out`; false when none has it.
bool FindApplicationByText(AdminSession& session, const std::string& text, CApplication& out);
// The device with the EUI `text`, and its application; false with the
// refusal set when the text is no EUI or no stored device has it.
bool FindDeviceByText(AdminSession& session, const std::string& text, CDeviceRow& device, CApplication& app,
                      RuleResult& refusal);

// Whether the device form lets the operator type the member `field` (as
// RuleResult::field names it: "address", "appKey", ...) of a device of
// `app`, and the refusal of one it does not: "App Key: not typed for an
// ABP device".
bool DeviceFieldTypable(const CApplication& app, FormMode mode, const std::string& field);
RuleResult UntypedFieldRefusal(const CApplication& app, const std::string& field);

// The row texts of a list (RecordRows.h) as one line: the key, then the texts
// without their padding, separated by two spaces.
std::string ListLine(int32_t key, const std::vector<std::string>& texts);
// Shows one record: its JSON object with --json, else "name: value" lines.
int ShowRecord(const AdminContext& ctx, const Json::Value& record);

}  // namespace quorvex::admin
