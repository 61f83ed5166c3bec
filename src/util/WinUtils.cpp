#include "util/WinUtils.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string_view>
#include <system_error>

#include "runtime/Trace.h"
#include "util/Base64.h"

namespace quorvex {
namespace {

// Demodulation floor in dB, indexed by 12 minus the spreading factor (SF12..SF7).
constexpr std::array<double, 6> kSnrFloor = {-20.0, -17.5, -15.0, -12.5, -10.0, -7.5};
constexpr double kSnrMargin = 3.0;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void EraseAll(std::string& text, const char* what) {
  const std::size_t n = std::strlen(what);
  for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos)) {
    text.erase(pos, n);
  }
}

std::string ToUpper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool IsHexSeparator(char c) { return c == ' ' || c == '-' || c == ':' || c == '\t' || c == ','; }

// Appends the digits of one separated group, without its "0x" prefix; false
// when the group is not whole bytes of hex.
bool AppendGroupDigits(std::string_view group, std::string& digits) {
  if (group.size() >= 2 && group[0] == '0' && (group[1] == 'x' || group[1] == 'X')) group.remove_prefix(2);
  if (group.empty() || group.size() % 2 != 0) return false;
  for (char c : group) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  digits.append(group);
  return true;
}

// The digits of every group of `text` in order; false when a group is bad.
bool StrictHexDigits(std::string_view text, std::string& digits) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (IsHexSeparator(text[pos])) {
      ++pos;
      continue;
    }
    std::size_t end = pos;
    while (end < text.size() && !IsHexSeparator(text[end])) ++end;
    if (!AppendGroupDigits(text.substr(pos, end - pos), digits)) return false;
    pos = end;
  }
  return true;
}

// Leading decimal integer as the C library reads it (white space, sign,
// digits); 0 when there is none, saturated instead of overflowing.
int64_t LeadingInt64(const std::string& text) {
  return static_cast<int64_t>(std::strtoll(text.c_str(), nullptr, 10));
}

// Timestamps are at most 10 digits; anything longer must still not overflow.
int64_t SaturatingAdd(int64_t value, uint32_t delay) {
  const int64_t limit = std::numeric_limits<int64_t>::max();
  return value > limit - static_cast<int64_t>(delay) ? limit : value + static_cast<int64_t>(delay);
}

}  // namespace

int CWinUtils::HexToBytes(const std::string& text, uint8_t* dst, int length, bool reverse) {
  if (dst == nullptr || length < 0 || length >= kHexWorkSize) return 0;

  std::string digits;
  digits.reserve(text.size());
  for (char c : text) {
    if (c != ' ' && c != '-' && c != ':' && c != '\t' && c != ',') digits.push_back(c);
  }
  EraseAll(digits, "0x");
  EraseAll(digits, "0X");
  digits = ToUpper(std::move(digits));

  std::memset(dst, 0, static_cast<std::size_t>(length));
  std::array<uint8_t, kHexWorkSize> work{};

  // Every write lands at index i/2 <= length < kHexWorkSize: the walk stops at
  // the first digit beyond the requested length.
  std::size_t consumed = 0;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    const int value = HexValue(digits[i]);
    if (value < 0) return 0;
    uint8_t& slot = work[i / 2];
    slot = static_cast<uint8_t>((slot << 4) | value);
    consumed = i + 1;
    if (i / 2 >= static_cast<std::size_t>(length)) break;
  }
  const int n = static_cast<int>(consumed / 2);

  if (!reverse) {
    std::memcpy(dst, work.data(), static_cast<std::size_t>(length));
  } else {
    for (int k = 0; k < n; ++k) dst[k] = work[static_cast<std::size_t>(n - 1 - k)];
  }
  return n;
}

int CWinUtils::ParseHexStrict(const std::string& text, uint8_t* dst, int capacity) {
  if (capacity < 0 || (dst == nullptr && capacity > 0)) return -1;
  std::string digits;
  if (!StrictHexDigits(text, digits)) return -1;
  const std::size_t count = digits.size() / 2;
  if (count > static_cast<std::size_t>(capacity)) return -1;
  digits = ToUpper(std::move(digits));
  for (std::size_t k = 0; k < count; ++k) {
    dst[k] = static_cast<uint8_t>((HexValue(digits[2 * k]) << 4) | HexValue(digits[2 * k + 1]));
  }
  return static_cast<int>(count);
}

