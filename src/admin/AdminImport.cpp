// `import devices FILE.csv --app APP`: bulk provisioning. Every line goes
// through the device form's rules as if typed into the window, inside one
// transaction: a refused line takes back the lines before it, so the file
// is stored whole or not at all. Storing as it checks lets the rules' own
// duplicate tests and address proposal see the earlier lines of the file.
#include <strings.h>

#include <fstream>

#include "admin/AdminContext.h"
#include "admin/AdminTool.h"
#include "persistence/DeviceRules.h"
#include "persistence/RecordStore.h"

namespace quorvex::admin {

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

// A column the header may name, the form member it fills and the rules'
// name of that member (RuleResult::field).
struct ImportColumn {
  const char* header;
  std::string DeviceForm::*member;
  const char* field;
};

constexpr ImportColumn kImportColumns[] = {
    {"DevEUI", &DeviceForm::devEui, "devEui"},
    {"DevAddr", &DeviceForm::address, "address"},
    {"NetID", &DeviceForm::networkId, "networkId"},
    {"AppKey", &DeviceForm::appKey, "appKey"},
    {"AppSKey", &DeviceForm::appSKey, "appSKey"},
    {"NwkSKey", &DeviceForm::netSKey, "netSKey"},
    {"Memo", &DeviceForm::memo, "memo"},
};

struct CsvLine {
  int number = 0;  // 1 is the header
  std::vector<std::string> cells;
};

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Splits one line at commas outside double quotes; "" inside quotes is a quote.
std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> cells(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"') {
      cells.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      cells.emplace_back();
    } else {
      cells.back() += c;
    }
  }
  for (std::string& cell : cells) cell = Trim(cell);
  return cells;
}

// The non-empty lines of `path`; false when it cannot be read.
bool ReadCsv(const std::string& path, std::vector<CsvLine>& lines) {
  std::ifstream in(path);
  if (!in) return false;
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    if (!Trim(text).empty()) lines.push_back({number, SplitCsv(text)});
  }
  return true;
}

// For each header cell, its column; a refusal naming an unknown header.
RuleResult MapHeader(const CsvLine& header, std::vector<const ImportColumn*>& columns) {
  bool hasEui = false;
  for (const std::string& name : header.cells) {
    const ImportColumn* found = nullptr;
    for (const ImportColumn& column : kImportColumns) {
      if (strcasecmp(name.c_str(), column.header) == 0) found = &column;
    }
    if (found == nullptr) return RuleResult::Refuse("line 1: unknown column '" + name + "'", name);
    hasEui = hasEui || found->member == &DeviceForm::devEui;
    columns.push_back(found);
  }
  if (!hasEui) return RuleResult::Refuse("line 1: the header names no DevEUI column", "DevEUI");
  return RuleResult::Accept();
}

const char* HeaderOfField(const std::string& field) {
  for (const ImportColumn& column : kImportColumns) {
    if (field == column.field) return column.header;
  }
  return "";
}

// The form of one line: the proposed address and the default network
// identifier, then the line's non-empty cells.
DeviceForm FormOfLine(AdminSession& session, const CsvLine& line, const std::vector<const ImportColumn*>& columns,
                      const std::string& networkId) {
  DeviceForm form = NewDeviceForm(session.db);
  form.networkId = networkId;
  for (size_t i = 0; i < columns.size() && i < line.cells.size(); ++i) {
    if (!line.cells[i].empty()) form.*(columns[i]->member) = line.cells[i];
  }
  return form;
}

// Checks and stores every line after the header; the first refusal names
// its line and column.
RuleResult StoreLines(AdminSession& session, const CApplication& app, const std::vector<CsvLine>& lines,
                      const std::vector<const ImportColumn*>& columns, const std::string& networkId) {
  for (size_t i = 1; i < lines.size(); ++i) {
    const CsvLine& line = lines[i];
    const std::string where = "line " + std::to_string(line.number);
    if (line.cells.size() > columns.size()) return RuleResult::Refuse(where + ": more cells than columns", "");
    for (size_t c = 0; c < line.cells.size(); ++c) {
      if (!line.cells[c].empty() && !DeviceFieldTypable(app, FormMode::kAdd, columns[c]->field)) {
        return RuleResult::Refuse(
            where + ", " + columns[c]->header + ": " + UntypedFieldRefusal(app, columns[c]->field).message,
            columns[c]->field);
      }
    }
    CDeviceRow record;
    const RuleResult rule =
        ApplyDeviceForm(FormOfLine(session, line, columns, networkId), FormMode::kAdd, app, session.devices, record);
    if (!rule.ok) {
      const std::string column = HeaderOfField(rule.field);
      return RuleResult::Refuse(where + (column.empty() ? "" : ", " + column) + ": " + rule.message, rule.field);
    }
    CDeviceRow stored;
    if (StoreNewDevice(session.db, session.devices, record, stored) != 0) {
      return RuleResult::Refuse(where + ": the database refused the device", "");
    }
  }
  return RuleResult::Accept();
}

// Runs StoreLines in a transaction of its own; keeps it unless refused or `dryRun`.
RuleResult StoreAllOrNothing(AdminSession& session, const CApplication& app, const std::vector<CsvLine>& lines,
                             const std::vector<const ImportColumn*>& columns, const std::string& networkId,
                             bool dryRun) {
  Guard lock(session.db.Mutex());
  if (!session.db.BeginBatch()) return RuleResult::Refuse("the database could not open a transaction", "");
  RuleResult result;
  {
    CDbManager::Savepoint savepoint(session.db);
    if (!savepoint.Open()) result = RuleResult::Refuse("the database could not open a transaction", "");
    if (result.ok) result = StoreLines(session, app, lines, columns, networkId);
    if (result.ok && !dryRun) savepoint.Keep();
  }
  if (!session.db.CommitBatch() && result.ok) return RuleResult::Refuse("the database refused the import", "");
  return result;
}

}  // namespace

int RunImportCommand(AdminContext& ctx) {
  if (const int status = ctx.CheckOptions({"app", "netid"}); status != kExitDone) return status;
  const auto what = ctx.Word(1);
  const auto path = ctx.Word(2);
  const auto appName = ctx.Value("app");
  if (what != "devices" || !path || ctx.args.words.size() > 3 || !appName) {
    return ctx.Usage("import devices FILE.csv --app APP [--netid N] [--dry-run]");
  }
  CApplication app;
  if (!FindApplicationByText(*ctx.session, *appName, app)) return ctx.Refuse("no application " + *appName);
  std::vector<CsvLine> lines;
  if (!ReadCsv(*path, lines) || lines.empty()) return ctx.Refuse("cannot read " + *path + " (or it is empty)");
  std::vector<const ImportColumn*> columns;
  if (const RuleResult header = MapHeader(lines[0], columns); !header.ok) return ctx.Refuse(header);
  const bool dryRun = ctx.args.switches.count("dry-run") != 0;
  const RuleResult result =
      StoreAllOrNothing(*ctx.session, app, lines, columns, ctx.Value("netid").value_or(""), dryRun);
  if (!result.ok) return ctx.Refuse(result);
  Json::Value details(Json::objectValue);
  details["devices"] = static_cast<Json::UInt64>(lines.size() - 1);
  details["stored"] = !dryRun;
  const std::string count = std::to_string(lines.size() - 1);
  return ctx.Done(dryRun ? count + " devices accepted; nothing stored (dry run)" : "imported " + count + " devices",
                  details);
}

}  // namespace quorvex::admin
