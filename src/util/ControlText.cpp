#include "util/ControlText.h"

#include <algorithm>

namespace quorvex {

namespace {

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') || byte == 0x7F;
}

}  // namespace

void AppendEscapedControls(std::string& out, std::string_view text) {
  // Nearly every text is plain and is appended whole.
  if (std::none_of(text.begin(), text.end(), IsControl)) {
    out += text;
    return;
  }
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (char c : text) {
    if (!IsControl(c)) {
      out += c;
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0F];
  }
}

std::string EscapeControlChars(std::string_view text) {
  std::string out;
  AppendEscapedControls(out, text);
  return out;
}

}  // namespace quorvex
