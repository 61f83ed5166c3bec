#include "persistence/SavedLog.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "runtime/Trace.h"

namespace quorvex {
namespace {

constexpr char kIndent[] = "   ";
constexpr char kLineEnd[] = "\r\n";
constexpr size_t kRuleLength = 98;
constexpr size_t kAppColumn = 2;
constexpr size_t kMacColumn = 3;
constexpr size_t kMinWideWidth = 20;  // APP and MAC, before the margin
constexpr size_t kWideMargin = 5;
constexpr size_t kTypeWidth = 15;
constexpr size_t kOtherWidth = 20;

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

// `text` left-aligned in a field of `width`, as "%-*s" would print it.
std::string Padded(const std::string& text, size_t width) {
  std::string field = text;
  if (field.size() < width) field.append(width - field.size(), ' ');
  return field;
}

void AppendHeaderLine(std::string& out, const std::string& text) {
  out += kIndent;
  out += text;
  out += kLineEnd;
}

// The field width of a wide column whose longest text is `longest`.
size_t WideWidth(size_t longest) { return std::max(kMinWideWidth, longest) + kWideMargin; }

size_t TextSize(const std::vector<std::string>& row, size_t column) {
  return column < row.size() ? row[column].size() : 0;
}

}  // namespace

std::string SavedLogTimeText(time_t when) {
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return std::string();
  return FormatTraceTime(local);
}

std::string SavedLogHeader(const std::string& timeText) {
  const std::string rule(kRuleLength, '=');
  std::string out;
  AppendHeaderLine(out, rule);
  AppendHeaderLine(out, "LORAWAN NETWORK SERVER");
  AppendHeaderLine(out, timeText);
  AppendHeaderLine(out, kSavedLogPublisher);
  AppendHeaderLine(out, kSavedLogContact);
  AppendHeaderLine(out, rule);
  out += kLineEnd;
  return out;
}

void SavedLogWidths::Widen(const std::vector<std::string>& row) {
  app = std::max(app, TextSize(row, kAppColumn));
  mac = std::max(mac, TextSize(row, kMacColumn));
}

std::string SavedLogLine(const std::vector<std::string>& row, const SavedLogWidths& widths) {
  std::string out = kIndent;
  for (size_t i = 0; i < row.size(); ++i) {
    if (i == 0) {
      out += Padded(row[i] + " ", kTypeWidth);
    } else if (i == kAppColumn) {
      out += Padded(row[i], WideWidth(widths.app));
    } else if (i == kMacColumn) {
      out += Padded(row[i], WideWidth(widths.mac));
    } else {
      out += Padded(row[i], kOtherWidth);
    }
  }
  out += kLineEnd;
  return out;
}

std::string FormatSavedLog(const std::vector<std::vector<std::string>>& rows, const std::string& timeText) {
  SavedLogWidths widths;
  for (const auto& row : rows) widths.Widen(row);
  std::string out = SavedLogHeader(timeText);
  for (const auto& row : rows) out += SavedLogLine(row, widths);
  return out;
}

bool WriteSavedLog(const std::string& path, const std::vector<std::vector<std::string>>& rows, time_t now) {
  const std::string content = FormatSavedLog(rows, SavedLogTimeText(now));
  std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "wb"));
  if (!file) return false;
  const bool written = fwrite(content.data(), 1, content.size(), file.get()) == content.size();
  // Buffered data only reaches the file on close; a failed close is a lost write.
  return fclose(file.release()) == 0 && written;
}

}  // namespace quorvex
