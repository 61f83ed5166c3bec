// RadioMetadata: the radio facts of one received packet ("tmst", "freq",
// "chan", "rfch", "modu", "datr", "codr", "rssi", "lsnr") as the gateway
// reported them, kept as texts. It is filled from the first "rxpk" element,
// copied into device records (m_RxInfo) and read for the downlink timing,
// the frequency and the packet log. Plain fixed-size data: copy it freely.
#pragma once
#include <cstddef>
#include <cstring>
#include <string_view>

namespace quorvex {

struct RadioMetadata {
  // Every text has this many bytes, the last one always a NUL, so a text
  // holds at most kTextSize - 1 characters.
  static constexpr std::size_t kTextSize = 50;
  static constexpr int kFieldCount = 9;

  char tmst[kTextSize] = {};  // gateway receive timestamp, microseconds
  char freq[kTextSize] = {};  // centre frequency, MHz
  char chan[kTextSize] = {};  // concentrator IF channel
  char rfch[kTextSize] = {};  // concentrator RF chain
  char modu[kTextSize] = {};  // modulation, LORA or FSK
  char datr[kTextSize] = {};  // datarate, e.g. SF7BW125
  char codr[kTextSize] = {};  // coding rate, e.g. 4/5
  char rssi[kTextSize] = {};  // signal strength, dBm
  char lsnr[kTextSize] = {};  // signal-to-noise ratio, dB

  // The JSON member name of field `index` (0..8, in the order above), or
  // null for any other index.
  static const char* FieldName(int index) {
    static constexpr const char* kNames[kFieldCount] = {"tmst", "freq", "chan", "rfch", "modu",
                                                        "datr", "codr", "rssi", "lsnr"};
    return index >= 0 && index < kFieldCount ? kNames[index] : nullptr;
  }

  // Field `index` (0..8, in the order above), or null for any other index.
  char* Field(int index) {
    char* const fields[kFieldCount] = {tmst, freq, chan, rfch, modu, datr, codr, rssi, lsnr};
    return index >= 0 && index < kFieldCount ? fields[index] : nullptr;
  }
  const char* Field(int index) const { return const_cast<RadioMetadata*>(this)->Field(index); }

  // Empties all nine texts.
  void Clear() { *this = RadioMetadata{}; }

  // Stores `text` in `field`: cut at its first NUL and to kTextSize - 1
  // characters, always terminated; the rest of the field is zeroed.
  static void SetText(char (&field)[kTextSize], std::string_view text) { Store(field, text); }

  // Stores `text` in field `index` as SetText does. An index outside 0..8
  // changes nothing and gives false.
  bool SetField(int index, std::string_view text) {
    char* field = Field(index);
    if (field == nullptr) return false;
    Store(field, text);
    return true;
  }

 private:
  static void Store(char* field, std::string_view text) {
    std::size_t n = text.find('\0');
    if (n == std::string_view::npos) n = text.size();
    if (n > kTextSize - 1) n = kTextSize - 1;
    std::memset(field, 0, kTextSize);
    if (n > 0) std::memcpy(field, text.data(), n);
  }
};

}  // namespace quorvex
