#include "runtime/CommandLine.h"

#include <cerrno>
#include <cstdlib>

#include "util/WinUtils.h"

namespace quorvex {

bool ParsePort(const char* text, int& port) {
  if (text == nullptr || *text == 0) return false;
  errno = 0;
  char* end = nullptr;
  const long value = strtol(text, &end, 10);
  if (errno != 0 || *end != 0 || value < 1 || value > 65535) return false;
  port = static_cast<int>(value);
  return true;
}

std::string DataDirOrDefault(const std::string& given) {
  return given.empty() ? CWinUtils::GetModulePath() : given;
}

bool ParseLogKeep(const char* text, int64_t& rows) {
  if (text == nullptr || *text < '0' || *text > '9') return false;  // no sign, no space
  errno = 0;
  char* end = nullptr;
  const long long value = strtoll(text, &end, 10);
  if (errno != 0 || *end != 0 || value < 0 || value > kMaxLogKeepRows) return false;
  rows = value;
  return true;
}

}  // namespace quorvex
