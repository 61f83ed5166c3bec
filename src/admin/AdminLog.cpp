// The packet-log commands: `log export` writes the rows of LOGTBL as CSV or
// as the window's saved-log text, streamed as they are read; `log clear`
// deletes them in the log trimmer's short steps, so that a running server's
// radio threads wait at most one step for the file.
#include <algorithm>
#include <ctime>
#include <fstream>

#include "admin/AdminContext.h"
#include "admin/AdminTool.h"
#include "persistence/LogManager.h"
#include "persistence/LogQuery.h"
#include "persistence/LogTrimmer.h"
#include "persistence/SavedLog.h"
#include "util/ControlText.h"
#include "util/FieldText.h"
#include "util/WinUtils.h"

namespace quorvex::admin {

namespace {

constexpr char kTimeForms[] = "use YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS]";
constexpr char kCsvLineEnd[] = "\r\n";
constexpr char kCsvHeader[] =
    "PKEY,DEVPKEY,TYPE,RXTIME,MACDATA,APPDATA,IP,DEVEUI,PORT,CONFIRMED,FREQ,RSSI,SNR,SF,COUNT";

// What `log export` was asked for, read from the command line.
struct ExportRequest {
  bool text = false;
  std::string devEui;  // as LOGTBL stores it; empty for every device
  std::optional<std::string> from;
  std::optional<std::string> to;
  std::optional<std::string> path;
  bool withDebug = false;
};

LogDay TodayOf(time_t now) {
  std::tm local{};
  localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

// Reads the time option `name` into `bound` (left empty when not given);
// false with a message naming the option when it is no time.
bool ReadTimeOption(const AdminContext& ctx, const char* name, std::optional<std::string>& bound,
                    std::string& problem) {
  const auto text = ctx.Value(name);
  if (!text) return true;
  bound = ReadLogTimeBound(*text);
  if (!bound) problem = std::string("--") + name + ": '" + *text + "' is no time; " + kTimeForms;
  return bound.has_value();
}

// The device option as LOGTBL's DEVEUI column holds it (16 upper-case hex digits).
bool ReadDeviceOption(const AdminContext& ctx, std::string& devEui, std::string& problem) {
  const auto text = ctx.Value("device");
  if (!text) return true;
  uint8_t eui[8];
  if (!ReadExactHex(*text, eui)) {
    problem = "--device: '" + *text + "' is no device EUI; enter 16 hex digits";
    return false;
  }
  devEui = CWinUtils::BytesToHex(eui, 0, sizeof eui);
  return true;
}

bool ReadFormatOption(const AdminContext& ctx, bool& text, std::string& problem) {
  const std::string format = ctx.Value("format").value_or("csv");
  text = format == "text";
  if (text || format == "csv") return true;
  problem = "--format: '" + format + "' is no format; choose csv or text";
  return false;
}

// The request, or false with the usage problem naming the option.
bool ReadExportRequest(const AdminContext& ctx, ExportRequest& request, std::string& problem) {
  if (!ReadFormatOption(ctx, request.text, problem) || !ReadDeviceOption(ctx, request.devEui, problem) ||
      !ReadTimeOption(ctx, "from", request.from, problem) || !ReadTimeOption(ctx, "to", request.to, problem)) {
    return false;
  }
  if (request.from && request.to && *request.from > *request.to) {
    problem = "--from is later than --to";
    return false;
  }
  request.path = ctx.Value("out");
  request.withDebug = ctx.args.switches.count("with-debug") != 0;
  return true;
}

// The key that `bound` falls at, `otherwise` without a bound; -1 when the log could not be read.
int64_t KeyOf(AdminContext& ctx, const std::optional<std::string>& bound, int64_t otherwise) {
  if (!bound) return otherwise;
  return LogKeyAtTime(ctx.session->db, *bound, TodayOf(ctx.now));
}

// The rows of the request, fixed to those stored when the export began so
// that a server writing meanwhile cannot make two passes differ; false when
// the log could not be read.
bool SelectionOf(AdminContext& ctx, const ExportRequest& request, LogSelection& selection) {
  const int64_t end = LogKeyAfterLast(ctx.session->db);
  selection.fromKey = KeyOf(ctx, request.from, 0);
  selection.toKey = std::min(end, KeyOf(ctx, request.to, end));
  selection.withDebug = request.withDebug;
  selection.devEui = request.devEui;
  return end >= 0 && selection.fromKey >= 0 && selection.toKey >= 0;
}

// One CSV field: control characters that would upset a reader escaped
// (line breaks kept, inside quotes), quoted when it holds a comma, a quote
// or a line break.
std::string CsvField(const std::string& text) {
  const std::string field = EscapeControlChars(text);
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string quoted = "\"";
  for (char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

// The row's type as the log views label it, without their padding.
std::string TypeText(uint32_t type) {
  std::string label = LogTypeLabel(type);
  label.erase(0, label.find_first_not_of(' '));
  return label;
}

void WriteCsvRow(std::ostream& sink, const CLog& r) {
  const std::string fields[] = {std::to_string(r.PKEY), std::to_string(r.DEVPKEY), TypeText(r.TYPE),
                                FieldText(r.RXTIME),    FieldText(r.MACDATA),      FieldText(r.APPDATA),
                                FieldText(r.IP),        FieldText(r.DEVEUI),       std::to_string(r.PORT),
                                std::to_string(r.CONFIRMED), FieldText(r.FREQ),   FieldText(r.RSSI),
                                FieldText(r.SNR),       FieldText(r.SF),           std::to_string(r.COUNT)};
  for (size_t i = 0; i < std::size(fields); ++i) sink << (i == 0 ? "" : ",") << CsvField(fields[i]);
  sink << kCsvLineEnd;
}

bool ExportCsv(AdminContext& ctx, const LogSelection& selection, std::ostream& sink, int64_t& rows) {
  sink << kCsvHeader << kCsvLineEnd;
  return ForEachLogRecord(ctx.session->db, selection, [&](const CLog& record) {
    WriteCsvRow(sink, record);
    ++rows;
  });
}

// The texts the window's log list shows for the row (one device's columns
// when the export is of one device), each kept on its line.
std::vector<std::string> ListTexts(const CLog& record, const LogSelection& selection) {
  std::vector<std::string> texts = MakeLogListRow(record, selection.devEui.empty()).columns;
  for (std::string& text : texts) text = EscapeAllControlChars(text);
  return texts;
}

// The saved-log text in two passes: the first finds the widths of the APP
// and MAC fields, the second writes the lines, so that no pass holds more
// than one row.
bool ExportText(AdminContext& ctx, const LogSelection& selection, std::ostream& sink, int64_t& rows) {
  SavedLogWidths widths;
  const bool measured = ForEachLogRecord(ctx.session->db, selection,
                                         [&](const CLog& record) { widths.Widen(ListTexts(record, selection)); });
  if (!measured) return false;
  sink << SavedLogHeader(SavedLogTimeText(ctx.now));
  return ForEachLogRecord(ctx.session->db, selection, [&](const CLog& record) {
    sink << SavedLogLine(ListTexts(record, selection), widths);
    ++rows;
  });
}

int WriteExport(AdminContext& ctx, const ExportRequest& request, std::ostream& sink) {
  LogSelection selection;
  if (!SelectionOf(ctx, request, selection)) return ctx.Refuse("the packet log could not be read");
  int64_t rows = 0;
  const bool read = request.text ? ExportText(ctx, selection, sink, rows) : ExportCsv(ctx, selection, sink, rows);
  if (!read) return ctx.Refuse("the packet log could not be read to its end");
  sink.flush();
  if (!sink) return ctx.Refuse("writing " + request.path.value_or("the output") + " failed");
  if (!request.path) return kExitDone;
  Json::Value details(Json::objectValue);
  details["rows"] = static_cast<Json::Int64>(rows);
  details["file"] = *request.path;
  return ctx.Done("exported " + std::to_string(rows) + " rows to " + *request.path, details);
}

int ExportLog(AdminContext& ctx) {
  if (const int status = ctx.CheckOptions({"format", "device", "from", "to", "out"}); status != kExitDone) {
    return status;
  }
  ExportRequest request;
  std::string problem;
  if (!ReadExportRequest(ctx, request, problem)) return ctx.Usage(problem);
  if (!request.path) return WriteExport(ctx, request, ctx.out);
  std::ofstream file(*request.path, std::ios::binary | std::ios::trunc);
  if (!file) return ctx.Refuse("cannot write " + *request.path);
  return WriteExport(ctx, request, file);
}

int ClearLog(AdminContext& ctx) {
  if (const int status = ctx.CheckOptions({"before"}); status != kExitDone) return status;
  std::optional<std::string> before;
  std::string problem;
  if (!ReadTimeOption(ctx, "before", before, problem)) return ctx.Usage(problem);
  CDbManager& db = ctx.session->db;
  const int64_t beforeKey = KeyOf(ctx, before, LogKeyAfterLast(db));
  const int64_t count = beforeKey < 0 ? -1 : CountLogRowsBefore(db, beforeKey);
  if (count < 0) return ctx.Refuse("the packet log could not be read");
  if (ctx.args.switches.count("yes") == 0) {
    return ctx.Refuse(RuleResult::Refuse(
        "this would delete " + std::to_string(count) + " rows of the packet log; add --yes to delete them", "yes"));
  }
  const int64_t deleted =
      DeleteLogRowsBefore(db, beforeKey, CLogTrimmer::kDefaultStepRows, CLogTrimmer::kStepPauseMs);
  if (deleted < 0) return ctx.Refuse("the database refused a deletion; the rows deleted before it stay deleted");
  Json::Value details(Json::objectValue);
  details["deleted"] = static_cast<Json::Int64>(deleted);
  return ctx.Done("deleted " + std::to_string(deleted) + " rows of the packet log", details);
}

}  // namespace

int RunLogCommand(AdminContext& ctx) {
  const std::string verb = ctx.Word(1).value_or("");
  if (verb == "export" && ctx.args.words.size() == 2) return ExportLog(ctx);
  if (verb == "clear" && ctx.args.words.size() == 2) return ClearLog(ctx);
  return ctx.Usage("log: use 'export' or 'clear'");
}

}  // namespace quorvex::admin
