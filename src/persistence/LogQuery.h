// The packet log read and cleared as a whole, for the operator's export and
// clearing: rows streamed in the order they were stored, the key that a
// local time falls at (LogDates.h dates the rows), and deletion in short
// steps beside a running server.
//
// Every function takes the database lock itself. A long read holds it for
// the whole statement in this process only; another process (the server)
// goes on writing while it reads, as the file is in WAL mode.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "persistence/LogDates.h"
#include "persistence/Log.h"

namespace quorvex {

class CDbManager;

// Which rows a read takes: keys in [fromKey, toKey), debug records or not,
// one device's rows (DEVEUI as stored: 16 upper-case hex digits) or all ("").
struct LogSelection {
  int64_t fromKey = 0;
  int64_t toKey = INT64_MAX;
  bool withDebug = false;
  std::string devEui;
};

// Calls `onRow` for each selected row in key order, one row in memory at a
// time. false when a statement failed.
bool ForEachLogRecord(CDbManager& db, const LogSelection& selection, const std::function<void(const CLog&)>& onRow);

// One more than the largest key (1 for an empty log): the end of the rows
// stored so far. -1 when the query failed.
int64_t LogKeyAfterLast(CDbManager& db);

// The first key from which every row is at or after `bound` (a
// ReadLogTimeBound text), the rows being dated from `today`: the key of the
// oldest row of the newest run of rows at or after it, LogKeyAfterLast when
// the newest row is before it. Rows whose RXTIME cannot be read are passed
// over. -1 when a query failed.
int64_t LogKeyAtTime(CDbManager& db, const std::string& bound, const LogDay& today);

// The rows with keys below `beforeKey`; -1 when the query failed.
int64_t CountLogRowsBefore(CDbManager& db, int64_t beforeKey);

// Deletes the rows with keys below `beforeKey` in steps of at most
// `stepRows` of the oldest, pausing `pauseMs` between steps with the lock
// free, so that a running server's writes wait at most one short step.
// Returns the rows deleted, or -1 when a step failed (the steps before it
// stay done).
int64_t DeleteLogRowsBefore(CDbManager& db, int64_t beforeKey, int stepRows, int pauseMs);

}  // namespace quorvex
