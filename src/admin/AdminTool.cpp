#include "admin/AdminTool.h"

#include <strings.h>

#include <filesystem>
#include <sstream>

#include "admin/AdminContext.h"
#include "runtime/CommandLine.h"

namespace quorvex::admin {

namespace {

// Options that stand alone; every other "--name" takes the next word as its value.
bool IsSwitch(const std::string& name) { return name == "dry-run" || name == "yes" || name == "with-debug"; }

bool TakeGlobal(const std::string& arg, const std::vector<std::string>& args, size_t& i, AdminArgs& parsed,
                std::string& problem, bool& taken) {
  taken = true;
  if (arg == "--json") {
    parsed.json = true;
  } else if (arg == "--help" || arg == "-h") {
    parsed.help = true;
  } else if (arg == "--data-dir") {
    if (i + 1 >= args.size()) {
      problem = "--data-dir needs a value";
      return false;
    }
    parsed.dataDir = args[++i];
  } else {
    taken = false;
  }
  return true;
}

bool IsNoun(const std::string& noun) {
  return noun == "app" || noun == "device" || noun == "gateway" || noun == "downlink" || noun == "options" ||
         noun == "import" || noun == "log";
}

bool NeedsSession(const std::string& noun) { return noun != "options"; }

}  // namespace

bool ParseAdminArgs(const std::vector<std::string>& args, AdminArgs& parsed, std::string& problem) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool taken = false;
    if (!TakeGlobal(arg, args, i, parsed, problem, taken)) return false;
    if (taken) continue;
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      const std::string name = arg.substr(2);
      if (IsSwitch(name)) {
        parsed.switches.insert(name);
      } else if (i + 1 >= args.size()) {
        problem = arg + " needs a value";
        return false;
      } else {
        parsed.values[name] = args[++i];
      }
      continue;
    }
    parsed.words.push_back(arg);
  }
  return true;
}

AdminSession::AdminSession() { gateways.Attach(&db, &settings.m_bAutoReg); }

bool DataDirExists(const std::string& dataDir, std::string& problem) {
  std::error_code error;
  if (std::filesystem::is_directory(dataDir, error)) return true;
  problem = "the data directory '" + dataDir + "' does not exist";
  return false;
}

bool AdminSession::Open(const std::string& dataDir, std::string& problem) {
  if (!DataDirExists(dataDir, problem)) return false;
  db.Open(dataDir);
  std::string reason;
  if (!db.IsOpen() || !db.CheckUsable(reason)) {
    problem = "the database in '" + dataDir + "' cannot be used" + (reason.empty() ? "" : ": " + reason);
    return false;
  }
  if (apps.LoadApplications() != 0 || gateways.LoadGateways() != 0) {
    problem = "the applications or gateways of '" + dataDir + "' could not be read";
    return false;
  }
  return true;
}

std::optional<std::string> AdminContext::Word(size_t index) const {
  if (index >= args.words.size()) return std::nullopt;
  return args.words[index];
}

std::optional<std::string> AdminContext::Value(const std::string& name) const {
  const auto found = args.values.find(name);
  if (found == args.values.end()) return std::nullopt;
  return found->second;
}

int AdminContext::Usage(const std::string& problem) const {
  err << "quorvex-admin: " << problem << "\n\n" << AdminUsage();
  return kExitUsage;
}

int AdminContext::Refuse(const RuleResult& refusal) const {
  err << "quorvex-admin: " << refusal.message << "\n";
  if (args.json) {
    Json::Value answer(Json::objectValue);
    answer["ok"] = false;
    answer["message"] = refusal.message;
    answer["field"] = refusal.field;
    WriteJson(answer);
  }
  return kExitRefused;
}

void AdminContext::WriteJson(const Json::Value& value) const {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  out << Json::writeString(builder, value) << "\n";
}

int AdminContext::Done(const std::string& text, Json::Value details) const {
  if (args.json) {
    details["ok"] = true;
    WriteJson(details);
  } else {
    out << text << "\n";
  }
  return kExitDone;
}

int AdminContext::CheckOptions(std::initializer_list<const char*> allowed) const {
  for (const auto& [name, value] : args.values) {
    bool known = false;
    for (const char* candidate : allowed) known = known || name == candidate;
    if (!known) return Usage("unknown option --" + name + " for '" + args.words[0] + "'");
  }
  return kExitDone;
}

int32_t ChoiceIndex(const std::string& text, std::span<const char* const> choices) {
  for (size_t i = 0; i < choices.size(); ++i) {
    if (strcasecmp(text.c_str(), choices[i]) == 0) return static_cast<int32_t>(i);
  }
  return -1;
}

std::optional<bool> OnOff(const std::string& text) {
  if (strcasecmp(text.c_str(), "on") == 0) return true;
  if (strcasecmp(text.c_str(), "off") == 0) return false;
  return std::nullopt;
}

