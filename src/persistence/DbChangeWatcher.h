// CDbChangeWatcher: notices that another program (the sqlite3 shell, an admin
// tool) committed to the database file, so that the running server can take
// up the applications and gateways it changed without a restart. A thread of
// its own reads the connection's data version every kPollMs and calls the
// callback, on that thread and without any lock held, once per change seen.
// The server's own writes never move the version, so a busy radio path costs
// one short PRAGMA per poll and nothing more.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace quorvex {

class CDbManager;

class CDbChangeWatcher {
 public:
  // Half a second: a change is used within a second even when the reload
  // itself is slow, while the polls stay negligible.
  static constexpr int kPollMs = 500;

  // Takes the first reading as the starting point and starts the thread.
  CDbChangeWatcher(CDbManager& db, std::function<void()> onChange, int pollMs = kPollMs);
  // Stops the thread and waits for it (at most one callback).
  ~CDbChangeWatcher();
  CDbChangeWatcher(const CDbChangeWatcher&) = delete;
  CDbChangeWatcher& operator=(const CDbChangeWatcher&) = delete;

  // Callbacks made so far.
  uint64_t Changes();

 private:
  void Run();

  CDbManager& m_Db;
  const std::function<void()> m_OnChange;
  const int m_PollMs;
  int64_t m_Version = -1;  // the watcher thread's alone once it runs
  std::mutex m_Mutex;
  std::condition_variable m_Wake;
  bool m_Stop = false;     // under m_Mutex
  uint64_t m_Changes = 0;  // under m_Mutex
  std::thread m_Thread;    // last: started once the rest is set
};

}  // namespace quorvex
