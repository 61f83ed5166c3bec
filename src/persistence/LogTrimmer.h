// CLogTrimmer: keeps the packet log (LOGTBL) within a number of rows that the
// operator chose. While debug records are on, a busy network writes a row per
// frame without end (86 million a day at 1,000 uplinks/s), so the oldest rows
// go, a small step at a time, on a thread of its own.
//
// A step deletes at most `stepRows` of the oldest rows by key range, and only
// rows whose key is at most the largest key less `keepRows`: keys are the row
// ids, one more than the largest for each insert, so the newest `keepRows`
// keys are never touched and at most `keepRows` rows remain once the trimmer
// has caught up. Each step holds the database lock only for one short DELETE;
// between steps the lock is free, so the receive thread and the scheduler
// wait at most one step.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace quorvex {

class CDbManager;

class CLogTrimmer {
 public:
  // Rows per step: 2,000 rows are some 40 to 80 pages of the file. With
  // trimming deleting about 5,000 rows a second under 5,000 uplinks/s, the
  // benchmark's PUSH_ACK p99 stayed within its run-to-run noise (1.4 and
  // 2.0 ms against 1.4 and 1.6 ms without trimming, on a shared 2-core machine).
  static constexpr int kDefaultStepRows = 2000;
  // How often a trimmer that has caught up looks again.
  static constexpr int kIdleCheckMs = 1000;
  // Pause between the steps of a backlog, in which the radio threads take
  // the lock.
  static constexpr int kStepPauseMs = 5;

  // One step on `db`: deletes at most `stepRows` (> 0) of the oldest rows
  // with keys at most MAX(PKEY) - `keepRows` (>= 0). Returns the rows deleted,
  // 0 when there is nothing to trim, -1 when a statement failed (with a
  // trace line). Takes the database lock itself, for this step only.
  static int64_t TrimStep(CDbManager& db, int64_t keepRows, int stepRows);

  // Starts the thread, which trims until the log holds at most `keepRows`
  // (> 0) rows and then looks again every kIdleCheckMs.
  CLogTrimmer(CDbManager& db, int64_t keepRows, int stepRows = kDefaultStepRows);
  // Stops the thread and waits for it (at most one step).
  ~CLogTrimmer();
  CLogTrimmer(const CLogTrimmer&) = delete;
  CLogTrimmer& operator=(const CLogTrimmer&) = delete;

  // Rows deleted since the start (for the tests and the trace).
  int64_t RowsDeleted();

 private:
  void Run();
  // Waits `ms` or until stopped; true when stopped.
  bool WaitStopped(int ms);

  CDbManager& m_Db;
  const int64_t m_KeepRows;
  const int m_StepRows;
  std::mutex m_Mutex;
  std::condition_variable m_Wake;
  bool m_Stop = false;         // under m_Mutex
  int64_t m_RowsDeleted = 0;   // under m_Mutex
  std::thread m_Thread;        // last: started once the rest is set
};

}  // namespace quorvex
