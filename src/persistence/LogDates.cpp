#include "persistence/LogDates.h"

#include <cstdio>

namespace quorvex {

namespace {

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

void StepBackOneMonth(LogDay& date) {
  if (--date.month == 0) {
    date.month = 12;
    --date.year;
  }
}

// The date with day `day` on or before `newer`: its month, or the latest
// earlier month that has that day.
LogDay DateOnOrBefore(const LogDay& newer, int day) {
  LogDay date = newer;
  if (day > newer.day) StepBackOneMonth(date);
  while (DaysInMonth(date.year, date.month) < day) StepBackOneMonth(date);
  date.day = day;
  return date;
}

struct TimeOfDay {
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

bool ValidTime(const TimeOfDay& t) {
  return t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 59 &&
         t.millisecond >= 0 && t.millisecond <= 999;
}

bool ValidDate(const LogDay& d) {
  return d.year >= 1 && d.year <= 9999 && d.month >= 1 && d.month <= 12 && d.day >= 1 &&
         d.day <= DaysInMonth(d.year, d.month);
}

std::string StampText(const LogDay& d, const TimeOfDay& t) {
  char text[32];
  snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", d.year, d.month, d.day, t.hour, t.minute,
           t.second, t.millisecond);
  return text;
}

// Reads `text` whole with `format` into `count` numbers; false when it does
// not match to the end.
template <typename... Ints>
bool ScanWhole(const std::string& text, const char* format, int count, Ints*... values) {
  int used = -1;
  return sscanf(text.c_str(), format, values..., &used) == count && used == static_cast<int>(text.size());
}

}  // namespace

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

std::optional<std::string> CLogDater::Next(const std::string& rxTime) {
  int day = 0;
  TimeOfDay t;
  if (!ScanWhole(rxTime, "%2d %2d:%2d:%2d %3d%n", 5, &day, &t.hour, &t.minute, &t.second, &t.millisecond) ||
      day < 1 || day > 31 || !ValidTime(t)) {
    return std::nullopt;
  }
  m_Newer = DateOnOrBefore(m_Newer, day);
  return StampText(m_Newer, t);
}

std::optional<std::string> ReadLogTimeBound(const std::string& text) {
  LogDay d;
  TimeOfDay t;
  const bool read = ScanWhole(text, "%4d-%2d-%2d%n", 3, &d.year, &d.month, &d.day) ||
                    ScanWhole(text, "%4d-%2d-%2d%*1[T ]%2d:%2d%n", 5, &d.year, &d.month, &d.day, &t.hour,
                              &t.minute) ||
                    ScanWhole(text, "%4d-%2d-%2d%*1[T ]%2d:%2d:%2d%n", 6, &d.year, &d.month, &d.day, &t.hour,
                              &t.minute, &t.second);
  if (!read || !ValidDate(d) || !ValidTime(t)) return std::nullopt;
  return StampText(d, t);
}

}  // namespace quorvex
