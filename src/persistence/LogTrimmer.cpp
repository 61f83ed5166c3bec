#include "persistence/LogTrimmer.h"

#include <sqlite3.h>

#include <chrono>

#include "persistence/DbManager.h"
#include "persistence/DbSql.h"
#include "persistence/DbStatement.h"
#include "platform/Thread.h"
#include "runtime/Trace.h"

namespace quorvex {

int64_t CLogTrimmer::TrimStep(CDbManager& db, int64_t keepRows, int stepRows) {
  std::lock_guard<std::recursive_mutex> lock(db.Mutex());
  CDbStatement stmt;
  int rc = stmt.Prepare(db.Connection(), sql::kTrimLogStep);
  if (rc == SQLITE_OK) {
    sqlite3_bind_int64(stmt.Get(), 1, keepRows);
    sqlite3_bind_int64(stmt.Get(), 2, stepRows);
    rc = stmt.Step();
  }
  if (rc != SQLITE_DONE) {
    TraceLine("CLogTrimmer Delete Error %d\r\n", rc);
    return -1;
  }
  return sqlite3_changes64(db.Connection());
}

CLogTrimmer::CLogTrimmer(CDbManager& db, int64_t keepRows, int stepRows)
    : m_Db(db), m_KeepRows(keepRows), m_StepRows(stepRows) {
  m_Thread = std::thread([this] { Run(); });
}

CLogTrimmer::~CLogTrimmer() {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Stop = true;
  }
  m_Wake.notify_one();
  if (m_Thread.joinable()) m_Thread.join();
}

int64_t CLogTrimmer::RowsDeleted() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_RowsDeleted;
}

bool CLogTrimmer::WaitStopped(int ms) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  return m_Wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_Stop; });
}

void CLogTrimmer::Run() {
  NameThisThread("qv-logtrim");
  LowerThisThreadPriority(kBackgroundNice);  // the radio threads go first
  int pauseMs = 0;
  while (!WaitStopped(pauseMs)) {
    const int64_t deleted = TrimStep(m_Db, m_KeepRows, m_StepRows);
    if (deleted > 0) {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_RowsDeleted += deleted;
    }
    // Rows went, so more may wait; none means caught up (or a failure, which
    // is not retried at once).
    pauseMs = deleted > 0 ? kStepPauseMs : kIdleCheckMs;
  }
}

}  // namespace quorvex
