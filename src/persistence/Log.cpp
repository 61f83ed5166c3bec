#include "persistence/Log.h"

#include <cstdio>

namespace quorvex {

const char* LogTypeLabel(uint32_t type) {
  switch (type) {
    case CLog::Debug: return " DEBUG";
    case CLog::TxFail: return "TX-FAIL";
    case CLog::Join: return "  JOIN";
    case CLog::Accept: return " ACCEPT";
    case CLog::Uplink: return "UP-LINK";
    case CLog::Downlink: return "DN-LINK";
    default: return "UNKNOWN";
  }
}

std::string FormatLogLine(const CLog& log) {
  char line[1024];
  // The fields are always terminated (SetField), but a record may come from
  // elsewhere: %.*s keeps every read inside its field.
  snprintf(line, sizeof line, "%s %.*s %.*s %.*s port=%d cnt=%lld conf=%d %.*s %.*s rssi=%.*s snr=%.*s mac=[%.*s] %.*s",
           LogTypeLabel(log.TYPE), int(sizeof log.RXTIME), log.RXTIME, int(sizeof log.DEVEUI), log.DEVEUI,
           int(sizeof log.IP), log.IP, log.PORT, static_cast<long long>(log.COUNT), log.CONFIRMED,
           int(sizeof log.FREQ), log.FREQ,
           int(sizeof log.SF), log.SF, int(sizeof log.RSSI), log.RSSI, int(sizeof log.SNR), log.SNR,
           int(sizeof log.MACDATA), log.MACDATA, int(sizeof log.APPDATA), log.APPDATA);
  return line;
}

}  // namespace quorvex
