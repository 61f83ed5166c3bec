// The dates of packet-log rows. A row's RXTIME holds only the day of the
// month and the time of day ("DD HH:MM:SS mmm", LogTimeText), so its year
// and month are worked out from the rows stored after it: walking from the
// newest row to the oldest, a row whose day is not later than the day of the
// row after it is in the same month, and one whose day is later is in the
// month before (the latest earlier month that has that day). The newest row
// is dated against today the same way. A pause of a month or more between
// two rows (the server stopped that long) cannot be seen and dates the
// older rows a month late.
#pragma once
#include <optional>
#include <string>

namespace quorvex {

// A local calendar day.
struct LogDay {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
};

// Days in `month` (1..12) of `year`.
int DaysInMonth(int year, int month);

// The full local time of a row as "YYYY-MM-DD HH:MM:SS.mmm", a text that
// sorts as the times do, so that rows and bounds compare as strings.
class CLogDater {
 public:
  explicit CLogDater(const LogDay& today) : m_Newer(today) {}

  // The time of the row with `rxTime`, given newest first; nullopt for a
  // text that is no RXTIME (it moves nothing, the next row is dated as if it
  // were not there).
  std::optional<std::string> Next(const std::string& rxTime);

 private:
  LogDay m_Newer;  // the date of the row after the next one
};

// The bound "YYYY-MM-DD HH:MM:SS.000" of an operator's time, "YYYY-MM-DD"
// (that day's midnight) or "YYYY-MM-DDTHH:MM[:SS]" (a space may stand for
// the T); nullopt for anything else, or for a date or time that does not exist.
std::optional<std::string> ReadLogTimeBound(const std::string& text);

}  // namespace quorvex
