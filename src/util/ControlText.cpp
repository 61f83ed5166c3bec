#include "util/ControlText.h"

#include <algorithm>

namespace quorvex {

namespace {

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') || byte == 0x7F;
}

bool IsAnyControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

void AppendEscaped(std::string& out, std::string_view text, bool (*escaped)(char)) {
  // Nearly every text is plain and is appended whole.
  if (std::none_of(text.begin(), text.end(), escaped)) {
    out += text;
    return;
  }
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (char c : text) {
    if (!escaped(c)) {
      out += c;
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0F];
  }
}

}  // namespace

void AppendEscapedControls(std::string& out, std::string_view text) { AppendEscaped(out, text, IsControl); }

std::string EscapeControlChars(std::string_view text) {
  std::string out;
  AppendEscapedControls(out, text);
  return out;
}

std::string EscapeAllControlChars(std::string_view text) {
  std::string out;
  AppendEscaped(out, text, IsAnyControl);
  return out;
}

}  // namespace quorvex