const char* AdminUsage() {
  return "Usage: quorvex-admin [--data-dir DIR] [--json] NOUN VERB [ARGS]\n"
         "\n"
         "Works on the database and settings file of quorvex-server (default data\n"
         "directory: the directory of this program), also while the server runs.\n"
         "\n"
         "  app list | show APP | delete APP\n"
         "  app add --eui EUI [--activation otaa|abp] [--class A|C] [--adr on|off]\n"
         "          [--mask HEX4] [--rx2-freq HZ] [--rx2-sf SF12..SF7] [--rx2-bw BW125|BW250|BW500]\n"
         "          [--url URL] [--path PATH] [--memo TEXT]\n"
         "  app edit APP [the add options but --eui, --activation, --class]\n"
         "  device list [--app APP] | show DEV | delete DEV\n"
         "  device add --app APP --eui EUI [--addr N] [--netid N] [--appkey HEX]\n"
         "          [--appskey HEX] [--nwkskey HEX] [--memo TEXT]\n"
         "  device edit DEV [--netid N] [--appkey HEX] [--appskey HEX] [--nwkskey HEX] [--memo TEXT]\n"
         "  device reset-counters DEV | rejoin DEV | clear-nonces DEV\n"
         "  gateway list | add --id EUI [--active on|off] | edit GW --active on|off | delete GW\n"
         "  downlink list --device DEV | delete KEY\n"
         "  downlink add --device DEV [--port 1..253] [--confirmed on|off] [--window rx1|rx2]\n"
         "          [--data HEX] [--mac HEX]\n"
         "  import devices FILE.csv --app APP [--netid N] [--dry-run]\n"
         "      header row naming columns: DevEUI, DevAddr, NetID, AppKey, AppSKey, NwkSKey, Memo;\n"
         "      every line is checked and nothing is stored unless all are accepted\n"
         "  log export [--format csv|text] [--device DEV] [--from TIME] [--to TIME] [--with-debug]\n"
         "          [--out FILE]\n"
         "      csv: a header row naming the LOGTBL columns, then a row per record in the order\n"
         "      stored; text: the file the window's Save writes; DEBUG records only with --with-debug;\n"
         "      rows from --from (included) up to --to (not included); with --out, --json prints\n"
         "      {\"rows\":N,\"file\":FILE}\n"
         "  log clear [--before TIME] --yes\n"
         "      deletes the records logged before TIME (every record without it), in short steps\n"
         "  options show | set NAME VALUE\n"
         "      NAME: auto-restart, server-debug, debug-log-view, auto-scroll, auto-reg (on|off),\n"
         "            adr-rx-count (2..10)\n"
         "\n"
         "APP is an application's key or EUI, DEV a device's EUI, GW a gateway's key or ID.\n"
         "TIME is local time, YYYY-MM-DD (its midnight) or YYYY-MM-DDTHH:MM[:SS]; the log keeps\n"
         "only each record's day of the month, so records are dated counting back from today.\n"
         "Exit status: 0 done, 1 refused (the reason on stderr), 2 bad usage.\n";
}

namespace {

int Dispatch(AdminContext& ctx) {
  const std::string& noun = ctx.args.words[0];
  if (noun == "app") return RunApplicationCommand(ctx);
  if (noun == "device") return RunDeviceCommand(ctx);
  if (noun == "gateway") return RunGatewayCommand(ctx);
  if (noun == "downlink") return RunDownlinkCommand(ctx);
  if (noun == "options") return RunOptionsCommand(ctx);
  if (noun == "import") return RunImportCommand(ctx);
  if (noun == "log") return RunLogCommand(ctx);
  return ctx.Usage("unknown command '" + noun + "'");
}

}  // namespace

int RunAdmin(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  return RunAdminAt(args, out, err, time(nullptr));
}

int RunAdminAt(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, time_t now) {
  AdminArgs parsed;
  std::string problem;
  const bool parsedOk = ParseAdminArgs(args, parsed, problem);
  AdminContext ctx{parsed, out, err, nullptr, now};
  if (!parsedOk) return ctx.Usage(problem);
  if (parsed.help) {
    out << AdminUsage();
    return kExitDone;
  }
  if (parsed.words.empty()) return ctx.Usage("no command given");
  if (!IsNoun(parsed.words[0])) return ctx.Usage("unknown command '" + parsed.words[0] + "'");
  parsed.dataDir = DataDirOrDefault(parsed.dataDir);
  if (!DataDirExists(parsed.dataDir, problem)) return ctx.Refuse(problem);
  if (!NeedsSession(parsed.words[0])) return Dispatch(ctx);
  AdminSession session;
  if (!session.Open(parsed.dataDir, problem)) return ctx.Refuse(problem);
  ctx.session = &session;
  return Dispatch(ctx);
}

}  // namespace quorvex::admin

namespace quorvex::admin {

namespace {

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string ListLine(int32_t key, const std::vector<std::string>& texts) {
  std::string line = std::to_string(key);
  for (const std::string& text : texts) line += "  " + Trimmed(text);
  return Trimmed(line);
}

int ShowRecord(const AdminContext& ctx, const Json::Value& record) {
  if (ctx.args.json) {
    ctx.WriteJson(record);
    return kExitDone;
  }
  for (const std::string& name : record.getMemberNames()) {
    const Json::Value& value = record[name];
    ctx.out << name << ": " << (value.isString() ? value.asString() : value.toStyledString());
    if (value.isString()) ctx.out << "\n";
  }
  return kExitDone;
}

}  // namespace quorvex::admin
