// The packet log store: typed packet-log records go into LOGTBL, and the log
// views read them back a page of 100 at a time, newest first, as rows of
// display texts with a colour code.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "persistence/Log.h"
#include "runtime/BaseThread.h"

namespace quorvex {

class CDbManager;

// One row of a log view: the column texts in display order and the row's
// colour code. A device's log has twelve columns; the all-devices log has
// thirteen (DEVEUI after IP). MakeLogListRow makes the rows of records read
// back from LOGTBL; MakeLiveLogRow makes the row of a record the moment a
// server thread produced it, which fills only the columns that its type
// carries and colours it differently.
struct LogListRow {
  std::vector<std::string> columns;
  int colour = 0;
};

// The display row of a stored record, for one device's log (allDevices
// false) or for the all-devices log.
LogListRow MakeLogListRow(const CLog& record, bool allDevices);

// The all-devices row (thirteen columns: Type, Time, APP, MAC, IP, DEVEUI,
// Port, CFM, Freq, Rssi, SNR, SF, Count) of a record fresh from a server
// thread. Columns a type does not carry are empty: debug and transmit-failure
// records show only their time, text and address; join requests add the EUI
// and the radio readings; accepts the EUI and frequency; uplinks everything;
// downlinks everything but the radio readings. Colour: 2 for debug records,
// 0 for failures, joins and uplinks, 1 for accepts, downlinks and anything
// else. A type above 5 gets its label and nothing more.
LogListRow MakeLiveLogRow(const CLog& record);

class CLogManager : public CBaseMgr {
 public:
  void Attach(CDbManager* db) { m_Db = db; }

  // Stores a copy of a typed record. 0 stored, 2 not stored.
  int InsertLog(const CLog& record);
  // Appends the rows of one page (device `devPkey`, or every device for 0;
  // skipping `offset` records) to `rows`; returns the number appended.
  int ReadLogPage(std::vector<LogListRow>& rows, int32_t devPkey, int32_t offset);
  // Empties LOGTBL. 0 or 2.
  int DeleteAllLogs();

  int32_t m_Result = 0;

 private:
  CDbManager* m_Db = nullptr;
};

}  // namespace quorvex
