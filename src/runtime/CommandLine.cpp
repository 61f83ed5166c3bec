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

namespace {

// ParsePort, for digits only (strtol would also take a sign and blanks).
bool ParsePortDigits(const std::string& text, int& port) {
  if (text.find_first_not_of("0123456789") != std::string::npos) return false;
  return ParsePort(text.c_str(), port);
}

}  // namespace

bool ParseListenAddress(const char* text, std::string& host, int& port) {
  if (text == nullptr) return false;
  const std::string given = text;
  const std::size_t colon = given.rfind(':');
  if (colon == std::string::npos) {
    if (!ParsePortDigits(given, port)) return false;
    host = kDefaultMetricsHost;
    return true;
  }
  std::string name = given.substr(0, colon);
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  } else if (name.find(':') != std::string::npos) {
    return false;  // an IPv6 address needs its brackets, or the port is ambiguous
  }
  if (name.empty() || name.find_first_of(" \t[]") != std::string::npos) return false;
  if (!ParsePortDigits(given.substr(colon + 1), port)) return false;
  host = name;
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
