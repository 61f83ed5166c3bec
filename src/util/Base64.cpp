#include "util/Base64.h"

#include <array>
#include <cstddef>
#include <limits>
#include <new>

namespace quorvex {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Character to 6-bit value, -1 for everything outside the alphabet.
constexpr std::array<int8_t, 256> MakeDecodeTable() {
  std::array<int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  return table;
}

constexpr std::array<int8_t, 256> kDecode = MakeDecodeTable();

}  // namespace

bool CBase64::SetData(const uint8_t* data, uint32_t count) {
  if (data == nullptr || count == 0) return false;
  std::vector<uint8_t> input(data, data + count);
  m_Input.swap(input);
  m_Output.clear();
  m_Output.shrink_to_fit();
  m_OutputLength = 0;
  return true;
}

bool CBase64::SetData(std::string_view text) {
  if (text.size() > std::numeric_limits<uint32_t>::max()) return false;
  return SetData(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
}

bool CBase64::Encode() {
  if (!CanConvert()) return false;
  const std::size_t n = m_Input.size();
  const std::size_t textLength = (n + 2) / 3 * 4;
  if (textLength > std::numeric_limits<uint32_t>::max()) return false;

  std::vector<uint8_t> out;
  try {
    out.resize(textLength + 1);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const uint8_t* in = m_Input.data();
  std::size_t o = 0;
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t group = uint32_t{in[i]} << 16 | uint32_t{in[i + 1]} << 8 | in[i + 2];
    out[o++] = kAlphabet[(group >> 18) & 0x3F];
    out[o++] = kAlphabet[(group >> 12) & 0x3F];
    out[o++] = kAlphabet[(group >> 6) & 0x3F];
    out[o++] = kAlphabet[group & 0x3F];
  }
  if (n - i == 2) {
    const uint32_t group = uint32_t{in[i]} << 16 | uint32_t{in[i + 1]} << 8;
    out[o++] = kAlphabet[(group >> 18) & 0x3F];
    out[o++] = kAlphabet[(group >> 12) & 0x3F];
    out[o++] = kAlphabet[(group >> 6) & 0x3F];
    out[o++] = '=';
  } else if (n - i == 1) {
    const uint32_t group = uint32_t{in[i]} << 16;
    out[o++] = kAlphabet[(group >> 18) & 0x3F];
    out[o++] = kAlphabet[(group >> 12) & 0x3F];
    out[o++] = '=';
    out[o++] = '=';
  }
  out[o] = 0;
  m_Output.swap(out);
  m_OutputLength = static_cast<uint32_t>(o);
  return true;
}

bool CBase64::Decode() {
  if (!CanConvert()) return false;
  std::size_t counted = 0;  // 0xFF never counts towards the room needed
  for (uint8_t c : m_Input) {
    if (c != 0xFF) ++counted;
  }
  std::vector<uint8_t> out;
  try {
    out.resize((counted + 3) / 4 * 3 + 1);
  } catch (const std::bad_alloc&) {
    return false;
  }

  std::size_t o = 0;
  unsigned state = 0;
  unsigned previous = 0;
  for (uint8_t c : m_Input) {
    const int v = kDecode[c];
    if (v < 0) continue;  // skipped without advancing the state
    switch (state) {
      case 0:
        previous = static_cast<unsigned>(v);
        break;
      case 1:
        out[o++] = static_cast<uint8_t>((previous << 2) | (static_cast<unsigned>(v) >> 4));
        previous = static_cast<unsigned>(v) & 0x0F;
        break;
      case 2:
        out[o++] = static_cast<uint8_t>((previous << 4) | (static_cast<unsigned>(v) >> 2));
        previous = static_cast<unsigned>(v) & 0x03;
        break;
      default:
        out[o++] = static_cast<uint8_t>((previous << 6) | static_cast<unsigned>(v));
        break;
    }
    state = (state + 1) & 3;
  }
  out[o] = 0;
  m_Output.swap(out);
  m_OutputLength = static_cast<uint32_t>(o);
  return true;
}

}  // namespace quorvex
