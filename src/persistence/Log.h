// CLog: one packet-log record, the event of one frame (a debug line, a join,
// an accept, an uplink, a downlink or a transmit failure). The texts are
// bounded, zero-terminated fields named after the LOGTBL columns; anything
// longer than a field is cut to fit.
#pragma once
#include <cstdint>
#include <string>

namespace quorvex {

class CLog {
 public:
  enum Type : uint32_t { Debug = 0, TxFail = 1, Join = 2, Accept = 3, Uplink = 4, Downlink = 5 };

  virtual ~CLog() = default;

  uint32_t PKEY = 0;
  uint32_t DEVPKEY = 0;
  char DEVEUI[32] = {};
  uint32_t TYPE = Debug;
  char RXTIME[30] = {};
  char MACDATA[50] = {};
  char APPDATA[250] = {};
  char IP[22] = {};
  int32_t PORT = 0;
  int32_t CONFIRMED = 0;
  char FREQ[20] = {};
  char RSSI[15] = {};
  char SNR[15] = {};
  char SF[18] = {};
  // The frame counter (32 bits; -1 for a downlink before any since the join).
  int64_t COUNT = 0;
};

// Copies `text` into the fixed field `field`, cutting it to fit and always
// terminating it.
template <size_t N>
void SetField(char (&field)[N], const std::string& text) {
  const size_t n = text.size() < N - 1 ? text.size() : N - 1;
  text.copy(field, n);
  field[n] = 0;
}

// The label of a record type as the log views show it (" DEBUG", "UP-LINK", ...).
const char* LogTypeLabel(uint32_t type);

// One line of text for a record, as the headless server prints it.
std::string FormatLogLine(const CLog& log);

}  // namespace quorvex
