// The text file an operator saves from a log list: a framed header naming the
// server, the time of saving and the publisher, then one line per selected
// row with the columns padded into fixed fields. The file is read by people
// and by the tools they paste it into, so the layout is fixed byte for byte
// (CRLF line ends, three-space indent).
#pragma once
#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

namespace quorvex {

// The two publisher lines of the header, without their indent and line end.
inline constexpr char kSavedLogPublisher[] = "Quorvex LoRaWAN Network Server - https://quorvex.example";
inline constexpr char kSavedLogContact[] = "Contact: support@quorvex.example";

// The header's time: `when` in local time as "%Y.%m.%d %H.%M.%S".
std::string SavedLogTimeText(time_t when);

// The whole file for `rows`, each the column texts of one selected list row
// in list order, with `timeText` in the header. Column 0 is padded to 15,
// the APP (2) and MAC (3) columns to 5 more than the longest text of their
// column (at least 25), every other column to 20; longer texts are never cut.
// Rows shorter than four columns are written as they are.
std::string FormatSavedLog(const std::vector<std::vector<std::string>>& rows, const std::string& timeText);

// FormatSavedLog piece by piece, for rows that are not all held at once (a whole
// database log written as it is read): the header, the widths of the APP and
// MAC fields widened by every row in turn, and then each row's line with
// those widths. Header and lines joined are FormatSavedLog's text once every
// row has widened the widths.
std::string SavedLogHeader(const std::string& timeText);
struct SavedLogWidths {
  size_t app = 0;  // the longest APP and MAC texts seen, before the margin
  size_t mac = 0;
  void Widen(const std::vector<std::string>& row);
};
std::string SavedLogLine(const std::vector<std::string>& row, const SavedLogWidths& widths);

// Creates or truncates `path` and writes FormatSavedLog(rows,
// SavedLogTimeText(now)) to it. false when the file cannot be created or
// fully written; nothing is shown, the caller decides.
bool WriteSavedLog(const std::string& path, const std::vector<std::vector<std::string>>& rows, time_t now);

}  // namespace quorvex
