#include "persistence/FormRules.h"

#include <algorithm>
#include <climits>
#include <string_view>

#include "util/WinUtils.h"

namespace quorvex {
namespace {

constexpr char kAdrCountRangeMessage[] = "ADR Count Range : 2 ~ 10";

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// All-digit text as a value up to `limit`; false for no digits, another
// character or a value above the limit.
bool DigitsValue(std::string_view digits, uint64_t limit, uint64_t& value) {
  if (digits.empty()) return false;
  value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > limit) return false;
  }
  return true;
}

}  // namespace

RuleResult RuleResult::Refuse(std::string message, std::string field) {
  return RuleResult{false, std::move(message), std::move(field)};
}

bool ReadExactHex(const std::string& text, uint8_t* out, int length) {
  uint8_t bytes[CWinUtils::kHexWorkSize];
  if (length <= 0 || length >= CWinUtils::kHexWorkSize) return false;
  if (CWinUtils::ParseHexStrict(text, bytes, length) != length) return false;
  std::copy(bytes, bytes + length, out);
  return true;
}

RuleResult RefuseHexField(const char* label, int bytes, const char* field) {
  return RuleResult::Refuse(std::string(label) + ": enter " + std::to_string(bytes * 2) + " hex digits (" +
                                std::to_string(bytes) + " bytes)",
                            field);
}

bool ReadDecimal32(const std::string& text, uint32_t& out) {
  std::string_view digits = Trimmed(text);
  const bool negative = !digits.empty() && digits.front() == '-';
  if (negative) digits.remove_prefix(1);
  uint64_t value = 0;
  const uint64_t limit = negative ? uint64_t{1} << 31 : UINT32_MAX;
  if (!DigitsValue(digits, limit, value)) return false;
  out = negative ? static_cast<uint32_t>(0 - value) : static_cast<uint32_t>(value);
  return true;
}

int32_t LeadingDigitsValue(const std::string& text) {
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
    if (value > INT32_MAX) return INT32_MAX;
  }
  return static_cast<int32_t>(value);
}

RuleResult RefuseLongText(const char* label, size_t maxBytes, const char* field) {
  return RuleResult::Refuse(std::string(label) + ": at most " + std::to_string(maxBytes) + " characters", field);
}

bool IsChoice(int32_t index, std::span<const char* const> choices) {
  return index >= 0 && static_cast<size_t>(index) < choices.size();
}

RuleResult RefuseChoice(const char* label, std::span<const char* const> choices, const char* field) {
  std::string message = std::string(label) + ": choose ";
  for (size_t i = 0; i < choices.size(); ++i) {
    if (i > 0) message += i + 1 < choices.size() ? ", " : " or ";
    message += choices[i];
  }
  return RuleResult::Refuse(std::move(message), field);
}

RuleResult RefuseLockedField(const char* label, const char* field) {
  return RuleResult::Refuse(std::string(label) + ": cannot be changed when editing", field);
}

RuleResult ReadAdrRxSetupCount(const std::string& text, int32_t& count) {
  uint32_t bits = 0;
  if (!ReadDecimal32(text, bits)) return RuleResult::Refuse(kAdrCountRangeMessage, "adrRxCount");
  const auto value = static_cast<int32_t>(bits);
  if (value < kAdrRxCountMin || value > kAdrRxCountMax) return RuleResult::Refuse(kAdrCountRangeMessage, "adrRxCount");
  count = value;
  return RuleResult::Accept();
}

}  // namespace quorvex
