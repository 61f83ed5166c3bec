#include "persistence/LogQuery.h"

#include <sqlite3.h>

#include <chrono>
#include <thread>

#include "persistence/DbManager.h"
#include "persistence/DbRows.h"
#include "persistence/DbSql.h"
#include "persistence/DbStatement.h"

namespace quorvex {

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

// The one int64 of a query with at most one int64 parameter; -1 on failure.
int64_t QueryInt64(CDbManager& db, const char* sql, const int64_t* parameter) {
  Guard lock(db.Mutex());
  CDbStatement stmt;
  if (stmt.Prepare(db.Connection(), sql) != SQLITE_OK) return -1;
  if (parameter != nullptr) stmt.BindInt64(*parameter);
  if (stmt.Step() != SQLITE_ROW) return -1;
  return sqlite3_column_int64(stmt.Get(), 0);
}

void BindSelection(CDbStatement& stmt, const LogSelection& selection) {
  sqlite3_stmt* s = stmt.Get();
  sqlite3_bind_int64(s, 1, selection.fromKey);
  sqlite3_bind_int64(s, 2, selection.toKey);
  sqlite3_bind_int(s, 3, selection.withDebug ? 0 : 1);
  sqlite3_bind_text(s, 4, selection.devEui.c_str(), static_cast<int>(selection.devEui.size()), SQLITE_TRANSIENT);
}

int64_t DeleteStep(CDbManager& db, int64_t beforeKey, int stepRows) {
  Guard lock(db.Mutex());
  CDbStatement stmt;
  if (stmt.Prepare(db.Connection(), sql::kDeleteLogStepBefore) != SQLITE_OK) return -1;
  stmt.BindInt64(beforeKey);
  stmt.BindInt64(stepRows);
  if (stmt.Step() != SQLITE_DONE) return -1;
  return sqlite3_changes64(db.Connection());
}

}  // namespace

bool ForEachLogRecord(CDbManager& db, const LogSelection& selection,
                      const std::function<void(const CLog&)>& onRow) {
  Guard lock(db.Mutex());
  CDbStatement stmt;
  if (stmt.Prepare(db.Connection(), sql::kSelectLogRange) != SQLITE_OK) return false;
  BindSelection(stmt, selection);
  return StepRows(stmt, [&onRow](sqlite3_stmt* s) {
           CLog record;
           ReadLogRow(s, record);
           onRow(record);
         }) == SQLITE_DONE;
}

int64_t LogKeyAfterLast(CDbManager& db) { return QueryInt64(db, sql::kSelectLogKeyAfterLast, nullptr); }

int64_t LogKeyAtTime(CDbManager& db, const std::string& bound, const LogDay& today) {
  const int64_t after = LogKeyAfterLast(db);
  if (after < 0) return -1;
  Guard lock(db.Mutex());
  CDbStatement stmt;
  if (stmt.Prepare(db.Connection(), sql::kSelectLogTimesNewestFirst) != SQLITE_OK) return -1;
  CLogDater dater(today);
  int64_t key = after;
  int rc = SQLITE_OK;
  while ((rc = stmt.Step()) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(stmt.Get(), 1);
    const auto stamp = dater.Next(text != nullptr ? reinterpret_cast<const char*>(text) : "");
    if (!stamp) continue;
    if (*stamp < bound) return key;
    key = sqlite3_column_int64(stmt.Get(), 0);
  }
  return rc == SQLITE_DONE ? key : -1;
}

int64_t CountLogRowsBefore(CDbManager& db, int64_t beforeKey) {
  return QueryInt64(db, sql::kCountLogRowsBefore, &beforeKey);
}

int64_t DeleteLogRowsBefore(CDbManager& db, int64_t beforeKey, int stepRows, int pauseMs) {
  int64_t total = 0;
  for (;;) {
    const int64_t deleted = DeleteStep(db, beforeKey, stepRows);
    if (deleted < 0) return -1;
    if (deleted == 0) return total;
    total += deleted;
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  }
}

}  // namespace quorvex
