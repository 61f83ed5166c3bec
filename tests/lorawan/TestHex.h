// Hex text to bytes for the test vectors of the cryptography tests (kept
// independent of the server's own hex parser).
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvex::test {

inline std::vector<uint8_t> Hex(const std::string& text) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument("bad hex digit in a test vector");
  };
  std::vector<uint8_t> bytes;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    if (high < 0) {
      high = nibble(c);
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | nibble(c)));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd number of hex digits in a test vector");
  return bytes;
}

}  // namespace quorvex::test
