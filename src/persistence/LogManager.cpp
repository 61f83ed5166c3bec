#include "persistence/LogManager.h"

#include "persistence/DbManager.h"
#include <cstring>

#include "util/FieldText.h"
#include "util/WinUtils.h"

namespace quorvex {
namespace {

// Column positions of the all-devices row.
enum LiveColumn : size_t {
  kType, kTime, kApp, kMac, kIp, kDevEui, kPort, kCfm, kFreq, kRssi, kSnr, kSf, kCount, kLiveColumns
};

void SetRadioColumns(std::vector<std::string>& c, const CLog& record) {
  c[kRssi] = FieldText(record.RSSI);
  c[kSnr] = FieldText(record.SNR);
  c[kSf] = CWinUtils::GetSfText(FieldText(record.SF));
}

void SetFrameColumns(std::vector<std::string>& c, const CLog& record) {
  c[kApp] = FieldText(record.APPDATA);
  c[kMac] = FieldText(record.MACDATA);
  c[kDevEui] = FieldText(record.DEVEUI);
  c[kPort] = std::to_string(record.PORT);
  c[kCfm] = record.CONFIRMED ? "CFM" : "UFM";
  c[kFreq] = FieldText(record.FREQ);
  c[kCount] = std::to_string(record.COUNT);
}

int LiveColour(uint32_t type) {
  switch (type) {
    case CLog::Debug: return 2;
    case CLog::TxFail:
    case CLog::Join:
    case CLog::Uplink: return 0;
    default: return 1;
  }
}

}  // namespace

LogListRow MakeLiveLogRow(const CLog& record) {
  const uint32_t type = record.TYPE;
  LogListRow row;
  row.colour = LiveColour(type);
  auto& c = row.columns;
  c.assign(kLiveColumns, std::string());
  c[kType] = LogTypeLabel(type);
  if (type > CLog::Downlink) return row;

  c[kTime] = FieldText(record.RXTIME);
  c[kIp] = FieldText(record.IP);
  switch (type) {
    case CLog::Debug:
    case CLog::TxFail:
      c[kApp] = FieldText(record.APPDATA);
      break;
    case CLog::Join:
      c[kApp] = "JOIN REQUEST";
      c[kDevEui] = FieldText(record.DEVEUI);
      c[kFreq] = FieldText(record.FREQ);
      SetRadioColumns(c, record);
      break;
    case CLog::Accept:
      c[kApp] = "JOIN ACCEPT";
      c[kDevEui] = FieldText(record.DEVEUI);
      c[kFreq] = FieldText(record.FREQ);
      break;
    case CLog::Uplink:
      SetFrameColumns(c, record);
      SetRadioColumns(c, record);
      break;
    case CLog::Downlink:
      SetFrameColumns(c, record);
      break;
  }
  return row;
}

LogListRow MakeLogListRow(const CLog& record, bool allDevices) {
  const uint32_t type = record.TYPE;
  const bool frameEvent = type == CLog::TxFail || type == CLog::Join || type == CLog::Accept;

  LogListRow row;
  auto& c = row.columns;
  c.push_back(LogTypeLabel(type % 6));
  c.push_back(FieldText(record.RXTIME));
  c.push_back(type == CLog::Join     ? "JOIN REQUEST"
              : type == CLog::Accept ? "JOIN ACCEPT"
                                     : FieldText(record.APPDATA));
  c.push_back(frameEvent ? "" : FieldText(record.MACDATA));
  c.push_back(FieldText(record.IP));
  if (allDevices) c.push_back(FieldText(record.DEVEUI));
  c.push_back(std::to_string(record.PORT));
  c.push_back(frameEvent ? "" : (record.CONFIRMED ? "CFM" : "UFM"));
  c.push_back(FieldText(record.FREQ));
  c.push_back(FieldText(record.RSSI));
  c.push_back(FieldText(record.SNR));
  c.push_back(CWinUtils::GetSfText(FieldText(record.SF)));
  c.push_back(std::to_string(record.COUNT));

  if (!allDevices) {
    row.colour = 2;
  } else if (type == CLog::Join || type == CLog::Uplink) {
    row.colour = 0;
  } else if (type == CLog::Accept || type == CLog::Downlink) {
    row.colour = 1;
  } else {
    row.colour = 2;
  }
  return row;
}

// The manager's lock only guards m_Result, which the receive and scheduler
// threads both write; the database lock is taken inside it.
int CLogManager::InsertLog(const CLog& record) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  if (m_Db == nullptr) return 2;
  return m_Db->InsertLogRow(record, m_Result);
}

int CLogManager::ReadLogPage(std::vector<LogListRow>& rows, int32_t devPkey, int32_t offset) {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  if (m_Db == nullptr) return 0;
  std::vector<CLog> records;
  if (m_Db->ReadLogRows(devPkey, offset, records, m_Result) != 0) return 0;
  for (const CLog& record : records) rows.push_back(MakeLogListRow(record, devPkey == 0));
  return static_cast<int>(records.size());
}

int CLogManager::DeleteAllLogs() {
  std::lock_guard<std::recursive_mutex> lock(m_Lock);
  if (m_Db == nullptr) return 2;
  return m_Db->DeleteAllLogRows(m_Result);
}

}  // namespace quorvex