std::string CWinUtils::BytesToHex(const uint8_t* bytes, char separator, int count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  if (bytes == nullptr || count <= 0) return text;
  text.reserve(static_cast<std::size_t>(count) * 3);
  for (int i = 0; i < count; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
    if (separator != 0 && i + 1 < count) text.push_back(separator);
  }
  return text;
}

int CWinUtils::IsHighFloat(const std::string& a, const std::string& b) {
  if (a.empty()) return 0;
  if (b.empty()) return 1;
  const double x = std::strtod(a.c_str(), nullptr);
  const double y = std::strtod(b.c_str(), nullptr);
  const int result = x > y ? 1 : 0;
  TraceLine("CWinUtils::IsHighFloat %f  %f  %d \r\n", x, y, result);
  return result;
}

int64_t CWinUtils::AddDelayToTmst(const std::string& tmst, uint32_t delay) {
  if (tmst.size() < 5) return SaturatingAdd(LeadingInt64(tmst), delay);
  // The counter's full range does not fit a signed 32-bit conversion, so the
  // milliseconds are added to the head and the microsecond digits kept.
  const std::string head = tmst.substr(0, tmst.size() - 3);
  const std::string tail = tmst.substr(tmst.size() - 3);
  const int64_t sum = SaturatingAdd(LeadingInt64(head), delay / 1000);
  return LeadingInt64(std::to_string(sum) + tail);
}

int CWinUtils::EncodeBase64InPlace(uint8_t* buffer, int count, std::size_t capacity) {
  if (buffer == nullptr || count < 0) return -1;
  const std::size_t textLength = (static_cast<std::size_t>(count) + 2) / 3 * 4;
  if (textLength + 1 > capacity) return -1;
  if (count == 0) {
    buffer[0] = 0;
    return 0;
  }
  CBase64 codec;
  if (!codec.SetData(buffer, static_cast<uint32_t>(count)) || !codec.Encode()) return -1;
  std::memcpy(buffer, codec.GetOutput(), codec.GetOutputLength() + 1u);  // with its NUL
  return static_cast<int>(codec.GetOutputLength());
}

std::string CWinUtils::GetSfText(const std::string& datr) {
  const std::string upper = ToUpper(datr);
  const std::size_t b = upper.rfind('B');
  std::string sf;
  if (b == std::string::npos) return sf;
  for (char c : upper.substr(0, b)) {
    if (c != 'S' && c != 'F') sf.push_back(c);
  }
  return sf;
}

int CWinUtils::GetSf(const std::string& datr) {
  const int64_t v = LeadingInt64(GetSfText(datr));
  return static_cast<int>(std::clamp<int64_t>(v, INT_MIN, INT_MAX));
}

int CWinUtils::GetSnrMarginSteps(float snr, int start) {
  // A start below 0 would be a spreading factor above 12: no table entry.
  if (start < 0 || start >= 5) return 0;
  int steps = 0;
  for (int i = start; i <= 4; ++i) {
    if (!(snr > kSnrFloor[static_cast<std::size_t>(i)] + kSnrMargin)) break;
    ++steps;
  }
  return std::min(steps, 3);
}

std::string CWinUtils::GetModulePath(const std::string& name) {
  std::error_code error;
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe", error).string();
  if (error || exe.empty()) return name;
  const std::size_t slash = exe.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : exe.substr(0, slash);
  return name.empty() ? dir : dir + "/" + name;
}

std::string CWinUtils::GetImagesPath() { return GetModulePath("Images"); }

std::string CWinUtils::LocalTimeText(const char* format, time_t when) {
  std::tm local{};
  if (format == nullptr || localtime_r(&when, &local) == nullptr) return std::string();
  char text[128];
  return std::string(text, std::strftime(text, sizeof text, format, &local));  // 0 when it does not fit
}

}  // namespace quorvex
