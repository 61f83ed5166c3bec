#include "persistence/LogManager.h"

#include "persistence/DbManager.h"
#include <cstring>

#include "util/WinUtils.h"

namespace quorvex {

LogListRow MakeLogListRow(const CLog& record, bool allDevices) {
  // Stored texts are terminated by the table reader; bound them anyway.
  auto text = [](const char* field, size_t size) { return std::string(field, strnlen(field, size)); };
  const uint32_t type = record.TYPE;
  const bool frameEvent = type == CLog::TxFail || type == CLog::Join || type == CLog::Accept;

  LogListRow row;
  auto& c = row.columns;
  c.push_back(LogTypeLabel(type % 6));
  c.push_back(text(record.RXTIME, sizeof record.RXTIME));
  c.push_back(type == CLog::Join     ? "JOIN REQUEST"
              : type == CLog::Accept ? "JOIN ACCEPT"
                                     : text(record.APPDATA, sizeof record.APPDATA));
  c.push_back(frameEvent ? "" : text(record.MACDATA, sizeof record.MACDATA));
  c.push_back(text(record.IP, sizeof record.IP));
  if (allDevices) c.push_back(text(record.DEVEUI, sizeof record.DEVEUI));
  c.push_back(std::to_string(record.PORT));
  c.push_back(frameEvent ? "" : (record.CONFIRMED ? "CFM" : "UFM"));
  c.push_back(text(record.FREQ, sizeof record.FREQ));
  c.push_back(text(record.RSSI, sizeof record.RSSI));
  c.push_back(text(record.SNR, sizeof record.SNR));
  c.push_back(CWinUtils::GetSfText(text(record.SF, sizeof record.SF)));
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
